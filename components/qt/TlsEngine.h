// A TLS client that never touches a socket: OpenSSL over memory buffers. The Qt wire feeds it
// the bytes that arrive and sends what it gives back, so the event loop stays Qt's own while the
// certificate check, the close_notify and the error numbers are those of the Asio wire.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "common/Types.h"
#include "components/Wire.h"

namespace zef::qt {

// A failure as SocketError reports it.
struct Failure {
    long number = 0;
    std::string description;
    std::string source;
};

class TlsEngine {
  public:
    enum class Outcome { kMore, kDone, kClosed, kFailed };

    // A client for a server known as `host` (a name or an address, without brackets): the name
    // goes out as SNI and, when `settings.verifyPeer`, the certificate must be issued for it by
    // a CA of the system or of settings.caFile. Throws std::runtime_error when the CA file
    // holds no certificate that can be read.
    TlsEngine(const TlsSettings& settings, const std::string& host);

    // Checks that the CA file can be used, so that Connect can refuse at once.
    static void CheckCaFile(const std::string& caFile);

    // Runs the handshake as far as the bytes fed so far allow.
    Outcome Handshake();
    // Bytes from the network.
    void Feed(const char* data, std::size_t size);
    // Encrypts `plain` for sending.
    Outcome Encrypt(const Bytes& plain);
    // Appends whatever can be decrypted to `plain`; kClosed once the peer's close_notify came.
    Outcome Decrypt(Bytes& plain);
    // Queues close_notify without waiting for the peer's.
    void CloseSend();
    // Takes the bytes to send to the network.
    Bytes TakeOutgoing();

    // "TLSv1.3, TLS_AES_256_GCM_SHA384".
    std::string SessionSummary() const;
    // What the last kFailed of Handshake meant: the certificate check's verdict when that was
    // the cause, otherwise OpenSSL's reason.
    Failure HandshakeFailure() const;
    // OpenSSL's reason for the last kFailed of Encrypt or Decrypt.
    Failure StreamFailure(const char* source) const {
        return {static_cast<long>(lastError_), Reason(), source};
    }

  private:
    Outcome Classify(int result);
    std::string Reason() const;

    struct Free {
        void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
        void operator()(SSL* ssl) const { SSL_free(ssl); }
    };
    std::unique_ptr<SSL_CTX, Free> context_;
    std::unique_ptr<SSL, Free> ssl_;
    BIO* incoming_ = nullptr;  // owned by ssl_
    BIO* outgoing_ = nullptr;  // owned by ssl_
    bool verifyPeer_;
    unsigned long lastError_ = 0;
};

}  // namespace zef::qt
