#include "components/wire/TlsStream.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <asio/ip/address.hpp>
#include <asio/ssl/error.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/write.hpp>

#include <utility>

namespace zef::wire {

namespace {

constexpr const char* kTlsSource = "zef.Wire.Tls";

bool IsIpAddress(const std::string& host) {
    asio::error_code error;
    asio::ip::make_address(host, error);
    return !error;
}

class AsioTlsStream final : public TlsStream {
  public:
    AsioTlsStream(asio::ip::tcp::socket& socket, asio::ssl::context& context,
                  const std::string& host, bool verifyPeer)
        : stream_(socket, context), verifyPeer_(verifyPeer) {
        SSL* ssl = stream_.native_handle();
        const bool isAddress = IsIpAddress(host);
        // SNI carries host names only; an address literal is not sent.
        if (!isAddress) {
            SSL_set_tlsext_host_name(ssl, host.c_str());
        }
        if (verifyPeer) {
            // OpenSSL's own name check, so that a mismatch comes back as its verification
            // result ("hostname mismatch") rather than as an anonymous refusal.
            X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
            X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            if (isAddress) {
                X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
            } else {
                X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size());
            }
            stream_.set_verify_mode(asio::ssl::verify_peer);
        } else {
            stream_.set_verify_mode(asio::ssl::verify_none);
        }
    }

    void AsyncHandshake(DoneHandler handler) override {
        stream_.async_handshake(asio::ssl::stream_base::client, std::move(handler));
    }

    void AsyncReadSome(asio::mutable_buffer buffer, Handler handler) override {
        stream_.async_read_some(buffer, std::move(handler));
    }

    void AsyncWrite(asio::const_buffer buffer, Handler handler) override {
        asio::async_write(stream_, buffer, std::move(handler));
    }

    // Sends close_notify without waiting for the peer's: the read that goes on meanwhile takes
    // the rest of the stream, a last reply and the peer's close_notify (as end of stream)
    // included. Asio's shutdown would wait for the peer's alert itself and, running beside the
    // read, take records from under it. OpenSSL writes its alert and reports the shutdown done
    // at once when it believes the peer's alert has come already; that belief lasts only while
    // asio runs the first step of its shutdown, which it does before async_shutdown returns.
    void ShutdownSend(DoneHandler handler) override {
        SSL* ssl = stream_.native_handle();
        const int before = SSL_get_shutdown(ssl);
        SSL_set_shutdown(ssl, before | SSL_RECEIVED_SHUTDOWN);
        stream_.async_shutdown(std::move(handler));
        SSL_set_shutdown(ssl, (SSL_get_shutdown(ssl) & ~SSL_RECEIVED_SHUTDOWN) |
                                  (before & SSL_RECEIVED_SHUTDOWN));
    }

    void Close() override {
        asio::error_code ignored;
        stream_.lowest_layer().close(ignored);
    }

    std::string SessionSummary() override {
        const SSL* ssl = stream_.native_handle();
        return std::string(SSL_get_version(ssl)) + ", " + SSL_get_cipher_name(ssl);
    }

    Failure DescribeHandshakeFailure(const asio::error_code& error) override {
        const long verdict = SSL_get_verify_result(stream_.native_handle());
        if (verifyPeer_ && verdict != X509_V_OK) {
            return {
                verdict,
                std::string("certificate verify failed: ") + X509_verify_cert_error_string(verdict),
                kTlsSource};
        }
        if (error == asio::error::eof || error == asio::ssl::error::stream_truncated) {
            return {error.value(), "TLS handshake failed: the server closed the connection",
                    kTlsSource};
        }
        return {error.value(), "TLS handshake failed: " + DescribeStreamError(error), kTlsSource};
    }

  private:
    asio::ssl::stream<asio::ip::tcp::socket&> stream_;
    bool verifyPeer_;
};

}  // namespace

std::shared_ptr<asio::ssl::context> MakeTlsClientContext(const TlsSettings& settings) {
    auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_client);
    SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
    // A host without a system store can still trust the CA file; a missing store shows later
    // as an unknown issuer, which is the truth.
    asio::error_code ignored;
    context->set_default_verify_paths(ignored);
    if (!settings.caFile.empty()) {
        context->load_verify_file(settings.caFile);
    }
    return context;
}

std::unique_ptr<TlsStream> MakeTlsStream(asio::ip::tcp::socket& socket, asio::ssl::context& context,
                                         const std::string& host, bool verifyPeer) {
    return std::make_unique<AsioTlsStream>(socket, context, host, verifyPeer);
}

std::string DescribeStreamError(const asio::error_code& error) {
    if (error.category() == asio::error::get_ssl_category()) {
        if (const char* reason =
                ERR_reason_error_string(static_cast<unsigned long>(error.value()))) {
            return reason;
        }
    }
    return error.message();
}

}  // namespace zef::wire
