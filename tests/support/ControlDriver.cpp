#include "tests/support/ControlDriver.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "common/Unicode.h"
#include "components/Hash.h"
#include "tests/support/TestText.h"

namespace zef::test {

std::string Arg(long number) {
    return std::to_string(number);
}

std::string Arg(std::u16string_view text) {
    return text.empty() ? "-" : Escaped(TextToUtf8(text));
}

std::string Arg(std::string_view bytes) {
    return bytes.empty() ? "-" : Escaped(bytes);
}

Bytes Unescape(std::string_view text) {
    static const std::string_view kNames = "rnt0";
    static const char kBytes[] = {'\r', '\n', '\t', '\0'};
    Bytes out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
        } else if (text[++i] == 'x') {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            const size_t named = kNames.find(text[i]);
            out += named == std::string_view::npos ? text[i] : kBytes[named];
        }
    }
    return out;
}

namespace {

// Boundaries carry the local time to the second: "_Boundary_20261206001500_1_1" is written
// "_Boundary_T_1_1" so that transcripts do not depend on the clock.
std::string WithoutBoundaryTimes(std::string text) {
    static const std::string kMark = "_Boundary_";
    for (size_t at = text.find(kMark); at != std::string::npos; at = text.find(kMark, at + 1)) {
        const size_t digits = at + kMark.size();
        if (text.size() >= digits + 14 &&
            text.find_first_not_of("0123456789", digits) == digits + 14) {
            text.replace(digits, 14, "T");
        }
    }
    return text;
}

}  // namespace

// A transcript line as scripts write it: trailing spaces as \x20, and a line that is only its
// mark and a space ("> " for an empty line sent, "T " for an empty trace) as the mark alone.
std::string Visible(std::string entry) {
    size_t end = entry.find_last_not_of(' ');
    if (end != std::string::npos && entry.find(' ') == end + 1) {
        return entry.substr(0, end + 1);
    }
    std::string spaces;
    while (!entry.empty() && entry.back() == ' ') {
        entry.pop_back();
        spaces += "\\x20";
    }
    return entry + spaces;
}

namespace {

std::pair<std::string, std::string> Split(std::string_view text) {
    const size_t space = text.find(' ');
    if (space == std::string_view::npos) {
        return {std::string(text), ""};
    }
    return {std::string(text.substr(0, space)), std::string(text.substr(space + 1))};
}

}  // namespace

// --- Driver ---

Driver::Driver(Parts parts) {
    auto scripted = std::make_unique<ScriptedWire>();
    wire = scripted.get();
    wire->dropAfterClose = true;
    parts_.wire = std::move(scripted);
    auto manual = std::make_unique<ManualTimer>();
    timer = manual.get();
    parts_.timer = std::move(manual);
    if (parts.realGlyph) {
        parts_.glyph = MakeGlyph();
    } else {
        auto fake = std::make_unique<FakeGlyph>();
        glyph = fake.get();
        parts_.glyph = std::move(fake);
    }
    if (parts.realCodec) {
        parts_.codec = MakeCodec();
    } else {
        auto fake = std::make_unique<FakeCodec>();
        codec = fake.get();
        parts_.codec = std::move(fake);
    }
    parts_.hash = MakeMd5Hash();
    wire->onSend = [this](const Bytes& bytes) {
        unsent_ += bytes;
        for (size_t end = unsent_.find("\r\n"); end != Bytes::npos; end = unsent_.find("\r\n")) {
            Log("> " + Escaped(WithoutBoundaryTimes(unsent_.substr(0, end))));
            unsent_.erase(0, end + 2);
        }
    };
    wire->onCall = [this](const std::string& call) { Log("* " + Escaped(call)); };
}

Components Driver::TakeParts() {
    return std::move(parts_);
}

void Driver::Log(std::string entry) {
    if (!entry.starts_with(">")) {
        Flush();
    }
    log.push_back(Visible(std::move(entry)));
}

