// The contract of every Wire (a row of kWires each) against loopback peers: Asio sockets on the
// test's io_context, which the row's runner drives together with whatever loop its wire uses.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <array>
#include <asio.hpp>
#include <asio/ssl.hpp>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <list>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

#include "common/Error.h"
#include "components/Wire.h"
#include "tests/support/EventLoop.h"
#ifdef ZEF_TEST_QT
#include "components/qt/QtComponents.h"
#endif

namespace zef::test {
namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;
using Events = std::vector<std::string>;
using PeerPtr = std::shared_ptr<asio::ssl::stream<tcp::socket>>;

struct WireRow {
    const char* name;
    std::function<std::unique_ptr<Wire>(asio::io_context&)> make;
    std::function<decltype(RunUntil)> runUntil;
    std::vector<std::string> cannot{};  // cases beyond this wire, each named in the output
    friend void PrintTo(const WireRow& row, std::ostream* out) { *out << row.name; }
};
const WireRow kWires[] = {
    {"AsioTcp", MakeTcpWire, RunUntil},
#ifdef ZEF_TEST_QT
    // After close_notify (its only end of sending over TLS) Qt 6.4's socket reads nothing more.
    {"Qt",
     [](asio::io_context&) { return StartQt(), MakeQtWire(); },
     RunQtUntil,
     {"TLS shutdown"}},
#endif
};

// The certificates of make_test_certs.sh, made once per test program in a folder of its own.
std::string Cert(const std::string& name) {
    static const struct Folder {
        std::string path = (std::filesystem::temp_directory_path() / "zef-certs.XXXXXX").string();
        bool ready = mkdtemp(path.data()) != nullptr &&
                     std::system(("/bin/sh '" ZEF_MAKE_TEST_CERTS "' '" + path + "'").c_str()) == 0;
        ~Folder() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    } folder;
    EXPECT_TRUE(folder.ready) << "make_test_certs.sh failed";
    return folder.path + "/" + name;
}
TlsSettings Trusting(TlsMode mode) {
    return {mode, true, mode == TlsMode::None ? "" : Cert("ca.pem")};
}

// A byte pattern in which a lost, doubled or reordered piece shows.
Bytes Pattern(size_t size, size_t offset = 0) {
    Bytes bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(((offset + i) * 131 + ((offset + i) >> 12)) & 0xFF);
    return bytes;
}

template <typename Stream>
void Say(Stream& stream, const std::string& line) {
    asio::error_code ignored;  // a client that has gone shows in its own events
    asio::write(stream, asio::buffer(line), ignored);
}

// A loopback peer (after a TLS handshake, given a certificate): nobody listens; silent; "+OK
// hello", then a close (without close_notify); a reset; an echo, and "+OK bye" in two writes
// at the end of the stream; "220 ready", a line read, "220 go ahead", TLS and an echo.
enum class Peer { kNobody, kSilent, kGreet, kReset, kEcho, kUpgrade };

class WireContract : public ::testing::TestWithParam<WireRow> {
  protected:
    void SetUp() override { Fresh(); }

