#include "jwe_opener.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>

#include <cjose/base64.h>
#include <cjose/error.h>
#include <cjose/header.h>
#include <cjose/jwe.h>
#include <cjose/util.h>
#include <openssl/crypto.h>

#include "regular_file.hpp"

namespace tarvo::broker {
namespace {

// A private JWK of an 8192-bit RSA key is under 7 KB.
constexpr std::size_t kMaxKeyFileSize = 64 * 1024;

// Memory that cjose allocated and the caller must free. It may hold key
// material or a password, so it is wiped first.
class CjoseBuffer {
public:
    CjoseBuffer() = default;
    CjoseBuffer(const CjoseBuffer &) = delete;
    CjoseBuffer &operator=(const CjoseBuffer &) = delete;
    ~CjoseBuffer()
    {
        if (data_) {
            OPENSSL_cleanse(data_, size_);
            cjose_get_dealloc()(data_);
        }
    }

    // For cjose's (uint8_t **out, size_t *out_len) parameters; only on an
    // empty buffer.
    uint8_t **out() noexcept { return &data_; }
    std::size_t *out_size() noexcept { return &size_; }

    void adopt(uint8_t *data, std::size_t size) noexcept
    {
        data_ = data;
        size_ = size;
    }

    const uint8_t *data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    explicit operator bool() const noexcept { return data_ != nullptr; }

private:
    uint8_t *data_ = nullptr;
    std::size_t size_ = 0;
};

struct JweRelease {
    void operator()(cjose_jwe_t *jwe) const noexcept { cjose_jwe_release(jwe); }
};
using JwePtr = std::unique_ptr<cjose_jwe_t, JweRelease>;

struct HeaderRelease {
    void operator()(cjose_header_t *header) const noexcept { cjose_header_release(header); }
};
using HeaderPtr = std::unique_ptr<cjose_header_t, HeaderRelease>;

struct CjoseStringFree {
    void operator()(char *text) const noexcept { cjose_get_dealloc()(text); }
};
using CjoseStringPtr = std::unique_ptr<char, CjoseStringFree>;

std::string describe(const cjose_err &err)
{
    return err.message ? err.message : "unknown cjose error";
}

bool is_json_whitespace(uint8_t c) noexcept
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// cjose honours only alg and enc and silently ignores every other member,
// including "crit" and "zip", which a recipient must not ignore. Our clients
// send exactly alg and enc, so anything else came from some other producer and
// is refused. Whitespace between JSON tokens is allowed because jansson (and
// so cjose) emits it; whitespace inside strings is kept, so it cannot turn
// some other value into an accepted one.
bool protected_header_is_exact(std::string_view encoded)
{
    CjoseBuffer decoded;
    cjose_err err{};
    if (!cjose_base64url_decode(encoded.data(), encoded.size(), decoded.out(), decoded.out_size(),
                                &err)) {
        return false;
    }
    std::string compact;
    bool in_string = false;
    bool escaped = false;
    for (const uint8_t c : std::span(decoded.data(), decoded.size())) {
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (is_json_whitespace(c)) {
            continue;
        } else {
            in_string = c == '"';
        }
        compact.push_back(static_cast<char>(c));
    }
    return compact == R"({"alg":"RSA-OAEP","enc":"A256GCM"})" ||
           compact == R"({"enc":"A256GCM","alg":"RSA-OAEP"})";
}

// Seals with the very code path clients use, then opens through open(), so a
// key that can only encrypt, or a header form that open() would refuse, is
// found at start-up.
void require_round_trip(const JweOpener &opener, const cjose_jwk_t *key)
{
    constexpr std::string_view probe = "tarvo key probe";
    cjose_err err{};
    HeaderPtr header(cjose_header_new(&err));
    if (!header || !cjose_header_set(header.get(), CJOSE_HDR_ALG, CJOSE_HDR_ALG_RSA_OAEP, &err) ||
        !cjose_header_set(header.get(), CJOSE_HDR_ENC, CJOSE_HDR_ENC_A256GCM, &err)) {
        throw std::runtime_error("cannot build a JWE header: " + describe(err));
    }
    JwePtr sealed(cjose_jwe_encrypt(key, header.get(),
                                    reinterpret_cast<const uint8_t *>(probe.data()), probe.size(),
                                    &err));
    CjoseStringPtr compact(sealed ? cjose_jwe_export(sealed.get(), &err) : nullptr);
    if (!compact) {
        throw std::runtime_error("cannot seal with the private key: " + describe(err));
    }
    auto opened = opener.open(compact.get());
    if (const auto *refusal = std::get_if<Refusal>(&opened)) {
        throw std::runtime_error("cannot open a token sealed to the private key (" +
                                 refusal->reason + "); is it the private half of the pair?");
    }
    const auto &secret = std::get<Secret>(opened);
    if (probe != std::string_view(secret.c_str(), secret.size())) {
        throw std::runtime_error("a token sealed to the private key opened to other content");
    }
}

} // namespace

bool looks_like_compact_jwe(std::string_view password) noexcept
{
    return std::count(password.begin(), password.end(), '.') == 4;
}

void JweOpener::JwkRelease::operator()(cjose_jwk_t *jwk) const noexcept
{
    cjose_jwk_release(jwk);
}

JweOpener JweOpener::from_key_file(const std::string &path)
{
    // Owner only, as SSH insists for private keys: this key opens every
    // device's password.
    std::string json =
        read_regular_file(path, "private key file", Readers::owner_only, kMaxKeyFileSize);
    cjose_err err{};
    JwkPtr key(cjose_jwk_import(json.data(), json.size(), &err));
    OPENSSL_cleanse(json.data(), json.size());
    if (!key) {
        throw std::runtime_error("private key file " + path + " is not a JWK: " + describe(err));
    }
    if (cjose_jwk_get_kty(key.get(), &err) != CJOSE_JWK_KTY_RSA) {
        throw std::runtime_error("private key file " + path + " does not hold an RSA key");
    }
    const std::size_t bits = cjose_jwk_get_keysize(key.get(), &err);
    if (bits < kMinKeyBits) {
        throw std::runtime_error("private key in " + path + " has " + std::to_string(bits) +
                                 " bits; at least " + std::to_string(kMinKeyBits) +
                                 " are required");
    }
    JweOpener opener(std::move(key));
    require_round_trip(opener, opener.key_.get());
    return opener;
}

std::variant<Secret, Refusal> JweOpener::open(std::string_view token) const
{
    if (token.size() > kMaxTokenLength) {
        return Refusal{"token longer than " + std::to_string(kMaxTokenLength) + " characters"};
    }
    if (!protected_header_is_exact(token.substr(0, token.find('.')))) {
        return Refusal{"protected header is not exactly alg RSA-OAEP and enc A256GCM"};
    }
    cjose_err err{};
    JwePtr jwe(cjose_jwe_import(token.data(), token.size(), &err));
    if (!jwe) {
        return Refusal{"malformed token: " + describe(err)};
    }
    std::size_t size = 0;
    uint8_t *content = cjose_jwe_decrypt(jwe.get(), key_.get(), &size, &err);
    CjoseBuffer plaintext;
    plaintext.adopt(content, size);
    if (!plaintext) {
        return Refusal{"cannot decrypt token: " + describe(err)};
    }
    if (std::memchr(plaintext.data(), '\0', plaintext.size()) != nullptr) {
        return Refusal{"decrypted password contains a NUL byte"};
    }
    return Secret(plaintext.data(), plaintext.size());
}

} // namespace tarvo::broker