void Driver::Flush() {
    if (!unsent_.empty()) {
        log.push_back(Visible(">~ " + Escaped(WithoutBoundaryTimes(unsent_))));
        unsent_.clear();
    }
}

void Driver::LogDone(long code, const Text& message) {
    ++dones;
    Log(Entry("= Done", code, message) + " | " + TextToUtf8(Caption()));
}

void Driver::LogTrace(const Text& text) {
    if (traces) {
        Log("T " + Escaped(TextToUtf8(text)));
    }
}

void Driver::LogCaption(const Text& caption) {
    if (traces) {
        Log("C " + Escaped(TextToUtf8(caption)));
    }
}

bool Answered(const std::map<std::string, bool>& answers, const std::string& event, long id,
              bool preset) {
    auto found = answers.find(event + " " + std::to_string(id));
    if (found == answers.end()) {
        found = answers.find(event);
    }
    return found == answers.end() ? preset : found->second;
}

void Driver::Deliver(const Bytes& bytes, const Cut& cut, int& delivery) {
    const int index = delivery++;
    deliveries.push_back(bytes.size());
    if (cut.bytewise) {
        for (const char byte : bytes) {
            wire->Deliver(Bytes(1, byte));
        }
    } else if (cut.delivery == index && cut.offset < bytes.size()) {
        wire->Deliver(bytes.substr(0, cut.offset));
        wire->Deliver(bytes.substr(cut.offset));
    } else {
        wire->Deliver(bytes);
    }
}

void Driver::Step(const std::string& line, const Cut& cut, int& delivery) {
    Log(line);
    if (line.starts_with("<~ ")) {
        Deliver(Unescape(line.substr(3)), cut, delivery);
    } else if (line.starts_with("< ") || line == "<") {  // "<" alone: an empty line
        Deliver(Unescape(line.size() > 2 ? line.substr(2) : "") + "\r\n", cut, delivery);
    } else if (line.starts_with("! ")) {
        const auto [verb, rest] = Split(std::string_view(line).substr(2));
        if (verb == "connected") {
            wire->RaiseConnected();
        } else if (verb == "closed") {
            wire->RaiseClosed();
        } else if (verb == "sent") {
            wire->RaiseSendComplete();
        } else if (verb == "tls") {
            wire->RaiseTlsReady();
        } else if (verb == "tick") {
            timer->Fire(std::stoi(rest));
        } else if (verb == "error") {
            const auto [number, text] = Split(rest);
            wire->RaiseSocketError(std::stol(number), text);
        } else if (verb == "trace") {
            wire->RaiseTrace(rest);
        } else if (verb == "cansend") {
            wire->canSend = rest == "1";
        } else if (verb == "flood") {
            for (size_t left = std::stoul(rest); left > 0;) {
                const size_t piece = std::min<size_t>(left, size_t{64} * 1024);
                wire->Deliver(Bytes(piece, 'x'));
                left -= piece;
            }
        } else if (verb == "idle") {
            // nothing: the script starts without a transfer
        } else if (verb == "traces") {
            traces = true;
        } else if (verb == "answer") {
            const size_t last = rest.rfind(' ');
            answers[rest.substr(0, last)] = rest.substr(last + 1) == "1";
        } else if (!Act(verb, rest)) {
            ADD_FAILURE() << "unknown action: " << line;
        }
    } else {
        ADD_FAILURE() << "not an input line: " << line;
    }
    Flush();
}

// --- SmtpDriver ---

