#include "tests/integration/support/MailboxReader.h"

#include <algorithm>

#include "common/Unicode.h"

namespace zef::integration {

using namespace std::chrono_literals;

MailboxReader::MailboxReader(asio::io_context& io, const ServerEnv& env) : io_(io), pop_(io) {
    pop_.Port(AsciiToText(env.pop3Port));
    pop_.ConnectTimeout(10);
    pop_.TransTimeout(20);
    Attach();
}

bool MailboxReader::Read(const std::string& user, const std::string& password, bool apop,
                         long topLines) {
    pop_.APOP(apop);
    pop_.pop(u"127.0.0.1", Utf8ToText(user), Utf8ToText(password), topLines);
    return RunUntil(
        io_, [this] { return doneCount > 0; }, 90s);
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

void MailboxReader::Fault(long id, const std::string& what) {
    faults.push_back("message " + std::to_string(id) + ": " + what);
}

void MailboxReader::Attach() {
    pop_.Done = [this](long code, const Text& message) {
        ++doneCount;
        doneCode = code;
        doneMessage = Utf8(message);
    };
    pop_.Trace = [this](const Text& line) {
        if (trace.size() < 20000) {
            trace += Utf8(line) + "\n";
        }
    };
    pop_.Stat = [this](long many, long size) {
        statCount = many;
        statSize = size;
    };
    pop_.UidlDone = [this](long id, const Text& uidl, bool&) { messages[id].uidl = Utf8(uidl); };
    pop_.TopNext = [this](long id, const Text& line) {
        messages[id].topLines.push_back(Utf8(line));
    };
    pop_.RetrFirst = [this](long id, long much, bool&) { messages[id].size = much; };
    pop_.MailHeadNext = [this](long id, const Text& name, const Text& value) {
        MessageSeen& m = messages[id];
        m.headers.emplace_back(Utf8(name), Utf8(value));
        if (Lower(Utf8(name)) == "x-corpus-id") {
            m.corpusId = Utf8(value);
        }
    };
    pop_.MailHeadDone = [this](long id) { messages[id].headDone = true; };
    AttachParts();
    pop_.RetrDone = [this](long id, bool& cancelDelete) {
        MessageSeen& m = messages[id];
        m.retrDone = true;
        cancelDelete = keep(m.corpusId);
    };
}

void MailboxReader::AttachParts() {
    pop_.MimeHeadFirst = [this](long, long part) {
        pendingPart_ = part;
        pendingHeaders_.clear();
    };
    pop_.MimeHeadNext = [this](long id, long part, const Text& name, const Text& value) {
        if (part != pendingPart_) {
            Fault(id, "MimeHeadNext for part " + std::to_string(part));
        }
        pendingHeaders_.emplace_back(Utf8(name), Utf8(value));
    };
    pop_.MultiPartOpen = [this](long id, long, const Text&, const Text&, const Text&, const Text&,
                                Text& tag) {
        MessageSeen& m = messages[id];
        ++m.opens;
        tag = Utf8ToText(std::to_string(id) + "/" + std::to_string(m.opens));
        openTags_.push_back(tag);
        pendingHeaders_.clear();
    };
    pop_.MultiPartClose = [this](long id, const Text& tag) {
        ++messages[id].closes;
        if (openTags_.empty() || openTags_.back() != tag) {
            Fault(id, "MultiPartClose with tag " + Utf8(tag) + " out of order");
        } else {
            openTags_.pop_back();
        }
    };
    pop_.MimeDataFirst = [this](long id, long part, const Text& type, const Text&,
                                const Text& charset, const Text&, bool& isText) {
        PartSeen seen{part, Utf8(type), Utf8(charset), false, {}, pendingHeaders_};
        seen.isText = wantText(seen);
        isText = seen.isText;
        messages[id].parts.push_back(std::move(seen));
        pendingHeaders_.clear();
    };
    pop_.MimeDataNext = [this](long id, long part, Bytes& data) {
        auto& parts = messages[id].parts;
        if (parts.empty() || parts.back().part != part) {
            Fault(id, "MimeDataNext for part " + std::to_string(part) + " without MimeDataFirst");
            return;
        }
        parts.back().data += data;
    };
}

}  // namespace zef::integration
