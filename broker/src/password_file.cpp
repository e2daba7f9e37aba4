#include "password_file.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string_view>

#include <mosquitto.h>

#include "regular_file.hpp"

namespace tarvo::broker {
namespace {

std::string where(const std::string &path, unsigned line)
{
    return "password file " + path + " line " + std::to_string(line);
}

unsigned long long number_after(std::string_view text, std::string_view key) noexcept
{
    const auto at = text.find(key);
    unsigned long long number = 0;
    if (at != std::string_view::npos) {
        const char *first = text.data() + at + key.size();
        std::from_chars(first, text.data() + text.size(), number);
    }
    return number;
}

// The three hash kinds Mosquitto checks, cheapest first.
enum class HashKind { sha512, pbkdf2, argon2id };

// How much work checking a password against an encoded hash takes. `work` is
// comparable only between hashes of one kind: PBKDF2's iterations, or Argon2's
// memory (KiB) times passes. Mosquitto's $6$ is one salted SHA-512, cheaper
// than any PBKDF2.
struct HashCost {
    HashKind kind;
    unsigned long long work;

    bool operator==(const HashCost &) const = default;
};

HashCost cost_of(std::string_view encoded) noexcept
{
    if (encoded.starts_with("$7$")) {
        return {HashKind::pbkdf2, number_after(encoded, "$7$")};
    }
    if (encoded.starts_with("$argon2id$")) {
        // $argon2id$v=19$m=47104,t=1,p=1$salt$hash
        return {HashKind::argon2id, number_after(encoded, "m=") * number_after(encoded, "t=")};
    }
    return {HashKind::sha512, 1};
}

std::chrono::steady_clock::duration check_time(mosquitto_pw *hash)
{
    auto fastest = std::chrono::steady_clock::duration::max();
    for (int run = 0; run < 3; ++run) {
        const auto started = std::chrono::steady_clock::now();
        mosquitto_pw_verify(hash, "tarvo decoy probe");
        fastest = std::min(fastest, std::chrono::steady_clock::now() - started);
    }
    return fastest;
}

} // namespace

void PasswordFile::PwCleanup::operator()(mosquitto_pw *pw) const noexcept
{
    mosquitto_pw_cleanup(pw);
}

PasswordFile PasswordFile::load(const std::string &path)
{
    const std::string text = read_regular_file(path, "password file", Readers::any);
    PasswordFile file;
    struct Costliest {
        mosquitto_pw *hash = nullptr;
        unsigned long long work = 0;
    };
    std::array<Costliest, 3> costliest{}; // of each kind, indexed by HashKind
    std::optional<HashCost> first_cost;
    unsigned number = 0;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) {
            line.pop_back();
        }
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const auto colon = line.find(':');
        if (colon == 0 || colon == std::string::npos) {
            throw std::runtime_error(where(path, number) + ": expected username:hash");
        }
        mosquitto_pw *raw = nullptr;
        if (mosquitto_pw_new(&raw, MOSQ_PW_DEFAULT) != MOSQ_ERR_SUCCESS) {
            throw std::bad_alloc();
        }
        PwPtr hash(raw);
        // Plain-text entries fail here on purpose: the file holds only hashes.
        const char *encoded = line.c_str() + colon + 1;
        if (mosquitto_pw_decode(hash.get(), encoded) != MOSQ_ERR_SUCCESS) {
            throw std::runtime_error(where(path, number) +
                                     ": not a password hash this broker supports "
                                     "(make one with mosquitto_passwd)");
        }
        const auto cost = cost_of(encoded);
        file.mixed_costs_ = file.mixed_costs_ || (first_cost && cost != *first_cost);
        first_cost = first_cost.value_or(cost);
        auto &of_kind = costliest.at(static_cast<std::size_t>(cost.kind));
        if (!of_kind.hash || cost.work > of_kind.work) {
            of_kind = {hash.get(), cost.work};
        }
        if (!file.users_.emplace(line.substr(0, colon), std::move(hash)).second) {
            throw std::runtime_error(where(path, number) + ": user listed twice");
        }
    }
    file.make_decoy(costliest[0].hash, costliest[1].hash, costliest[2].hash);
    return file;
}

// An unknown user is checked against the decoy, so that the reply takes as
// long as for a known user and does not tell which names exist. The decoy is
// a copy of the costliest hash in the file: checking it costs exactly what
// checking that user costs, whatever the hash kind and parameters. Its result
// is never used.
void PasswordFile::make_decoy(mosquitto_pw *sha512, mosquitto_pw *pbkdf2, mosquitto_pw *argon2id)
{
    mosquitto_pw *model = argon2id ? argon2id : pbkdf2 ? pbkdf2 : sha512;
    // PBKDF2 and Argon2 costs share no unit; a file holding both is rare, so
    // timing a check of each is affordable.
    if (argon2id && pbkdf2 && check_time(pbkdf2) > check_time(argon2id)) {
        model = pbkdf2;
    }
    mosquitto_pw *raw = nullptr;
    if (mosquitto_pw_new(&raw, MOSQ_PW_SHA512_PBKDF2) != MOSQ_ERR_SUCCESS) {
        throw std::bad_alloc();
    }
    decoy_.reset(raw);
    // With no users, any hash will do: mosquitto_passwd's default kind and cost.
    const int rc = model ? mosquitto_pw_decode(decoy_.get(), mosquitto_pw_get_encoded(model))
                         : mosquitto_pw_hash_encoded(decoy_.get(), "decoy");
    if (rc != MOSQ_ERR_SUCCESS) {
        throw std::runtime_error("cannot hash with the broker's password functions");
    }
}

bool PasswordFile::verify(const std::string &username, const char *password) const
{
    const auto entry = users_.find(username);
    if (entry == users_.end()) {
        mosquitto_pw_verify(decoy_.get(), password);
        return false;
    }
    // Mosquitto compares the derived hashes with CRYPTO_memcmp.
    return mosquitto_pw_verify(entry->second.get(), password) == MOSQ_ERR_SUCCESS;
}

} // namespace tarvo::broker
