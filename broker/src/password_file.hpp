// The users the plugin accepts, read from a file in Mosquitto's own password
// file format (as written by mosquitto_passwd).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>

struct mosquitto_pw;

namespace tarvo::broker {

class PasswordFile {
public:
    // Throws std::runtime_error naming the file and line, never the line's
    // content. The file must be a regular file; it may hold no users.
    static PasswordFile load(const std::string &path);

    bool verify(const std::string &username, const char *password) const;

    std::size_t user_count() const noexcept { return users_.size(); }

    // True when the hashes differ in kind or cost. An unknown user is refused
    // as slowly as the costliest user, so the users with cheaper hashes can be
    // told from unknown names by timing.
    bool mixed_costs() const noexcept { return mixed_costs_; }

private:
    struct PwCleanup {
        void operator()(mosquitto_pw *pw) const noexcept;
    };
    using PwPtr = std::unique_ptr<mosquitto_pw, PwCleanup>;

    PasswordFile() = default;

    void make_decoy(mosquitto_pw *sha512, mosquitto_pw *pbkdf2, mosquitto_pw *argon2id);

    std::unordered_map<std::string, PwPtr> users_;
    PwPtr decoy_;
    bool mixed_costs_ = false;
};

} // namespace tarvo::broker
