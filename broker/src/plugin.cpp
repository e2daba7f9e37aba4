// Mosquitto plugin that authenticates CONNECTs whose password is a compact JWE
// (RSA-OAEP + A256GCM) sealed to this broker's key, checking the sealed
// password against a Mosquitto password file.

#include <algorithm>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include <mosquitto.h>

#include "jwe_opener.hpp"
#include "password_file.hpp"

#define TARVO_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace tarvo::broker {
namespace {

constexpr const char *kPluginName = "tarvo-jwe-auth";

struct Settings {
    std::string private_key_file;
    std::string password_file;
    bool allow_plain_passwords = false;
};

Settings parse_options(const mosquitto_opt *options, int count)
{
    Settings settings;
    for (const auto &option : std::span(options, static_cast<std::size_t>(std::max(count, 0)))) {
        const std::string_view key = option.key ? option.key : "";
        const std::string_view value = option.value ? option.value : "";
        if (key == "private_key_file") {
            settings.private_key_file = value;
        } else if (key == "password_file") {
            settings.password_file = value;
        } else if (key == "allow_plain_passwords") {
            if (value != "true" && value != "false") {
                throw std::runtime_error("plugin_opt_allow_plain_passwords must be true or false");
            }
            settings.allow_plain_passwords = value == "true";
        } else {
            // A misspelt option would otherwise leave its default silently in force.
            throw std::runtime_error("unknown option plugin_opt_" + std::string(key));
        }
    }
    if (settings.private_key_file.empty()) {
        throw std::runtime_error("plugin_opt_private_key_file is required");
    }
    if (settings.password_file.empty()) {
        throw std::runtime_error("plugin_opt_password_file is required");
    }
    return settings;
}

const char *or_empty(const char *text) noexcept
{
    return text ? text : "";
}

// A client id or username as it goes into the log: quoted, and shortened when
// long, with its length. Mosquitto keeps about 1,000 characters of a log line,
// and both may be 65,535 bytes long.
std::string quoted(const char *text)
{
    constexpr std::size_t kShown = 64;
    const std::string_view whole = or_empty(text);
    std::size_t shown = std::min(whole.size(), kShown);
    // Cut between UTF-8 characters, not inside one.
    while (shown < whole.size() && shown > 0 &&
           (static_cast<unsigned char>(whole[shown]) & 0xC0) == 0x80) {
        --shown;
    }
    std::string result = "'" + std::string(whole.substr(0, shown));
    // Mosquitto already refuses control characters in both; this keeps a
    // line break from forging a log line should that ever change.
    std::replace_if(
        result.begin(), result.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; }, '?');
    if (shown == whole.size()) {
        return result + "'";
    }
    return result + "\u2026' (" + std::to_string(whole.size()) + " bytes)"; // an ellipsis
}

class Authenticator {
public:
    explicit Authenticator(const Settings &settings)
        : opener_(JweOpener::from_key_file(settings.private_key_file)),
          passwords_(PasswordFile::load(settings.password_file)),
          allow_plain_passwords_(settings.allow_plain_passwords)
    {
    }

    int check(const mosquitto_evt_basic_auth &event) const
    {
        if (!event.username || !event.password) {
            return refuse(event, MOSQ_LOG_NOTICE, "no username or no password");
        }
        const std::string_view password = event.password;
        if (!looks_like_compact_jwe(password)) {
            if (!allow_plain_passwords_) {
                return refuse(event, MOSQ_LOG_NOTICE, "plain passwords are not allowed");
            }
            return verify(event, event.password);
        }
        auto opened = opener_.open(password);
        if (const auto *refusal = std::get_if<Refusal>(&opened)) {
            return refuse(event, MOSQ_LOG_WARNING, refusal->reason);
        }
        return verify(event, std::get<Secret>(opened).c_str());
    }

    std::size_t user_count() const noexcept { return passwords_.user_count(); }
    bool mixed_costs() const noexcept { return passwords_.mixed_costs(); }
    bool allows_plain_passwords() const noexcept { return allow_plain_passwords_; }

private:
    int verify(const mosquitto_evt_basic_auth &event, const char *password) const
    {
        if (!passwords_.verify(event.username, password)) {
            return refuse(event, MOSQ_LOG_NOTICE, "unknown user or wrong password");
        }
        return MOSQ_ERR_SUCCESS;
    }

    // The reason must never quote the token or the password. The reason and
    // the address come first, the names the client chose last.
    static int refuse(const mosquitto_evt_basic_auth &event, unsigned level,
                      std::string_view reason)
    {
        mosquitto_log_printf(static_cast<int>(level),
                             "%s: refused (%.*s) from %s: client %s, username %s", kPluginName,
                             static_cast<int>(reason.size()), reason.data(),
                             or_empty(mosquitto_client_address(event.client)),
                             quoted(mosquitto_client_id(event.client)).c_str(),
                             quoted(event.username).c_str());
        return MOSQ_ERR_AUTH;
    }

    JweOpener opener_;
    PasswordFile passwords_;
    bool allow_plain_passwords_;
};