SmtpDriver::SmtpDriver(Parts parts) : Driver(parts) {
    control = std::make_unique<smtpZef>(TakeParts());
    control->FromAddr(u"a@example.jp");
    control->ToAddr(u"r1@example.jp");
    control->Done = [this](long code, const Text& message) { LogDone(code, message); };
    control->Trace = [this](const Text& text) { LogTrace(text); };
    control->CaptionChanged = [this](const Text& caption) { LogCaption(caption); };
    control->MoreData = [this](long id, Bytes& piece) {
        Log(Entry("= MoreData", id));
        if (!data.empty()) {
            piece = data.front();
            data.pop_front();
        }
    };
    control->MimeHead = [this](long depth, long part, Text& format, Text& type, Text& name,
                               Text& charset, Text& encoding, Text& additional) {
        Log(Entry("= MimeHead", depth, part, format, type, name, charset, encoding, additional));
        if (!heads.empty()) {
            std::vector<Text>& head = heads.front();
            if (head.size() == 6) {
                format = head[0], type = head[1], name = head[2];
                charset = head[3], encoding = head[4], additional = head[5];
            }
            heads.pop_front();
        }
    };
    control->MimeBody = [this](long depth, long part, Bytes& piece) {
        Log(Entry("= MimeBody", depth, part));
        if (!bodies.empty()) {
            piece = bodies.front();
            bodies.pop_front();
        }
    };
}

void SmtpDriver::LogServerEvents(const char16_t* token) {
    control->CapabilitiesReceived = [this] {
        Log(Entry("= Capabilities", control->Capabilities()));
    };
    control->RecipientRefused = [this](const Text& address, const Text& reply) {
        Log(Entry("= RecipientRefused", address, reply, control->EnhancedStatus()));
    };
    control->TokenNeeded = [this, token](Text& given) {
        Log(Entry("= TokenNeeded", given)), given = token;
    };
}

void SmtpDriver::Start() {
    ++starts;
    user = control->User();
    secret = control->Pass().empty() ? control->OAuthToken() : control->Pass();
    control->Smtp(u"mx.example", header);
    wire->RaiseConnected();
    Flush();
    log.clear();
}

// A start of the script's own: "header" given empty is the usual one, "-" none.
void SmtpDriver::StartFrom(const Text& server, const Text& given) {
    ++starts;
    user = control->User();
    secret = control->Pass();
    control->Smtp(server, given.empty() ? header : given == u"-" ? Text() : given);
}

bool SmtpDriver::Act(std::string_view verb, std::string_view rest) {
    if (verb == "smtp" || verb == "next") {
        const auto [server, given] = Split(rest);
        if (verb == "smtp") {
            StartFrom(T(server), T(Unescape(given)));
            return true;
        }
        nextSends.emplace_back(T(server), T(Unescape(given)));
        control->EndOfData = [this] {
            Log("= EndOfData");
            if (!nextSends.empty()) {
                const auto [nextServer, nextHeader] = nextSends.front();
                nextSends.pop_front();
                StartFrom(nextServer, nextHeader);
            }
        };
    } else if (verb == "data") {
        data.push_back(Utf16(Unescape(rest)));
    } else if (verb == "head") {
        std::vector<Text> head;
        for (size_t start = 0, bar = 0; !rest.empty() && bar != std::string_view::npos;
             start = bar + 1) {
            bar = rest.find('|', start);
            head.push_back(T(Unescape(rest.substr(start, bar - start))));
        }
        heads.push_back(head);
    } else if (verb == "body") {
        bodies.push_back(Unescape(rest));
    } else if (verb == "closesession") {
        control->CloseSession();
    } else {
        return false;
    }
    return true;
}

// --- MailboxDriver, PopDriver, ImapDriver ---

template <class Control>
void MailboxDriver<Control>::AfterEvent(const std::string& name, long id) {
    if (name == abendEvent && id == abendId) {
        abendArgument == "-" ? control->Abend() : control->Abend(abendArgument == "1");
    }
}

