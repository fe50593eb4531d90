#include "tests/pop/PopTestDoubles.h"

#include <algorithm>
#include <cstdio>

#include "common/Error.h"
#include "common/Unicode.h"
#include "components/Hash.h"

namespace zef::testing {

Bytes PassThroughGlyph::TextToJis(Text& text) {
    Bytes out;
    for (char16_t c : text) {
        out.push_back(c < 256 ? static_cast<char>(c) : '?');
    }
    text.clear();
    return out;
}

Text PassThroughGlyph::JisToText(Bytes& bytes) {
    Text out;
    for (char b : bytes) {
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(b)));
    }
    bytes.clear();
    return out;
}

Bytes PassThroughGlyph::AnyToAnsi(Bytes& bytes) {
    Bytes out;
    out.swap(bytes);
    return out;
}

Bytes MarkingCodec::DecodeBase64(Bytes& text) {
    if (failDecoders) {
        throw Error(5, "MarkingCodec", u"bad base64");
    }
    return "<b64:" + text + ">";
}

Bytes MarkingCodec::DecodeQuotedPrintable(Bytes& text) {
    if (failDecoders) {
        throw std::runtime_error("bad quoted-printable");
    }
    return "<qp:" + text + ">";
}

Bytes MarkingCodec::DecodeHeader(Bytes& header) {
    if (!failHeaderOn.empty() && header.find(failHeaderOn) != Bytes::npos) {
        throw Error(5, "MarkingCodec", u"bad encoded word");
    }
    return header;
}

std::string U8(const Text& text) {
    return TextToUtf8(text);
}

std::string Escaped(const Bytes& bytes) {
    std::string out;
    for (unsigned char b : bytes) {
        if (b == '\r') {
            out += "\\r";
        } else if (b == '\n') {
            out += "\\n";
        } else if (b < 32 || b >= 127) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        } else {
            out.push_back(static_cast<char>(b));
        }
    }
    return out;
}

// --- EventRecorder ---

namespace {
std::string N(long n) {
    return std::to_string(n);
}
}  // namespace

void EventRecorder::RetrFirst(long id, long much, bool& cancel) {
    log.push_back("RetrFirst " + N(id) + " " + N(much));
    cancel = cancelRetr;
}
void EventRecorder::RetrDone(long id, bool& cancel) {
    log.push_back("RetrDone " + N(id));
    cancel = cancelDelete;
}
void EventRecorder::MailHeadFirst(long id) {
    log.push_back("MailHeadFirst " + N(id));
}
void EventRecorder::MailHeadNext(long id, const Text& name, const Text& value) {
    log.push_back("MailHeadNext " + N(id) + " [" + U8(name) + "] [" + U8(value) + "]");
}
void EventRecorder::MailHeadDone(long id) {
    log.push_back("MailHeadDone " + N(id));
}
void EventRecorder::MimeHeadFirst(long id, long part) {
    log.push_back("MimeHeadFirst " + N(id) + " " + N(part));
}
void EventRecorder::MimeHeadNext(long id, long part, const Text& name, const Text& value) {
    log.push_back("MimeHeadNext " + N(id) + " " + N(part) + " [" + U8(name) + "] [" + U8(value) +
                  "]");
}
void EventRecorder::MimeHeadDone(long id, long part) {
    log.push_back("MimeHeadDone " + N(id) + " " + N(part));
}
void EventRecorder::MultiPartOpen(long id, long parentPart, const Text& type, const Text& name,
                                  const Text& charset, const Text& encoding, Text& tag) {
    log.push_back("MultiPartOpen " + N(id) + " " + N(parentPart) + " [" + U8(type) + "] [" +
                  U8(name) + "] [" + U8(charset) + "] [" + U8(encoding) + "] tag-in [" + U8(tag) +
                  "]");
    if (tagFor) {
        tag = tagFor(parentPart);
    }
}
void EventRecorder::MultiPartClose(long id, const Text& tag) {
    log.push_back("MultiPartClose " + N(id) + " [" + U8(tag) + "]");
}
void EventRecorder::MimeDataFirst(long id, long part, const Text& type, const Text& name,
                                  const Text& charset, const Text& encoding, bool& text) {
    log.push_back("MimeDataFirst " + N(id) + " " + N(part) + " [" + U8(type) + "] [" + U8(name) +
                  "] [" + U8(charset) + "] [" + U8(encoding) + "] " +
                  (text ? "text-in" : "bytes-in"));
    text = isText;
}
void EventRecorder::MimeDataNext(long id, long part, Bytes& bytes) {
    data.push_back(bytes);
    log.push_back("MimeDataNext " + N(id) + " " + N(part));
}
void EventRecorder::MimeDataDone(long id, long part) {
    log.push_back("MimeDataDone " + N(id) + " " + N(part));
}

// --- PopHarness ---

PopHarness::PopHarness() : PopHarness(Options{}) {}

