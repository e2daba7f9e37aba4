#include "password_file.hpp"

#include <cctype>
#include <fstream>
#include <stdexcept>

#include <mosquitto.h>

namespace tarvo::broker {
namespace {

std::string where(const std::string &path, unsigned line)
{
    return "password file " + path + " line " + std::to_string(line);
}

} // namespace

void PasswordFile::PwCleanup::operator()(mosquitto_pw *pw) const noexcept
{
    mosquitto_pw_cleanup(pw);
}

PasswordFile PasswordFile::load(const std::string &path)
{
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot open password file " + path);
    }
    PasswordFile file;
    std::string line;
    for (unsigned number = 1; std::getline(in, line); ++number) {
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
        if (mosquitto_pw_decode(hash.get(), line.c_str() + colon + 1) != MOSQ_ERR_SUCCESS) {
            throw std::runtime_error(where(path, number) +
                                     ": not a password hash this broker supports "
                                     "(make one with mosquitto_passwd)");
        }
        if (!file.users_.emplace(line.substr(0, colon), std::move(hash)).second) {
            throw std::runtime_error(where(path, number) + ": user listed twice");
        }
    }
    if (in.bad()) {
        throw std::runtime_error("cannot read password file " + path);
    }

    // An unknown user is checked against this hash too, so that the reply
    // takes as long as for a known user and does not reveal which names exist.
    // It uses mosquitto_passwd's default hash and cost; what it hashes does not
    // matter because its result is never used.
    mosquitto_pw *raw = nullptr;
    if (mosquitto_pw_new(&raw, MOSQ_PW_SHA512_PBKDF2) != MOSQ_ERR_SUCCESS) {
        throw std::bad_alloc();
    }
    file.decoy_.reset(raw);
    if (mosquitto_pw_hash_encoded(file.decoy_.get(), "decoy") != MOSQ_ERR_SUCCESS) {
        throw std::runtime_error("cannot hash with the broker's password functions");
    }
    return file;
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
