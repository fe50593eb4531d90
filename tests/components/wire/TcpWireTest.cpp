// The TCP wire against real peers on the loopback interface, written here with Asio acceptors
// on ports the system picks. The peers run on the same event loop as the wire.
#include <gtest/gtest.h>

#include <asio.hpp>
#include <cerrno>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/Error.h"
#include "components/Wire.h"
#include "tests/components/wire/WireTestFixture.h"

namespace zef {
namespace {

using asio::ip::tcp;
using SocketPtr = std::shared_ptr<tcp::socket>;

class TcpWireTest : public WireTest {
  protected:
    // Accepts one connection and hands it to `then`.
    void AcceptOne(tcp::acceptor& acceptor, const std::function<void(SocketPtr)>& then) {
        auto socket = std::make_shared<tcp::socket>(io_);
        acceptor.async_accept(*socket, [socket, then](const asio::error_code& error) {
            ASSERT_FALSE(error) << error.message();
            then(socket);
        });
    }

    // Reads until the peer's end of stream, then runs `atEnd`.
    void ReadToEnd(const SocketPtr& socket, const std::shared_ptr<Bytes>& into,
                   const std::function<void()>& atEnd) {
        auto buffer = std::make_shared<std::array<char, 65536>>();
        socket->async_read_some(
            asio::buffer(*buffer),
            [this, socket, into, atEnd, buffer](const asio::error_code& error, size_t bytes) {
                into->append(buffer->data(), bytes);
                if (error) {
                    atEnd();
                    return;
                }
                ReadToEnd(socket, into, atEnd);
            });
    }
};

TEST_F(TcpWireTest, RefusedConnectionGivesSocketErrorThenOneClosed) {
    std::string port;
    {
        tcp::acceptor unused = Listen(loopback4_);
        port = PortOf(unused);
    }  // nobody listens there any more
    OnWire([&] { wire_->Connect("127.0.0.1", port, "0"); });
    EXPECT_FALSE(wire_->CanSend());

    WaitClosed();
    EXPECT_EQ(log_.events, (std::vector<std::string>{"SocketError", "Closed"}));
    EXPECT_EQ(log_.errorNumber, ECONNREFUSED);
    EXPECT_EQ(log_.errorSource, "zef.Wire.Connect");
    EXPECT_FALSE(wire_->CanSend());
}

// An address connects without the resolver, a name through it; both are traced the same way.
TEST_F(TcpWireTest, AddressesAndNamesBothConnect) {
    for (const std::string host : {"127.0.0.1", "localhost"}) {
        tcp::acceptor acceptor = Listen(loopback4_);
        AcceptOne(acceptor, [](const SocketPtr& peer) {
            asio::write(*peer, asio::buffer(std::string("+OK\r\n")));
            peer->close();
        });
        log_ = {};
        ConnectTo(acceptor, host);
        ASSERT_TRUE(RunUntil([&] { return log_.Has("Closed"); })) << host;
        EXPECT_EQ(log_.events.front(), "Connected") << host;
        EXPECT_EQ(log_.received, "+OK\r\n") << host;
        EXPECT_TRUE(log_.Traced("resolving " + host + ":" + PortOf(acceptor))) << host;
    }
}

TEST_F(TcpWireTest, PeerClosingGivesDataThenExactlyOneClosed) {
    tcp::acceptor acceptor = Listen(loopback4_);
    AcceptOne(acceptor, [](const SocketPtr& peer) {
        asio::write(*peer, asio::buffer(std::string("+OK hello\r\n")));
        peer->close();
    });
    ConnectTo(acceptor);

    WaitClosed();
    ASSERT_GE(log_.events.size(), 3u);
    EXPECT_EQ(log_.events.front(), "Connected");
    EXPECT_EQ(log_.Count("Closed"), 1);
    EXPECT_EQ(log_.events.back(), "Closed");
    EXPECT_FALSE(log_.Has("SocketError"));
    EXPECT_EQ(log_.received, "+OK hello\r\n");
    EXPECT_FALSE(wire_->CanSend());
    EXPECT_TRUE(log_.Traced("closed by peer"));
}

TEST_F(TcpWireTest, TenMegabytesComeBackFromAnEchoPeerIntactAndInOrder) {
    tcp::acceptor acceptor = Listen(loopback4_);
    AcceptOne(acceptor, [this](const SocketPtr& peer) { Echo(peer); });
    constexpr size_t kTotal = size_t{10} * 1024 * 1024;
    constexpr size_t kPieces = 10;
    wire_->Connected = [&] {
        Record(log_, "Connected");
        EXPECT_TRUE(wire_->CanSend());
        OnWire([&] {
            for (size_t i = 0; i < kPieces; ++i) {
                Bytes piece = Pattern(kTotal / kPieces, i * (kTotal / kPieces));
                wire_->SendData(piece);
                EXPECT_TRUE(piece.empty()) << "SendData must take the bytes";
            }
        });
    };
    ConnectTo(acceptor);

    ASSERT_TRUE(RunUntil([&] { return log_.received.size() >= kTotal; }));
    // One drained queue, one SendComplete; reading went on meanwhile.
    ASSERT_TRUE(RunUntil([&] { return log_.Has("SendComplete"); }));
    EXPECT_EQ(log_.Count("SendComplete"), 1);
    EXPECT_TRUE(log_.received == Pattern(kTotal)) << "echoed bytes differ from those sent";

    OnWire([&] { wire_->Close(); });
    EXPECT_FALSE(log_.Has("Closed")) << "Closed must not come from inside Close";
    WaitClosed();
    EXPECT_EQ(log_.Count("Closed"), 1);
    EXPECT_FALSE(log_.Has("SocketError"));
}

TEST_F(TcpWireTest, EachDrainedQueueGivesOneSendCompleteAndHandlersMaySendMore) {
    tcp::acceptor acceptor = Listen(loopback4_);
    auto atPeer = std::make_shared<Bytes>();
    bool peerDone = false;
    AcceptOne(acceptor,
              [&](const SocketPtr& peer) { ReadToEnd(peer, atPeer, [&] { peerDone = true; }); });
    int turns = 0;
    wire_->Connected = [&] {
        Record(log_, "Connected");
        OnWire([&] {
            Bytes nothing;  // an empty send still completes, so a sender waiting on it goes on
            wire_->SendData(nothing);
        });
    };
    wire_->SendComplete = [&] {
        Record(log_, "SendComplete");
        OnWire([&] {
            if (++turns < 5) {
                Bytes next = "turn " + std::to_string(turns) + "\r\n";
                wire_->SendData(next);
            } else {
                wire_->Shutdown(1);
            }
        });
    };
    ConnectTo(acceptor);

    ASSERT_TRUE(RunUntil([&] { return peerDone && log_.Has("Closed"); }));
    EXPECT_EQ(*atPeer, "turn 1\r\nturn 2\r\nturn 3\r\nturn 4\r\n");
    EXPECT_EQ(log_.Count("SendComplete"), 5);
    EXPECT_EQ(log_.Count("Closed"), 1);
}

TEST_F(TcpWireTest, ShutdownDeliversEverythingQueuedBeforeTheClose) {
    tcp::acceptor acceptor = Listen(loopback4_);
    auto atPeer = std::make_shared<Bytes>();
    AcceptOne(acceptor, [&](const SocketPtr& peer) {
        ReadToEnd(peer, atPeer, [peer] {
            // A last reply after the client's FIN still reaches the client.
            asio::write(*peer, asio::buffer(std::string("+OK bye\r\n")));
            peer->close();
        });
    });
    const Bytes big = Pattern(size_t{3} * 1024 * 1024);
    wire_->Connected = [&] {
        Record(log_, "Connected");
        OnWire([&] {
            Bytes body = big;
            Bytes tail = "QUIT\r\n";
            wire_->SendData(body);
            wire_->SendData(tail);
            wire_->Shutdown(1);
            EXPECT_FALSE(wire_->CanSend());
            Bytes late = "late";
            EXPECT_THROW(wire_->SendData(late), Error);
            EXPECT_EQ(late, "late") << "refused data stays with the caller";
            wire_->Shutdown(1);  // a second request changes nothing
        });
    };
    ConnectTo(acceptor);

    WaitClosed();
    EXPECT_TRUE(*atPeer == big + "QUIT\r\n") << "the peer got " << atPeer->size() << " bytes";
    EXPECT_EQ(log_.received, "+OK bye\r\n");
    EXPECT_EQ(log_.Count("Closed"), 1);
    EXPECT_FALSE(log_.Has("SocketError"));
    EXPECT_FALSE(log_.Has("SendComplete"));
}

TEST_F(TcpWireTest, CloseWhileResolvingGivesOneClosedAndNoConnected) {
    tcp::acceptor acceptor = Listen(loopback4_);
    OnWire([&] {
        wire_->Connect("127.0.0.1", PortOf(acceptor), "0");
        wire_->Close();
        wire_->Close();
    });
    EXPECT_TRUE(log_.events.empty());
    WaitClosed(100ms);
    EXPECT_EQ(log_.events, std::vector<std::string>{"Closed"});
}

TEST_F(TcpWireTest, CloseWhileConnectingGivesOneClosedAndNoConnected) {
    tcp::acceptor acceptor = Listen(loopback4_);
    // The trace announcing the connect attempt comes just before the connect starts.
    wire_->SocketTrace = [&](const std::string& text) {
        log_.traces.push_back(text);
        if (text.rfind("connecting to ", 0) == 0) {
            OnWire([&] { wire_->Close(); });
        }
    };
    ConnectTo(acceptor);
    WaitClosed(100ms);
    EXPECT_EQ(log_.events, std::vector<std::string>{"Closed"});
    EXPECT_TRUE(log_.Traced("connecting to 127.0.0.1:" + PortOf(acceptor)));
}

TEST_F(TcpWireTest, ShutdownBeforeConnectedClosesAtOnce) {
    tcp::acceptor acceptor = Listen(loopback4_);
    OnWire([&] {
        wire_->Connect("127.0.0.1", PortOf(acceptor), "0");
        wire_->Shutdown(1);
    });
    WaitClosed();
    EXPECT_EQ(log_.events, std::vector<std::string>{"Closed"});
}

TEST_F(TcpWireTest, ResetByPeerGivesSocketErrorThenOneClosed) {
    tcp::acceptor acceptor = Listen(loopback4_);
    AcceptOne(acceptor, [](const SocketPtr& peer) {
        peer->set_option(asio::socket_base::linger(true, 0));  // close with a reset
        peer->close();
    });
    ConnectTo(acceptor);
    WaitClosed();
    EXPECT_EQ(log_.events, (std::vector<std::string>{"Connected", "SocketError", "Closed"}));
    EXPECT_EQ(log_.errorNumber, ECONNRESET);
    EXPECT_EQ(log_.errorSource, "zef.Wire.Receive");
}

TEST_F(TcpWireTest, ClosedHandlerMayConnectAgain) {
    tcp::acceptor acceptor = Listen(loopback4_);
    int accepted = 0;
    AcceptEvery(acceptor, [&](const SocketPtr& peer) {
        asio::write(*peer, asio::buffer("greeting " + std::to_string(++accepted) + "\r\n"));
        peer->close();
    });
    int closes = 0;
    wire_->Closed = [&] {
        Record(log_, "Closed");
        if (++closes == 1) {
            ConnectTo(acceptor);
        }
    };
    ConnectTo(acceptor);
    EXPECT_THROW(wire_->Connect("127.0.0.1", PortOf(acceptor), "0"), Error);

    ASSERT_TRUE(RunUntil([&] { return closes == 2; }));
    RunFor(50ms);
    EXPECT_EQ(closes, 2);
    EXPECT_EQ(log_.Count("Connected"), 2);
    EXPECT_EQ(log_.received, "greeting 1\r\ngreeting 2\r\n");
}

TEST_F(TcpWireTest, ConnectsOverIpv6Loopback) {
    asio::error_code error;
    tcp::acceptor acceptor(io_);
    acceptor.open(tcp::v6(), error);
    if (!error) {
        acceptor.bind(tcp::endpoint(loopback6_, 0), error);
    }
    if (error) {
        GTEST_SKIP() << "no IPv6 loopback here: " << error.message();
    }
    acceptor.listen();
    AcceptOne(acceptor, [this](const SocketPtr& peer) { Echo(peer); });
    wire_->Connected = [&] {
        Record(log_, "Connected");
        OnWire([&] {
            Bytes ping = "ping over IPv6";
            wire_->SendData(ping);
        });
    };
    ConnectTo(acceptor, "[::1]");
    ASSERT_TRUE(RunUntil([&] { return log_.received.size() >= 14; }));
    EXPECT_EQ(log_.received, "ping over IPv6");
    EXPECT_TRUE(log_.Traced("connected to [::1]:" + PortOf(acceptor)));
    OnWire([&] { wire_->Close(); });
    ASSERT_TRUE(RunUntil([&] { return log_.Has("Closed"); }));
}

TEST_F(TcpWireTest, RefusesRequestsThatCannotStart) {
    const auto refusalNumber = [&](const std::string& host, const std::string& port,
                                   const std::string& options) -> long {
        try {
            wire_->Connect(host, port, options);
        } catch (const Error& error) {
            return error.number();
        }
        return 0;
    };
    for (const auto& [host, port, options] : {std::tuple{"", "25", "0"},
                                              {"[]", "25", "0"},
                                              {"127.0.0.1", "", "0"},
                                              {"127.0.0.1", "smtp", "0"},
                                              {"127.0.0.1", "0", "0"},
                                              {"127.0.0.1", "65536", "0"},
                                              {"127.0.0.1", "25 ", "0"},
                                              {"127.0.0.1", "25", "tls"}}) {
        EXPECT_EQ(refusalNumber(host, port, options), error::kInvalidValue) << host << ":" << port;
    }

    Bytes data = "HELO x\r\n";
    EXPECT_THROW(wire_->SendData(data), Error);
    EXPECT_EQ(data, "HELO x\r\n");
    wire_->Close();
    wire_->Shutdown(1);
    RunFor(30ms);
    EXPECT_TRUE(log_.events.empty());
    EXPECT_FALSE(wire_->LocalHostName().empty());
}

TEST_F(TcpWireTest, DestroyingTheWireWithWorkPendingRaisesNothingMore) {
    tcp::acceptor acceptor = Listen(loopback4_);
    std::vector<SocketPtr> peers;
    AcceptEvery(acceptor, [&](const SocketPtr& peer) {
        peers.emplace_back(peer);
        asio::write(*peer, asio::buffer(std::string("data")));
    });

    // Destroyed while resolving.
    WireLog early;
    auto first = MakeTcpWire(io_);
    Attach(*first, early);
    first->Connect("127.0.0.1", PortOf(acceptor), "0");
    first.reset();

    // Destroyed from inside its own DataArrival, with a large send still queued.
    WireLog late;
    auto second = MakeTcpWire(io_);
    Attach(*second, late);
    second->Connected = [&] {
        Bytes lots = Pattern(size_t{8} * 1024 * 1024);
        second->SendData(lots);
    };
    second->DataArrival = [&](Bytes&) {
        late.events.emplace_back("Data");
        second.reset();
    };
    second->Connect("127.0.0.1", PortOf(acceptor), "0");

    ASSERT_TRUE(RunUntil([&] { return second == nullptr; }));
    RunFor(100ms);
    EXPECT_TRUE(early.events.empty());
    EXPECT_EQ(late.events, std::vector<std::string>{"Data"});
}

}  // namespace
}  // namespace zef