struct PluginState {
    // Kept because Mosquitto 2.1 does not re-read plugin options on reload:
    // the reload event arrives with no options at all.
    Settings settings;
    std::unique_ptr<Authenticator> authenticator;
};

void log_loaded(const Settings &settings, const Authenticator &authenticator, const char *what)
{
    if (authenticator.user_count() == 0) {
        mosquitto_log_printf(MOSQ_LOG_WARNING,
                             "%s: password file %s has no users: every client is refused until "
                             "users are added and the broker is sent SIGHUP",
                             kPluginName, settings.password_file.c_str());
    }
    if (authenticator.mixed_costs()) {
        mosquitto_log_printf(MOSQ_LOG_WARNING,
                             "%s: password file %s mixes hash kinds or costs: users with cheaper "
                             "hashes can be told from unknown names by how fast they are refused; "
                             "hash every password alike",
                             kPluginName, settings.password_file.c_str());
    }
    mosquitto_log_printf(MOSQ_LOG_INFO, "%s: %s %zu users; plain passwords %s", kPluginName, what,
                         authenticator.user_count(),
                         authenticator.allows_plain_passwords() ? "allowed" : "refused");
}

int on_basic_auth(int, void *event_data, void *userdata) noexcept
{
    const auto &state = *static_cast<PluginState *>(userdata);
    try {
        return state.authenticator->check(*static_cast<mosquitto_evt_basic_auth *>(event_data));
    } catch (const std::exception &error) {
        mosquitto_log_printf(MOSQ_LOG_ERR, "%s: refused a client after an internal error: %s",
                             kPluginName, error.what());
        return MOSQ_ERR_AUTH;
    }
}

// Lets operators add users, change passwords or replace the key with SIGHUP
// instead of a restart that would drop every client.
int on_reload(int, void *, void *userdata) noexcept
{
    auto &state = *static_cast<PluginState *>(userdata);
    try {
        auto authenticator = std::make_unique<Authenticator>(state.settings);
        // Most likely a file truncated or being rewritten: it would lock every
        // device out.
        if (authenticator->user_count() == 0 && state.authenticator->user_count() > 0) {
            throw std::runtime_error("password file " + state.settings.password_file +
                                     " has no users");
        }
        state.authenticator = std::move(authenticator);
        log_loaded(state.settings, *state.authenticator, "reloaded");
    } catch (const std::exception &error) {
        // Keeping the previous files in force beats locking every client out
        // because of a half-edited file.
        mosquitto_log_printf(MOSQ_LOG_ERR, "%s: reload failed, keeping previous settings: %s",
                             kPluginName, error.what());
    }
    return MOSQ_ERR_SUCCESS;
}

} // namespace
} // namespace tarvo::broker

using namespace tarvo::broker;

TARVO_PLUGIN_EXPORT int mosquitto_plugin_version(int supported_version_count,
                                                 const int *supported_versions)
{
    const std::span versions(supported_versions,
                             static_cast<std::size_t>(std::max(supported_version_count, 0)));
    const bool supported = std::ranges::find(versions, MOSQ_PLUGIN_VERSION) != versions.end();
    return supported ? MOSQ_PLUGIN_VERSION : -1;
}

TARVO_PLUGIN_EXPORT int mosquitto_plugin_init(mosquitto_plugin_id_t *identifier, void **userdata,
                                              mosquitto_opt *options, int option_count)
{
    try {
        auto settings = parse_options(options, option_count);
        auto authenticator = std::make_unique<Authenticator>(settings);
        auto state = std::make_unique<PluginState>(std::move(settings), std::move(authenticator));
        mosquitto_plugin_set_info(identifier, kPluginName, TARVO_BROKER_PLUGIN_VERSION);
        int rc = mosquitto_callback_register(identifier, MOSQ_EVT_BASIC_AUTH, on_basic_auth,
                                             nullptr, state.get());
        if (rc == MOSQ_ERR_SUCCESS) {
            rc = mosquitto_callback_register(identifier, MOSQ_EVT_RELOAD, on_reload, nullptr,
                                             state.get());
            if (rc != MOSQ_ERR_SUCCESS) {
                mosquitto_callback_unregister(identifier, MOSQ_EVT_BASIC_AUTH, on_basic_auth,
                                              nullptr);
            }
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            mosquitto_log_printf(MOSQ_LOG_ERR, "%s: cannot register callbacks (error %d)",
                                 kPluginName, rc);
            return rc;
        }
        log_loaded(state->settings, *state->authenticator, "loaded");
        *userdata = state.release();
        return MOSQ_ERR_SUCCESS;
    } catch (const std::exception &error) {
        mosquitto_log_printf(MOSQ_LOG_ERR, "%s: %s", kPluginName, error.what());
        return MOSQ_ERR_INVAL;
    }
}

TARVO_PLUGIN_EXPORT int mosquitto_plugin_cleanup(void *userdata, mosquitto_opt *, int)
{
    // Mosquitto 2.1 unregisters the callbacks itself.
    delete static_cast<PluginState *>(userdata);
    return MOSQ_ERR_SUCCESS;
}
