// Small stand-ins for the converter and the codec in popZef's tests, a recorder of the
// parser's events, and a harness that runs the control on a scripted socket and a manual
// timer.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/Types.h"
#include "components/Codec.h"
#include "components/Glyph.h"
#include "components/Timer.h"
#include "pop/MessageEvents.h"
#include "pop/popZef.h"
#include "tests/support/ScriptedWire.h"

namespace zef::testing {

// One byte is one character and back: enough where only ASCII travels.
class PassThroughGlyph final : public Glyph {
  public:
    void KanjiInEscape(const std::string& /*escape*/) override {}
    void KanjiOutEscape(const std::string& /*escape*/) override {}
    Bytes TextToJis(Text& text) override;
    Text JisToText(Bytes& bytes) override;
    Bytes AnyToAnsi(Bytes& bytes) override;
};

// A codec that shows what it was given: DecodeBase64 returns "<b64:" input ">" and
// DecodeQuotedPrintable "<qp:" input ">", so a test sees exactly which bytes reached which
// decoder. DecodeHeader returns its input, or throws for input containing `failHeaderOn`.
// Decoders throw when `failDecoders` is set.
class MarkingCodec final : public Codec {
  public:
    std::string failHeaderOn;
    bool failDecoders = false;

    void FoldLines(long /*mode*/) override {}
    Bytes EncodeBase64(Bytes& data) override { return data; }
    Bytes DecodeBase64(Bytes& text) override;
    Bytes EncodeQuotedPrintable(Bytes& data) override { return data; }
    Bytes DecodeQuotedPrintable(Bytes& text) override;
    Bytes EncodeHeader(Bytes& header) override { return header; }
    Bytes DecodeHeader(Bytes& header) override;
};

// UTF-16 text to UTF-8 for readable expectations.
std::string U8(const Text& text);
// Bytes with CR, LF and non-printable bytes spelled out (\r, \n, \xNN).
std::string Escaped(const Bytes& bytes);

// Records the parser's events as lines such as "MimeHeadFirst 1 2". Data of MimeDataNext is
// recorded escaped, or as UTF-8 when `dataAsText` (the part was left a text part).
class EventRecorder final : public pop::MessageEvents {
  public:
    std::vector<std::string> log;
    std::vector<Bytes> data;                      // every MimeDataNext Data, raw
    bool isText = true;                           // what MimeDataFirst answers
    std::function<Text(long parentPart)> tagFor;  // what MultiPartOpen answers
    bool cancelRetr = false;
    bool cancelDelete = false;

    void RetrFirst(long id, long much, bool& cancel) override;
    void RetrDone(long id, bool& cancel) override;
    void MailHeadFirst(long id) override;
    void MailHeadNext(long id, const Text& name, const Text& value) override;
    void MailHeadDone(long id) override;
    void MimeHeadFirst(long id, long part) override;
    void MimeHeadNext(long id, long part, const Text& name, const Text& value) override;
    void MimeHeadDone(long id, long part) override;
    void MultiPartOpen(long id, long parentPart, const Text& type, const Text& name,
                       const Text& charset, const Text& encoding, Text& tag) override;
    void MultiPartClose(long id, const Text& tag) override;
    void MimeDataFirst(long id, long part, const Text& type, const Text& name, const Text& charset,
                       const Text& encoding, bool& text) override;
    void MimeDataNext(long id, long part, Bytes& bytes) override;
    void MimeDataDone(long id, long part) override;
};

// popZef on a ScriptedWire and a ManualTimer. Every event is logged as a line of text; the
// harness's handlers can be replaced per test through `control`.
class PopHarness {
  public:
    struct Options {
        bool realGlyph = false;  // the real converter instead of PassThroughGlyph
        bool realCodec = false;  // the real codec instead of MarkingCodec
    };
    PopHarness();
    explicit PopHarness(Options options);

    ScriptedWire* wire = nullptr;
    ManualTimer* timer = nullptr;
    MarkingCodec* codec = nullptr;  // null with realCodec
    std::unique_ptr<popZef> control;
    std::vector<std::string> events;
    int doneCount = 0;
    bool isText = true;  // what MimeDataFirst answers; text data is logged as UTF-8

    // pop("pop.example", user, password, lines), then Connected.
    void Start(const Text& user = u"bob", const Text& password = u"secret", long lines = 0);
    // Start, then the greeting and good replies to USER and PASS; STAT is then outstanding.
    void LogIn();
    void Receive(const std::string& bytes) { wire->Deliver(bytes); }
    std::string Sent() { return wire->TakeSent(); }
    // The events logged since the last call, and forgets them.
    std::vector<std::string> TakeEvents();
    // Whether an event line equal to `line` was logged since the last TakeEvents.
    bool Logged(const std::string& line) const;
    // Closed from the wire, then the one Done event line (or how many Done events came).
    std::string CloseAndDone();
    // The Trace lines logged since the last TakeEvents.
    std::vector<std::string> Traces() const;

  private:
    void Hook();
};

}  // namespace zef::testing
