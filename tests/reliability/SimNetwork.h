// A network without sockets for the reliability tests: an event loop that runs one posted
// handler at a time (as the application's Asio loop does), a Wire whose peer is a server model
// in the same process, and the link through which such a model answers.
//
// It raises SocketTrace texts as a real socket does (never with data in them).
//
// Everything the control is told arrives through the loop, never nested inside a call the
// control makes, so a test sees the order of events it would see over TCP, and can cut what the
// server sends into DataArrivals as it likes.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

#include "components/Wire.h"

namespace zef::reliability {

class EventLoop {
  public:
    void Post(std::function<void()> handler) { queue_.push_back(std::move(handler)); }
    // Runs handlers until none is left, at most `limit` of them; returns how many ran.
    size_t RunUntilIdle(size_t limit = 10'000'000);

  private:
    std::deque<std::function<void()>> queue_;
};

// What a server model can do to its end of the connection.
class PeerLink {
  public:
    virtual ~PeerLink() = default;
    // One piece of bytes; over the simulated network each piece is one DataArrival.
    virtual void Send(std::string_view bytes) = 0;
    virtual void Close() = 0;
    virtual bool Open() const = 0;
    // Runs `step` later on the loop (for a model that sends a long stream piece by piece).
    virtual void Later(std::function<void()> step) = 0;
};

// The server side of a connection.
class Peer {
  public:
    virtual ~Peer() = default;
    virtual void OnConnect(PeerLink& link) = 0;
    virtual void OnBytes(PeerLink& link, std::string_view bytes) = 0;
};

// How the peer answers a Connect.
enum class ConnectOutcome { kAccept, kRefuse, kNoAnswer };

class SimWire final : public Wire {
  public:
    SimWire(EventLoop& loop, Peer& peer) : loop_(loop), peer_(peer), link_(*this) {}

    ConnectOutcome connectOutcome = ConnectOutcome::kAccept;
    // Called synchronously with every SendData, for logs that interleave with the events.
    std::function<void(const Bytes&)> onSend;

    // --- what happened ---
    int connects = 0;
    int closedRaised = 0;
    int closeCalls = 0;         // Close and Shutdown by the control
    size_t bytesDelivered = 0;  // DataArrival bytes handed to the control

    // --- Wire ---
    void Connect(const std::string& host, const std::string& port,
                 const std::string& options) override;
    void SendData(Bytes& data) override;
    bool CanSend() const override { return state_ == State::kOpen; }
    void Close() override;
    void Shutdown(int how) override;
    std::string LocalHostName() const override { return "client.example"; }

  private:
    enum class State { kIdle, kConnecting, kOpen, kClosed };

    class Link final : public PeerLink {
      public:
        explicit Link(SimWire& wire) : wire_(wire) {}
        void Send(std::string_view bytes) override { wire_.PeerSend(bytes); }
        void Close() override { wire_.End(); }
        bool Open() const override { return wire_.state_ == State::kOpen; }
        void Later(std::function<void()> step) override;

      private:
        SimWire& wire_;
    };

    void PeerSend(std::string_view bytes);
    void ControlClose();
    // The connection is gone: Closed follows once, later, on the loop.
    void End();
    // Posts a handler that runs only while this connection is still the current one.
    void PostForThisConnection(std::function<void()> handler);

    EventLoop& loop_;
    Peer& peer_;
    Link link_;
    State state_ = State::kIdle;
    unsigned generation_ = 0;
    std::string host_;
};

}  // namespace zef::reliability
