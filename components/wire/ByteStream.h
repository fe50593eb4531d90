// The byte stream a connection reads and writes once its TCP socket is connected: plain TCP, or
// TLS over the same socket (from the start, or after STARTTLS), without the connection's logic
// changing.
#pragma once

#include <asio/buffer.hpp>
#include <asio/error_code.hpp>
#include <asio/ip/tcp.hpp>

#include <cstddef>
#include <functional>
#include <memory>

namespace zef::wire {

class ByteStream {
  public:
    using Handler = std::function<void(const asio::error_code& error, std::size_t bytes)>;
    using DoneHandler = std::function<void(const asio::error_code& error)>;

    virtual ~ByteStream() = default;

    // Reads what is available, at least one byte, into `buffer`.
    virtual void AsyncReadSome(asio::mutable_buffer buffer, Handler handler) = 0;
    // Writes the whole of `buffer`; the handler runs once it has all gone or on an error.
    virtual void AsyncWrite(asio::const_buffer buffer, Handler handler) = 0;
    // Tells the peer that nothing more will be sent; reading goes on. The handler may run before
    // this returns (plain TCP) or later (TLS, once the peer answered or the stream ended).
    virtual void ShutdownSend(DoneHandler handler) = 0;
    // Ends the stream at once; pending operations complete with operation_aborted.
    virtual void Close() = 0;
};

// Reads and writes the socket as it is. The socket must outlive the stream.
std::unique_ptr<ByteStream> MakePlainStream(asio::ip::tcp::socket& socket);

}  // namespace zef::wire
