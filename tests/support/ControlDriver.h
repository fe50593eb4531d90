// One driver for both controls: the control on a scripted wire and a manual timer, and a
// transcript of everything that happened to it and everything it did, in order, one line each:
//
//   < text       the server sent text and CR LF        (inputs, given by a script)
//   <~ text      the server sent text, no line end
//   ! action     connected, closed, sent (SendComplete), tls (TlsReady), tick N, error N text,
//                trace text, cansend 0|1, flood N (N bytes without line end), traces (log
//                Trace and caption changes from now on), answer Event[ id] 0|1 (what the
//                event's by-reference Boolean is set to: "answers" holds "Event" for every
//                message, "Event 3" for message 3 only), and the control's own actions (smtp, pop,
//                data, head, body, abend: see SmtpDriver and PopDriver); a script that
//                starts with "! smtp", "! pop", "! imap" or "! idle" makes its own start (idle:
//                none)
//   > line       the control sent line and CR LF        (outputs, observed)
//   >~ bytes     the control sent bytes without a line end (written out at the end of a step)
//   * call       another call on the wire: connect host:port options tls, close, shutdown,
//                starttls
//   = Event args an event and its arguments; Done also shows the caption: "= Done 0 - | ..."
//   T text       a Trace, and C text a caption change, while traces are on
//
// Texts are UTF-8; CR, LF, backslash and other bytes outside printable ASCII are written as
// \r, \n, \t, \\ and \xNN, in inputs and outputs alike, and spaces at the end of a line as \x20;
// an empty argument is "-", and a line that is only a mark and a space is the mark alone (">"
// for an empty line sent). The time stamp of a multipart boundary is written as "T". A script
// is a run's transcript: playing its inputs must give back exactly its lines. A script line may
// hold several entries, each further one after two or more spaces, so that a reply and the
// command it brings can stand on one line.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "common/Types.h"
#include "components/Timer.h"
#include "imap/imapZef.h"
#include "pop/popZef.h"
#include "smtp/smtpZef.h"
#include "tests/support/Fakes.h"
#include "tests/support/ScriptedWire.h"

namespace zef::test {

// Which components are real; the others are the stand-ins of Fakes.h.
struct Parts {
    bool realGlyph = false;
    bool realCodec = false;
};

// One transcript argument: numbers in decimal, text as UTF-8 and bytes escaped; "-" if empty.
std::string Arg(long number);
std::string Arg(std::u16string_view text);
std::string Arg(std::string_view bytes);

template <class... Args>
std::string Entry(std::string_view name, const Args&... args) {
    std::string entry(name);
    ((entry += ' ', entry += Arg(args)), ...);
    return entry;
}

// What the application answers to `event` for message `id`: answers["Event id"], else
// answers["Event"], else the preset.
bool Answered(const std::map<std::string, bool>& answers, const std::string& event, long id,
              bool preset);

// Escapes in a script's text: \r \n \t \0 \\ \xNN.
Bytes Unescape(std::string_view text);
// A transcript line as scripts write it (see above).
std::string Visible(std::string entry);

// How the deliveries of one run are cut: delivery `delivery` in two after `offset` bytes, or
// every delivery one byte at a time.
struct Cut {
    int delivery = -1;
    size_t offset = 0;
    bool bytewise = false;
};

class Driver {
  public:
    explicit Driver(Parts parts);
    virtual ~Driver() = default;
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    ScriptedWire* wire = nullptr;
    ManualTimer* timer = nullptr;
    FakeGlyph* glyph = nullptr;  // null when the real converter is used
    FakeCodec* codec = nullptr;  // null when the real codec is used
    std::vector<std::string> log;
    std::vector<size_t> deliveries;  // the size of every delivery, in order
    std::map<std::string, bool> answers;
    bool traces = false;
    int starts = 0;  // transfers started: the usual start and each start action
    int dones = 0;

    // The usual start of a transfer, up to Connected; the transcript starts after it.
    virtual void Start() = 0;
    // Performs one input line of a script (logging it first); `delivery` counts deliveries.
    void Step(const std::string& line, const Cut& cut, int& delivery);
    // Writes out what was sent since the last line end.
    void Flush();
    // The user and password of the last start, which no Trace, caption or Done may show.
    Text user, secret;
    // What the control shows instead of the transcript caption field.
    virtual const Text& Caption() const = 0;

  protected:
    Components TakeParts();
    virtual bool Act(std::string_view verb, std::string_view rest) = 0;
    void Log(std::string entry);
    void LogDone(long code, const Text& message);
    void LogTrace(const Text& text);
    void LogCaption(const Text& caption);

