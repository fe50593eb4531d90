#include "tests/reliability/ControlRigs.h"

#include <cstdio>
#include <utility>

#include "common/Unicode.h"
#include "common/Variant.h"
#include "tests/reliability/Corpus.h"

namespace zef::reliability {

std::string Printable(const Bytes& bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c >= 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string U8(const Text& text) {
    return TextToUtf8(text);
}

std::string WithoutBoundaryTimes(std::string text) {
    static constexpr std::string_view kMark = "_=_Boundary_";
    static constexpr size_t kStampLength = 14;  // YYYYMMDDhhmmss
    for (size_t at = text.find(kMark); at != std::string::npos; at = text.find(kMark, at + 1)) {
        const size_t stamp = at + kMark.size();
        if (text.size() >= stamp + kStampLength) {
            text.replace(stamp, kStampLength, kStampLength, 'T');
        }
    }
    return text;
}

// --- Rig ---

Components Rig::MakeParts(Peer& peer) {
    Components parts;
    auto simWire = std::make_unique<SimWire>(loop, peer);
    auto manualTimer = std::make_unique<ManualTimer>();
    wire = simWire.get();
    timer = manualTimer.get();
    wire->onSend = [this](const Bytes& bytes) { Log("C: " + Printable(bytes)); };
    parts.wire = std::move(simWire);
    parts.timer = std::move(manualTimer);
    parts.glyph = MakeGlyph();
    parts.codec = MakeCodec();
    parts.hash = MakeMd5Hash();
    return parts;
}

void Rig::Log(std::string entry) {
    if (outcome_.dones > 0) {
        ++outcome_.eventsAfterDone;
    }
    log.push_back(WithoutBoundaryTimes(std::move(entry)));
}

void Rig::LogDone(long code, const Text& message) {
    Log("Done " + std::to_string(code) + " [" + U8(message) + "]");
    if (++outcome_.dones == 1) {
        outcome_.code = code;
        outcome_.message = U8(message);
    }
}

void Rig::Run(int maxTicks) {
    for (int tick = 0;; ++tick) {
        loop.RunUntilIdle();
        if (outcome_.dones > 0 || tick >= maxTicks || !timer->Enabled()) {
            break;
        }
        timer->Fire(1);
    }
    outcome_.timerEnabledAfterDone = timer->Enabled();
    // Nothing may move any more: no tick, no event.
    timer->Fire(5);
    loop.RunUntilIdle();
}

Outcome Rig::Result() const {
    Outcome result = outcome_;
    result.closedRaised = wire->closedRaised;
    return result;
}

// --- SmtpRig ---

namespace {

// An event's log entry: its name, then each argument, numbers as they are and texts in brackets.
std::string Arg(long number) {
    return std::to_string(number);
}
std::string Arg(const Text& text) {
    return "[" + U8(text) + "]";
}
template <class... Args>
std::string Entry(const char* name, const Args&... args) {
    std::string entry = name;
    ((entry += " " + Arg(args)), ...);
    return entry;
}

Bytes Utf16(std::u16string_view text) {
    return TextToUtf16Le(text);
}

Bytes AttachmentBytes(size_t size, unsigned seed) {
    Bytes bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(seed >> 16);
    }
    return bytes;
}

}  // namespace

SmtpRig::SmtpRig(SmtpServer& server, const Scenario& scenario) : scenario_(scenario) {
    control = std::make_unique<smtpZef>(MakeParts(server));
    control->Auth(scenario.auth);
    control->User(Utf8ToText(server.user));
    control->Pass(Utf8ToText(server.pass));
    control->Hostname(u"client.example");
    control->TransTimeout(5);
    control->ConnectTimeout(5);
    if (scenario.mime) {
        control->MimeMultipart(u"mixed");
    }
    std::vector<Text> to;
    to.reserve(static_cast<size_t>(scenario.recipients));
    for (int i = 0; i < scenario.recipients; ++i) {
        to.push_back(u"User " + Utf8ToText(std::to_string(i)) + u" <rcpt" +
                     Utf8ToText(std::to_string(i)) + u"@example.net>");
    }
    control->ToAddr(Variant(StringArray::OneBased(std::move(to))));
    control->FromAddr(u"Sender <sender@example.org>");
    HookEvents();
}

void SmtpRig::HookEvents() {
    control->Done = [this](long code, const Text& message) { LogDone(code, message); };
    control->Trace = [this](const Text& message) { Log("Trace " + U8(message)); };
    control->CaptionChanged = [this](const Text& caption) { Log("Caption " + U8(caption)); };
    control->MoreData = [this](long id, Bytes& data) {
        Log(Entry("MoreData", id));
        switch (id) {
            case 1:
                data = Utf16(u"本文の一行目です。\r\nline with ..dots\r\n");
                break;
            case 2:
                data = Utf16(u"二つ目の断片：①② and a long line " + Text(300, u'x') + u"\r\n");
                break;
            default:
                break;
        }
    };
    control->MimeHead = [this](long depth, long part, Text& format, Text& type, Text& name,
                               Text& charset, Text& encoding, Text& additional) {
        Log(Entry("MimeHead", depth, part));
        AnswerMimeHead(depth, part, format, type, name, charset, encoding, additional);
    };
    control->MimeBody = [this](long depth, long part, Bytes& data) {
        Log(Entry("MimeBody", depth, part));
        AnswerMimeBody(depth, part, data);
    };
}

// A text part, a nested alternative (text and quoted-printable HTML), and a base64 attachment.
void SmtpRig::AnswerMimeHead(long depth, long part, Text& format, Text& type, Text& name,
                             Text& charset, Text& encoding, Text& additional) {
    if (depth == 1 && part == 1) {
        format = u"Unicode";
        type = u"text/plain";
        charset = u"iso-2022-jp";
        encoding = u"7bit";
    } else if (depth == 1 && part == 2) {
        type = u"multipart/alternative";
    } else if (depth == 2 && part == 1) {
        format = u"Unicode";
        type = u"text/plain";
        charset = u"iso-2022-jp";
    } else if (depth == 2 && part == 2) {
        format = u"Binary";
        type = u"text/html";
        charset = u"utf-8";
        encoding = u"quoted-printable";
    } else if (depth == 1 && part == 3) {
        format = u"Binary";
        type = u"application/octet-stream";
        name = u"data.bin";
        encoding = u"base64";
        additional = u"Content-Disposition: attachment; filename=\"data.bin\"";
    }
}

void SmtpRig::AnswerMimeBody(long depth, long part, Bytes& data) {
    const int piece = piecesGiven_[{depth, part}]++;
    if (depth == 1 && part == 1 && piece < 2) {
        data = Utf16(piece == 0 ? u"日本語の本文です。\r\n" : u"二つ目の断片。\r\n");
    } else if (depth == 2 && part == 1 && piece == 0) {
        data = Utf16(u"alternative text\r\n");
    } else if (depth == 2 && part == 2 && piece == 0) {
        data =
            "<p>Gr\xc3\xbc\xc3\x9f"
            "e</p>\r\n";
    } else if (depth == 1 && part == 3 && piece < 2) {
        data = AttachmentBytes(piece == 0 ? 114 : 58, static_cast<unsigned>(piece + 1));
    }
}

void SmtpRig::Start() {
    control->Smtp(u"sim.example",
                  u"From: Sender <sender@example.org>\r\nTo: rcpt0@example.net\r\n"
                  u"Subject: 試験のメール\r\n");
}

// --- PopRig ---

PopRig::PopRig(Pop3Server& server, PopPolicy policy) : server_(server), policy_(std::move(policy)) {
    control = std::make_unique<popZef>(MakeParts(server));
    control->TransTimeout(5);
    control->ConnectTimeout(5);
    HookEvents();
}

void PopRig::View(long id, std::string entry) {
    views[id].push_back(entry);
    Log(std::move(entry));
}

void PopRig::HookEvents() {
    popZef& c = *control;
    c.Done = [this](long code, const Text& message) { LogDone(code, message); };
    c.Trace = [this](const Text& message) { Log("Trace " + U8(message)); };
    c.CaptionChanged = [this](const Text& caption) { Log("Caption " + U8(caption)); };
    c.Stat = [this](long many, long muchAll) { Log(Entry("Stat", many, muchAll)); };
    c.UidlFirst = [this](long id, bool& cancel) {
        Log(Entry("UidlFirst", id));
        cancel = policy_.skipUidl.count(id) != 0;
    };
    c.UidlDone = [this](long id, const Text& uidl, bool& deleteNow) {
        Log(Entry("UidlDone", id, uidl));
        deleteNow = policy_.deleteAtUidl.count(id) != 0;
        if (deleteNow) {
            letDelete.insert(id);
        }
    };
    c.TopFirst = [this](long id, bool& cancel) {
        Log(Entry("TopFirst", id));
        cancel = policy_.skipTop.count(id) != 0;
    };
    c.TopNext = [this](long id, const Text& line) { Log(Entry("TopNext", id, line)); };
    c.TopDone = [this](long id, bool& /*deleteNow*/) { Log(Entry("TopDone", id)); };
    c.RetrFirst = [this](long id, long much, bool& cancel) {
        views[id].clear();
        View(id, Entry("RetrFirst", id, much));
        cancel = policy_.skipRetr.count(id) != 0;
    };
    c.RetrDone = [this](long id, bool& cancelDelete) {
        View(id, Entry("RetrDone", id));
        cancelDelete = policy_.keep.count(id) != 0;
        if (!cancelDelete) {
            letDelete.insert(id);
        }
        if (id == policy_.abendAfterRetrOf) {
            control->Abend(policy_.abendCancelDelete);
        }
    };
    c.MailHeadFirst = [this](long id) { View(id, "MailHeadFirst"); };
    c.MailHeadNext = [this](long id, const Text& name, const Text& value) {
        View(id, Entry("MailHeadNext", name, value));
    };
    c.MailHeadDone = [this](long id) { View(id, "MailHeadDone"); };
    c.MimeHeadFirst = [this](long id, long part) { View(id, Entry("MimeHeadFirst", part)); };
    c.MimeHeadNext = [this](long id, long part, const Text& name, const Text& value) {
        View(id, Entry("MimeHeadNext", part, name, value));
    };
    c.MimeHeadDone = [this](long id, long part) { View(id, Entry("MimeHeadDone", part)); };
    c.MultiPartOpen = [this](long id, long parentPart, const Text& type, const Text& name,
                             const Text& charset, const Text& encoding, Text& tag) {
        View(id, Entry("MultiPartOpen", parentPart, type, name, charset, encoding) + " tag " +
                     Arg(tag));
        tag = u"tag-" + Utf8ToText(std::to_string(id)) + u"-" +
              Utf8ToText(std::to_string(parentPart));
    };
    c.MultiPartClose = [this](long id, const Text& tag) { View(id, Entry("MultiPartClose", tag)); };
    c.MimeDataFirst = [this](long id, long part, const Text& type, const Text& name,
                             const Text& charset, const Text& encoding, bool& isText) {
        View(id, Entry("MimeDataFirst", part, type, name, charset, encoding));
        isText = !(policy_.binaryEvenParts && part % 2 == 0);
    };
    c.MimeDataNext = [this](long id, long part, Bytes& data) {
        View(id, Entry("MimeDataNext", part) + " " + Printable(data));
    };
    c.MimeDataDone = [this](long id, long part) { View(id, Entry("MimeDataDone", part)); };
}

void PopRig::Start(bool apop, long topLines) {
    control->APOP(apop);
    control->pop(u"sim.example", Utf8ToText(server_.user), Utf8ToText(server_.pass), topLines);
}

// --- shared scenarios ---

const std::vector<SmtpRig::Scenario>& SmtpScenarios() {
    static const std::vector<SmtpRig::Scenario> scenarios = {
        {"helo_plain", 0, false, 1},
        {"crammd5_mime", 1, true, 2},
        {"login_plain", 2, false, 3},
        {"plain_mime", 3, true, 1},
    };
    return scenarios;
}

PopPolicy ChoicesPolicy(bool binaryEvenParts) {
    PopPolicy policy;
    policy.keep = {1};
    policy.skipUidl = {1, 4};
    policy.skipTop = {2, 4};
    policy.deleteAtUidl = {3};
    policy.skipRetr = {4};
    policy.binaryEvenParts = binaryEvenParts;
    return policy;
}

PopPolicy AbendAfterFirstPolicy() {
    PopPolicy policy;
    policy.abendAfterRetrOf = 1;
    policy.abendCancelDelete = true;
    return policy;
}

void FillMailbox(Pop3Server& server, const std::vector<size_t>& corpusIndexes) {
    for (size_t index : corpusIndexes) {
        server.mails.push_back({Corpus().at(index).bytes, "uid-" + Corpus().at(index).name});
    }
}

}  // namespace zef::reliability
