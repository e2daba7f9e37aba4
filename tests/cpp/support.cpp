#include "support.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace tarvo::test {

namespace {

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A TCP socket bound to 127.0.0.1 on a port the kernel picks; returns the fd, sets port.
int boundSocket(int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fail("socket");
    }
    sockaddr_in address = loopback(0);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        fail("bind");
    }
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

bool accepts(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(port);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// setpriv (util-linux) runs mosquitto with SIGKILL as its parent-death signal: a test
// process that crashes or is killed on timeout takes its broker with it. Parent means
// the spawning thread, so brokers are started from the test's own thread.
const char* setprivPath() {
    for (const char* path : {"/usr/bin/setpriv", "/bin/setpriv"}) {
        if (::access(path, X_OK) == 0) {
            return path;
        }
    }
    return nullptr;
}

std::string mosquittoPath() {
    if (const char* path = std::getenv("TARVO_MOSQUITTO")) {
        return path;
    }
    for (const char* path : {"/usr/sbin/mosquitto", "/usr/local/sbin/mosquitto", "/usr/bin/mosquitto"}) {
        if (::access(path, X_OK) == 0) {
            return path;
        }
    }
    return "mosquitto";  // looked up on PATH
}

std::string hostAndPort(int port) { return std::string(kHost) + ":" + std::to_string(port); }

}  // namespace

int freePort() {
    int port = 0;
    ::close(boundSocket(port));
    return port;
}

// --- Broker ----------------------------------------------------------------------------

Broker::Broker() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvo-broker-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        fail("mkdtemp");
    }
    dir_ = pattern;
    port_ = freePort();
    std::ofstream(dir_ / "mosquitto.conf") << "listener " << port_ << ' ' << kHost << "\n"
                                           << "allow_anonymous true\n"
                                           << "max_queued_messages 0\n"
                                           // Started as root, it would otherwise switch user,
                                           // which clears the parent-death signal (below).
                                           << "user root\n";
    start();
}

Broker::~Broker() {
    kill();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string Broker::address() const { return hostAndPort(port_); }

void Broker::start() {
    if (pid_ > 0) {
        return;
    }
    const std::string program = mosquittoPath();
    const std::string config = (dir_ / "mosquitto.conf").string();
    const std::string log = (dir_ / "mosquitto.log").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<const char*> argv;
    const char* setpriv = setprivPath();
    if (setpriv != nullptr) {
        argv = {setpriv, "--pdeathsig", "KILL"};
    }
    argv.insert(argv.end(), {program.c_str(), "-c", config.c_str(), nullptr});
    int rc = ::posix_spawnp(&pid_, argv[0], &actions, nullptr, const_cast<char* const*>(argv.data()), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
        errno = rc;
        fail("posix_spawnp " + program);
    }
    const auto deadline = Clock::now() + 10s;
    while (!accepts(port_)) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_ || Clock::now() > deadline) {
            if (pid_ > 0) {
                kill();
            }
            std::ifstream in(log);
            std::stringstream text;
            text << in.rdbuf();
            throw std::runtime_error("mosquitto did not start on " + address() + ":\n" + text.str());
        }
        std::this_thread::sleep_for(10ms);
    }
}

void Broker::kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

// --- sockets -----------------------------------------------------------------------------

RefusingPort::RefusingPort() { fd_ = boundSocket(port_); }
RefusingPort::~RefusingPort() { ::close(fd_); }
std::string RefusingPort::address() const { return hostAndPort(port_); }

SilentListener::SilentListener() {
    fd_ = boundSocket(port_);
    if (::listen(fd_, 8) != 0) {
        fail("listen");
    }
}
SilentListener::~SilentListener() { ::close(fd_); }
std::string SilentListener::address() const { return hostAndPort(port_); }

bool SilentListener::wasConnected(std::chrono::milliseconds within) const {
    pollfd entry{fd_, POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(within.count())) > 0 && (entry.revents & POLLIN) != 0;
}

// --- console -------------------------------------------------------------------------------

namespace {

class Console {
public:
    void write(ConsoleStream stream, std::string_view line) {
        const int index = stream == ConsoleStream::Out ? ConsoleCapture::Out : ConsoleCapture::Err;
        std::lock_guard lock(mutex_);
        if (captures_ == 0) {
            (stream == ConsoleStream::Out ? std::cout : std::cerr) << line;
        }
        line.remove_suffix(line.ends_with('\n') ? 1 : 0);
        lines_[index].push_back({Clock::now(), std::string(line)});
        changed_.notify_all();
    }

