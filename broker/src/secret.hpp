// A NUL-terminated byte string that is wiped before its memory is released.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>

#include <openssl/crypto.h>

namespace tarvo::broker {

class Secret {
public:
    // Copies rather than adopts: Mosquitto's password hashing wants a C
    // string and decrypted JWE content carries no terminator.
    Secret(const void *bytes, std::size_t size)
        : bytes_(std::make_unique<char[]>(size + 1)), size_(size)
    {
        std::memcpy(bytes_.get(), bytes, size);
    }

    Secret(Secret &&) noexcept = default;
    Secret &operator=(Secret &&) noexcept = default;
    Secret(const Secret &) = delete;
    Secret &operator=(const Secret &) = delete;

    ~Secret()
    {
        if (bytes_) {
            OPENSSL_cleanse(bytes_.get(), size_);
        }
    }

    const char *c_str() const noexcept { return bytes_.get(); }
    std::size_t size() const noexcept { return size_; }

private:
    std::unique_ptr<char[]> bytes_;
    std::size_t size_;
};

} // namespace tarvo::broker
