#include "tools/zefmail/fetch/Outputs.h"

#include "tools/zefmail/fetch/DurableFiles.h"

namespace zef::zefmail {

namespace {

constexpr const char* kStateName = ".zefmail-state";
constexpr char kPlaceSeparator = '/';  // in no folder number, Maildir name or mbox length

std::vector<std::string> SplitPlaces(const std::string& places) {
    std::vector<std::string> pieces(1);
    for (const char c : places) {
        if (c == kPlaceSeparator) {
            pieces.emplace_back();
        } else {
            pieces.back().push_back(c);
        }
    }
    return pieces;
}

}  // namespace

void Outputs::Add(std::unique_ptr<Output> output) {
    if (output) {
        (output->ReadsLines() ? lines_ : parses_) = true;
        present_.push_back(output.get());
    }
    slots_.push_back(std::move(output));
}

void Outputs::Attach(MailboxEvents& control) {
    for (Output* output : present_) {
        output->Attach(control);
    }
}

void Outputs::Resume(const std::optional<std::string>& places) {
    kept_ = places ? SplitPlaces(*places) : std::vector<std::string>();
}

// A message a killed run put in some outputs only goes to the others.
bool Outputs::Writes(size_t slot) const {
    return slots_[slot] && (kept_.size() <= slot || kept_[slot].empty());
}

void Outputs::Begin(long id, long size) {
    EachWriting([&](Output& output) { return output.Begin(id, size), std::nullopt; });
}

void Outputs::Line(std::string_view line) {
    EachWriting([&](Output& output) { return output.Line(line), std::nullopt; });
}

template <class Step>
std::optional<std::string> Outputs::EachWriting(Step step) {
    std::optional<std::string> first;
    for (size_t i = 0; i < slots_.size(); ++i) {
        if (Writes(i)) {
            std::optional<std::string> error = step(*slots_[i]);
            first = first ? first : error;
        }
    }
    return first;
}

// The note comes before the message is put in place: a kill in between leaves a note whose
// message is in none, some or all of its places, which the next run forgets, completes or
// keeps, and never a saved message the next run does not know. The outputs are sealed in order
// up to the first that fails: the message then goes to none, those sealed drop it at the next
// Begin, and a delivery command (the last output) never gets it whole.
std::optional<std::string> Outputs::Save(const std::function<bool(const std::string&)>& note,
                                         const std::function<void()>& forget) {
    std::optional<std::string> error;
    EachWriting([&error](Output& output) {
        error = error ? error : output.Seal();
        return std::nullopt;
    });
    if (error) {
        return error;
    }
    const std::string planned = Places();
    const bool noted = note(planned);
    error = EachWriting([](Output& output) { return output.Finish(); });
    if (noted && error) {
        forget();
    } else if (noted && Places() != planned) {  // --out took a later number
        note(Places());
    }
    return error;
}

// The places of the message at hand; those of a killed run where this one does not write.
bool Outputs::FailedForNow() const {
    bool forNow = false;
    for (size_t i = 0; i < slots_.size(); ++i) {
        forNow = forNow || (Writes(i) && slots_[i]->FailedForNow());
    }
    return forNow;
}

std::string Outputs::Places() const {
    std::string places;
    for (size_t i = 0; i < slots_.size(); ++i) {
        places += i == 0 ? "" : std::string(1, kPlaceSeparator);
        places += Writes(i) ? slots_[i]->Place() : i < kept_.size() ? kept_[i] : "";
    }
    return places;
}

std::optional<std::string> Outputs::StillThere(const std::string& places) const {
    std::vector<std::string> pieces = SplitPlaces(places);
    if (pieces.size() != slots_.size()) {
        return std::nullopt;  // saved to other outputs than this run's
    }
    std::string there;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const bool in = !pieces[i].empty() && slots_[i] && slots_[i]->StillThere(pieces[i]);
        there += (i == 0 ? "" : std::string(1, kPlaceSeparator)) + (in ? pieces[i] : "");
    }
    return there.find_first_not_of(kPlaceSeparator) != std::string::npos ? std::optional(there)
                                                                         : std::nullopt;
}

void Outputs::Flush() const {
    for (const Output* output : present_) {
        FlushFileSystem(output->Location());
    }
}

std::string Outputs::Describe() const {
    std::string described;
    for (const Output* output : present_) {
        described += (described.empty() ? "" : " and ") + output->Describe();
    }
    return described;
}

std::filesystem::path Outputs::StateFile() const {
    const Output& first = *present_.front();
    return first.IsFile() ? std::filesystem::path(first.Location().string() + kStateName)
                          : first.Location() / kStateName;
}

std::filesystem::path Outputs::StateLock() const {
    return present_.front()->IsFile() ? present_.front()->Location() : std::filesystem::path();
}

}  // namespace zef::zefmail
