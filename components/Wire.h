// The socket component both controls drive: a TCP client that reports everything through
// events. Events are always raised from the event loop, never from inside a call that the
// control makes on the component, so a handler may call back into the component freely.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "common/Types.h"

namespace asio {
class io_context;
}

namespace zef {

class Wire {
public:
    virtual ~Wire() = default;

    // Starts connecting and returns at once; the outcome comes as Connected, or SocketError
    // and Closed. `host` and `port` are UTF-8; `options` is "0" as the controls pass it.
    // May throw zef::Error when the request itself is refused (for example while connected).
    virtual void Connect(const std::string& host, const std::string& port,
                         const std::string& options) = 0;

    // Queues the bytes for sending, in call order. Takes the bytes out of `data`.
    virtual void SendData(Bytes& data) = 0;

    // True while SendData may be called.
    virtual bool CanSend() const = 0;

    // Ends the connection at once, in any state, also while still connecting.
    virtual void Close() = 0;

    // Ends the connection after the queued data has gone out (`how` is 1 as the controls pass it).
    virtual void Shutdown(int how) = 0;

    // The local machine's host name.
    virtual std::string LocalHostName() const = 0;

    // Events. Closed comes exactly once per connection attempt, whatever happened before it.
    std::function<void()> Connected;
    std::function<void(Bytes& data)> DataArrival;
    std::function<void()> SendComplete;  // the send queue has drained
    std::function<void()> Closed;
    std::function<void(long number, const std::string& description, const std::string& source,
                       long extra)>
        SocketError;
    std::function<void(const std::string& text)> SocketTrace;
};

// TCP (IPv4 and IPv6) on the given event loop.
std::unique_ptr<Wire> MakeTcpWire(asio::io_context& io);

}  // namespace zef