template <class Control>
MailboxDriver<Control>::MailboxDriver(Parts parts) : Driver(parts) {
    control = std::make_unique<Control>(TakeParts());
    Control& c = *control;
    c.Done = [this](long code, const Text& message) {
        if (!control->ResponseCode().empty()) {
            Log(Entry("= ResponseCode", control->ResponseCode()));
        }
        LogDone(code, message);
    };
    c.Trace = [this](const Text& text) { LogTrace(text); };
    c.CaptionChanged = [this](const Text& caption) { LogCaption(caption); };
    c.CapabilitiesReceived = [this] {
        Log(Entry("= CapabilitiesReceived", control->Capabilities()));
    };
    c.Stat = [this](long many, long much) { Log(Entry("= Stat", many, much)); };
    // The events whose only argument is the message number, and those with a Boolean to answer.
    const auto plain = [this](const char* name) {
        return [this, name](long id) { Event(name, id); };
    };
    const auto asked = [this](const char* name) {
        return [this, name](long id, bool& answer) {
            answer = Answered(answers, name, id, answer);
            Event(name, id);
        };
    };
    c.UidlFirst = asked("UidlFirst");
    c.TopFirst = asked("TopFirst");
    c.TopDone = asked("TopDone");
    c.RetrDone = asked("RetrDone");
    c.MailHeadFirst = plain("MailHeadFirst");
    c.MailHeadDone = plain("MailHeadDone");
    c.UidlDone = [this](long id, const Text& uidl, bool& remove) {
        remove = Answered(answers, "UidlDone", id, remove);
        Event("UidlDone", id, uidl);
    };
    c.TopNext = [this](long id, const Text& line) { Event("TopNext", id, line); };
    c.RetrFirst = [this](long id, long much, bool& cancel) {
        cancel = Answered(answers, "RetrFirst", id, cancel);
        Event("RetrFirst", id, much);
    };
    c.MailHeadNext = [this](long id, const Text& name, const Text& value) {
        Event("MailHeadNext", id, name + u": " + value);
    };
    c.MimeHeadFirst = [this](long id, long part) { Event("MimeHeadFirst", id, part); };
    c.MimeHeadNext = [this](long id, long part, const Text& name, const Text& value) {
        Event("MimeHeadNext", id, part, name + u": " + value);
    };
    c.MimeHeadDone = [this](long id, long part) { Event("MimeHeadDone", id, part); };
    c.MultiPartOpen = [this](long id, long parent, const Text& type, const Text& name,
                             const Text& charset, const Text& encoding, Text& tag) {
        const Text in = tag;
        tag = u"m" + AsciiToText(std::to_string(++opened_));
        Event("MultiPartOpen", id, parent, type, name, charset, encoding, in);
    };
    c.MultiPartClose = [this](long id, const Text& tag) { Event("MultiPartClose", id, tag); };
    c.MimeDataFirst = [this](long id, long part, const Text& type, const Text& name,
                             const Text& charset, const Text& encoding, bool& isText) {
        const Text preset = isText ? u"text" : u"bytes";
        isText = partIsText_ = Answered(answers, "MimeDataFirst", id, isText);
        Event("MimeDataFirst", id, part, type, name, charset, encoding, preset);
    };
    c.MimeDataNext = [this](long id, long part, Bytes& data) {
        Event("MimeDataNext", id, part, partIsText_ ? TextToUtf8(Utf16LeToText(data)) : data);
    };
    c.MimeDataDone = [this](long id, long part) { Event("MimeDataDone", id, part); };
}

void PopDriver::Start() {
    ++starts;
    user = u"bob";
    secret = u"secret";
    control->pop(u"pop.example", user, secret, 0);
    wire->RaiseConnected();
    Flush();
    log.clear();
}

template <class Control>
bool MailboxDriver<Control>::Act(std::string_view verb, std::string_view rest) {
    if (verb != "abend") {
        return ActOnControl(verb, rest);
    }
    std::istringstream words{std::string(rest)};
    words >> abendEvent >> abendId >> abendArgument;
    return true;
}

template class MailboxDriver<popZef>;
template class MailboxDriver<imapZef>;

