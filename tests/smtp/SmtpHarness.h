// A smtpZef driven by hand: a scripted wire, a manual timer, simple stand-ins for the converter
// and the codec (or the real ones), and recorders for every event.
#pragma once

#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/Types.h"
#include "components/Codec.h"
#include "components/Glyph.h"
#include "components/PropertyBag.h"
#include "components/Timer.h"
#include "smtp/smtpZef.h"
#include "tests/support/ScriptedWire.h"

namespace zef::testing {

// Text to bytes one code unit per byte (ASCII tests only); records the escapes it is given.
class AsciiGlyph final : public Glyph {
  public:
    std::string kanjiIn, kanjiOut;
    void KanjiInEscape(const std::string& escape) override { kanjiIn = escape; }
    void KanjiOutEscape(const std::string& escape) override { kanjiOut = escape; }
    Bytes TextToJis(Text& text) override;
    Text JisToText(Bytes& bytes) override;
    Bytes AnyToAnsi(Bytes& bytes) override { return bytes; }
};

// A codec whose work stays visible in the bytes: base64 and quoted-printable wrap their input
// in markers, and EncodeHeader passes its input through (or, with markHeaders, wraps it in
// braces so a test can see which bytes went through it).
class MarkingCodec final : public Codec {
  public:
    bool markHeaders = false;
    long foldLines = -1;
    void FoldLines(long mode) override { foldLines = mode; }
    Bytes EncodeBase64(Bytes& data) override { return "[B64:" + data + "]"; }
    Bytes DecodeBase64(Bytes& text) override { return "[DECODED:" + text + "]"; }
    Bytes EncodeQuotedPrintable(Bytes& data) override { return "[QP:" + data + "]"; }
    Bytes DecodeQuotedPrintable(Bytes& text) override { return text; }
    Bytes EncodeHeader(Bytes& header) override { return markHeaders ? "{" + header + "}" : header; }
    Bytes DecodeHeader(Bytes& header) override { return header; }
};

// Records every write in order and serves reads from a map, recording their order too.
class RecordingBag final : public PropertyBag {
  public:
    struct Write {
        std::string name;
        Variant value, defaultValue;
    };
    std::vector<Write> writes;
    std::map<std::string, Variant> stored;
    mutable std::vector<std::string> reads;

    Variant ReadProperty(const std::string& name, const Variant& defaultValue) const override;
    void WriteProperty(const std::string& name, const Variant& value,
                       const Variant& defaultValue) override;
};

// How a send ended: the code and message of Done.
using Outcome = std::pair<long, std::string>;

struct HarnessOptions {
    bool realGlyph = false;
    bool realCodec = false;
};

class SmtpHarness {
  public:
    explicit SmtpHarness(HarnessOptions options = {});

    // Views of the components, which the control owns.
    ScriptedWire* wire = nullptr;
    ManualTimer* timer = nullptr;
    AsciiGlyph* asciiGlyph = nullptr;      // when the stand-in is used
    MarkingCodec* markingCodec = nullptr;  // when the stand-in is used
    std::unique_ptr<smtpZef> control;

    // What the events said, in UTF-8.
    std::vector<std::string> traces;
    std::vector<std::pair<long, std::string>> dones;
    std::vector<std::string> captions;

    // The application's side of the body events.
    std::vector<std::string> plainPieces;  // MoreData answers (UTF-8 text), in order
    std::vector<long> moreDataIds;

    // FromAddr a@example.jp; ToAddr r1@example.jp as a string, or r1..rN as an array.
    void Address(int recipients = 1);
    // Smtp with UTF-8 arguments.
    void Send(const std::string& header, const std::string& server = "mx.example");
    // Send, then Connected.
    void Open(const std::string& header = "");
    // A reply line from the server, with CR LF added.
    void Reply(const std::string& line);
    void Replies(std::initializer_list<std::string> lines);
    // What the control sent since the last call.
    std::string Sent();
    // Connected, greeting, HELO, MAIL, one RCPT per recipient, 354: the header block has gone
    // out and the body turns come with each SendComplete. Returns what was sent.
    std::string RunToData(const std::string& header, int recipients = 1);
    // SendComplete turns until the final dot is queued (at most `limit` turns).
    std::string RunBody(int limit = 100);
    // The reply to the dot, the reply to QUIT and the close: Done 0.
    void FinishOk();

    std::string LastDoneMessage() const;
    // The one Done so far; a count in the message when there were none or several.
    Outcome OnlyDone() const;
    // Closed from the wire, then OnlyDone.
    Outcome CloseAndDone();
    bool Traced(const std::string& text) const;
};

Text T(const std::string& utf8);
std::string U(const Text& text);

}  // namespace zef::testing