    void Fresh() {  // a new wire whose handlers record each event, then run the test's hook
        run_ = {};
        wire_ = GetParam().make(io_);
        wire_->Connected = [this] { Record("Connected", run_.onConnected); };
        wire_->SendComplete = [this] { Record("SendComplete", run_.onSendComplete); };
        wire_->TlsReady = [this] { Record("TlsReady", run_.onTlsReady); };
        wire_->Closed = [this] { Record("Closed", run_.onClosed); };
        wire_->DataArrival = [this](Bytes& data) {
            run_.received += data;
            Record("Data", [&] { run_.onData ? run_.onData(data) : void(); });
        };
        wire_->SocketError = [this](long number, const std::string& text, const std::string& from,
                                    long) {
            std::tie(run_.errorNumber, run_.errorText, run_.errorSource) =
                std::tie(number, text, from);
            Record("SocketError", nullptr);
        };
        wire_->SocketTrace = [this](const std::string& text) {
            run_.traces.push_back(text);
            run_.onTrace ? run_.onTrace(text) : void();
        };
    }
    // Every event checks that it is not raised from inside a call the test made on the wire.
    void Record(const std::string& name, const std::function<void()>& hook) {
        EXPECT_FALSE(insideCall_) << name << " raised inside a call on the wire";
        run_.events.push_back(name);
        hook ? hook() : void();
    }
    // A call into the wire; returns the number of the zef::Error it threw, or 0.
    long Call(const std::function<void()>& call) {
        const bool outer = std::exchange(insideCall_, true);
        long refused = 0;
        try {
            call();
        } catch (const Error& error) {
            refused = error.number();
        }
        insideCall_ = outer;
        return refused;
    }
    void Do(const std::function<void()>& call) { EXPECT_EQ(Call(call), 0); }
    void Send(Bytes bytes) {
        Do([&] { wire_->SendData(bytes); });
    }
    long Connect(const std::string& host, const std::string& port, const TlsSettings& tls = {},
                 const std::string& options = "0") {
        return Call([&] {
            wire_->SetTls(tls);
            wire_->Connect(host, port, options);
        });
    }
    int Count(const std::string& event) const {
        return static_cast<int>(std::count(run_.events.begin(), run_.events.end(), event));
    }
    bool Traced(const std::string& part) const {
        return std::any_of(run_.traces.begin(), run_.traces.end(),
                           [&](const std::string& t) { return t.find(part) != std::string::npos; });
    }
    bool Cannot(const std::string& what) const {
        const auto& cannot = GetParam().cannot;
        const bool skip = std::find(cannot.begin(), cannot.end(), what) != cannot.end();
        skip ? void(std::cout << "[ NOT RUN  ] " << what << " on " << GetParam().name << "\n")
             : void();
        return skip;
    }
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
        return GetParam().runUntil(io_, done, limit);
    }
    bool WaitClosed() {  // until Closed (or the wire is gone), and on, so that more would show
        const bool closed = RunUntil([this] { return Count("Closed") > 0 || !wire_; });
        RunUntil([] { return false; }, 100ms);
        return closed;
    }

    // Listens on the loopback (IPv6 when `v6`) and serves every connection as `peer` does,
    // after a TLS handshake when given a certificate. Returns the port; "" without IPv6 here.
    std::string Listen(Peer peer, const std::string& certificate = "", bool v6 = false) {
        try {
            acceptors_.emplace_back(
                io_, tcp::endpoint(asio::ip::make_address(v6 ? "::1" : "127.0.0.1"), 0));
        } catch (const std::system_error&) {
            return "";
        }
        tcp::acceptor& acceptor = acceptors_.back();
        auto& context = contexts_.emplace_back(asio::ssl::context::tls_server);
        if (!certificate.empty()) {
            context.use_certificate_chain_file(Cert(certificate));
            context.use_private_key_file(Cert("server.key"), asio::ssl::context::pem);
        }
        std::string port = std::to_string(acceptor.local_endpoint().port());
        peer == Peer::kNobody ? acceptor.close()
                              : Accept(acceptor, context, peer, !certificate.empty());
        return port;
    }
    void Accept(tcp::acceptor& acceptor, asio::ssl::context& context, Peer kind, bool tls) {
        auto peer = std::make_shared<PeerPtr::element_type>(io_, context);
        acceptor.async_accept(peer->next_layer(), [=, this, &acceptor, &context](auto error) {
            if (!error) {
                Serve(peers_.emplace_back(peer), kind, tls);
                Accept(acceptor, context, kind, tls);
            }
        });
    }
    void Serve(const PeerPtr& peer, Peer kind, bool tls) {
        tcp::socket& plain = peer->next_layer();
        plain.set_option(tcp::no_delay(true));  // nothing waits for an ACK
        if (kind == Peer::kUpgrade) {
            Say(plain, "220 ready\r\n");
            auto line = std::make_shared<std::string>();
            return asio::async_read_until(plain, asio::dynamic_buffer(*line), "\r\n",
                                          [this, peer, line](auto, size_t) {
                                              Say(peer->next_layer(), "220 go ahead\r\n");
                                              Serve(peer, Peer::kEcho, true);
                                          });
        }
        if (!tls) {
            return Talk(peer, plain, kind);
        }
        peer->async_handshake(asio::ssl::stream_base::server, [this, peer, kind](auto error) {
            const char* name = SSL_get_servername(peer->native_handle(), 0);
            run_.serverName = error ? "" : name != nullptr ? name : "(none)";
            error ? void() : Talk(peer, *peer, kind);
        });
    }
    template <typename Stream>
    void Talk(const PeerPtr& peer, Stream& stream, Peer kind) {
        if (kind == Peer::kEcho) {
            return Echo(peer, stream);
        }
        kind == Peer::kGreet ? Say(stream, "+OK hello\r\n") : void();
        kind == Peer::kReset ? stream.lowest_layer().set_option(asio::socket_base::linger(true, 0))
                             : void();
        kind == Peer::kSilent ? void() : stream.lowest_layer().close();
    }
    template <typename Stream>
    void Echo(const PeerPtr& peer, Stream& stream) {
        auto buffer = std::make_shared<std::array<char, 65536>>();
        stream.async_read_some(asio::buffer(*buffer), [=, this, &stream](auto error, size_t n) {
            if (!error) {
                return asio::async_write(stream, asio::buffer(buffer->data(), n),
                                         [=, this, &stream](auto failed, size_t) {
                                             failed ? void() : Echo(peer, stream);
                                         });
            }
            if (error == asio::error::eof) {  // over TLS: close_notify
                Say(stream, "+OK ");
                Say(stream, "bye\r\n");  // over TLS a second record, which must arrive too
            }
            stream.lowest_layer().close();
        });
    }