bool PopDriver::ActOnControl(std::string_view verb, std::string_view rest) {
    if (verb == "pop") {
        std::istringstream words{std::string(rest)};
        std::string server, name, password;
        long lines = 0;
        words >> server >> name >> password >> lines;
        ++starts;
        user = T(Unescape(name));
        secret = T(Unescape(password));
        control->pop(T(server), user, secret, lines);
        return true;
    }
    return false;
}

ImapDriver::ImapDriver(Parts parts) : MailboxDriver(parts) {
    control->FolderListed = [this](const Text& name, const Text& delimiter,
                                   const Text& attributes) {
        Log(Entry("= FolderListed", name, delimiter, attributes));
    };
    control->FolderSelected = [this](const Text& name, const Text& validity, long exists) {
        Log(Entry("= FolderSelected", name, validity, exists));
    };
    control->Idling = [this] { Log("= Idling"); };
    control->MarkSeenAsked = [this](long id, bool& mark) {
        Log(Entry("= MarkSeenAsked", id));
        mark = Answered(answers, "MarkSeenAsked", id, mark);
    };
}

void ImapDriver::Start() {
    ++starts;
    user = u"bob";
    secret = u"secret";
    control->imap(u"imap.example", user, secret);
    wire->RaiseConnected();
    Flush();
    log.clear();
}

bool ImapDriver::ActOnControl(std::string_view verb, std::string_view rest) {
    if (verb != "imap") {
        return false;
    }
    std::istringstream words{std::string(rest)};
    std::string server, name, password;
    words >> server >> name >> password;
    ++starts;
    user = T(Unescape(name));
    secret = T(Unescape(password));
    control->imap(T(server), user, secret);
    return true;
}

// --- playing scripts ---

