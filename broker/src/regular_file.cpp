#include "regular_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>

namespace tarvo::broker {
namespace {

class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor()
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

const char *kind_of(mode_t mode) noexcept
{
    if (S_ISDIR(mode)) {
        return "a directory";
    }
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "a device";
    }
    return "not a file";
}

std::string octal(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Wipes the buffer unless released, for the throws between reading and returning.
class Wiped {
public:
    explicit Wiped(std::string &text) noexcept : text_(&text) {}
    Wiped(const Wiped &) = delete;
    Wiped &operator=(const Wiped &) = delete;
    ~Wiped()
    {
        if (text_) {
            OPENSSL_cleanse(text_->data(), text_->size());
        }
    }
    void release() noexcept { text_ = nullptr; }

private:
    std::string *text_;
};

} // namespace

std::string read_regular_file(const std::string &path, std::string_view what, Readers readers,
                              std::size_t max_size)
{
    const std::string name = std::string(what) + " " + path;
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer
    // for ever. It changes nothing for reading a regular file.
    const Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) {
        throw std::runtime_error("cannot open " + name + ": " + std::strerror(errno));
    }
    struct stat status{};
    if (::fstat(fd.get(), &status) != 0) {
        throw std::runtime_error("cannot read " + name + ": " + std::strerror(errno));
    }
    if (!S_ISREG(status.st_mode)) {
        throw std::runtime_error(name + " is not a regular file (it is " + kind_of(status.st_mode) +
                                 ")");
    }
    if (readers == Readers::owner_only && (status.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        throw std::runtime_error(name + " can be read by others than its owner (mode " +
                                 octal(status.st_mode) + "); allow only its owner: chmod 600 " +
                                 path);
    }

    std::string text;
    Wiped wipe(text);
    // Read to the end rather than trust st_size: the file may be growing.
    text.resize(std::min(max_size, static_cast<std::size_t>(status.st_size)) + 1);
    std::size_t size = 0;
    for (;;) {
        if (size == text.size()) {
            if (size > max_size) {
                throw std::runtime_error(name + " is larger than " + std::to_string(max_size) +
                                         " bytes");
            }
            // Growing would leave a copy behind, unwiped: grow by hand.
            std::string larger(std::min(max_size, 2 * size) + 1, '\0');
            std::memcpy(larger.data(), text.data(), size);
            OPENSSL_cleanse(text.data(), text.size());
            text.swap(larger);
        }
        const ssize_t got = ::read(fd.get(), text.data() + size, text.size() - size);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            throw std::runtime_error("cannot read " + name + ": " + std::strerror(errno));
        }
        if (got == 0) {
            break;
        }
        size += static_cast<std::size_t>(got);
    }
    text.resize(size);
    wipe.release();
    return text;
}

} // namespace tarvo::broker
