// What earlier runs of `zefmail fetch` saved from a mailbox, so that a later run retrieves only
// what is new and knows which messages it may delete.
//
// The state is a small text file in the output location, one line per saved message:
//
//     <saved-at> TAB <account> TAB <uidl>                 the message is on the disk
//     <saved-at> TAB <account> TAB <uidl> TAB <where>     saved, not yet known to be on the disk
//
// (times in seconds since 1970, fields percent-encoded). A message's line is appended just
// before the message is put in its places (one per output, `where` names them all); it carries
// them until a flush of the outputs has made the message durable, after which the whole file is
// written anew (atomically) with that line confirmed. Every run that ends confirms its lines, so
// only a run that was killed leaves lines of the second kind: the next run keeps those whose
// message is in all its places, forgets those whose message is in none, keeps the places a
// message reached when it is in some of them only (it is then written again, only to the others)
// and writes the file anew before a place can be taken again.
#pragma once

#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zef::zefmail {

class SavedState {
  public:
    // Where a message saved at `where` still is: `where` itself when it is in every place,
    // std::nullopt when it is in none, else `where` with the places it is missing from emptied.
    using PlaceCheck = std::function<std::optional<std::string>(const std::string& where)>;

    // Locks and reads `file` (missing: nothing saved yet). `account` names the mailbox (user and
    // server); lines of other accounts are kept untouched. The lock is on `output`, the file or
    // folder the state belongs to (empty: the folder holding `file`). Throws ToolError when the
    // file cannot be read, holds a line it cannot understand (the last one too: see Load), or
    // another run holds the lock.
    SavedState(std::filesystem::path file, std::string account, const PlaceCheck& stillThere,
               const std::filesystem::path& output = {});
    ~SavedState();
    SavedState(const SavedState&) = delete;
    SavedState& operator=(const SavedState&) = delete;

    // When this account's message was first saved; std::nullopt when it never was. Counts the
    // UIDL as one the server still has.
    std::optional<std::time_t> Lookup(const std::string& uidl);
    // The places of a message a killed run put in some of its outputs only (see PlaceCheck);
    // such a message counts as never saved, and its next save replaces that line.
    std::optional<std::string> PartlyPlaced(const std::string& uidl) const;

    // Appends the line of a message about to be put in place at `where` (and not yet flushed
    // to disk). Forget takes it back (the message could not be put there), back to its places
    // of a killed run if it had any, and writes the file anew, so that no later message at that
    // place passes for it.
    void Saved(const std::string& uidl, std::time_t when, const std::string& where);
    void Forget(const std::string& uidl);

    // The message is to be deleted on the server in this session.
    void Deleting(const std::string& uidl);

    // Every message saved so far is durable now (the output has been flushed).
    void MarkDurable();
    bool HasUnconfirmed() const { return unconfirmed_ > 0; }
    // Lines of a killed run whose message missed some or all of its places were changed or
    // left out on loading.
    bool DroppedLines() const { return dropped_ > 0; }

    // Writes the file anew through a temporary file and a rename. `walkedAll`: the session saw
    // every message of the mailbox and ended with QUIT, so this account's lines of messages the
    // server no longer has, or has just deleted, are dropped.
    void Rewrite(bool walkedAll);

    // Messages of this account remembered when the run began, and how many of them the server
    // still listed (for the notice about a mailbox whose UIDLs all changed).
    size_t RememberedAtStart() const { return rememberedAtStart_; }
    size_t Recognised() const { return recognised_; }
    size_t Unknown() const { return unknown_; }
    // The UIDLs of this account remembered so far (for IMAP's notice of a new UIDVALIDITY).
    std::vector<std::string> RememberedUidls() const;

    const std::filesystem::path& File() const { return file_; }

  private:
    struct Entry {
        std::time_t savedAt = 0;
        std::string where;      // empty once durable
        bool partial = false;   // `where` names the places a killed run reached, not all
        bool seen = false;      // listed by the server in this run
        bool deleting = false;  // deleted on the server in this run
    };
    struct Line {
        std::string account;
        std::string uidl;
        Entry entry;
    };

    void Load(const PlaceCheck& stillThere);
    void AppendLine(const std::string& line);
    void TakeLine(const std::string& text, size_t lineNumber, const PlaceCheck& stillThere);
    static std::optional<Line> ParseLine(const std::string& text);
    static bool IsLineStart(std::string text);
    static std::string FormatLine(std::time_t savedAt, const std::string& account,
                                  const std::string& uidl, const std::string& where);

    std::filesystem::path file_;
    std::string account_;
    int lockFd_ = -1;
    std::map<std::string, Entry> mine_;        // by UIDL
    std::vector<std::string> others_;          // lines of other accounts, as read
    std::map<std::string, Entry> completing_;  // partial entries saved again, until durable
    size_t unconfirmed_ = 0;
    size_t dropped_ = 0;
    size_t rememberedAtStart_ = 0;
    size_t recognised_ = 0;
    size_t unknown_ = 0;
};

// Percent-encodes tab, line ends, "%" and other control characters, so that a field stays on
// its line; and back. Decode returns std::nullopt for a malformed escape.
std::string EncodeStateField(const std::string& field);
std::optional<std::string> DecodeStateField(const std::string& field);

}  // namespace zef::zefmail
