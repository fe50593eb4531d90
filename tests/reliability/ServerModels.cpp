#include "tests/reliability/ServerModels.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>

#include "tests/reliability/Secrets.h"

namespace zef::reliability {

namespace {

constexpr std::string_view kCrLf = "\r\n";

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// The command line without its line end, cut at spaces.
std::vector<std::string> Words(const Bytes& unit) {
    std::string line = unit;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

// Every byte of the literal, NULs included, but not its terminating NUL.
template <size_t N>
Bytes Literal(const char (&text)[N]) {
    return Bytes(text, N - 1);
}

// Binary garbage without a line feed; a garbage line with a lone CR and a NUL in it.
const Bytes kGarbage = Literal("\x00\xff\xfe\x80\x1b$B\x1b(\r\x7f\x8e\xa1\xe3\x81 \x01\x02");
const Bytes kGarbageLine = Literal("\xff\xd8\xff\xe0\x00\x10JFIF\x00\r\x89PNG\x1a\x00\xfe\r\n");

}  // namespace

const char* FaultName(FaultKind kind) {
    static const char* const kNames[] = {"none",    "close",        "silence",   "refusal",
                                         "garbage", "garbage-line", "huge-line", "extra"};
    return kNames[static_cast<size_t>(kind)];
}

// --- ScriptedServer ---

void ScriptedServer::OnConnect(PeerLink& link) {
    Reply(link, Greeting());
}

void ScriptedServer::OnBytes(PeerLink& link, std::string_view bytes) {
    if (silent_) {
        return;
    }
    input_ += bytes;
    Bytes unit;
    while (!silent_ && link.Open() && NextUnit(unit)) {
        Reply(link, Respond(unit));
    }
}

bool ScriptedServer::NextUnit(Bytes& unit) {
    const std::string_view end = ExpectingDataBlock() ? "\r\n.\r\n" : "\n";
    const size_t at = input_.find(end);
    if (at == Bytes::npos) {
        return false;
    }
    unit = input_.substr(0, at + end.size());
    input_.erase(0, at + end.size());
    return true;
}

void ScriptedServer::Reply(PeerLink& link, Answer answer) {
    const int index = replyIndex_++;
    const FaultKind kind = index == fault.atReply ? fault.kind : FaultKind::kNone;
    answered.push_back(answer.word);
    const auto answerNormally = [&](const Bytes& more) {
        if (answer.effect) {
            answer.effect();
        }
        Deliver(link, index, answer.reply + more);
        if (answer.closeAfter) {
            link.Close();
        }
    };
    switch (kind) {
        case FaultKind::kNone:
            answerNormally({});
            break;
        case FaultKind::kExtra:
            answerNormally(ExtraLines());
            break;
        case FaultKind::kClose:
            replySizes.push_back(0);
            link.Close();
            break;
        case FaultKind::kSilence:
            replySizes.push_back(0);
            silent_ = true;
            break;
        case FaultKind::kRefuse:
            Deliver(link, index, Refusal());
            break;
        case FaultKind::kGarbage:
            Deliver(link, index, kGarbage);
            silent_ = true;
            break;
        case FaultKind::kGarbageLine:
            Deliver(link, index, kGarbageLine);
            break;
        case FaultKind::kHugeLine:
            replySizes.push_back(fault.hugeBytes);
            silent_ = true;
            SendHuge(link, fault.hugeBytes);
            break;
    }
}

void ScriptedServer::Deliver(PeerLink& link, int index, const Bytes& reply) {
    replySizes.push_back(reply.size());
    switch (delivery.mode) {
        case Delivery::Mode::kWhole:
            link.Send(reply);
            return;
        case Delivery::Mode::kSplit:
            if (index == delivery.reply && delivery.offset < reply.size()) {
                link.Send(std::string_view(reply).substr(0, delivery.offset));
                link.Send(std::string_view(reply).substr(delivery.offset));
            } else {
                link.Send(reply);
            }
            return;
        case Delivery::Mode::kByteByByte:
            for (char byte : reply) {
                link.Send(std::string_view(&byte, 1));
            }
            return;
    }
}

// One piece per turn of the loop, as a socket delivers a long stream; stops when the control
// closes the connection.
void ScriptedServer::SendHuge(PeerLink& link, size_t left) {
    if (left == 0 || !link.Open()) {
        return;
    }
    const size_t piece = std::min(left, fault.hugeChunk);
    link.Send(Bytes(piece, 'A'));
    link.Later([this, &link, left, piece] { SendHuge(link, left - piece); });
}

// --- SmtpServer ---

SmtpServer::SmtpServer() : codec_(MakeCodec()) {}
SmtpServer::~SmtpServer() = default;

ScriptedServer::Answer SmtpServer::Greeting() {
    return {"220 sim.example ESMTP ready\r\n", nullptr, false, "greeting"};
}

Bytes SmtpServer::DecodeBase64(const std::string& text) {
    Bytes copy = text;
    return codec_->DecodeBase64(copy);
}

ScriptedServer::Answer SmtpServer::Respond(const Bytes& unit) {
    if (inData_) {
        inData_ = false;  // the block is read whatever the answer
        return {"250 2.0.0 Ok: queued as 1\r\n", [this, unit] { accepted.push_back(unit); }, false,
                "dot"};
    }
    if (authStep_ != AuthStep::kNone) {
        std::string line = unit;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        return AuthData(line);
    }
    const std::vector<std::string> words = Words(unit);
    const std::string verb = words.empty() ? "" : Upper(words[0]);
    static const std::map<std::string, Bytes> kPlainReplies = {
        {"HELO", "250 sim.example\r\n"}, {"MAIL", "250 2.1.0 Ok\r\n"}, {"RCPT", "250 2.1.0 Ok\r\n"},
        {"RSET", "250 2.0.0 Ok\r\n"},    {"NOOP", "250 2.0.0 Ok\r\n"},
    };
    if (const auto plain = kPlainReplies.find(verb); plain != kPlainReplies.end()) {
        return {plain->second, nullptr, false, verb};
    }
    if (verb == "EHLO") {
        return {
            "250-sim.example\r\n250-PIPELINING\r\n250-8BITMIME\r\n"
            "250 AUTH PLAIN LOGIN CRAM-MD5\r\n",
            nullptr, false, verb};
    }
    if (verb == "AUTH" && words.size() >= 2) {
        const std::string mechanism = Upper(words[1]);
        if (mechanism == "PLAIN") {
            return {"334 \r\n", [this] { authStep_ = AuthStep::kPlain; }, false, verb};
        }
        if (mechanism == "LOGIN") {
            return {"334 VXNlcm5hbWU6\r\n", [this] { authStep_ = AuthStep::kLoginUser; }, false,
                    verb};
        }
        if (mechanism == "CRAM-MD5") {
            Bytes challenge = challenge_;
            return {"334 " + codec_->EncodeBase64(challenge) + "\r\n",
                    [this] { authStep_ = AuthStep::kCram; }, false, verb};
        }
        return {"504 5.5.4 unknown mechanism\r\n", nullptr, false, verb};
    }
    if (verb == "DATA") {
        return {"354 End data with <CR><LF>.<CR><LF>\r\n", [this] { inData_ = true; }, false, verb};
    }
    if (verb == "QUIT") {
        return {"221 2.0.0 Bye\r\n", nullptr, true, verb};
    }
    return {"502 5.5.2 Error: command not recognized\r\n", nullptr, false, verb};
}

ScriptedServer::Answer SmtpServer::AuthData(const std::string& line) {
    const AuthStep step = authStep_;
    authStep_ = AuthStep::kNone;  // one answer per step, whatever it says
    bool good = false;
    switch (step) {
        case AuthStep::kPlain:
            good = DecodeBase64(line) == Bytes(1, '\0') + user + Bytes(1, '\0') + pass;
            break;
        case AuthStep::kLoginUser:
            if (DecodeBase64(line) == user) {
                return {"334 UGFzc3dvcmQ6\r\n", [this] { authStep_ = AuthStep::kLoginPass; }, false,
                        "auth-user"};
            }
            break;
        case AuthStep::kLoginPass:
            good = DecodeBase64(line) == pass;
            break;
        case AuthStep::kCram:
            // RFC 2195: the user name, a space and HMAC-MD5(password, challenge) in hex.
            good = DecodeBase64(line) == user + " " + CramMd5Forms(user, pass, challenge_)[0].bytes;
            break;
        case AuthStep::kNone:
            break;
    }
    if (good) {
        return {"235 2.7.0 Authentication successful\r\n", nullptr, false, "auth-data"};
    }
    return {"535 5.7.8 Authentication credentials invalid\r\n", [this] { ++authFailures; }, false,
            "auth-data"};
}

// --- Pop3Server ---

Pop3Server::Pop3Server() : hash_(MakeMd5Hash()) {}
Pop3Server::~Pop3Server() = default;

Bytes Pop3Server::DotStuffed(const Bytes& message) {
    Bytes out;
    out.reserve(message.size() + message.size() / 40 + 8);
    bool lineStart = true;
    for (char c : message) {
        if (lineStart && c == '.') {
            out += '.';
        }
        out += c;
        lineStart = c == '\n';
    }
    if (!out.empty() && out.back() != '\n') {
        out += kCrLf;
    }
    return out;
}

// The header, the empty line and the first `lines` lines of the body.
Bytes Pop3Server::TopOf(const Bytes& message, long lines) {
    size_t headerEnd = message.find("\r\n\r\n");
    if (headerEnd == Bytes::npos) {
        return message;
    }
    size_t end = headerEnd + 4;
    for (long i = 0; i < lines && end < message.size(); ++i) {
        const size_t lf = message.find('\n', end);
        end = lf == Bytes::npos ? message.size() : lf + 1;
    }
    return message.substr(0, end);
}

ScriptedServer::Answer Pop3Server::Greeting() {
    return {"+OK sim POP3 server ready " + timestamp_ + "\r\n", nullptr, false, "greeting"};
}

const Pop3Server::Mail* Pop3Server::Find(const std::string& number, long& index) const {
    index = std::atol(number.c_str());
    if (index < 1 || index > static_cast<long>(mails.size()) || marked.count(index) != 0) {
        return nullptr;
    }
    return &mails[static_cast<size_t>(index - 1)];
}

ScriptedServer::Answer Pop3Server::Respond(const Bytes& unit) {
    const std::vector<std::string> words = Words(unit);
    const std::string verb = words.empty() ? "" : Upper(words[0]);
    const std::string arg = words.size() >= 2 ? words[1] : "";
    long index = 0;
    if (verb == "USER") {
        return {"+OK\r\n", [this, arg] { userGiven_ = arg; }, false, verb};
    }
    if (verb == "PASS") {
        // The password is the rest of the line, spaces included.
        const std::string given = unit.substr(5, unit.find_last_not_of("\r\n") - 4);
        if (userGiven_ == user && given == pass) {
            return {"+OK logged in\r\n", nullptr, false, verb};
        }
        return {"-ERR [AUTH] invalid user or password\r\n", nullptr, false, verb};
    }
    if (verb == "APOP" && words.size() == 3) {
        hash_->HashInit();
        hash_->HashUpdate(timestamp_ + pass);
        if (words[1] == user && words[2] == hash_->HashFinalHex()) {
            return {"+OK logged in\r\n", nullptr, false, verb};
        }
        return {"-ERR [AUTH] invalid digest\r\n", nullptr, false, verb};
    }
    if (verb == "STAT") {
        size_t count = 0;
        size_t size = 0;
        for (size_t i = 0; i < mails.size(); ++i) {
            if (marked.count(static_cast<long>(i + 1)) == 0) {
                ++count;
                size += mails[i].bytes.size();
            }
        }
        return {"+OK " + std::to_string(count) + " " + std::to_string(size) + "\r\n", nullptr,
                false, verb};
    }
    if (verb == "LIST" || verb == "UIDL" || verb == "RETR" || verb == "TOP" || verb == "DELE") {
        const Mail* mail = Find(arg, index);
        if (mail == nullptr) {
            return {"-ERR no such message\r\n", nullptr, false, verb};
        }
        if (verb == "LIST") {
            return {"+OK " + arg + " " + std::to_string(mail->bytes.size()) + "\r\n", nullptr,
                    false, verb};
        }
        if (verb == "UIDL") {
            return {"+OK " + arg + " " + mail->uid + "\r\n", nullptr, false, verb};
        }
        if (verb == "RETR") {
            return {"+OK " + std::to_string(mail->bytes.size()) + " octets\r\n" +
                        DotStuffed(mail->bytes) + ".\r\n",
                    nullptr, false, verb};
        }
        if (verb == "TOP") {
            const long lines = words.size() >= 3 ? std::atol(words[2].c_str()) : 0;
            return {"+OK\r\n" + DotStuffed(TopOf(mail->bytes, lines)) + ".\r\n", nullptr, false,
                    verb};
        }
        return {"+OK message " + arg + " deleted\r\n", [this, index] { marked.insert(index); },
                false, verb};
    }
    if (verb == "RSET") {
        return {"+OK\r\n", [this] { marked.clear(); }, false, verb};
    }
    if (verb == "NOOP") {
        return {"+OK\r\n", nullptr, false, verb};
    }
    if (verb == "QUIT") {
        return {"+OK bye\r\n",
                [this] {
                    committed.insert(marked.begin(), marked.end());
                    marked.clear();
                },
                true, verb};
    }
    return {"-ERR unknown command\r\n", nullptr, false, verb};
}

}  // namespace zef::reliability