PopHarness::PopHarness(Options options) {
    Components components;
    auto scripted = std::make_unique<ScriptedWire>();
    wire = scripted.get();
    components.wire = std::move(scripted);
    auto manual = std::make_unique<ManualTimer>();
    timer = manual.get();
    components.timer = std::move(manual);
    if (options.realGlyph) {
        components.glyph = MakeGlyph();
    } else {
        components.glyph = std::make_unique<PassThroughGlyph>();
    }
    if (options.realCodec) {
        components.codec = MakeCodec();
    } else {
        auto marking = std::make_unique<MarkingCodec>();
        codec = marking.get();
        components.codec = std::move(marking);
    }
    components.hash = MakeMd5Hash();
    control = std::make_unique<popZef>(std::move(components));
    Hook();
}

void PopHarness::Hook() {
    popZef& c = *control;
    auto log = [this](std::string line) { events.push_back(std::move(line)); };
    c.Done = [this, log](long code, const Text& msg) {
        ++doneCount;
        log("Done " + N(code) + " [" + U8(msg) + "]");
    };
    c.Trace = [log](const Text& msg) { log("Trace " + U8(msg)); };
    c.Stat = [log](long many, long much) { log("Stat " + N(many) + " " + N(much)); };
    c.UidlFirst = [log](long id, bool&) { log("UidlFirst " + N(id)); };
    c.UidlDone = [log](long id, const Text& uidl, bool&) {
        log("UidlDone " + N(id) + " [" + U8(uidl) + "]");
    };
    c.TopFirst = [log](long id, bool&) { log("TopFirst " + N(id)); };
    c.TopNext = [log](long id, const Text& line) {
        log("TopNext " + N(id) + " [" + U8(line) + "]");
    };
    c.TopDone = [log](long id, bool&) { log("TopDone " + N(id)); };
    c.RetrFirst = [log](long id, long much, bool&) { log("RetrFirst " + N(id) + " " + N(much)); };
    c.RetrDone = [log](long id, bool&) { log("RetrDone " + N(id)); };
    c.MailHeadFirst = [log](long id) { log("MailHeadFirst " + N(id)); };
    c.MailHeadNext = [log](long id, const Text& name, const Text& value) {
        log("MailHeadNext " + N(id) + " [" + U8(name) + "] [" + U8(value) + "]");
    };
    c.MailHeadDone = [log](long id) { log("MailHeadDone " + N(id)); };
    c.MimeHeadFirst = [log](long id, long part) { log("MimeHeadFirst " + N(id) + " " + N(part)); };
    c.MimeHeadDone = [log](long id, long part) { log("MimeHeadDone " + N(id) + " " + N(part)); };
    c.MultiPartOpen = [log](long id, long parent, const Text& type, const Text&, const Text&,
                            const Text&, Text&) {
        log("MultiPartOpen " + N(id) + " " + N(parent) + " [" + U8(type) + "]");
    };
    c.MultiPartClose = [log](long id, const Text& tag) {
        log("MultiPartClose " + N(id) + " [" + U8(tag) + "]");
    };
    c.MimeDataFirst = [this, log](long id, long part, const Text&, const Text&, const Text&,
                                  const Text&, bool& text) {
        log("MimeDataFirst " + N(id) + " " + N(part));
        text = isText;
    };
    c.MimeDataNext = [this, log](long id, long part, Bytes& data) {
        log("MimeDataNext " + N(id) + " " + N(part) + " " +
            Escaped(isText ? U8(Utf16LeToText(data)) : data));
    };
    c.MimeDataDone = [log](long id, long part) { log("MimeDataDone " + N(id) + " " + N(part)); };
}

void PopHarness::Start(const Text& user, const Text& password, long lines) {
    control->pop(u"pop.example", user, password, lines);
    wire->RaiseConnected();
}

void PopHarness::LogIn() {
    Start();
    Receive("+OK ready\r\n");
    Receive("+OK\r\n");
    Receive("+OK logged in\r\n");
    Sent();
    TakeEvents();
}

std::vector<std::string> PopHarness::TakeEvents() {
    std::vector<std::string> taken;
    taken.swap(events);
    return taken;
}

bool PopHarness::Logged(const std::string& line) const {
    return std::find(events.begin(), events.end(), line) != events.end();
}

std::string PopHarness::CloseAndDone() {
    wire->RaiseClosed();
    if (doneCount != 1) {
        return std::to_string(doneCount) + " Done events";
    }
    const auto done = std::find_if(events.rbegin(), events.rend(), [](const std::string& line) {
        return line.starts_with("Done ");
    });
    return done == events.rend() ? "Done not logged" : *done;
}

std::vector<std::string> PopHarness::Traces() const {
    std::vector<std::string> traces;
    for (const std::string& line : events) {
        if (line.rfind("Trace ", 0) == 0) {
            traces.push_back(line.substr(6));
        }
    }
    return traces;
}

}  // namespace zef::testing
