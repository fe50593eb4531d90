// The wire's TLS against Asio TLS servers on the loopback interface, with a CA and server
// certificates that tests/support/make_test_certs.sh makes once per test program.
#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/Error.h"
#include "components/Wire.h"
#include "tests/components/wire/WireTestFixture.h"

namespace zef {
namespace {

using asio::ip::tcp;
using TlsPeer = asio::ssl::stream<tcp::socket>;
using TlsPeerPtr = std::shared_ptr<TlsPeer>;

// The certificates of make_test_certs.sh, in a folder of their own for the life of the program.
class TestCertificates {
  public:
    static const TestCertificates& Get() {
        static const TestCertificates certificates;
        return certificates;
    }
    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

    bool Ready() const { return ready_; }
    const std::string& Log() const { return log_; }
    std::string Path(const std::string& name) const { return (folder_ / name).string(); }

  private:
    TestCertificates() {
        std::string pattern = (std::filesystem::temp_directory_path() / "zef-certs.XXXXXX");
        if (mkdtemp(pattern.data()) == nullptr) {
            log_ = "cannot make a temporary folder";
            return;
        }
        folder_ = pattern;
        const std::string logFile = Path("make.log");
        const std::string command = std::string("/bin/sh '") + ZEF_MAKE_TEST_CERTS + "' '" +
                                    folder_.string() + "' >'" + logFile + "' 2>&1";
        ready_ = std::system(command.c_str()) == 0;
        std::ifstream log(logFile);
        std::ostringstream text;
        text << log.rdbuf();
        log_ = text.str();
    }
    ~TestCertificates() {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    std::filesystem::path folder_;
    bool ready_ = false;
    std::string log_;
};

std::string Cert(const std::string& name) {
    return TestCertificates::Get().Path(name);
}

TlsSettings Settings(TlsMode mode, bool verifyPeer = true, std::string caFile = "") {
    return TlsSettings{mode, verifyPeer, std::move(caFile)};
}

TlsSettings TrustingTheTestCa(TlsMode mode) {
    return Settings(mode, true, Cert("ca.pem"));
}

// Writes a line for the peer; a client that has gone shows in the client's events instead.
template <typename Stream>
void Say(Stream& stream, const std::string& line) {
    asio::error_code ignored;
    asio::write(stream, asio::buffer(line), ignored);
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

bool AnyTraceStartsWith(const WireLog& log, const std::string& prefix) {
    return std::any_of(log.traces.begin(), log.traces.end(),
                       [&](const std::string& trace) { return StartsWith(trace, prefix); });
}

bool AnyTraceContains(const WireLog& log, const std::string& part) {
    return std::any_of(log.traces.begin(), log.traces.end(), [&](const std::string& trace) {
        return trace.find(part) != std::string::npos;
    });
}

class TlsWireTest : public WireTest {
  protected:
    void SetUp() override {
        WireTest::SetUp();
        const TestCertificates& certificates = TestCertificates::Get();
        ASSERT_TRUE(certificates.Ready()) << "make_test_certs.sh failed:\n" << certificates.Log();
    }

    // A server context offering `certificate` (a file of make_test_certs.sh) with server.key.
    static std::shared_ptr<asio::ssl::context> ServerContext(const std::string& certificate) {
        auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
        context->use_certificate_chain_file(Cert(certificate));
        context->use_private_key_file(Cert("server.key"), asio::ssl::context::pem);
        return context;
    }

    // Accepts one connection and hands it over before any TLS: the peer is plain until it
    // runs its own handshake on the stream.
    void AcceptPlain(tcp::acceptor& acceptor, const std::string& certificate,
                     const std::function<void(TlsPeerPtr)>& then) {
        auto context = ServerContext(certificate);
        auto peer = std::make_shared<TlsPeer>(io_, *context);
        acceptor.async_accept(peer->next_layer(),
                              [peer, context, then](const asio::error_code& error) {
                                  ASSERT_FALSE(error) << error.message();
                                  then(peer);
                              });
    }

    // Accepts one connection, runs the server handshake at once and hands the peer over when
    // it succeeded. A handshake the client gives up is noted in peerHandshakeFailed_.
    void AcceptTls(tcp::acceptor& acceptor, const std::string& certificate,
                   const std::function<void(TlsPeerPtr)>& then) {
        AcceptPlain(acceptor, certificate,
                    [this, then](const TlsPeerPtr& peer) { ServerHandshake(peer, then); });
    }

    void ServerHandshake(const TlsPeerPtr& peer, const std::function<void(TlsPeerPtr)>& then) {
        peer->async_handshake(asio::ssl::stream_base::server,
                              [this, peer, then](const asio::error_code& error) {
                                  if (error) {
                                      peerHandshakeFailed_ = true;
                                      return;
                                  }
                                  then(peer);
                              });
    }

    // SetTls trusting the test CA, then Connect to localhost.
    void ConnectTls(const tcp::acceptor& acceptor, TlsMode mode) {
        OnWire([&] {
            wire_->SetTls(TrustingTheTestCa(mode));
            wire_->Connect("localhost", PortOf(acceptor), "0");
        });
    }

    // Reads one CR LF line from `stream` (plain or TLS) and hands it over with its CR LF.
    template <typename Stream>
    static void ReadLine(Stream& stream, const std::function<void(std::string)>& then) {
        auto line = std::make_shared<std::string>();
        asio::async_read_until(stream, asio::dynamic_buffer(*line), "\r\n",
                               [line, then](const asio::error_code& error, size_t size) {
                                   then(error ? std::string() : line->substr(0, size));
                               });
    }

    // Connects with `settings` to a TLS server offering `certificate` and waits for the end:
    // Closed, or Connected followed by a ping that comes back.
    void ConnectAndPing(const TlsSettings& settings, const std::string& host,
                        const std::string& certificate) {
        tcp::acceptor acceptor = Listen(loopback4_);
        AcceptTls(acceptor, certificate, [this](const TlsPeerPtr& peer) {
            const char* name = SSL_get_servername(peer->native_handle(), TLSEXT_NAMETYPE_host_name);
            serverNameSent_ = name != nullptr ? name : "(none)";
            Echo(peer);
        });
        wire_->Connected = [this] {
            Record(log_, "Connected");
            OnWire([this] {
                Bytes ping = "ping\r\n";
                wire_->SendData(ping);
            });
        };
        OnWire([&] {
            wire_->SetTls(settings);
            wire_->Connect(host, PortOf(acceptor), "0");
        });
        ASSERT_TRUE(RunUntil([this] { return log_.Has("Closed") || log_.received == "ping\r\n"; }));
        OnWire([this] { wire_->Close(); });
        ASSERT_TRUE(RunUntil([this] { return log_.Has("Closed"); }));
        RunFor(50ms);
        EXPECT_EQ(log_.Count("Closed"), 1);
    }

    bool peerHandshakeFailed_ = false;
    std::string serverNameSent_;  // SNI as the server saw it
};

TEST_F(TlsWireTest, ImplicitTlsWithTheTestCaCarriesMegabytesBothWaysByteExact) {
    tcp::acceptor acceptor = Listen(loopback4_);
    AcceptTls(acceptor, "server.pem", [this](const TlsPeerPtr& peer) { Echo(peer); });
    constexpr size_t kTotal = size_t{4} * 1024 * 1024;
    constexpr size_t kPieces = 4;
    bool handshakeTracedFirst = false;
    wire_->Connected = [&] {
        Record(log_, "Connected");
        handshakeTracedFirst = AnyTraceStartsWith(log_, "TLS handshake completed (TLSv1.");
        EXPECT_TRUE(wire_->CanSend());
        OnWire([&] {
            for (size_t i = 0; i < kPieces; ++i) {
                Bytes piece = Pattern(kTotal / kPieces, i * (kTotal / kPieces));
                wire_->SendData(piece);
            }
        });
    };
    ConnectTls(acceptor, TlsMode::Implicit);

    ASSERT_TRUE(RunUntil([&] { return log_.received.size() >= kTotal || log_.Has("Closed"); }));
    ASSERT_TRUE(RunUntil([&] { return log_.Has("SendComplete"); }));
    EXPECT_TRUE(handshakeTracedFirst) << "Connected came before the handshake was done";
    EXPECT_TRUE(log_.Traced("TLS handshake started"));
    EXPECT_TRUE(log_.received == Pattern(kTotal)) << "echoed bytes differ from those sent";
    EXPECT_EQ(log_.Count("SendComplete"), 1);

    OnWire([&] { wire_->Close(); });
    WaitClosed();
    EXPECT_EQ(log_.Count("Connected"), 1);
    EXPECT_EQ(log_.Count("Closed"), 1);
    EXPECT_FALSE(log_.Has("SocketError"));
}

// Each refusal names OpenSSL's verification result, and the client never reports the
// connection; an accepted certificate carries a ping. The name goes out as SNI, an address not.
TEST_F(TlsWireTest, CertificatesAreCheckedAgainstTheCaTheNameAndTheDate) {
    const TlsSettings trusting = TrustingTheTestCa(TlsMode::Implicit);
    const TlsSettings unchecked = Settings(TlsMode::Implicit, false);
    struct Case {
        std::string certificate, host;
        TlsSettings settings;
        long number;              // 0: accepted
        std::string description;  // the refusal, or the SNI the server saw
    };
    const std::vector<Case> cases = {
        {"server-wronghost.pem", "localhost", trusting, X509_V_ERR_HOSTNAME_MISMATCH,
         "certificate verify failed: hostname mismatch"},
        {"server-wronghost.pem", "127.0.0.1", trusting, X509_V_ERR_IP_ADDRESS_MISMATCH,
         "certificate verify failed: IP address mismatch"},
        {"server-expired.pem", "localhost", trusting, X509_V_ERR_CERT_HAS_EXPIRED,
         "certificate verify failed: certificate has expired"},
        {"server-unknownca.pem", "localhost", trusting,
         X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY,
         "certificate verify failed: unable to get local issuer certificate"},
        // Without the CA file the system store does not trust the test CA.
        {"server.pem", "localhost", Settings(TlsMode::Implicit),
         X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY,
         "certificate verify failed: unable to get local issuer certificate"},
        {"server.pem", "localhost", trusting, 0, "localhost"},
        {"server.pem", "127.0.0.1", trusting, 0, "(none)"},
        {"server-wronghost.pem", "localhost", unchecked, 0, "localhost"},
        {"server-expired.pem", "localhost", unchecked, 0, "localhost"},
        {"server-unknownca.pem", "localhost", unchecked, 0, "localhost"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.certificate + " for " + c.host +
                     (c.settings.verifyPeer ? "" : " unchecked"));
        log_ = WireLog();
        ConnectAndPing(c.settings, c.host, c.certificate);
        if (c.number == 0) {
            EXPECT_EQ(log_.received, "ping\r\n");
            EXPECT_FALSE(log_.Has("SocketError")) << log_.errorDescription;
            EXPECT_EQ(serverNameSent_, c.description);
            EXPECT_EQ(log_.Traced("TLS handshake started (the certificate is not checked)"),
                      !c.settings.verifyPeer);
            continue;
        }
        EXPECT_EQ(log_.events, (std::vector<std::string>{"SocketError", "Closed"}));
        EXPECT_EQ(log_.errorNumber, c.number);
        EXPECT_EQ(log_.errorDescription, c.description);
        EXPECT_EQ(log_.errorSource, "zef.Wire.Tls");
        EXPECT_TRUE(log_.Traced(c.description));
        EXPECT_TRUE(log_.received.empty());
    }
}

TEST_F(TlsWireTest, ImplicitTlsAgainstAPlainServerFailsTheHandshakeAndHandsNothingOver) {
    tcp::acceptor acceptor = Listen(loopback4_);
    auto peer = std::make_shared<tcp::socket>(io_);
    acceptor.async_accept(*peer, [peer](const asio::error_code& error) {
        ASSERT_FALSE(error);
        Say(*peer, "+OK plain greeting\r\n");
    });
    ConnectTls(acceptor, TlsMode::Implicit);
    WaitClosed();
    EXPECT_EQ(log_.events, (std::vector<std::string>{"SocketError", "Closed"}));
    EXPECT_TRUE(StartsWith(log_.errorDescription, "TLS handshake failed: "))
        << log_.errorDescription;
    EXPECT_EQ(log_.errorSource, "zef.Wire.Tls");
    EXPECT_FALSE(AnyTraceContains(log_, "greeting"));
}

TEST_F(TlsWireTest, ACaFileThatCannotBeLoadedRefusesTheConnectAtOnce) {
    tcp::acceptor acceptor = Listen(loopback4_);
    for (const std::string& caFile : {Cert("no-such-file.pem"), Cert("server.key")}) {
        SCOPED_TRACE(caFile);
        wire_->SetTls(Settings(TlsMode::Implicit, true, caFile));
        try {
            wire_->Connect("localhost", PortOf(acceptor), "0");
            ADD_FAILURE() << "Connect went ahead";
        } catch (const Error& error) {
            EXPECT_EQ(error.number(), error::kInvalidValue);
            EXPECT_NE(std::string(error.what()).find(caFile), std::string::npos) << error.what();
        }
    }
    RunFor(30ms);
    EXPECT_TRUE(log_.events.empty());
}

TEST_F(TlsWireTest, APeerClosingWithoutCloseNotifyEndsTheConnectionWithoutAnError) {
    tcp::acceptor acceptor = Listen(loopback4_);
    AcceptTls(acceptor, "server.pem", [](const TlsPeerPtr& peer) {
        Say(*peer, "+OK secret greeting\r\n");
        peer->lowest_layer().close();
    });
    ConnectTls(acceptor, TlsMode::Implicit);
    WaitClosed();
    EXPECT_EQ(log_.events, (std::vector<std::string>{"Connected", "Data", "Closed"}));
    EXPECT_EQ(log_.received, "+OK secret greeting\r\n");
    EXPECT_TRUE(log_.Traced("closed by peer without TLS close_notify"));
    EXPECT_FALSE(AnyTraceContains(log_, "secret")) << "data must not reach the trace";
}

TEST_F(TlsWireTest, ShutdownSendsTheQueueThenCloseNotifyAndStillReceivesALastReply) {
    tcp::acceptor acceptor = Listen(loopback4_);
    auto atPeer = std::make_shared<Bytes>();
    bool peerSawCloseNotify = false;
    AcceptTls(acceptor, "server.pem", [&](const TlsPeerPtr& peer) {
        auto buffer = std::make_shared<std::array<char, 65536>>();
        auto readOn = std::make_shared<std::function<void()>>();
        *readOn = [&, peer, buffer, readOn] {
            peer->async_read_some(
                asio::buffer(*buffer),
                [&, peer, buffer, readOn](const asio::error_code& error, size_t n) {
                    atPeer->append(buffer->data(), n);
                    if (!error) {
                        (*readOn)();
                        return;
                    }
                    // close_notify reads as the end of the stream; a last reply may still go out.
                    peerSawCloseNotify = error == asio::error::eof;
                    // Several records: each must reach the client's read.
                    Say(*peer, "+OK ");
                    Say(*peer, "bye\r\n");
                    Say(*peer, "* and one more line\r\n");
                    peer->async_shutdown(
                        [peer](const asio::error_code&) { peer->lowest_layer().close(); });
                    *readOn = nullptr;
                });
        };
        (*readOn)();
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
        });
    };
    ConnectTls(acceptor, TlsMode::Implicit);
    WaitClosed();
    EXPECT_TRUE(*atPeer == big + "QUIT\r\n") << "the peer got " << atPeer->size() << " bytes";
    EXPECT_TRUE(peerSawCloseNotify);
    EXPECT_EQ(log_.received, "+OK bye\r\n* and one more line\r\n");
    ASSERT_GE(log_.events.size(), 3u);
    EXPECT_EQ(log_.events.front(), "Connected");
    EXPECT_EQ(log_.events.back(), "Closed");
    EXPECT_EQ(log_.Count("Data") + 2, static_cast<int>(log_.events.size()))
        << "only data between Connected and Closed";
    EXPECT_TRUE(log_.Traced("TLS close_notify sent, waiting for the peer to close"));
    EXPECT_TRUE(log_.Traced("closed by peer"));
}

TEST_F(TlsWireTest, CloseOrDestructionDuringTheHandshakeRaisesOnlyOneClosedOrNothing) {
    tcp::acceptor acceptor = Listen(loopback4_);
    std::vector<std::shared_ptr<tcp::socket>> silentPeers;  // accept, then never answer
    AcceptEvery(acceptor,
                [&](const std::shared_ptr<tcp::socket>& peer) { silentPeers.push_back(peer); });

    wire_->SocketTrace = [&](const std::string& text) {
        log_.traces.push_back(text);
        if (text == "TLS handshake started") {
            OnWire([&] { wire_->Close(); });
        }
    };
    ConnectTls(acceptor, TlsMode::Implicit);

    WireLog destroyedLog;
    auto destroyed = MakeTcpWire(io_);
    Attach(*destroyed, destroyedLog);
    destroyed->SetTls(TrustingTheTestCa(TlsMode::Implicit));
    destroyed->SocketTrace = [&](const std::string& text) {
        if (text == "TLS handshake started") {
            asio::post(io_, [&] { destroyed.reset(); });
        }
    };
    destroyed->Connect("localhost", PortOf(acceptor), "0");

    ASSERT_TRUE(RunUntil([&] { return log_.Has("Closed") && destroyed == nullptr; }));
    RunFor(100ms);
    EXPECT_EQ(log_.events, std::vector<std::string>{"Closed"});
    EXPECT_TRUE(destroyedLog.events.empty());
}

// The plain opening of a STARTTLS dialogue, the upgrade and a protected exchange, seen from a
// server that answers STARTTLS with "220 go ahead" and then runs its handshake.
class TlsUpgradeTest : public TlsWireTest {
  protected:
    struct Peer {
        std::string plainLine;      // what came before the handshake
        std::string protectedLine;  // what came after it
    };

