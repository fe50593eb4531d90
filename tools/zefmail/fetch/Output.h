// Where a fetch puts each message it retrieves (`--out`, `--maildir`, `--mbox`, `--mda`).
//
// The fetch hands each message over between Begin and Finish: as its raw lines, or through the
// control's parsing events for an output that attaches itself to them. Seal writes the rest, so
// the fetch can note where the message goes (Place) before Finish puts it where readers look: a
// run killed in between leaves a note whose message is not there, never a message without its
// note. The fetch flushes the file system (Location) before the server may delete it. A failure
// at any step is kept and reported by Seal and Finish, which leave nothing of that message
// behind, so the fetch can keep it on the server.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace zef {
struct MailboxEvents;
}

namespace zef::zefmail {

class Output {
  public:
    virtual ~Output() = default;
    Output() = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Starts message `id` of `size` octets; an unfinished one before it is dropped.
    virtual void Begin(long id, long size) = 0;
    // One line of the message, dot-unstuffed and without its line end.
    virtual void Line(std::string_view line) = 0;
    // Writes the rest of the message: whole, but not yet where readers look. std::nullopt, else
    // why not.
    virtual std::optional<std::string> Seal() = 0;
    // Puts the message where readers look, sealing it first when needed: std::nullopt once it is
    // there, else why it is not there at all.
    virtual std::optional<std::string> Finish() = 0;
    // Where messages go, for the summary line ("mail (Maildir)").
    virtual std::string Describe() const = 0;
    // The file or folder whose file system holds the messages; the state of saved messages is
    // kept in the folder, or beside the file with a suffix.
    virtual std::filesystem::path Location() const = 0;
    virtual bool IsFile() const { return false; }
    // Where the sealed (or last finished) message goes, for the state of saved messages; and
    // whether a message is at such a place (a later run asks after a run that was killed).
    virtual std::string Place() const = 0;
    virtual bool StillThere(const std::string& place) const = 0;
    // The last failure may pass when tried again later (a delivery command's EX_TEMPFAIL).
    virtual bool FailedForNow() const { return false; }
    // An output that reads the parsed message takes the control's events here, and no lines.
    virtual bool ReadsLines() const { return true; }
    virtual void Attach(MailboxEvents& /*control*/) {}
};

// Runs `after` with the arguments of `handler`'s event, after what the handler did before.
template <class... Args, class After>
void Chain(std::function<void(Args...)>& handler, After after) {
    handler = [before = std::move(handler), after = std::move(after)](Args... args) {
        if (before) {
            before(args...);
        }
        after(args...);
    };
}

// An output of the raw lines: each step of a message guarded, so that a failure is kept.
class MailDrop : public Output {
  public:
    void Begin(long id, long size) final;
    void Line(std::string_view line) final;
    std::optional<std::string> Seal() final;
    std::optional<std::string> Finish() final;

  protected:
    virtual void Open() = 0;
    virtual void Write(std::string_view line) = 0;
    virtual void Close() = 0;   // writes what is left: Seal
    virtual void Commit() = 0;  // makes it visible: Finish
    // Removes what was written of the unfinished message; must not throw.
    virtual void Abandon() noexcept = 0;
    // Ends a message left unfinished when the fetch stops; for the destructors.
    void AbandonOpen() noexcept;

  private:
    template <class Step>
    void Guarded(Step step);

    bool open_ = false;
    bool sealed_ = false;
    std::optional<std::string> error_;
};

}  // namespace zef::zefmail
