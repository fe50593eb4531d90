#include "components/qt/TlsEngine.h"

#include <openssl/err.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

#include <array>
#include <stdexcept>

namespace zef::qt {

namespace {

constexpr const char* kTlsSource = "zef.Wire.Tls";

bool IsIpAddress(const std::string& host) {
    std::array<unsigned char, 16> address{};
    return inet_pton(AF_INET, host.c_str(), address.data()) == 1 ||
           inet_pton(AF_INET6, host.c_str(), address.data()) == 1;
}

// Every certificate of a PEM file into the context's store; false when there is none.
bool LoadCaFile(SSL_CTX* context, const std::string& caFile) {
    BIO* file = BIO_new_file(caFile.c_str(), "r");
    if (file == nullptr) {
        return false;
    }
    int loaded = 0;
    while (X509* certificate = PEM_read_bio_X509(file, nullptr, nullptr, nullptr)) {
        loaded += X509_STORE_add_cert(SSL_CTX_get_cert_store(context), certificate) == 1 ? 1 : 0;
        X509_free(certificate);
    }
    BIO_free(file);
    ERR_clear_error();  // the end of the file reads as an error
    return loaded > 0;
}

// The same context as the Asio wire's: the system's CAs and the CA file, TLS 1.2 or later.
SSL_CTX* MakeContext(const std::string& caFile) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        throw std::runtime_error("cannot create a TLS context");
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_default_verify_paths(context);
    ERR_clear_error();  // a host without a system store shows later as an unknown issuer
    if (!caFile.empty() && !LoadCaFile(context, caFile)) {
        SSL_CTX_free(context);
        throw std::runtime_error("no certificate can be read from it");
    }
    return context;
}

}  // namespace

void TlsEngine::CheckCaFile(const std::string& caFile) {
    SSL_CTX_free(MakeContext(caFile));
}

TlsEngine::TlsEngine(const TlsSettings& settings, const std::string& host)
    : context_(MakeContext(settings.caFile)),
      ssl_(SSL_new(context_.get())),
      verifyPeer_(settings.verifyPeer) {
    if (!ssl_) {
        throw std::runtime_error("cannot create a TLS session");
    }
    incoming_ = BIO_new(BIO_s_mem());
    outgoing_ = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl_.get(), incoming_, outgoing_);
    SSL_set_connect_state(ssl_.get());
    const bool isAddress = IsIpAddress(host);
    if (!isAddress) {
        SSL_set_tlsext_host_name(ssl_.get(), host.c_str());
    }
    if (verifyPeer_) {
        X509_VERIFY_PARAM* param = SSL_get0_param(ssl_.get());
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        if (isAddress) {
            X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
        } else {
            X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size());
        }
        SSL_set_verify(ssl_.get(), SSL_VERIFY_PEER, nullptr);
    } else {
        SSL_set_verify(ssl_.get(), SSL_VERIFY_NONE, nullptr);
    }
}

TlsEngine::Outcome TlsEngine::Classify(int result) {
    switch (SSL_get_error(ssl_.get(), result)) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            return Outcome::kMore;
        case SSL_ERROR_ZERO_RETURN:
            return Outcome::kClosed;
        default:
            lastError_ = ERR_get_error();
            ERR_clear_error();
            return Outcome::kFailed;
    }
}

TlsEngine::Outcome TlsEngine::Handshake() {
    const int result = SSL_do_handshake(ssl_.get());
    return result == 1 ? Outcome::kDone : Classify(result);
}

void TlsEngine::Feed(const char* data, std::size_t size) {
    BIO_write(incoming_, data, static_cast<int>(size));
}

TlsEngine::Outcome TlsEngine::Encrypt(const Bytes& plain) {
    std::size_t done = 0;
    while (done < plain.size()) {
        std::size_t written = 0;
        const int result =
            SSL_write_ex(ssl_.get(), plain.data() + done, plain.size() - done, &written);
        if (result != 1) {
            return Classify(result);
        }
        done += written;
    }
    return Outcome::kDone;
}

TlsEngine::Outcome TlsEngine::Decrypt(Bytes& plain) {
    std::array<char, 16384> buffer{};
    for (;;) {
        std::size_t read = 0;
        const int result = SSL_read_ex(ssl_.get(), buffer.data(), buffer.size(), &read);
        if (result != 1) {
            return Classify(result);
        }
        plain.append(buffer.data(), read);
    }
}

void TlsEngine::CloseSend() {
    SSL_shutdown(ssl_.get());
    ERR_clear_error();
}

Bytes TlsEngine::TakeOutgoing() {
    Bytes bytes(static_cast<std::size_t>(BIO_ctrl_pending(outgoing_)), '\0');
    if (!bytes.empty()) {
        BIO_read(outgoing_, bytes.data(), static_cast<int>(bytes.size()));
    }
    return bytes;
}

std::string TlsEngine::SessionSummary() const {
    return std::string(SSL_get_version(ssl_.get())) + ", " + SSL_get_cipher_name(ssl_.get());
}

std::string TlsEngine::Reason() const {
    const char* reason = ERR_reason_error_string(lastError_);
    return reason != nullptr ? reason : "unknown TLS error";
}

Failure TlsEngine::HandshakeFailure() const {
    const long verdict = SSL_get_verify_result(ssl_.get());
    if (verifyPeer_ && verdict != X509_V_OK) {
        return {verdict,
                std::string("certificate verify failed: ") + X509_verify_cert_error_string(verdict),
                kTlsSource};
    }
    return {static_cast<long>(lastError_), "TLS handshake failed: " + Reason(), kTlsSource};
}

}  // namespace zef::qt