    void Serve(tcp::acceptor& acceptor, const std::string& certificate) {
        AcceptPlain(acceptor, certificate, [this](const TlsPeerPtr& peer) {
            Say(peer->next_layer(), "220 ready\r\n");
            ReadLine(peer->next_layer(), [this, peer](const std::string& line) {
                peer_.plainLine = line;
                Say(peer->next_layer(), "220 go ahead\r\n");
                ServerHandshake(peer, [this](const TlsPeerPtr& secured) {
                    ReadLine(*secured, [this, secured](const std::string& line) {
                        peer_.protectedLine = line;
                        Say(*secured, "250 protected\r\n");
                        Echo(secured);  // keeps the connection until the client ends it
                    });
                });
            });
        });
    }

    // The client's side: STARTTLS after the greeting, StartTls on the go-ahead (at once, or
    // from a later turn of the event loop while a plain read is pending), EHLO once TLS is up.
    void RunDialogue(const std::string& certificate, bool startFromLaterTurn) {
        tcp::acceptor acceptor = Listen(loopback4_);
        Serve(acceptor, certificate);
        const auto startTls = [this] {
            OnWire([this] {
                wire_->StartTls();
                EXPECT_FALSE(wire_->CanSend());
                Bytes early = "EHLO too early\r\n";
                EXPECT_THROW(wire_->SendData(early), Error);
                EXPECT_THROW(wire_->StartTls(), Error);
            });
        };
        wire_->DataArrival = [=, this](Bytes& data) {
            Record(log_, "Data");
            log_.received += data;
            if (data == "220 ready\r\n") {
                OnWire([this] {
                    Bytes command = "STARTTLS\r\n";
                    wire_->SendData(command);
                });
            } else if (data == "220 go ahead\r\n") {
                if (startFromLaterTurn) {
                    asio::post(io_, startTls);
                } else {
                    startTls();
                }
            }
        };
        wire_->TlsReady = [this] {
            Record(log_, "TlsReady");
            EXPECT_TRUE(wire_->CanSend());
            OnWire([this] {
                EXPECT_THROW(wire_->StartTls(), Error) << "a second upgrade";
                Bytes command = "EHLO client.example\r\n";
                wire_->SendData(command);
            });
        };
        ConnectTls(acceptor, TlsMode::Upgrade);
        ASSERT_TRUE(RunUntil([this] {
            return log_.Has("Closed") || log_.received.find("250 protected\r\n") != Bytes::npos;
        }));
        OnWire([this] { wire_->Close(); });
        ASSERT_TRUE(RunUntil([this] { return log_.Has("Closed"); }));
        RunFor(50ms);
        EXPECT_EQ(log_.Count("Closed"), 1);
    }

