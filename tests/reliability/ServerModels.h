// Small SMTP and POP3 servers that answer a control over a PeerLink, and that can misbehave on
// purpose: at one chosen reply they close the connection, fall silent, refuse, send binary
// garbage or a line of many megabytes, or say more than was asked. They also decide how their
// replies are cut into DataArrivals.
//
// Each server keeps what a real one would commit (the messages an SMTP server accepted, the
// deletions a POP3 server carried out at QUIT), so a test can tell whether a message was lost.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/Types.h"
#include "components/Codec.h"
#include "components/Hash.h"
#include "tests/reliability/SimNetwork.h"

namespace zef::reliability {

enum class FaultKind {
    kNone,
    kClose,        // the connection closes instead of the reply
    kSilence,      // no reply, and nothing ever after
    kRefuse,       // a refusal instead of the reply; later commands are answered normally
    kGarbage,      // binary bytes without a line feed, then silence
    kGarbageLine,  // one line of binary bytes instead of the reply, then normal answers
    kHugeLine,     // many bytes without a line feed, in pieces, then silence
    kExtra,        // the reply and then lines nobody asked for (after QUIT: before the close)
};

const char* FaultName(FaultKind kind);

struct Fault {
    FaultKind kind = FaultKind::kNone;
    int atReply = -1;              // 0 the greeting, n the reply to the n-th command
    size_t hugeBytes = 0;          // kHugeLine: bytes sent without a line feed
    size_t hugeChunk = 64 * 1024;  // ... per DataArrival
};

// How replies are cut into DataArrivals.
struct Delivery {
    enum class Mode { kWhole, kSplit, kByteByByte };
    Mode mode = Mode::kWhole;
    int reply = -1;     // kSplit: the reply that is cut in two,
    size_t offset = 0;  // ... after this many bytes
};

class ScriptedServer : public Peer {
  public:
    Fault fault;
    Delivery delivery;

    // --- what happened ---
    std::vector<size_t> replySizes;     // bytes of every reply given, in order (greeting first)
    std::vector<std::string> answered;  // per reply: the command word it answered

    void OnConnect(PeerLink& link) override;
    void OnBytes(PeerLink& link, std::string_view bytes) override;

  protected:
    struct Answer {
        Bytes reply;
        std::function<void()> effect;  // what answering changes in the server, when it answers
        bool closeAfter = false;
        std::string word;  // the command answered, for reports
    };
    virtual Answer Greeting() = 0;
    virtual Answer Respond(const Bytes& unit) = 0;
    virtual Bytes Refusal() const = 0;
    virtual Bytes ExtraLines() const = 0;
    // True while the client's next unit is a DATA block ending in CR LF "." CR LF.
    virtual bool ExpectingDataBlock() const { return false; }

  private:
    void Reply(PeerLink& link, Answer answer);
    void Deliver(PeerLink& link, int index, const Bytes& reply);
    void SendHuge(PeerLink& link, size_t left);
    bool NextUnit(Bytes& unit);

    Bytes input_;
    bool silent_ = false;
    int replyIndex_ = 0;
};

class SmtpServer final : public ScriptedServer {
  public:
    SmtpServer();
    ~SmtpServer() override;

    std::string user = "carol@example.org";
    std::string pass = "p@ss-Wörd\"1";  // UTF-8; what the control sends in its ANSI bytes
    std::vector<Bytes> accepted;        // DATA blocks answered with 250
    int authFailures = 0;

  protected:
    Answer Greeting() override;
    Answer Respond(const Bytes& unit) override;
    Bytes Refusal() const override { return "554 5.7.1 injected refusal\r\n"; }
    Bytes ExtraLines() const override { return "250 2.0.0 nobody asked\r\n"; }
    bool ExpectingDataBlock() const override { return inData_; }

  private:
    enum class AuthStep { kNone, kPlain, kLoginUser, kLoginPass, kCram };
    Answer AuthData(const std::string& line);
    Bytes DecodeBase64(const std::string& text);

    std::unique_ptr<Codec> codec_;
    AuthStep authStep_ = AuthStep::kNone;
    bool inData_ = false;
    std::string challenge_ = "<2817.1700000000@sim.example>";
};

class Pop3Server final : public ScriptedServer {
  public:
    struct Mail {
        Bytes bytes;
        std::string uid;
    };

    Pop3Server();
    ~Pop3Server() override;

    std::vector<Mail> mails;
    std::string user = "bob";
    std::string pass = "secret";
    std::set<long> marked;     // DELE given in this session
    std::set<long> committed;  // deleted for good (at QUIT)

    static Bytes DotStuffed(const Bytes& message);
    static Bytes TopOf(const Bytes& message, long lines);

  protected:
    Answer Greeting() override;
    Answer Respond(const Bytes& unit) override;
    Bytes Refusal() const override { return "-ERR injected refusal\r\n"; }
    Bytes ExtraLines() const override { return "+OK nobody asked\r\n-ERR nor this\r\n"; }

  private:
    const Mail* Find(const std::string& number, long& index) const;

    std::unique_ptr<Hash> hash_;
    std::string timestamp_ = "<1896.697170952@sim.example>";
    std::string userGiven_;
};

}  // namespace zef::reliability
