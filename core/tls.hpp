// TLS for the broker connection: the files tls_set gives (checked when given), the
// trust store, the library's TLS options for each connection attempt, and the reason
// a failed attempt's handshake gives, in words a user can act on.
//
// Verification is always on: the broker's chain against the trust store, its name
// against the host of the address (a DNS name or an IP address). There is no switch
// that turns it off.
#pragma once

#include "thread_safety.hpp"

#include <MQTTClient.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo {

// What tls_set gives; an empty string is "not given".
struct TlsFiles {
    std::string caCerts;      // replaces the system's trust store
    std::string certFile;     // the client certificate (its chain may follow it)
    std::string keyFile;      // its private key; empty: the key is in certFile
    std::string keyPassword;  // for an encrypted key
};

// A tls_set file that cannot be used: what() is the reason, then ": 'path'". Unreadable
// carries the errno of the failed open.
class TlsFileError : public std::runtime_error {
public:
    enum class Kind { Unreadable, Invalid };
    TlsFileError(Kind kind_, int errorNumber_, std::string path_, std::string reason_)
        : std::runtime_error(reason_ + ": '" + path_ + "'"),
          kind(kind_),
          errorNumber(errorNumber_),
          path(std::move(path_)),
          reason(std::move(reason_)) {}
    Kind kind;
    int errorNumber;
    std::string path;
    std::string reason;
};

// OpenSSL's password callback for an encrypted key: the password is the std::string
// that `password` points at. An empty one refuses, where OpenSSL would ask the terminal.
int supplyKeyPassword(char* buffer, int size, int rwflag, void* password);

// The address of a connection, as the library reads protocol://host[:port][/path].
struct BrokerAddress {
    bool usesTls = false;
    bool knownScheme = false;  // one of ssl, mqtts, wss, tcp, mqtt, ws
    std::string host;          // without the brackets of an IPv6 address
    int port = 0;              // the scheme's default when the address names none

    static BrokerAddress parse(std::string_view serverUri);
};

class Tls {
public:
    // Checks the files with OpenSSL (readable, PEM, the key opens with the password and
    // matches the certificate) and keeps them for the attempts that follow. Throws
    // TlsFileError, naming the file and the reason, never the password.
    void set(TlsFiles files);
    // Reads SSL_CERT_FILE and SSL_CERT_DIR, for the attempts that follow. Called by init,
    // on the application's thread: getenv on the library's or the reconnect thread could
    // race a Python thread's os.environ change.
    void readEnvironment();

    // One connection attempt's TLS options, and the strings they point at. Made before
    // the library's connect, kept until it returns; never copied or moved.
    class Attempt {
    public:
        Attempt(const Tls& tls, const std::string& serverUri, int connectTimeoutSeconds);
        Attempt(const Attempt&) = delete;
        Attempt& operator=(const Attempt&) = delete;

        // Null for a plain connection.
        MQTTClient_SSLOptions* options() { return address.usesTls ? &sslOptions : nullptr; }
        // Why no attempt may be made (empty: it may). rc is the code to report then.
        const std::string& refusal() const { return refusal_; }
        int refusalCode() const { return refusalCode_; }
        // Why the attempt, which failed with rc, failed; empty when that is not known.
        // May make one handshake of its own to the broker to find out (tls_diagnosis.cpp).
        std::string failureReason(int rc);

    private:
        static int collectError(const char* text, std::size_t length, void* context);
        std::string diagnoseHandshake(std::chrono::steady_clock::time_point deadline) const;

        BrokerAddress address;
        TlsFiles files;
        std::string trustFile;
        std::string trustDirectory;
        std::string refusal_;
        int refusalCode_ = MQTTCLIENT_SUCCESS;
        std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
        std::chrono::seconds connectTimeout;
        MQTTClient_SSLOptions sslOptions = MQTTClient_SSLOptions_initializer;
        // The library reports OpenSSL's errors on whichever thread runs the handshake.
        mutable Mutex errorsMutex;
        std::vector<std::string> errors TARVO_GUARDED_BY(errorsMutex);
    };

private:
    mutable Mutex mutex;
    bool set_ TARVO_GUARDED_BY(mutex) = false;
    TlsFiles files_ TARVO_GUARDED_BY(mutex);
    std::string environmentFile TARVO_GUARDED_BY(mutex);
    std::string environmentDirectory TARVO_GUARDED_BY(mutex);
};

}  // namespace tarvo