    void ExpectTheWholeDialogue() {
        EXPECT_EQ(log_.events,
                  (std::vector<std::string>{"Connected", "Data", "SendComplete", "Data", "TlsReady",
                                            "SendComplete", "Data", "Closed"}));
        EXPECT_EQ(log_.received, "220 ready\r\n220 go ahead\r\n250 protected\r\n");
        EXPECT_EQ(peer_.plainLine, "STARTTLS\r\n");
        EXPECT_EQ(peer_.protectedLine, "EHLO client.example\r\n");
        EXPECT_TRUE(AnyTraceStartsWith(log_, "TLS handshake completed (TLSv1."));
    }

    Peer peer_;
};

TEST_F(TlsUpgradeTest, StartTlsOnTheGoAheadUpgradesTheOpenConnection) {
    RunDialogue("server.pem", false);
    ExpectTheWholeDialogue();
}

TEST_F(TlsUpgradeTest, StartTlsFromALaterTurnCallsOffThePendingPlainRead) {
    RunDialogue("server.pem", true);
    ExpectTheWholeDialogue();
}

TEST_F(TlsUpgradeTest, AnUpgradeToAnUntrustworthyCertificateEndsWithSocketErrorThenClosed) {
    RunDialogue("server-wronghost.pem", false);
    EXPECT_EQ(log_.events, (std::vector<std::string>{"Connected", "Data", "SendComplete", "Data",
                                                     "SocketError", "Closed"}));
    EXPECT_EQ(log_.errorNumber, X509_V_ERR_HOSTNAME_MISMATCH);
    EXPECT_EQ(log_.errorDescription, "certificate verify failed: hostname mismatch");
    EXPECT_TRUE(peer_.protectedLine.empty());
}

TEST_F(TlsUpgradeTest, ClearBytesAfterTheGoAheadEndTheConnectionUnread) {
    tcp::acceptor acceptor = Listen(loopback4_);
    std::shared_ptr<tcp::socket> peer = std::make_shared<tcp::socket>(io_);
    acceptor.async_accept(*peer, [peer](const asio::error_code& error) {
        ASSERT_FALSE(error);
        Say(*peer, "220 go ahead\r\n");
    });
    wire_->DataArrival = [&](Bytes& data) {
        Record(log_, "Data");
        log_.received += data;
        // A server that slips a reply in before the handshake: it is already on its way.
        Say(*peer, "250 injected\r\n");
        std::this_thread::sleep_for(20ms);
        OnWire([&] { wire_->StartTls(); });
    };
    ConnectTls(acceptor, TlsMode::Upgrade);
    WaitClosed();
    EXPECT_EQ(log_.events,
              (std::vector<std::string>{"Connected", "Data", "SocketError", "Closed"}));
    EXPECT_EQ(log_.errorNumber, EPROTO);
    EXPECT_EQ(log_.errorDescription, "the server sent data in clear after agreeing to start TLS");
    EXPECT_EQ(log_.errorSource, "zef.Wire.Tls");
    EXPECT_EQ(log_.received, "220 go ahead\r\n");
}

// A wire without TLS of its own, for the interface's defaults.
class PlainOnlyWire final : public Wire {
  public:
    void Connect(const std::string&, const std::string&, const std::string&) override {}
    void SendData(Bytes&) override {}
    bool CanSend() const override { return false; }
    void Close() override {}
    void Shutdown(int) override {}
    std::string LocalHostName() const override { return "here"; }
};

long RefusalNumber(const std::function<void()>& call) {
    try {
        call();
    } catch (const Error& error) {
        return error.number();
    }
    return 0;
}

TEST_F(TlsWireTest, StartTlsIsRefusedUnlessAConnectionMadeForTheUpgradeIsUpAndPlain) {
    EXPECT_EQ(RefusalNumber([&] { wire_->StartTls(); }), error::kInvalidArgument);

    tcp::acceptor acceptor = Listen(loopback4_);
    std::vector<std::shared_ptr<tcp::socket>> peers;
    AcceptEvery(acceptor, [&](const std::shared_ptr<tcp::socket>& peer) { peers.push_back(peer); });

    // A plain connection stays plain: the refusal changes nothing.
    long refusedOnPlain = 0;
    wire_->Connected = [&] {
        Record(log_, "Connected");
        OnWire([&] { refusedOnPlain = RefusalNumber([&] { wire_->StartTls(); }); });
        EXPECT_TRUE(wire_->CanSend());
        OnWire([&] { wire_->Close(); });
    };
    OnWire([&] { wire_->Connect("127.0.0.1", PortOf(acceptor), "0"); });
    ASSERT_TRUE(RunUntil([&] { return log_.Has("Closed"); }));
    EXPECT_EQ(refusedOnPlain, error::kInvalidArgument);

    // A connection made for the upgrade, but not up yet.
    log_ = WireLog();
    OnWire([&] {
        wire_->SetTls(TrustingTheTestCa(TlsMode::Upgrade));
        wire_->Connect("127.0.0.1", PortOf(acceptor), "0");
        EXPECT_EQ(RefusalNumber([&] { wire_->StartTls(); }), error::kInvalidArgument);
        wire_->Close();
    });
    ASSERT_TRUE(RunUntil([&] { return log_.Has("Closed"); }));
    EXPECT_EQ(log_.events, std::vector<std::string>{"Closed"});

    PlainOnlyWire plainOnly;
    EXPECT_NO_THROW(plainOnly.SetTls(TlsSettings{}));
    EXPECT_EQ(RefusalNumber([&] { plainOnly.SetTls(Settings(TlsMode::Implicit)); }),
              error::kInvalidValue);
    EXPECT_EQ(RefusalNumber([&] { plainOnly.StartTls(); }), error::kInvalidArgument);
}

}  // namespace
}  // namespace zef
