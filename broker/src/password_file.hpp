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
    // content.
    static PasswordFile load(const std::string &path);

    bool verify(const std::string &username, const char *password) const;

    std::size_t user_count() const noexcept { return users_.size(); }

private:
    struct PwCleanup {
        void operator()(mosquitto_pw *pw) const noexcept;
    };
    using PwPtr = std::unique_ptr<mosquitto_pw, PwCleanup>;

    PasswordFile() = default;

    std::unordered_map<std::string, PwPtr> users_;
    PwPtr decoy_;
};

} // namespace tarvo::broker