    std::list<asio::ssl::context> contexts_;  // outlive the io_context and its pending handlers
    asio::io_context io_;
    std::list<tcp::acceptor> acceptors_;
    std::vector<PeerPtr> peers_;  // every connection served, kept open to the end of the test
    std::unique_ptr<Wire> wire_;
    struct {            // what the wire raised, and the test's hooks
        Events events;  // "Connected", "Data", "SendComplete", "TlsReady", "SocketError", "Closed"
        Bytes received;
        std::vector<std::string> traces;
        long errorNumber = 0;
        std::string errorText, errorSource;
        std::string serverName;  // the SNI as the last TLS peer saw it
        std::function<void()> onConnected, onSendComplete, onTlsReady, onClosed;
        std::function<void(const std::string&)> onData, onTrace;
    } run_;
    bool insideCall_ = false;
};

INSTANTIATE_TEST_SUITE_P(Wires, WireContract, ::testing::ValuesIn(kWires),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(WireContract, RefusesRequestsThatCannotStartAndChangesNothing) {
    struct Case {
        std::string host, port, options = "0";
        TlsSettings tls{};
        long number = error::kInvalidValue;  // 0: accepted
    };
    for (const Case& c :
         {Case{"", "25"}, Case{"[]", "25"}, Case{"127.0.0.1", ""}, Case{"127.0.0.1", "smtp"},
          Case{"[::1]", "2x5"}, Case{"localhost", "smtp"}, Case{"127.0.0.1", "0"},
          Case{"127.0.0.1", "65536"}, Case{"127.0.0.1", "25 "}, Case{"127.0.0.1", "-25"},
          Case{"127.0.0.1", "25", "tls"},
          Case{"localhost", "25", "0", {TlsMode::Implicit, true, Cert("none.pem")}},
          Case{"localhost", "25", "0", {TlsMode::Upgrade, true, Cert("ca.key")}},
          Case{"127.0.0.1", "1", "", {}, 0}, Case{"[::1]", "65535", "0", {}, 0}}) {
        SCOPED_TRACE(c.host + ":" + c.port + " " + c.options + " " + c.tls.caFile);
        Fresh();
        EXPECT_EQ(Connect(c.host, c.port, c.tls, c.options), c.number);
        // Refused, nothing is open and the closing calls do nothing; accepted, they end it.
        Do([&] {
            wire_->Close();
            wire_->Shutdown(1);
        });
        RunUntil([] { return false; }, 30ms);
        EXPECT_EQ(run_.events, c.number == 0 ? Events{"Closed"} : Events{});
    }
    Bytes data = "HELO x\r\n";
    EXPECT_EQ(Call([&] { wire_->SendData(data); }), error::kInvalidArgument);
    EXPECT_EQ(data, "HELO x\r\n") << "refused data stays with the caller";
    EXPECT_EQ(Call([&] { wire_->StartTls(); }), error::kInvalidArgument);
    EXPECT_FALSE(wire_->LocalHostName().empty());

    // The interface's own SetTls and StartTls are those of a wire without TLS.
    EXPECT_EQ(Call([&] { wire_->Wire::SetTls(TlsSettings{}); }), 0);
    EXPECT_EQ(Call([&] { wire_->Wire::SetTls(Trusting(TlsMode::Upgrade)); }), error::kInvalidValue);
    EXPECT_EQ(Call([&] { wire_->Wire::StartTls(); }), error::kInvalidArgument);
}

// A queue drains into one SendComplete, an empty send too; Shutdown sends the queue, then ends
// sending (over TLS with close_notify) while a last reply still comes in.
TEST_P(WireContract, SendsInOrderCompletesEachDrainedQueueAndShutsDownAfterIt) {
    const size_t kFirst = size_t{8} * 1024 * 1024;
    const Bytes first = Pattern(kFirst), second = Pattern(size_t{3} * 1024 * 1024, kFirst);
    for (const bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "TLS" : "plain");
        if (tls && Cannot("TLS shutdown")) {
            continue;
        }
        Fresh();
        const std::string port = Listen(Peer::kEcho, tls ? "server.pem" : "");
        run_.onConnected = [&] {
            EXPECT_EQ(Traced("TLS handshake completed (TLSv1."), tls);
            EXPECT_TRUE(wire_->CanSend());
            // StartTls needs a connection made for the upgrade; this one stays as it is.
            EXPECT_EQ(Call([&] { wire_->StartTls(); }), error::kInvalidArgument);
            for (size_t at = 0; at < kFirst; at += kFirst / 4) {
                Bytes piece = first.substr(at, kFirst / 4);
                Do([&] { wire_->SendData(piece); });
                EXPECT_TRUE(piece.empty()) << "SendData takes the bytes";
            }
        };
        run_.onSendComplete = [&] {
            if (Count("SendComplete") == 1) {
                return Send("");
            }
            Send(second);
            Send("QUIT\r\n");
            Do([&] { wire_->Shutdown(1); });
            EXPECT_FALSE(wire_->CanSend());
            Bytes late = "late";
            EXPECT_EQ(Call([&] { wire_->SendData(late); }), error::kInvalidArgument);
            EXPECT_EQ(late, "late");
            Do([&] { wire_->Shutdown(1); });  // a second request changes nothing
        };
        ASSERT_EQ(Connect("localhost", port, Trusting(tls ? TlsMode::Implicit : TlsMode::None)), 0);
        ASSERT_TRUE(WaitClosed());
        EXPECT_TRUE(run_.received == first + second + "QUIT\r\n+OK bye\r\n")
            << "received " << run_.received.size() << " bytes";
        Events events = run_.events;
        std::erase(events, "Data");
        EXPECT_EQ(events, (Events{"Connected", "SendComplete", "SendComplete", "Closed"}))
            << run_.errorText;
    }
}

