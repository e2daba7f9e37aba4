// TLS settings, the trust store, and the options each connection attempt hands the
// library.
#include "tls.hpp"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace tarvo {

namespace {

// The system bundles of the major distributions, in the order they are looked for. The
// wheel's OpenSSL knows only Debian's place, which Fedora, RHEL, SUSE and Alpine lack.
constexpr const char* kSystemBundles[] = {
    "/etc/ssl/certs/ca-certificates.crt",                 // Debian, Ubuntu, Arch, Gentoo
    "/etc/pki/tls/certs/ca-bundle.crt",                   // Fedora, RHEL, CentOS
    "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",  // Fedora, RHEL (extracted)
    "/etc/ssl/ca-bundle.pem",                             // openSUSE, SLES
    "/etc/ssl/cert.pem",                                  // Alpine
    "/etc/pki/tls/cacert.pem",                            // OpenELEC
};

std::string environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool readableFile(const char* path) { return access(path, R_OK) == 0; }

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
struct X509Releaser {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct KeyReleaser {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;
using Certificate = std::unique_ptr<X509, X509Releaser>;
using PrivateKey = std::unique_ptr<EVP_PKEY, KeyReleaser>;

File openForReading(const std::string& role, const std::string& path) {
    File file(std::fopen(path.c_str(), "re"));
    if (!file) {
        const int error = errno;
        throw TlsFileError(TlsFileError::Kind::Unreadable, error, path,
                           "tls_set: cannot read " + role + ": " + std::strerror(error));
    }
    return file;
}

[[noreturn]] void invalid(const std::string& path, const std::string& reason) {
    ERR_clear_error();
    throw TlsFileError(TlsFileError::Kind::Invalid, 0, path, "tls_set: " + reason);
}

// The first certificate of a PEM file, and how many it holds.
Certificate readCertificates(const std::string& role, const std::string& path, int& count) {
    File file = openForReading(role, path);
    Certificate first;
    count = 0;
    while (X509* certificate = PEM_read_X509(file.get(), nullptr, nullptr, nullptr)) {
        if (count++ == 0) {
            first.reset(certificate);
        } else {
            X509_free(certificate);
        }
    }
    ERR_clear_error();  // the end of the file
    if (count == 0) {
        invalid(path, role + " holds no PEM certificate");
    }
    return first;
}

// Whether a PEM file holds an encrypted private key (PKCS#8, or the older
// "Proc-Type: 4,ENCRYPTED" header).
bool holdsEncryptedKey(const std::string& path) {
    File file = openForReading("keyfile", path);
    std::string text;
    char buffer[4096];
    while (const std::size_t got = std::fread(buffer, 1, sizeof buffer, file.get())) {
        text.append(buffer, got);
    }
    return text.find("ENCRYPTED") != std::string::npos;
}

void checkFiles(const TlsFiles& files) {
    if (!files.caCerts.empty()) {
        int count = 0;
        readCertificates("ca_certs", files.caCerts, count);
    }
    if (files.certFile.empty()) {
        if (!files.keyFile.empty() || !files.keyPassword.empty()) {
            invalid(files.keyFile, "keyfile and keyfile_password need a certfile");
        }
        return;
    }
    int count = 0;
    const Certificate certificate = readCertificates("certfile", files.certFile, count);
    const std::string& keyPath = files.keyFile.empty() ? files.certFile : files.keyFile;
    File keyFile = openForReading("keyfile", keyPath);
    PrivateKey key(PEM_read_PrivateKey(keyFile.get(), nullptr, supplyKeyPassword,
                                       const_cast<std::string*>(&files.keyPassword)));
    if (!key) {
        if (!holdsEncryptedKey(keyPath)) {
            invalid(keyPath, "keyfile holds no PEM private key");
        }
        invalid(keyPath, files.keyPassword.empty() ? "the private key is encrypted: give keyfile_password"
                                                   : "keyfile_password does not open the private key");
    }
    if (X509_check_private_key(certificate.get(), key.get()) != 1) {
        invalid(keyPath, "the private key does not match the certificate in '" + files.certFile + "'");
    }
    ERR_clear_error();
}

}  // namespace

int supplyKeyPassword(char* buffer, int size, int /*rwflag*/, void* password) {
    const auto& text = *static_cast<const std::string*>(password);
    if (text.empty() || text.size() > static_cast<std::size_t>(size)) {
        return -1;
    }
    std::memcpy(buffer, text.data(), text.size());
    return static_cast<int>(text.size());
}

BrokerAddress BrokerAddress::parse(std::string_view serverUri) {
    struct Scheme {
        std::string_view prefix;
        bool tls;
        int defaultPort;
    };
    // The library's schemes and default ports.
    constexpr Scheme kSchemes[] = {{"ssl://", true, 8883},  {"mqtts://", true, 8883}, {"wss://", true, 443},
                                   {"tcp://", false, 1883}, {"mqtt://", false, 1883}, {"ws://", false, 80}};
    BrokerAddress address;
    std::string_view rest = serverUri;
    for (const Scheme& scheme : kSchemes) {
        if (serverUri.starts_with(scheme.prefix)) {
            address.knownScheme = true;
            address.usesTls = scheme.tls;
            address.port = scheme.defaultPort;
            rest.remove_prefix(scheme.prefix.size());
            break;
        }
    }
    rest = rest.substr(0, rest.find('/'));  // a websocket path
    std::string_view portText;
    if (rest.starts_with('[')) {
        const auto close = rest.find(']');
        address.host = std::string(rest.substr(1, close == std::string_view::npos ? close : close - 1));
        if (close != std::string_view::npos && rest.substr(close + 1).starts_with(':')) {
            portText = rest.substr(close + 2);
        }
    } else {
        const auto colon = rest.rfind(':');
        address.host = std::string(rest.substr(0, colon));
        if (colon != std::string_view::npos) {
            portText = rest.substr(colon + 1);
        }
    }
    if (!portText.empty()) {
        address.port = std::atoi(std::string(portText).c_str());
    }
    return address;
}

void Tls::set(TlsFiles files) {
    checkFiles(files);
    LockGuard lock(mutex);
    files_ = std::move(files);
    set_ = true;
}

void Tls::readEnvironment() {
    std::string file = environmentValue("SSL_CERT_FILE");
    std::string directory = environmentValue("SSL_CERT_DIR");
    LockGuard lock(mutex);
    environmentFile = std::move(file);
    environmentDirectory = std::move(directory);
}

Tls::Attempt::Attempt(const Tls& tls, const std::string& serverUri, int connectTimeoutSeconds)
    : address(BrokerAddress::parse(serverUri)), connectTimeout(connectTimeoutSeconds) {
    bool tlsSet = false;
    std::string environmentFile;
    std::string environmentDirectory;
    {
        LockGuard lock(tls.mutex);
        tlsSet = tls.set_;
        files = tls.files_;
        environmentFile = tls.environmentFile;
        environmentDirectory = tls.environmentDirectory;
    }
    if (!address.usesTls) {
        if (tlsSet) {
            // Never sent in clear what the application asked to protect.
            refusalCode_ = MQTTCLIENT_BAD_PROTOCOL;
            refusal_ = "TLS: tls_set was called, but the address \"" + serverUri +
                       "\" is not a TLS one: use protocol \"ssl\", \"mqtts\" or \"wss\"";
        }
        return;
    }
    // The trust store: ca_certs, else what OpenSSL programs honour (SSL_CERT_FILE,
    // SSL_CERT_DIR, as init found them), else the first system bundle found, looked for
    // at every attempt: it may appear or move while the program runs.
    if (!files.caCerts.empty()) {
        trustFile = files.caCerts;
    } else {
        trustFile = std::move(environmentFile);
        trustDirectory = std::move(environmentDirectory);
        if (!trustFile.empty() && trustDirectory.empty() && !readableFile(trustFile.c_str())) {
            refusalCode_ = MQTTCLIENT_FAILURE;
            refusal_ = "TLS: SSL_CERT_FILE names \"" + trustFile +
                       "\", which cannot be read: give the broker's CA "
                       "with tls_set(ca_certs=...) or set SSL_CERT_FILE to a readable PEM file";
            return;
        }
        if (trustFile.empty() && trustDirectory.empty()) {
            for (const char* bundle : kSystemBundles) {
                if (readableFile(bundle)) {
                    trustFile = bundle;
                    break;
                }
            }
        }
    }
    if (trustFile.empty() && trustDirectory.empty()) {
        refusalCode_ = MQTTCLIENT_FAILURE;
        refusal_ = "TLS: no trusted CA certificates found (no SSL_CERT_FILE or SSL_CERT_DIR, and no system bundle "
                   "such as /etc/ssl/certs/ca-certificates.crt or /etc/pki/tls/certs/ca-bundle.crt): give the "
                   "broker's CA with tls_set(ca_certs=...) or set SSL_CERT_FILE";
        return;
    }
    sslOptions.trustStore = trustFile.empty() ? nullptr : trustFile.c_str();
    sslOptions.CApath = trustDirectory.empty() ? nullptr : trustDirectory.c_str();
    sslOptions.disableDefaultTrustStore = 1;
    sslOptions.enableServerCertAuth = 1;
    sslOptions.verify = 1;  // the name, against the host of the address
    if (!files.certFile.empty()) {
        sslOptions.keyStore = files.certFile.c_str();
        sslOptions.privateKey = files.keyFile.empty() ? nullptr : files.keyFile.c_str();
        sslOptions.privateKeyPassword = files.keyPassword.empty() ? nullptr : files.keyPassword.c_str();
    }
    sslOptions.ssl_error_cb = &Attempt::collectError;
    sslOptions.ssl_error_context = this;
}

// Called by the library, on the thread that runs the handshake, with each line of
// OpenSSL's error queue when a step of it fails.
int Tls::Attempt::collectError(const char* text, std::size_t length, void* context) {
    auto& attempt = *static_cast<Attempt*>(context);
    LockGuard lock(attempt.errorsMutex);
    attempt.errors.emplace_back(text, length);
    return 1;
}

}  // namespace tarvo
