// imapZef in the folder: SELECT, the search and the sizes, the walk of the messages with the
// application's choices (and the fetches sent ahead), the deletions committed after it, IDLE and
// LOGOUT.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "common/Unicode.h"
#include "imap/ImapControl.h"

namespace zef {

using imap::Value;

// --- the folder and the walk ---

void imapZef::Impl::SelectFolder() {
    if (folder.empty()) {
        Logout();
        return;
    }
    Send(Command::Select,
         Tagged(readOnly ? "EXAMINE" : "SELECT").String(WireFolderName(folder), Strings()));
}

// The first round asks for what Search names; each round after IDLE only for what came since.
void imapZef::Impl::SearchNew() {
    walk_.clear();  // the search's answers fill it
    walkAt_ = 0;
    if (highestUid_ == 0 && exists_ == 0) {
        AfterSearch();
        return;
    }
    const std::string criteria = TextToUtf8(search);
    Send(Command::Search,
         Tagged("UID SEARCH")
             .Raw(highestUid_ == 0 ? criteria
                                   : "UID " + std::to_string(highestUid_ + 1) + ":* " + criteria));
}

// The UIDs of an ESEARCH ALL set join those found; false for a set it cannot read.
bool imapZef::Impl::FoundUidSet(std::string_view set) {
    std::vector<uint32_t> uids;
    if (!imap::ReadUidSet(set, uids, SIZE_MAX / 2 - walk_.size())) {
        return false;
    }
    std::ranges::transform(uids, std::back_inserter(walk_),
                           [](uint32_t uid) { return Message{uid}; });
    return true;
}

// "n:*" always holds the highest UID, even one below n: only what is above the walk counts.
void imapZef::Impl::AfterSearch() {
    std::ranges::sort(walk_, {}, &Message::uid);
    walk_.erase(std::unique(walk_.begin(), walk_.end(),
                            [](const Message& a, const Message& b) { return a.uid == b.uid; }),
                walk_.end());
    std::erase_if(walk_, [this](const Message& message) { return message.uid <= highestUid_; });
    if (walk_.empty()) {
        if (highestUid_ == 0) {
            Raise(owner_.Stat, 0L, 0L);
        }
        CommitChanges();
        return;
    }
    std::vector<uint32_t> uids(walk_.size());
    std::ranges::transform(walk_, uids.begin(), &Message::uid);
    Send(Command::Sizes, Tagged("UID FETCH").Raw(imap::UidSet(uids) + " (RFC822.SIZE)"));
}

// A message without a size was expunged since the search: it is not walked.
void imapZef::Impl::AfterSizes() {
    walk_.erase(std::remove_if(walk_.begin(), walk_.end(),
                               [](const Message& message) { return message.size < 0; }),
                walk_.end());
    long long total = 0;
    for (const Message& message : walk_) {
        total += message.size;
    }
    Raise(owner_.Stat, static_cast<long>(walk_.size()),
          static_cast<long>(std::min<long long>(total, LONG_MAX)));
    WalkNext();
}

// The messages in UID order, as far as the application's choices need no round trip; Abend
// takes effect here, at the next message.
void imapZef::Impl::WalkNext() {
    for (; walkAt_ < walk_.size(); ++walkAt_) {
        if (abortMode_ != AbortMode::kNone) {
            break;
        }
        const long id = static_cast<long>(walkAt_) + 1;
        highestUid_ = std::max(highestUid_, walk_[walkAt_].uid);
        bool cancelUidl = false;
        Raise(owner_.UidlFirst, id, cancelUidl);
        bool remove = false;
        if (!cancelUidl) {
            Raise(owner_.UidlDone, id, AsciiToText(CurrentUidText()), remove);
        }
        if (remove) {
            deleting_.push_back(walk_[walkAt_].uid);
            DropAhead();
            continue;
        }
        bool cancelTop = false;
        Raise(owner_.TopFirst, id, cancelTop);
        if (!cancelTop) {
            DropAhead();
            Send(Command::Header,
                 Tagged("UID FETCH")
                     .Raw(std::to_string(walk_[walkAt_].uid) + " (UID BODY.PEEK[HEADER])"));
            return;
        }
        if (Retrieve()) {
            return;
        }
        DropAhead();
    }
    DropAhead();
    if (!walk_.empty()) {
        highestUid_ = std::max(highestUid_, walk_.back().uid);
    }
    if (abortMode_ == AbortMode::kDrop) {
        deleting_.clear();
        seeing_.clear();
    }
    CommitChanges();
}

// False when the application cancels the retrieval.
bool imapZef::Impl::Retrieve() {
    bool cancelRetr = false;
    const Message& message = walk_[walkAt_];
    parser_.BeginMessage(static_cast<long>(walkAt_) + 1, message.size, cancelRetr);
    if (cancelRetr) {
        return false;
    }
    literalSeen_ = false;
    if (!ahead_.empty() && ahead_.front().uid == message.uid) {
        command_ = Command::Body;  // it went ahead: its response is the one awaited now
        tag_ = std::move(ahead_.front().tag);
        ahead_.pop_front();
    } else {
        DropAhead();
        Send(Command::Body,
             Tagged("UID FETCH").Raw(std::to_string(message.uid) + " (UID BODY.PEEK[])"));
    }
    SendBodiesAhead();
    return true;
}

// The next messages most likely go the way this one went: straight to their retrieval. A few
// fetches stay ahead, so that the server always has the next message at hand.
void imapZef::Impl::SendBodiesAhead() {
    constexpr size_t kAheadDepth = 4;
    if (!pipelining || abortMode_ != AbortMode::kNone) {
        return;
    }
    for (size_t next = walkAt_ + 1 + ahead_.size();
         ahead_.size() < kAheadDepth && next < walk_.size(); ++next) {
        ahead_.push_back(Ahead{NextTag(), walk_[next].uid});
        imap::CommandText text(ahead_.back().tag + " UID FETCH");
        text.Raw(std::to_string(ahead_.back().uid) + " (UID BODY.PEEK[])");
        RaiseTrace(">>" + text.Traced());
        SendBytes(text.Pieces().front());
    }
}

// The dialogue took another way than the commands sent ahead: their responses are read and
// dropped.
void imapZef::Impl::DropAhead() {
    for (Ahead& ahead : ahead_) {
        droppedTags_.push_back(std::move(ahead.tag));
        droppedUids_.push_back(ahead.uid);
    }
    ahead_.clear();
}

// A body of a command sent ahead in vain: of a UID dropped, or, without a UID before it, while
// a dropped command is still unanswered (its data comes before that of commands sent later).
bool imapZef::Impl::IsDroppedBody(const Value& items) const {
    if (droppedTags_.empty() || items.items.size() < 2 ||
        !imap::IsAtom(items.items[items.items.size() - 2], "BODY[]")) {
        return false;
    }
    const Value* uid = imap::FetchItem(items, "UID");
    return uid == nullptr ||
           std::find(droppedUids_.begin(), droppedUids_.end(), uid->number) != droppedUids_.end();
}

void imapZef::Impl::AfterBody() {
    if (!literalSeen_) {
        SetDone(outcome::kFailureCode,
                outcome::imap::MessageNotReturned(std::to_string(walk_[walkAt_].uid)));
        deleting_.clear();
        seeing_.clear();
        Logout();
        return;
    }
    const long id = static_cast<long>(walkAt_) + 1;
    bool cancelDelete = false;
    parser_.EndMessage(id, cancelDelete);
    if (!cancelDelete) {
        deleting_.push_back(walk_[walkAt_].uid);
    } else if (markSeen) {
        bool mark = true;
        Raise(owner_.MarkSeenAsked, id, mark);
        if (mark) {
            seeing_.push_back(walk_[walkAt_].uid);
        }
    }
    ++walkAt_;
    WalkNext();
}

// --- committing, IDLE and the end ---

void imapZef::Impl::CommitChanges() {
    DropAhead();
    if (readOnly) {
        deleting_.clear();
        seeing_.clear();
    }
    std::sort(deleting_.begin(), deleting_.end());
    std::sort(seeing_.begin(), seeing_.end());
    if (!deleting_.empty()) {
        Send(Command::StoreDeleted,
             Tagged("UID STORE").Raw(imap::UidSet(deleting_) + " +FLAGS.SILENT (\\Deleted)"));
        return;
    }
    AfterDeletions();
}

void imapZef::Impl::AfterDeletions() {
    deleting_.clear();
    if (!seeing_.empty()) {
        Send(Command::StoreSeen,
             Tagged("UID STORE").Raw(imap::UidSet(seeing_) + " +FLAGS.SILENT (\\Seen)"));
        return;
    }
    AfterCommit();
}

void imapZef::Impl::AfterCommit() {
    const bool canIdle = imap::HasCapability(TextToUtf8(capabilities_), "IDLE");
    if (idle && !canIdle) {
        RaiseTrace("no IDLE offered: the session ends");
    }
    if (idle && canIdle && abortMode_ == AbortMode::kNone && doneCode_ == outcome::kSuccessCode) {
        StartIdle();
        return;
    }
    Logout();
}

void imapZef::Impl::StartIdle() {
    newMail_ = false;
    Send(Command::Idle, Tagged("IDLE"));
}

void imapZef::Impl::EndIdle() {
    if (!idling_) {
        return;
    }
    idling_ = false;
    ArmTimer(GuardPhase::kTransfer);
    RaiseTrace(">>DONE");
    SendBytes("DONE\r\n");
}

void imapZef::Impl::Logout() {
    DropAhead();
    receivePhase_ = ReceivePhase::kQuitting;
    Send(Command::Logout, Tagged("LOGOUT"));
}

}  // namespace zef