// One Closed ends each connection (nothing more for a destroyed wire), after SocketError when
// it failed; a checked certificate comes from a trusted CA, names the host and is in date.
TEST_P(WireContract, EachConnectionEndsWithOneClosed) {
    enum Act { kNone, kClose, kShutdown, kDestroy };
    struct Case {
        std::string what;
        Peer peer{};
        std::string host{};
        TlsSettings tls{};
        std::string when{};  // "call": after Connect; "data" (8 MB queued); else a trace's start
        Act act{};
        Events events{};
        long number{};       // -1: any
        std::string text{};  // the error's description, else a part of a trace
        std::string source{}, certificate{}, sni{};
    };
    const Events closed{"Closed"}, failed{"SocketError", "Closed"}, destroyed{"Connected", "Data"};
    const Events hello{"Connected", "Data", "Closed"}, reset{"Connected", "SocketError", "Closed"};
    const TlsSettings none, tls = Trusting(TlsMode::Implicit), noCa{TlsMode::Implicit, true, ""};
    const TlsSettings unchecked{TlsMode::Implicit, false, ""};
    const std::string ip = "127.0.0.1", name = "localhost", start = "TLS handshake started";
    const std::string verify = "certificate verify failed: ", fromTls = "zef.Wire.Tls";
    const long noIssuer = X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY;
    const std::vector<Case> cases = {
        {"address", Peer::kGreet, ip, none, "", kNone, hello, 0, "connected to " + ip},
        {"name", Peer::kGreet, name, none, "", kNone, hello, 0, "resolving localhost:"},
        {"IPv6", Peer::kGreet, "[::1]", none, "", kNone, hello, 0, "connected to [::1]:"},
        {"refused", Peer::kNobody, ip, none, "", kNone, failed, ECONNREFUSED, "Connection refused",
         "zef.Wire.Connect"},
        {"reset", Peer::kReset, ip, none, "", kNone, reset, ECONNRESET, "Connection reset by peer",
         "zef.Wire.Receive"},
        {"plain server for TLS", Peer::kGreet, ip, tls, "", kNone, failed, -1,
         "TLS handshake failed: wrong version number", fromTls},
        {"wrong host", Peer::kGreet, name, tls, "", kNone, failed, X509_V_ERR_HOSTNAME_MISMATCH,
         verify + "hostname mismatch", fromTls, "server-wronghost.pem"},
        {"wrong address", Peer::kGreet, ip, tls, "", kNone, failed, X509_V_ERR_IP_ADDRESS_MISMATCH,
         verify + "IP address mismatch", fromTls, "server-wronghost.pem"},
        {"expired", Peer::kGreet, name, tls, "", kNone, failed, X509_V_ERR_CERT_HAS_EXPIRED,
         verify + "certificate has expired", fromTls, "server-expired.pem"},
        {"unknown CA", Peer::kGreet, name, tls, "", kNone, failed, noIssuer,
         verify + "unable to get local issuer certificate", fromTls, "server-unknownca.pem"},
        {"no CA file", Peer::kGreet, name, noCa, "", kNone, failed, noIssuer,
         verify + "unable to get local issuer certificate", fromTls, "server.pem"},
        {"good", Peer::kGreet, name, tls, "", kNone, hello, 0, "without TLS close_notify", "",
         "server.pem", "localhost"},
        {"good for an address", Peer::kGreet, ip, tls, "", kNone, hello, 0,
         "TLS handshake completed (TLSv1.", "", "server.pem", "(none)"},
        {"not checked", Peer::kGreet, name, unchecked, "", kNone, hello, 0, "not checked", "",
         "server-wronghost.pem", "localhost"},
        {"Close resolving", Peer::kSilent, ip, none, "call", kClose, closed},
        {"Shutdown resolving", Peer::kSilent, ip, none, "call", kShutdown, closed, 0,
         "closed before the connection was made"},
        {"Close connecting", Peer::kSilent, ip, none, "connecting to ", kClose, closed},
        {"Close connected", Peer::kSilent, ip, none, "connected to ", kClose, closed},
        {"Close as TLS is up", Peer::kSilent, ip, tls, "TLS handshake completed", kClose, closed, 0,
         "", "", "server.pem"},
        {"Close in handshake", Peer::kSilent, ip, tls, start, kClose, closed},
        {"Shutdown in handshake", Peer::kSilent, ip, tls, start, kShutdown, closed, 0,
         "closed before TLS was set up"},
        {"destroyed resolving", Peer::kSilent, ip, none, "call", kDestroy, Events()},
        {"destroyed in handshake", Peer::kSilent, ip, tls, start, kDestroy, Events()},
        {"destroyed as TLS is up", Peer::kSilent, ip, tls, "TLS handshake completed", kDestroy,
         Events(), 0, "", "", "server.pem"},
        {"destroyed in DataArrival", Peer::kEcho, ip, none, "data", kDestroy, destroyed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh();
        const std::string port = Listen(c.peer, c.certificate, c.host == "[::1]");
        if (port.empty() || Cannot(c.what)) {
            continue;  // no IPv6 loopback on this machine
        }
        const auto act = [&] {
            Do([&] {
                c.act == kClose ? (wire_->Close(), wire_->Close()) : void();
                c.act == kShutdown ? wire_->Shutdown(1) : void();
                c.act == kDestroy ? wire_.reset() : void();
            });
        };
        run_.onTrace = [&](const auto& text) { text.rfind(c.when, 0) == 0 ? act() : void(); };
        run_.onConnected = [&] { c.when == "data" ? Send(Pattern(size_t{8} << 20)) : void(); };
        run_.onData = [&](auto&) { c.when == "data" && Count("Data") == 1 ? act() : void(); };
        ASSERT_EQ(Connect(c.host, port, c.tls), 0);
        EXPECT_FALSE(wire_->CanSend());
        c.when == "call" ? act() : void();
        EXPECT_TRUE(WaitClosed());
        EXPECT_EQ(run_.events, c.events);
        EXPECT_TRUE(c.number == -1 || run_.errorNumber == c.number) << run_.errorNumber;
        EXPECT_EQ(run_.errorSource, c.source);
        EXPECT_EQ(run_.errorText, c.source.empty() ? "" : c.text);
        EXPECT_TRUE(!c.source.empty() || c.text.empty() || Traced(c.text)) << c.text;
        EXPECT_TRUE(c.sni.empty() || run_.serverName == c.sni) << run_.serverName;
        EXPECT_FALSE(Traced("+OK")) << "data must not reach the trace";
        EXPECT_FALSE(wire_ && wire_->CanSend());
    }
}

TEST_P(WireContract, AClosedHandlerMayConnectAgain) {
    const std::string port = Listen(Peer::kGreet);
    run_.onClosed = [&] { EXPECT_EQ(Count("Closed") == 1 ? Connect("127.0.0.1", port) : 0, 0); };
    ASSERT_EQ(Connect("127.0.0.1", port), 0);
    EXPECT_EQ(Connect("127.0.0.1", port), error::kInvalidArgument);
    ASSERT_TRUE(RunUntil([&] { return Count("Closed") == 2; }));
    RunUntil([] { return false; }, 50ms);
    EXPECT_EQ(run_.events, (Events{"Connected", "Data", "Closed", "Connected", "Data", "Closed"}));
}

// STARTTLS, then StartTls on the go-ahead and EHLO once TLS is up; or the end, with nothing
// raised for a send queued before it.
TEST_P(WireContract, StartTlsUpgradesTheOpenConnectionOrEndsIt) {
    enum How { kAtOnce, kLaterTurn, kAfterClearBytes, kQueuedAfterClearBytes };
    struct Case {
        std::string what, certificate;
        How how;
        long number;  // 0: upgraded
        std::string text;
    };
    const std::string clear = "the server sent data in clear after agreeing to start TLS";
    const Events secured{"Connected", "Data",         "SendComplete", "Data",
                         "TlsReady",  "SendComplete", "Data",         "Closed"};
    const Events ended{"Connected", "Data", "SendComplete", "Data", "SocketError", "Closed"};
    for (const Case& c : {
             Case{"at once", "server.pem", kAtOnce, 0, ""},
             Case{"later, calling off a plain read", "server.pem", kLaterTurn, 0, ""},
             Case{"untrusted", "server-wronghost.pem", kAtOnce, X509_V_ERR_HOSTNAME_MISMATCH,
                  "certificate verify failed: hostname mismatch"},
             Case{"clear bytes", "server.pem", kAfterClearBytes, EPROTO, clear},
             Case{"clear bytes behind a send", "server.pem", kQueuedAfterClearBytes, EPROTO, clear},
         }) {
        SCOPED_TRACE(c.what);
        Fresh();
        const std::string port = Listen(Peer::kUpgrade, c.certificate);
        const auto startTls = [this] {
            Do([&] { wire_->StartTls(); });
            EXPECT_FALSE(wire_->CanSend());
            EXPECT_EQ(Call([&] { wire_->StartTls(); }), error::kInvalidArgument);
        };
        run_.onData = [&](const Bytes& data) {
            if (data == "220 ready\r\n") {
                return Send("STARTTLS\r\n");
            }
            if (data != "220 go ahead\r\n") {
                return;
            }
            if (c.how == kLaterTurn) {
                return asio::post(io_, startTls);
            }
            if (c.how != kAtOnce) {  // the server slips a reply in before the handshake
                Say(peers_.back()->next_layer(), "250 injected\r\n");
                std::this_thread::sleep_for(20ms);
            }
            c.how == kQueuedAfterClearBytes ? Send("NOOP\r\n") : void();
            startTls();
        };
        run_.onTlsReady = [this] {
            EXPECT_TRUE(wire_->CanSend());
            EXPECT_EQ(Call([&] { wire_->StartTls(); }), error::kInvalidArgument);
            Send("EHLO client.example\r\n");
        };
        ASSERT_EQ(Connect("localhost", port, Trusting(TlsMode::Upgrade)), 0);
        EXPECT_EQ(Call([&] { wire_->StartTls(); }), error::kInvalidArgument) << "not up yet";
        ASSERT_TRUE(RunUntil([this] { return Count("Closed") > 0 || Count("Data") == 3; }));
        Do([this] { wire_->Close(); });
        ASSERT_TRUE(WaitClosed());
        const bool upgraded = c.number == 0;
        EXPECT_EQ(run_.events, upgraded ? secured : ended);
        EXPECT_EQ(run_.received, "220 ready\r\n220 go ahead\r\n" +
                                     std::string(upgraded ? "EHLO client.example\r\n" : ""));
        EXPECT_EQ(run_.errorNumber, c.number);
        EXPECT_EQ(run_.errorText, c.text);
        EXPECT_EQ(run_.errorSource, upgraded ? "" : "zef.Wire.Tls");
    }
}

}  // namespace
}  // namespace zef::test
