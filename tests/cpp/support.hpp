// Test support for the client core: a real Mosquitto on a free loopback port, sockets
// that nothing answers on, the console the SDK objects write to, recorders for handler
// calls, and a background thread that is always joined.
#pragma once

#include "sdk.hpp"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// U+2014 in UTF-8, as in "[SDK] connect \u2014 call init() first"; a macro so that it
// joins the literals around it.
#define EM_DASH "\xE2\x80\x94"

namespace tarvo::test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline constexpr const char* kHost = "127.0.0.1";

// A port on 127.0.0.1 that was free a moment ago.
int freePort();

// A Mosquitto process of the test's own, listening on 127.0.0.1:port(); restartable on
// the same port. Killed (SIGKILL, by PID) when destroyed.
class Broker {
public:
    Broker();
    ~Broker();
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    int port() const { return port_; }
    std::string address() const;  // "127.0.0.1:PORT", the SDK's brokerHost
    std::string uri() const { return "tcp://" + address(); }
    void start();  // returns once the broker accepts connections
    void kill();   // abrupt: clients see their connection drop; start() again on the same port

private:
    std::filesystem::path dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// A loopback port where connections are refused: a socket bound to it, never listening,
// keeps anything else from taking it.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    int port() const { return port_; }
    std::string address() const;

private:
    int fd_ = -1;
    int port_ = 0;
};

// A listening socket that never accepts or answers: tells whether anything tried to connect.
class SilentListener {
public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    std::string address() const;
    // True once a connection is waiting to be accepted (checked for up to `within`).
    bool wasConnected(std::chrono::milliseconds within = 0ms) const;

private:
    int fd_ = -1;
    int port_ = 0;
};

// The console of the SDK objects the tests make: every line written to consoleSink() is
// kept, with the time it was written, for the captures below; a line that no capture
// takes goes on to the real stream.
ConsoleSink consoleSink();

// The console lines written to consoleSink() from the capture's making until stop().
// If the test has failed by the time the capture ends, its lines are written to the
// real stderr.
class ConsoleCapture {
public:
    enum Stream { Out = 0, Err = 1 };
    struct Line {
        Clock::time_point time;
        std::string text;  // without its line feed
    };

    ConsoleCapture();
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    // Ends the capture; everything written until then is kept.
    void stop();
    std::string out() { return text(Out); }
    std::string err() { return text(Err); }
    // The lines, each with its line feed.
    std::string text(Stream stream);
    std::vector<Line> lines(Stream stream);
    // Number of lines that start with prefix.
    std::size_t count(Stream stream, std::string_view prefix);
    // Waits until at least n lines on stream start with prefix.
    bool waitForLines(Stream stream, std::string_view prefix, std::size_t n, std::chrono::milliseconds timeout);

private:
    std::size_t begin_[2];
    std::size_t end_[2];
    bool running_ = true;
};

// Records connection-handler calls: the values and the calling thread.
class ConnectionLog {
public:
    struct Call {
        bool connected;
        int code;
        std::thread::id thread;
    };
    SDK::ConnectionHandler handler();
    std::vector<Call> calls();
    bool waitForCalls(std::size_t n, std::chrono::milliseconds timeout);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
};

// Records message-handler calls.
class MessageLog {
public:
    struct Message {
        std::string topic;
        std::string payload;
    };
    SDK::MessageHandler handler();
    std::vector<Message> messages();
    bool waitForMessages(std::size_t n, std::chrono::milliseconds timeout);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Message> messages_;
};

// SDK::init's arguments that the tests vary; the rest keep these defaults.
struct Settings {
    std::string brokerHost = "";
    std::string protocol = "tcp";
    std::string clientId = "";  // empty: a fresh unique id
    std::string username = "";
    std::string password = "";
    bool autoReconnect = false;
    int maxReconnectInterval = 1;
    int connectTimeout = 5;
    std::string edition = "Community";
};

void init(SDK& sdk, const Settings& settings);
std::string uniqueClientId();

bool waitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);

// A thread running body(stopping) until stopping turns true; stopped and joined by
// stop() or the destructor, so a failed assertion cannot leave it running.
class Background {
public:
    explicit Background(std::function<void(const std::atomic<bool>& stopping)> body)
        : thread_([this, body = std::move(body)] { body(stopping_); }) {}
    ~Background() { stop(); }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    void stop() {
        stopping_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

private:
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// What an action wrote to consoleSink(), on each stream.
struct Output {
    std::string out;
    std::string err;
};
Output captured(const std::function<void()>& action);

}  // namespace tarvo::test
