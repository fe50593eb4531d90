#include "tests/smtp/SmtpHarness.h"

#include <algorithm>

#include "common/Unicode.h"
#include "components/Hash.h"

namespace zef::testing {

Text T(const std::string& utf8) {
    return Utf8ToText(utf8);
}
std::string U(const Text& text) {
    return TextToUtf8(text);
}

Bytes AsciiGlyph::TextToJis(Text& text) {
    Bytes bytes;
    bytes.reserve(text.size());
    for (char16_t unit : text) {
        bytes += unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    text.clear();
    return bytes;
}

Text AsciiGlyph::JisToText(Bytes& bytes) {
    return Text(bytes.begin(), bytes.end());
}

Variant RecordingBag::ReadProperty(const std::string& name, const Variant& defaultValue) const {
    reads.push_back(name);
    auto found = stored.find(name);
    return found == stored.end() ? defaultValue : found->second;
}

void RecordingBag::WriteProperty(const std::string& name, const Variant& value,
                                 const Variant& defaultValue) {
    writes.push_back({name, value, defaultValue});
    if (value == defaultValue) {
        stored.erase(name);
    } else {
        stored[name] = value;
    }
}

SmtpHarness::SmtpHarness(HarnessOptions options) {
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
        auto ascii = std::make_unique<AsciiGlyph>();
        asciiGlyph = ascii.get();
        components.glyph = std::move(ascii);
    }
    if (options.realCodec) {
        components.codec = MakeCodec();
    } else {
        auto marking = std::make_unique<MarkingCodec>();
        markingCodec = marking.get();
        components.codec = std::move(marking);
    }
    components.hash = MakeMd5Hash();
    control = std::make_unique<smtpZef>(std::move(components));

    control->Trace = [this](const Text& message) { traces.push_back(U(message)); };
    control->Done = [this](long code, const Text& message) {
        dones.emplace_back(code, U(message));
    };
    control->CaptionChanged = [this](const Text& caption) { captions.push_back(U(caption)); };
    control->MoreData = [this](long id, Bytes& data) {
        moreDataIds.push_back(id);
        const size_t index = moreDataIds.size() - 1;
        if (index < plainPieces.size()) {
            data = TextToUtf16Le(T(plainPieces[index]));
        }
    };
}

void SmtpHarness::Send(const std::string& header, const std::string& server) {
    control->Smtp(T(server), T(header));
}

void SmtpHarness::Address(int recipients) {
    control->FromAddr(u"a@example.jp");
    if (recipients == 1) {
        control->ToAddr(u"r1@example.jp");
        return;
    }
    std::vector<Text> to;
    for (int i = 1; i <= recipients; ++i) {
        to.push_back(T("r" + std::to_string(i) + "@example.jp"));
    }
    control->ToAddr(StringArray::OneBased(to));
}

void SmtpHarness::Open(const std::string& header) {
    Send(header);
    wire->RaiseConnected();
}

void SmtpHarness::Reply(const std::string& line) {
    wire->Deliver(line + "\r\n");
}

void SmtpHarness::Replies(std::initializer_list<std::string> lines) {
    for (const std::string& line : lines) {
        Reply(line);
    }
}

std::string SmtpHarness::Sent() {
    return wire->TakeSent();
}

std::string SmtpHarness::RunToData(const std::string& header, int recipients) {
    Send(header);
    wire->RaiseConnected();
    Reply("220 mx.example ESMTP");
    Reply("250 hello");
    Reply("250 sender ok");
    for (int i = 0; i < recipients; ++i) {
        Reply("250 recipient ok");
    }
    Reply("354 go ahead");
    return Sent();
}

std::string SmtpHarness::RunBody(int limit) {
    std::string body;
    for (int turn = 0; turn < limit; ++turn) {
        wire->RaiseSendComplete();
        body += Sent();
        if (body.ends_with("\r\n.\r\n")) {
            break;
        }
    }
    return body;
}

void SmtpHarness::FinishOk() {
    Reply("250 queued");
    Reply("221 bye");
    wire->RaiseClosed();
}

std::string SmtpHarness::LastDoneMessage() const {
    return dones.empty() ? std::string() : dones.back().second;
}

Outcome SmtpHarness::OnlyDone() const {
    if (dones.size() != 1) {
        return {-999, std::to_string(dones.size()) + " Done events"};
    }
    return dones[0];
}

Outcome SmtpHarness::CloseAndDone() {
    wire->RaiseClosed();
    return OnlyDone();
}

bool SmtpHarness::Traced(const std::string& text) const {
    return std::find(traces.begin(), traces.end(), text) != traces.end();
}

}  // namespace zef::testing
