// A place a retrieved message is delivered to as its raw lines (`fetch --maildir`, `--mbox`).
//
// The fetch hands each message over line by line, between Begin and Finish. Seal writes the
// rest, so the fetch can note where the message goes (Place) before Finish puts it where mail
// readers look: a run killed in between leaves a note whose message is not there, never a
// message without its note. The fetch flushes the file system (Location) before the server may
// delete it. A failure at any step is kept and reported by Seal and Finish, which leave nothing
// of that message behind, so the fetch can keep it on the server.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace zef::zefmail {

class MailDrop {
  public:
    virtual ~MailDrop() = default;
    MailDrop() = default;
    MailDrop(const MailDrop&) = delete;
    MailDrop& operator=(const MailDrop&) = delete;

    // Starts a message; an unfinished one before it is dropped.
    void Begin();
    // One line of the message, dot-unstuffed and without its line end.
    void Line(std::string_view line);
    // Writes the rest of the message: whole, but not yet where readers look. std::nullopt, else
    // why not.
    std::optional<std::string> Seal();
    // Puts the message where readers look, sealing it first when needed: std::nullopt once it is
    // there, else why it is not there at all.
    std::optional<std::string> Finish();
    // Where messages go, for the summary line ("mail (Maildir)").
    virtual std::string Describe() const = 0;
    // The file or folder whose file system holds the messages.
    virtual std::filesystem::path Location() const = 0;
    // Where the sealed (or last finished) message goes, for the state of saved messages; and
    // whether a message is at such a place (a later run asks after a run that was killed).
    virtual std::string Place() const = 0;
    virtual bool StillThere(const std::string& place) const = 0;

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