  private:
    void Deliver(const Bytes& bytes, const Cut& cut, int& delivery);
    Components parts_;
    Bytes unsent_;  // bytes sent since the last CR LF
};

// smtpZef, from a@example.jp to r1@example.jp; the usual start is Smtp("mx.example", header).
// Actions: "smtp server header" (a start of its own), "data text" (the next MoreData answer, as
// UTF-16LE), "head format|type|name|charset|encoding|additional" (the next MimeHead answer; "head"
// alone answers nothing), "body bytes" (the next MimeBody answer), "closesession" (CloseSession),
// "next server header" (a start made from the next EndOfData; from then on EndOfData is logged).
// Events logged: Done, MoreData id, MimeHead depth part format, MimeBody depth part.
class SmtpDriver final : public Driver {
  public:
    explicit SmtpDriver(Parts parts = {});
    std::unique_ptr<smtpZef> control;
    Text header = u"Subject: x\r\n\r\n";  // the MailHeader of the usual start
    std::deque<Bytes> data;
    std::deque<std::vector<Text>> heads;
    std::deque<Bytes> bodies;
    std::deque<std::pair<Text, Text>> nextSends;  // server and header of each "next" action

    void Start() override;
    const Text& Caption() const override { return control->Caption(); }
    // Logs Capabilities, RecipientRefused (and EnhancedStatus), TokenNeeded (answers `token`).
    void LogServerEvents(const char16_t* token = u"");

  private:
    bool Act(std::string_view verb, std::string_view rest) override;
    void StartFrom(const Text& server, const Text& given);
};

// A control that reads a mailbox (popZef, imapZef), with the events they share logged: every
// one of them, MultiPartOpen answered with the tags m1, m2, ... in the order of opening, and the
// data of a part taken as text logged as text. Action: "abend Event id 0|1|-" (Abend(CancelDelete),
// or Abend() for "-", from the handler of that event for that message).
template <class Control>
class MailboxDriver : public Driver {
  public:
    std::unique_ptr<Control> control;
    // The abend action: from the handler of `abendEvent` for message `abendId`, Abend with
    // `abendArgument` ("0", "1", or "-" for Abend()).
    std::string abendEvent, abendArgument;
    long abendId = 0;

    const Text& Caption() const override { return control->Caption(); }
    // Sets RetrLine, which no other row sets, and logs it.
    void LogRetrLines() {
        control->RetrLine = [this](long id, const Bytes& line) { Event("RetrLine", id, line); };
    }

  protected:
    explicit MailboxDriver(Parts parts);
    bool Act(std::string_view verb, std::string_view rest) override;
    // The control's own actions.
    virtual bool ActOnControl(std::string_view verb, std::string_view rest) = 0;
    // Logs an event of message `id`, then calls Abend when it is the one asked for.
    template <class... Args>
    void Event(const std::string& name, long id, const Args&... args) {
        Log(Entry("= " + name, id, args...));
        AfterEvent(name, id);
    }

  private:
    void AfterEvent(const std::string& name, long id);
    int opened_ = 0;           // multiparts opened: the tags m1, m2, ...
    bool partIsText_ = false;  // the last MimeDataFirst answer
};

// popZef; the usual start is pop("pop.example", "bob", "secret", 0). Action: "pop server user
// password lines" (a start of its own).
class PopDriver final : public MailboxDriver<popZef> {
  public:
    explicit PopDriver(Parts parts = {}) : MailboxDriver(parts) {}
    void Start() override;

  private:
    bool ActOnControl(std::string_view verb, std::string_view rest) override;
};

// imapZef; the usual start is imap("imap.example", "bob", "secret"). Action: "imap server user
// password" (a start of its own). Also logged: FolderListed, FolderSelected, Idling, MarkSeenAsked.
class ImapDriver final : public MailboxDriver<imapZef> {
  public:
    explicit ImapDriver(Parts parts = {});
    void Start() override;

  private:
    bool ActOnControl(std::string_view verb, std::string_view rest) override;
};

// Calls `set(control, driver)` with the driver's control, whichever it is.
template <class Set>
void OnControl(Driver& d, const Set& set) {
    if (auto* smtp = dynamic_cast<SmtpDriver*>(&d)) {
        set(*smtp->control, d);
    } else if (auto* imap = dynamic_cast<ImapDriver*>(&d)) {
        set(*imap->control, d);
    } else {
        set(*static_cast<PopDriver&>(d).control, d);
    }
}

// A row of a table of scripts for one control: the setup of its driver, the script, whether its
// deliveries are cut, and which components are real.
template <class ControlDriver>
struct ScriptRow {
    const char* name;
    std::function<void(ControlDriver&)> setup;
    std::string script;
    bool cut = true;
    Parts parts = {};
};

template <class ControlDriver>
void PrintTo(const ScriptRow<ControlDriver>& row, std::ostream* out) {
    *out << row.name;
}

// The name of a row's test.
inline const auto RowName = [](const auto& info) { return std::string(info.param.name); };

// Plays the script on a driver made by `make`: with every delivery whole, cut in two at every
// offset (deliveries up to `maxCut` bytes), and one byte at a time. Each run must give the
// script back, raise at most one Done, and show neither user's password in a Trace, caption or
// Done. `cut` false plays it whole only.
void ExpectScript(const std::function<std::unique_ptr<Driver>()>& make, std::string_view script,
                  bool cut = true, size_t maxCut = 300);

template <class ControlDriver>
void ExpectScript(const ScriptRow<ControlDriver>& row) {
    ExpectScript(
        [&] {
            auto driver = std::make_unique<ControlDriver>(row.parts);
            if (row.setup) {
                row.setup(*driver);
            }
            return driver;
        },
        row.script, row.cut);
}

}  // namespace zef::test
