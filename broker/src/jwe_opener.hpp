// Opens the compact JWE tokens that Enterprise clients send as their MQTT
// password.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include <cjose/jwk.h>

#include "secret.hpp"

namespace tarvo::broker {

// Anything longer is refused before parsing. A 4096-bit key and a password of
// a few kilobytes still fit; the cap only stops a client from making the
// broker base64-decode and allocate whatever fits in a CONNECT packet.
inline constexpr std::size_t kMaxTokenLength = 8192;

// Smaller keys are refused when the plugin starts.
inline constexpr std::size_t kMinKeyBits = 2048;

// A password is treated as a token when it has the shape of one: five
// dot-separated segments. Everything else is a plain password.
bool looks_like_compact_jwe(std::string_view password) noexcept;

// Why a token was not opened. Never contains any part of the token.
struct Refusal {
    std::string reason;
};

class JweOpener {
public:
    // Reads a private RSA JWK, then seals and opens a probe with it so that a
    // public-only, undersized or otherwise unusable key stops the broker at
    // start-up instead of refusing every client later.
    // Throws std::runtime_error.
    static JweOpener from_key_file(const std::string &path);

    std::variant<Secret, Refusal> open(std::string_view token) const;

private:
    struct JwkRelease {
        void operator()(cjose_jwk_t *jwk) const noexcept;
    };
    using JwkPtr = std::unique_ptr<cjose_jwk_t, JwkRelease>;

    explicit JweOpener(JwkPtr key) noexcept : key_(std::move(key)) {}

    JwkPtr key_;
};

} // namespace tarvo::broker
