// TLS client streams over a connected TCP socket, through Asio's OpenSSL binding.
#pragma once

#include <asio/error_code.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>

#include <functional>
#include <memory>
#include <string>

#include "components/Wire.h"
#include "components/wire/ByteStream.h"
#include "components/wire/ConnectionWire.h"

namespace zef::wire {

// The TLS a connection is to use, fixed when it is made.
struct TlsPlan {
    TlsMode mode = TlsMode::None;
    bool verifyPeer = true;
    std::shared_ptr<asio::ssl::context> context;  // set unless mode is None
};

// A client context that trusts the system's CAs and those of `caFile` (when named), and speaks
// TLS 1.2 or later. Throws std::system_error when caFile cannot be loaded.
std::shared_ptr<asio::ssl::context> MakeTlsClientContext(const TlsSettings& settings);

// A ByteStream once its handshake has succeeded.
class TlsStream : public ByteStream {
  public:
    // Runs the client handshake, with the certificate check when the stream was made to verify.
    virtual void AsyncHandshake(DoneHandler handler) = 0;
    // The protocol and cipher agreed, as "TLSv1.3, TLS_AES_256_GCM_SHA384".
    virtual std::string SessionSummary() = 0;
    // What a failed handshake means: the certificate check's verdict when that was the cause
    // (its X509_V_ERR_* number), otherwise the error of the handshake itself.
    virtual Failure DescribeHandshakeFailure(const asio::error_code& error) = 0;
};

// A TLS stream over `socket` for a server known as `host` (a name or an IP address, without
// brackets): the name goes out as SNI and, when `verifyPeer`, the certificate must be issued for
// it by a trusted CA. The socket and the context must outlive the stream.
std::unique_ptr<TlsStream> MakeTlsStream(asio::ip::tcp::socket& socket, asio::ssl::context& context,
                                         const std::string& host, bool verifyPeer);

// What an error of a stream means, in words for a SocketError description: the system's text,
// or OpenSSL's reason without the name of its library.
std::string DescribeStreamError(const asio::error_code& error);

}  // namespace zef::wire