namespace {

// Whether an entry starts at `at`: a mark (< <~ > >~ ! = * T C) followed by a space or the end.
bool EntryStarts(std::string_view line, size_t at) {
    static const std::string_view kMarks[] = {"<~", ">~", "<", ">", "!", "=", "*", "T", "C"};
    for (const std::string_view mark : kMarks) {
        if (line.substr(at, mark.size()) == mark &&
            (at + mark.size() == line.size() || line[at + mark.size()] == ' ')) {
            return true;
        }
    }
    return false;
}

// The entries of a script: one per line, or several on a line with two or more spaces before
// each further one; blank lines and lines starting with # are left out.
std::vector<std::string> ScriptLines(std::string_view script) {
    std::vector<std::string> lines;
    std::istringstream in{std::string(script)};
    for (std::string line; std::getline(in, line);) {
        const size_t first = line.find_first_not_of(' ');
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        size_t start = first;
        for (size_t at = first + 1; at + 2 < line.size(); ++at) {
            if (line[at] == ' ' && line[at + 1] == ' ') {
                const size_t next = line.find_first_not_of(' ', at);
                if (next != std::string::npos && EntryStarts(line, next)) {
                    lines.push_back(line.substr(start, at - start));
                    start = next;
                    at = next;
                }
            }
        }
        const size_t last = line.find_last_not_of(' ');
        lines.push_back(line.substr(start, last + 1 - start));
    }
    return lines;
}

bool IsInput(const std::string& line) {
    return line.starts_with("<") || line.starts_with("! ");
}

// The forms of a password that must never be shown: as it is and base64-encoded, alone and in
// the PLAIN form.
std::vector<std::string> SecretForms(const Text& user, const Text& secret) {
    if (secret.size() < 4) {
        return {};
    }
    const std::unique_ptr<Codec> codec = MakeCodec();
    Bytes plain = TextToUtf8(secret);
    Bytes joined = '\0' + TextToUtf8(user) + '\0' + plain;
    std::vector<std::string> forms{plain, codec->EncodeBase64(plain), codec->EncodeBase64(joined)};
    for (std::string& form : forms) {
        while (!form.empty() &&
               (form.back() == '=' || form.back() == '\n' || form.back() == '\r')) {
            form.pop_back();
        }
        form = Escaped(form);
    }
    return forms;
}

// A transcript line for a report, cut short when it is long.
std::string Short(const std::string& line) {
    return line.size() <= 160
               ? line
               : line.substr(0, 150) + "... (" + std::to_string(line.size()) + " bytes)";
}

std::string Describe(const Cut& cut) {
    if (cut.bytewise) {
        return "every delivery one byte at a time";
    }
    if (cut.delivery < 0) {
        return "every delivery whole";
    }
    return "delivery " + std::to_string(cut.delivery) + " cut after " + std::to_string(cut.offset) +
           " bytes";
}

// One run; true when it gave the script back. Reports the first difference otherwise.
bool PlayOnce(const std::function<std::unique_ptr<Driver>()>& make,
              const std::vector<std::string>& script, const Cut& cut, std::vector<size_t>* sizes) {
    const std::unique_ptr<Driver> driver = make();
    const bool ownStart =
        !script.empty() && (script[0].starts_with("! smtp") || script[0].starts_with("! pop") ||
                            script[0].starts_with("! imap") || script[0] == "! idle");
    if (!ownStart) {
        driver->Start();
    }
    int delivery = 0;
    for (const std::string& line : script) {
        if (IsInput(line)) {
            driver->Step(line, cut, delivery);
        }
    }
    driver->Flush();
    if (sizes != nullptr) {
        *sizes = driver->deliveries;
    }
    const std::vector<std::string>& seen = driver->log;
    size_t same = 0;
    while (same < script.size() && same < seen.size() && script[same] == seen[same]) {
        ++same;
    }
    bool good = same == script.size() && same == seen.size();
    if (!good) {
        std::ostringstream report;
        report << Describe(cut) << ": the transcript differs from line " << same + 1 << "\n";
        for (size_t i = same > 3 ? same - 3 : 0; i < same; ++i) {
            report << "      " << Short(script[i]) << "\n";
        }
        report << "want  " << (same < script.size() ? Short(script[same]) : "(end)") << "\n";
        report << "got   " << (same < seen.size() ? Short(seen[same]) : "(end)") << "\n";
        for (size_t i = same + 1; i < seen.size() && i < same + 6; ++i) {
            report << "      " << Short(seen[i]) << "\n";
        }
        if (std::getenv("ZEF_TRANSCRIPT") != nullptr) {  // the whole run, for writing scripts
            report << "--- whole transcript ---\n";
            for (const std::string& entry : seen) {
                report << Short(entry) << "\n";
            }
        }
        ADD_FAILURE() << report.str();
    }
    if (driver->dones > driver->starts) {
        ADD_FAILURE() << Describe(cut) << ": " << driver->dones << " Done events for "
                      << driver->starts << " starts";
        good = false;
    }
    for (const std::string& form : SecretForms(driver->user, driver->secret)) {
        for (const std::string& entry : seen) {
            const bool shown =
                entry.starts_with("T ") || entry.starts_with("C ") || entry.starts_with("= Done");
            if (shown && entry.find(form) != std::string::npos) {
                ADD_FAILURE() << "a password shows in: " << entry;
                good = false;
            }
        }
    }
    return good;
}

}  // namespace

void ExpectScript(const std::function<std::unique_ptr<Driver>()>& make, std::string_view script,
                  bool cut, size_t maxCut) {
    const std::vector<std::string> lines = ScriptLines(script);
    std::vector<size_t> sizes;
    if (!PlayOnce(make, lines, Cut{}, &sizes) || !cut) {
        return;
    }
    for (size_t delivery = 0; delivery < sizes.size(); ++delivery) {
        for (size_t offset = 1; offset < sizes[delivery] && sizes[delivery] <= maxCut; ++offset) {
            if (!PlayOnce(make, lines, Cut{static_cast<int>(delivery), offset, false}, nullptr)) {
                return;
            }
        }
    }
    PlayOnce(make, lines, Cut{-1, 0, true}, nullptr);
}

}  // namespace zef::test
