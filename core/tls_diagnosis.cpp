// Why a TLS connection attempt failed, in words a user can act on.
//
// The library hands over OpenSSL's error queue when its handshake fails, which names a
// broker that does not speak TLS or an alert the broker sent, but not why the broker's
// certificate was refused (only "certificate verify failed"); and it reports a name that
// does not match, or a client certificate refused after a TLS 1.3 handshake, by no
// text at all. For those, one handshake of our own to the same address, with the same
// trust store and client certificate, finds the reason: it lets OpenSSL verify the
// chain without stopping, checks the name as the library does, and waits a moment for
// an alert. It runs only after an attempt failed before its connect timeout, within
// what is left of it, and only for TLS addresses (a second connection to a plain broker
// would be a session it never asked for: a plain address that fails at the TLS port
// 8883 or 443 gets a hint instead).
#include "tls.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <utility>

namespace tarvo {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kDiagnosisTime = std::chrono::seconds(5);
// How long a handshake that went through waits for an alert refusing the client's
// certificate: the broker sends it as soon as it has read the certificate.
constexpr auto kAlertWait = std::chrono::seconds(1);

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::string endpoint(const BrokerAddress& address) { return address.host + ":" + std::to_string(address.port); }

// The words for an alert the broker sent to end the handshake.
std::string brokerAlert(int alert, const TlsFiles& files) {
    // OpenSSL 3.0 has no name for TLS 1.3's "certificate required".
    const std::string name =
        quoted(alert == SSL_AD_CERTIFICATE_REQUIRED ? "certificate required" : SSL_alert_desc_string_long(alert));
    if (files.certFile.empty() && (alert == SSL_AD_CERTIFICATE_REQUIRED || alert == SSL_AD_HANDSHAKE_FAILURE ||
                                   alert == SSL_AD_BAD_CERTIFICATE)) {
        return "the broker requires a client certificate (TLS alert " + name +
               "): give certfile and keyfile to tls_set";
    }
    switch (alert) {
    case SSL_AD_UNKNOWN_CA:
    case SSL_AD_BAD_CERTIFICATE:
    case SSL_AD_CERTIFICATE_EXPIRED:
    case SSL_AD_CERTIFICATE_REVOKED:
    case SSL_AD_CERTIFICATE_UNKNOWN:
    case SSL_AD_UNSUPPORTED_CERTIFICATE:
    case SSL_AD_ACCESS_DENIED:
    case SSL_AD_CERTIFICATE_REQUIRED:
        return "the broker refused the client certificate (TLS alert " + name +
               "): it must be valid and signed by a CA the broker trusts";
    default:
        return "the broker ended the TLS handshake (TLS alert " + name + ")";
    }
}

std::string notTls(const BrokerAddress& address) {
    return "the server at " + endpoint(address) +
           " does not speak TLS (a plain MQTT port? use protocol \"tcp\" there, or the broker's TLS port, "
           "usually 8883)";
}

// The words for one OpenSSL error of a failed handshake; empty when it does not tell
// the reason (a refused chain) or is not known.
std::string describeError(unsigned long error, const BrokerAddress& address, const TlsFiles& files) {
    if (ERR_GET_LIB(error) != ERR_LIB_SSL) {
        return "";
    }
    const int reason = ERR_GET_REASON(error);
    if (reason >= SSL_AD_REASON_OFFSET && reason < SSL_AD_REASON_OFFSET + 256) {
        return brokerAlert(reason - SSL_AD_REASON_OFFSET, files);
    }
    switch (reason) {
    case SSL_R_WRONG_VERSION_NUMBER:
    case SSL_R_PACKET_LENGTH_TOO_LONG:
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_RECORD_LENGTH_MISMATCH:
    case SSL_R_UNEXPECTED_RECORD:
    case SSL_R_UNEXPECTED_MESSAGE:
        return notTls(address);
    case SSL_R_UNEXPECTED_EOF_WHILE_READING:
        return "the server at " + endpoint(address) +
               " closed the connection during the TLS handshake (is it a TLS port? a plain MQTT broker does that)";
    default:
        return "";
    }
}

// The error code of one line of OpenSSL's error queue, as ERR_print_errors_cb writes
// it ("<thread>:error:<code in hex>:<library>:..."); 0 when there is none.
unsigned long errorCode(const std::string& line) {
    const auto at = line.find(":error:");
    return at == std::string::npos ? 0 : std::strtoul(line.c_str() + at + 7, nullptr, 16);
}

std::string describeVerifyResult(long result) {
    const std::string text = quoted(X509_verify_cert_error_string(result));
    switch (result) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        return "the broker's certificate is not signed by a CA this client trusts (" + text +
               "): give that CA's certificate with tls_set(ca_certs=...) or SSL_CERT_FILE";
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return "the broker's certificate has expired (or this machine's clock is wrong)";
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return "the broker's certificate is not valid yet (or this machine's clock is wrong)";
    default:
        return "the broker's certificate was refused (" + text + ")";
    }
}

class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Socket& operator=(Socket&&) = delete;
    ~Socket() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// Waits until fd is ready for events or the deadline passes; false on the latter.
bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            return false;
        }
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, static_cast<int>(left));
        if (ready > 0) {
            return true;
        }
        if (ready == 0) {
            return false;
        }
    }
}

// A non-blocking TCP connection to the address, or an empty one.
std::optional<Socket> connectTo(const BrokerAddress& address, Clock::time_point deadline) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(), &hints, &found) != 0) {
        return std::nullopt;
    }
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> results(found, &freeaddrinfo);
    for (const addrinfo* candidate = found; candidate != nullptr; candidate = candidate->ai_next) {
        Socket socket(::socket(candidate->ai_family, candidate->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                               candidate->ai_protocol));
        if (socket.get() < 0) {
            continue;
        }
        if (::connect(socket.get(), candidate->ai_addr, candidate->ai_addrlen) != 0) {
            if (errno != EINPROGRESS || !waitFor(socket.get(), POLLOUT, deadline)) {
                continue;
            }
            int error = 0;
            socklen_t length = sizeof error;
            if (getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
                continue;
            }
        }
        return socket;
    }
    return std::nullopt;
}

