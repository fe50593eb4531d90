// The outputs of a fetch: each message goes to every one of them, and the state of saved
// messages notes where ("places": one piece per slot, separated by '/').
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/zefmail/fetch/Output.h"

namespace zef::zefmail {

class Outputs {
  public:
    // A slot may be empty: its piece of the places stays empty (--out's comes first, as the
    // state files written before read).
    void Add(std::unique_ptr<Output> output);
    bool Saving() const { return !present_.empty(); }
    bool ReadsLines() const { return lines_; }
    bool Parses() const { return parses_; }  // some output reads the control's parsing events
    void Attach(MailboxEvents& control);

    // The message at hand: the places where a killed run put it, if any, and it goes only to
    // the outputs that lack it.
    void Resume(const std::optional<std::string>& places);
    void Begin(long id, long size);
    void Line(std::string_view line);
    // Seals the message everywhere, notes its places (`note`: false when it could not), puts
    // it in place, and takes the note back (`forget`) when that failed, or notes the places
    // again when they changed. The first failure, if any.
    std::optional<std::string> Save(const std::function<bool(const std::string&)>& note,
                                    const std::function<void()>& forget);
    // The failure of the message at hand may pass when tried again later.
    bool FailedForNow() const;
    std::string Places() const;
    // `places` with the pieces of the outputs that lack the message emptied; std::nullopt when
    // it is in none of them.
    std::optional<std::string> StillThere(const std::string& places) const;
    void Flush() const;  // one syncfs per output
    std::string Describe() const;
    // The state of saved messages, beside the first output; an mbox file's state is locked on
    // that file (sibling mbox files are other outputs).
    std::filesystem::path StateFile() const;
    std::filesystem::path StateLock() const;

  private:
    bool Writes(size_t slot) const;
    template <class Step>
    std::optional<std::string> EachWriting(Step step);

    std::vector<std::unique_ptr<Output>> slots_;
    std::vector<Output*> present_;   // the slots that hold one
    std::vector<std::string> kept_;  // the places of a killed run, "" where it is missing
    bool lines_ = false;
    bool parses_ = false;
};

}  // namespace zef::zefmail