    std::size_t begin(int stream) {
        std::lock_guard lock(mutex_);
        ++captures_;
        return lines_[stream].size();
    }
    std::size_t end(int stream) {
        std::lock_guard lock(mutex_);
        --captures_;
        return lines_[stream].size();
    }
    std::vector<ConsoleCapture::Line> lines(int stream, std::size_t begin, std::size_t end) {
        std::lock_guard lock(mutex_);
        const auto& all = lines_[stream];
        end = std::min(end, all.size());
        return {all.begin() + static_cast<std::ptrdiff_t>(begin), all.begin() + static_cast<std::ptrdiff_t>(end)};
    }
    // Waits until n lines on stream from begin on start with prefix.
    bool waitForLines(int stream, std::size_t begin, std::string_view prefix, std::size_t n,
                      std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            const auto& all = lines_[stream];
            return static_cast<std::size_t>(std::count_if(all.begin() + static_cast<std::ptrdiff_t>(begin), all.end(),
                                                          [&](const ConsoleCapture::Line& line) {
                                                              return line.text.starts_with(prefix);
                                                          })) >= n;
        });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ConsoleCapture::Line> lines_[2];
    int captures_ = 0;  // running ones, each counted once per stream
};

Console& console() {
    static Console instance;
    return instance;
}

}  // namespace

ConsoleSink consoleSink() {
    return [](ConsoleStream stream, std::string_view line) { console().write(stream, line); };
}

ConsoleCapture::ConsoleCapture() {
    for (int stream : {Out, Err}) {
        begin_[stream] = console().begin(stream);
        end_[stream] = SIZE_MAX;
    }
}

ConsoleCapture::~ConsoleCapture() { stop(); }

void ConsoleCapture::stop() {
    if (!std::exchange(running_, false)) {
        return;
    }
    for (int stream : {Out, Err}) {
        end_[stream] = console().end(stream);
    }
    if (::testing::Test::HasFailure()) {
        std::fprintf(stderr, "--- captured stdout ---\n%s--- captured stderr ---\n%s--- end of capture ---\n",
                     out().c_str(), err().c_str());
    }
}

std::vector<ConsoleCapture::Line> ConsoleCapture::lines(Stream stream) {
    return console().lines(stream, begin_[stream], end_[stream]);
}

std::string ConsoleCapture::text(Stream stream) {
    std::string result;
    for (const Line& line : lines(stream)) {
        result += line.text + '\n';
    }
    return result;
}

std::size_t ConsoleCapture::count(Stream stream, std::string_view prefix) {
    std::size_t n = 0;
    for (const Line& line : lines(stream)) {
        n += line.text.starts_with(prefix) ? 1 : 0;
    }
    return n;
}

bool ConsoleCapture::waitForLines(Stream stream, std::string_view prefix, std::size_t n,
                                  std::chrono::milliseconds timeout) {
    return console().waitForLines(stream, begin_[stream], prefix, n, timeout);
}

// --- handler recorders --------------------------------------------------------------------

SDK::ConnectionHandler ConnectionLog::handler() {
    return [this](bool connected, int code) {
        std::lock_guard lock(mutex_);
        calls_.push_back({connected, code, std::this_thread::get_id()});
        changed_.notify_all();
    };
}

std::vector<ConnectionLog::Call> ConnectionLog::calls() {
    std::lock_guard lock(mutex_);
    return calls_;
}

bool ConnectionLog::waitForCalls(std::size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return calls_.size() >= n; });
}

SDK::MessageHandler MessageLog::handler() {
    return [this](std::string_view topic, std::string_view payload, SDK::MessageFlags) {
        std::lock_guard lock(mutex_);
        messages_.push_back({std::string(topic), std::string(payload)});
        changed_.notify_all();
    };
}

std::vector<MessageLog::Message> MessageLog::messages() {
    std::lock_guard lock(mutex_);
    return messages_;
}

bool MessageLog::waitForMessages(std::size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return messages_.size() >= n; });
}

// --- SDK set-up ---------------------------------------------------------------------------

std::string uniqueClientId() {
    static std::atomic<int> counter{0};
    return "tarvo-cpp-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

void init(SDK& sdk, const Settings& s) {
    sdk.init({.clientId = s.clientId.empty() ? uniqueClientId() : s.clientId,
              .brokerHost = s.brokerHost,
              .protocol = s.protocol,
              .username = s.username,
              .password = s.password,
              .cleanSession = true,
              .autoReconnect = s.autoReconnect,
              .maxReconnectInterval = s.maxReconnectInterval,
              .keepAlive = 60,
              .writeTimeout = 10,
              .connectTimeout = s.connectTimeout,
              .edition = s.edition});
}

bool waitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!predicate()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

Output captured(const std::function<void()>& action) {
    ConsoleCapture console;
    action();
    console.stop();
    return {console.out(), console.err()};
}

}  // namespace tarvo::test