struct ContextReleaser {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct SslReleaser {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};

// Steps an OpenSSL call that may want to wait until it returns, the deadline passes
// (nullopt) or it fails (the SSL error).
template <typename Step>
std::optional<int> runUntil(SSL* ssl, int fd, Clock::time_point deadline, Step step) {
    for (;;) {
        const int result = step();
        if (result > 0) {
            return 0;
        }
        const int error = SSL_get_error(ssl, result);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            if (!waitFor(fd, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline)) {
                return std::nullopt;
            }
            continue;
        }
        return error;
    }
}

}  // namespace

std::string Tls::Attempt::failureReason(int rc) {
    if (rc == MQTTCLIENT_SUCCESS) {
        return "";
    }
    if (!address.usesTls) {
        const bool tlsPort = address.port == 8883 || (address.port == 443 && address.knownScheme);
        return rc == MQTTCLIENT_FAILURE && tlsPort
                   ? "port " + std::to_string(address.port) +
                         " is where brokers listen for TLS: use protocol \"ssl\" (or \"wss\" for websockets)"
                   : "";
    }
    std::vector<std::string> lines;
    {
        LockGuard lock(errorsMutex);
        lines = errors;
    }
    bool chainRefused = false;
    for (const std::string& line : lines) {
        const unsigned long error = errorCode(line);
        if (ERR_GET_LIB(error) == ERR_LIB_SSL && ERR_GET_REASON(error) == SSL_R_CERTIFICATE_VERIFY_FAILED) {
            chainRefused = true;
        } else if (std::string words = describeError(error, address, files); !words.empty()) {
            return words;
        }
    }
    // The handshake of our own has what is left of the attempt's connect timeout (at
    // most kDiagnosisTime): a broker that stalls costs no more than the timeout.
    const auto deadline = std::min(start + connectTimeout, Clock::now() + kDiagnosisTime);
    if (Clock::now() >= deadline) {
        return chainRefused ? "the broker's certificate was refused" : "";
    }
    std::string found = diagnoseHandshake(deadline);
    if (found.empty() && chainRefused) {
        return "the broker's certificate was refused";
    }
    return found;
}

std::string Tls::Attempt::diagnoseHandshake(Clock::time_point deadline) const {
    std::optional<Socket> socket = connectTo(address, deadline);
    if (!socket) {
        return "";
    }
    std::unique_ptr<SSL_CTX, ContextReleaser> context(SSL_CTX_new(TLS_client_method()));
    if (!context || SSL_CTX_load_verify_locations(context.get(), trustFile.empty() ? nullptr : trustFile.c_str(),
                                                  trustDirectory.empty() ? nullptr : trustDirectory.c_str()) != 1) {
        ERR_clear_error();
        return "";
    }
    // Verified after the handshake, so that it runs to its end whatever the chain.
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
    if (!files.certFile.empty()) {
        SSL_CTX_set_default_passwd_cb(context.get(), supplyKeyPassword);
        SSL_CTX_set_default_passwd_cb_userdata(context.get(), const_cast<std::string*>(&files.keyPassword));
        const std::string& keyPath = files.keyFile.empty() ? files.certFile : files.keyFile;
        if (SSL_CTX_use_certificate_chain_file(context.get(), files.certFile.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(context.get(), keyPath.c_str(), SSL_FILETYPE_PEM) != 1) {
            ERR_clear_error();
            return "";
        }
    }
    std::unique_ptr<SSL, SslReleaser> ssl(SSL_new(context.get()));
    if (!ssl || SSL_set_fd(ssl.get(), socket->get()) != 1) {
        ERR_clear_error();
        return "";
    }
    SSL_set_tlsext_host_name(ssl.get(), address.host.c_str());

    std::string reason;
    const std::optional<int> handshake =
        runUntil(ssl.get(), socket->get(), deadline, [&ssl] { return SSL_connect(ssl.get()); });
    if (!handshake) {
        reason = "";  // no answer in time: not a TLS fault that can be named
    } else if (*handshake != 0) {
        reason = describeError(ERR_peek_last_error(), address, files);
    } else if (const long verified = SSL_get_verify_result(ssl.get()); verified != X509_V_OK) {
        reason = describeVerifyResult(verified);
    } else {
        // The name, as the library checks it: a DNS name, else an IP address.
        X509* certificate = SSL_get0_peer_certificate(ssl.get());
        if (certificate == nullptr ||
            (X509_check_host(certificate, address.host.c_str(), address.host.size(), 0, nullptr) != 1 &&
             X509_check_ip_asc(certificate, address.host.c_str(), 0) != 1)) {
            reason = "the broker's certificate is not for " + quoted(address.host) +
                     " (it names other hosts): connect by a name or address it names";
        } else {
            // With TLS 1.3 the broker refuses a client certificate after the client's
            // side of the handshake is done: its alert is the first thing to read.
            char byte = 0;
            const auto waitEnd = std::min(deadline, Clock::now() + kAlertWait);
            const std::optional<int> read =
                runUntil(ssl.get(), socket->get(), waitEnd, [&ssl, &byte] { return SSL_read(ssl.get(), &byte, 1); });
            if (read && *read != 0) {
                reason = describeError(ERR_peek_last_error(), address, files);
            }
        }
    }
    ERR_clear_error();
    return reason;
}

}  // namespace tarvo
