// What the wire tests share: a record of the events a wire raised, a byte pattern that shows
// lost or reordered pieces, and a fixture that runs the event loop with loopback peers on it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <asio.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "components/Wire.h"
#include "tests/support/EventLoop.h"

namespace zef {

using namespace std::chrono_literals;

// Everything the wire raised, in order.
struct WireLog {
    // "Connected", "Data", "SendComplete", "TlsReady", "SocketError", "Closed"
    std::vector<std::string> events;
    Bytes received;
    std::vector<std::string> traces;
    long errorNumber = 0;
    std::string errorDescription;
    std::string errorSource;

    int Count(const std::string& name) const {
        return static_cast<int>(std::count(events.begin(), events.end(), name));
    }
    bool Has(const std::string& name) const { return Count(name) > 0; }
    bool Traced(const std::string& text) const {
        return std::find(traces.begin(), traces.end(), text) != traces.end();
    }
};

// A byte pattern whose every position differs from its neighbours', so that a lost, doubled
// or reordered piece shows.
inline Bytes Pattern(size_t size, size_t offset = 0) {
    Bytes bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        const size_t at = offset + i;
        bytes[i] = static_cast<char>((at * 131 + (at >> 12)) & 0xFF);
    }
    return bytes;
}

class WireTest : public ::testing::Test {
  protected:
    void SetUp() override {
        wire_ = MakeTcpWire(io_);
        Attach(*wire_, log_);
    }

    void Attach(Wire& wire, WireLog& log) {
        wire.Connected = [this, &log] { Record(log, "Connected"); };
        wire.DataArrival = [this, &log](Bytes& data) {
            Record(log, "Data");
            log.received += data;
        };
        wire.SendComplete = [this, &log] { Record(log, "SendComplete"); };
        wire.TlsReady = [this, &log] { Record(log, "TlsReady"); };
        wire.Closed = [this, &log] { Record(log, "Closed"); };
        wire.SocketError = [this, &log](long number, const std::string& description,
                                        const std::string& source, long) {
            Record(log, "SocketError");
            log.errorNumber = number;
            log.errorDescription = description;
            log.errorSource = source;
        };
        wire.SocketTrace = [&log](const std::string& text) { log.traces.push_back(text); };
    }

    // Every event checks that it was not raised from inside a call the test made on the wire.
    void Record(WireLog& log, const std::string& name) {
        EXPECT_FALSE(insideCall_) << name << " raised inside a call on the wire";
        log.events.push_back(name);
    }

    // Calls into the wire through here mark the span of the call.
    template <typename Call>
    void OnWire(Call call) {
        insideCall_ = true;
        call();
        insideCall_ = false;
    }

    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline = 20s) {
        return test::RunUntil(io_, done, deadline);
    }
    void RunFor(std::chrono::milliseconds span) { test::RunFor(io_, span); }

    // Connects to the acceptor's port from inside OnWire.
    void ConnectTo(const asio::ip::tcp::acceptor& acceptor, const std::string& host = "127.0.0.1") {
        OnWire([&] { wire_->Connect(host, PortOf(acceptor), "0"); });
    }

    // Runs until Closed, then a little longer so that a second Closed would show.
    void WaitClosed(std::chrono::milliseconds settle = 50ms) {
        ASSERT_TRUE(RunUntil([this] { return log_.Has("Closed"); }));
        RunFor(settle);
    }

    // Accepts every connection on `acceptor` and hands each to `each`, which keeps it.
    void AcceptEvery(asio::ip::tcp::acceptor& acceptor,
                     const std::function<void(std::shared_ptr<asio::ip::tcp::socket>)>& each) {
        auto socket = std::make_shared<asio::ip::tcp::socket>(io_);
        acceptor.async_accept(*socket, [this, &acceptor, socket, each](const asio::error_code& e) {
            if (!e) {
                each(socket);
                AcceptEvery(acceptor, each);
            }
        });
    }

    // Sends back everything it reads on a plain or TLS stream; closes when the other side ends.
    template <typename Stream>
    void Echo(const std::shared_ptr<Stream>& stream) {
        auto buffer = std::make_shared<std::array<char, 65536>>();
        stream->async_read_some(
            asio::buffer(*buffer), [this, stream, buffer](const asio::error_code& error, size_t n) {
                if (error) {
                    stream->lowest_layer().close();
                    return;
                }
                asio::async_write(
                    *stream, asio::buffer(buffer->data(), n),
                    [this, stream, buffer](const asio::error_code& writeError, size_t) {
                        if (!writeError) {
                            Echo(stream);
                        }
                    });
            });
    }

    asio::ip::tcp::acceptor Listen(const asio::ip::address& address) {
        asio::ip::tcp::acceptor acceptor(io_, asio::ip::tcp::endpoint(address, 0));
        return acceptor;
    }
    static std::string PortOf(const asio::ip::tcp::acceptor& acceptor) {
        return std::to_string(acceptor.local_endpoint().port());
    }

    asio::io_context io_;
    std::unique_ptr<Wire> wire_;
    WireLog log_;
    bool insideCall_ = false;
    const asio::ip::address loopback4_ = asio::ip::make_address("127.0.0.1");
    const asio::ip::address loopback6_ = asio::ip::make_address("::1");
};

}  // namespace zef
