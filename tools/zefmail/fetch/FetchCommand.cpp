#include "tools/zefmail/fetch/FetchCommand.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <cctype>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>

#include "common/Unicode.h"
#include "tools/zefmail/cli/Password.h"
#include "tools/zefmail/cli/Progress.h"
#include "tools/zefmail/cli/StopRequest.h"
#include "tools/zefmail/cli/ToolError.h"
#include "tools/zefmail/cli/Verdict.h"
#include "tools/zefmail/fetch/EventLog.h"
#include "tools/zefmail/fetch/MailboxControl.h"
#include "tools/zefmail/fetch/MaildirWriter.h"
#include "tools/zefmail/fetch/MboxWriter.h"
#include "tools/zefmail/fetch/MdaWriter.h"
#include "tools/zefmail/fetch/MessageWriter.h"
#include "tools/zefmail/fetch/Outputs.h"
#include "tools/zefmail/fetch/PartPaths.h"
#include "tools/zefmail/fetch/SavedState.h"

namespace zef::zefmail {

namespace {

constexpr std::time_t kSecondsPerDay = std::time_t{24} * 60 * 60;

// The mailbox the state of saved messages names: USER@SERVER, and for IMAP the folder after a
// '/', since each folder numbers its messages apart.
std::string MailboxIdentity(const FetchOptions& options) {
    return options.user + "@" + options.server + (options.Imap() ? "/" + options.folder : "");
}

// Where the state of saved messages is kept when --mda is the only output: a folder per
// mailbox under $XDG_STATE_HOME/zefmail (~/.local/state/zefmail), '/' and '%' in its name
// percent-encoded.
std::filesystem::path MdaStateFolder(const FetchOptions& options, const EnvLookup& env) {
    std::string mailbox;
    for (const char c : MailboxIdentity(options)) {
        mailbox += c == '/' ? "%2F" : c == '%' ? "%25" : std::string(1, c);
    }
    const std::optional<std::string> state = env("XDG_STATE_HOME");
    if (state && !state->empty()) {
        return std::filesystem::path(*state) / "zefmail" / mailbox;
    }
    const std::optional<std::string> home = env("HOME");
    if (!home || home->empty()) {
        throw ToolError("--mda keeps its state under $XDG_STATE_HOME or $HOME; neither is set");
    }
    return std::filesystem::path(*home) / ".local" / "state" / "zefmail" / mailbox;
}

// The UIDVALIDITY of a "UIDVALIDITY.UID" unique id; "" for another kind.
std::string UidValidityOf(const std::string& uidl) {
    const size_t dot = uidl.find('.');
    return dot == std::string::npos ? std::string() : uidl.substr(0, dot);
}

// One mailbox transfer: the control, its handlers and where they write.
class FetchSession {
  public:
    FetchSession(const FetchOptions& options, const EnvLookup& env, std::ostream& out,
                 std::ostream& err)
        : options_(options),
          password_(ReadPassword(options, env)),
          out_(out),
          err_(err),
          progress_(err, !options.quiet && ::isatty(STDERR_FILENO) != 0),
          control_(io_, options.Imap()),
          events_(control_.Events()),
          signals_(io_, SIGINT, SIGTERM) {
        if (options.events) {
            log_.emplace(out);
        }
        OpenOutputs(env);
        if (outputs_.Saving()) {
            OpenSavedState();
        }
        Configure();
        InstallHandlers();
        outputs_.Attach(events_);
        if (log_) {
            log_->Attach(events_);  // last: it logs what the handlers gave back
            if (imapZef* imap = control_.Imap()) {
                log_->AttachFolder(*imap);
            }
        }
        WaitForInterrupt();
    }

    int Run() {
        // A token goes to OAuthToken, and no password is given.
        control_.Start(Utf8ToText(options_.server), Utf8ToText(options_.user),
                       TokenLogin() ? Text() : Utf8ToText(password_),
                       options_.topLines < 0 ? 0 : options_.topLines);
        if (!done_) {
            io_.run();
        }
        progress_.Finish();
        int status = 0;
        if (!done_) {
            err_ << "zefmail fetch: interrupted; deletions of this session were not committed\n";
            status = 1;
        } else if (end_.code != 0 && !flushFailed_) {  // a failed flush is said below
            status = ExitStatus(Classify(end_));
            err_ << "zefmail fetch: " << Describe(end_, options_.server, Port())
                 << (Classify(end_) == Verdict::kTemporary ? "; try again later" : "") << "\n";
        }
        if (flushFailed_) {
            err_ << "zefmail fetch: " << *flushFailed_
                 << "; the session ended without committing its deletions\n";
            status = 1;
        }
        if (done_ && StoppedEarly() &&
            retrieved_ + savedBefore_ + deletedBefore_ + tooLarge_ < total_) {
            err_ << "zefmail fetch: stopped on request; the messages not read stay on the server\n";
            status = 1;
        }
        status = std::max(status, CloseSavedState());
        if (writeFailures_ > 0) {
            err_ << "zefmail fetch: " << writeFailures_
                 << " message(s) could not be written and stay on the server";
            if (deferred_ > 0) {
                err_ << " (" << deferred_ << " deferred by --mda; try again later)";
            }
            err_ << "\n";
            // Deferred only, and nothing else failed: worth trying again, as a temporary
            // failure of the session is.
            if (writeFailures_ > deferred_) {
                status = 1;
            } else if (status == 0) {
                status = ExitStatus(Verdict::kTemporary);
            }
        }
        if (!options_.quiet && !options_.listFolders) {
            err_ << "zefmail fetch: " << retrieved_ << " of " << total_ << " message(s) read";
            if (outputs_.Saving()) {
                err_ << ", " << saved_ << " saved in " << outputs_.Describe() << ", "
                     << (flushFailed_ ? 0 : deleted_) << " deleted on the server";
            }
            if (savedBefore_ > 0) {
                err_ << ", " << savedBefore_ << " saved before and left on the server";
            }
            if (tooLarge_ > 0) {
                err_ << ", " << tooLarge_ << " over --max-size left on the server";
            }
            err_ << "\n";
        }
        return status;
    }

  private:
    int Port() const { return options_.Port(); }
    // Stopped on request before the mailbox was walked; a stop in IDLE is the way it ends.
    bool StoppedEarly() const { return stopping_ && !stoppedIdle_; }
    bool TokenLogin() const { return options_.auth == "xoauth2" || options_.auth == "oauthbearer"; }

    // The outputs in the order of the places: --out (its slot stays empty without it), then
    // --maildir, --mbox and --mda, which take the raw lines of each message as the control
    // receives them. Every run flushes what it wrote (before QUIT, or as it ends): the files go
    // to the disk as they are complete, so that the flush finds little left to do. --mda comes
    // last: its command is run to its end only once every other output holds the message, and
    // just before the message is noted.
    void OpenOutputs(const EnvLookup& env) {
        if (!options_.out.empty()) {
            PrepareOutFolder();
        }
        outputs_.Add(options_.out.empty()
                         ? nullptr
                         : std::make_unique<MessageWriter>(options_.out, options_.text, true));
        if (!options_.maildir.empty()) {
            outputs_.Add(std::make_unique<MaildirWriter>(options_.maildir, options_.crlf, true));
        }
        if (!options_.mbox.empty()) {
            outputs_.Add(std::make_unique<MboxWriter>(options_.mbox, options_.crlf));
        }
        if (!options_.mda.empty()) {
            outputs_.Add(std::make_unique<MdaWriter>(options_.mda, options_.crlf,
                                                     MdaStateFolder(options_, env),
                                                     std::chrono::seconds(options_.mdaTimeout)));
        }
        if (outputs_.ReadsLines()) {
            events_.RetrLine = [this](long /*id*/, const Bytes& line) {
                if (!outputs_.Parses() && !log_) {
                    CountBytes(line.size() + 2);
                }
                outputs_.Line(line);
            };
        }
    }

    // Notes the message in the state of saved messages, then puts it in every place. The first
    // failure, if any.
    std::optional<std::string> SaveMessage() {
        return outputs_.Save(
            [this](const std::string& places) {
                return ChangeState([&] { state_->Saved(uidl_, now_, places); });
            },
            [this] { ChangeState([this] { state_->Forget(uidl_); }); });
    }

    // Writes the state anew for the next run; says so when none of the messages saved before
    // is on the server any more while others are, which is what a mailbox moved to a server
    // that numbers its messages anew looks like: they have been saved a second time.
    int CloseSavedState() {
        if (!state_) {
            return 0;
        }
        if (state_->RememberedAtStart() > 0 && state_->Recognised() == 0 && state_->Unknown() > 0 &&
            !newUidValidity_) {
            err_ << "zefmail fetch: none of the " << state_->Unknown()
                 << " message(s) on the server is among the " << state_->RememberedAtStart()
                 << " saved before from this mailbox (" << state_->File().string()
                 << "); if the server gave its messages new UIDLs, mail saved before has been "
                    "saved again\n";
        }
        int status = 0;
        try {
            // What this run saved is made durable now, so that the next run takes it as saved
            // without looking for it (a mail reader may have moved it on since).
            if (state_->HasUnconfirmed() && !flushFailed_) {
                outputs_.Flush();
                state_->MarkDurable();
            }
        } catch (const ToolError& error) {
            err_ << "zefmail fetch: " << error.what() << "\n";
            status = 1;
        }
        try {
            state_->Rewrite(done_ && end_.code == 0 && !StoppedEarly());
        } catch (const ToolError& error) {
            err_ << "zefmail fetch: " << error.what() << "\n";
            return 1;
        }
        return status;
    }

    // The UIDLs saved by earlier runs, beside the first output: a run retrieves only what is
    // new.
    void OpenSavedState() {
        state_.emplace(
            outputs_.StateFile(), MailboxIdentity(options_),
            [this](const std::string& places) { return outputs_.StillThere(places); },
            outputs_.StateLock());
        if (state_->HasUnconfirmed()) {
            // Left by a run that was stopped: its messages are in place; make them durable
            // before any of them counts as saved (and may be deleted).
            outputs_.Flush();
            state_->MarkDurable();
        }
        if (state_->HasUnconfirmed() || state_->DroppedLines()) {
            state_->Rewrite(false);  // before this run's messages take the places again
        }
    }

    bool Expired(std::time_t savedAt) const {
        return options_.keepDays >= 0 && now_ - savedAt >= options_.keepDays * kSecondsPerDay;
    }

    // POP3 commits deletions only at QUIT, and IMAP after the walk, so everything saved is
    // flushed once, before the control can commit a deletion of this session: when the last
    // message of the walk has been dealt with, whichever way (saved, not written, saved before),
    // when the user asked to stop, and after each message when an error would commit
    // (--delete-on-error). A failed flush throws
    // from the control's event: the control then closes the connection without QUIT, and the
    // server deletes nothing of this session.
    void FlushBeforeQuit(long id) {
        if (!unflushedDeletes_ || flushFailed_ ||
            !(id == walkSize_ || stopping_ || options_.deleteOnError)) {
            return;
        }
        try {
            outputs_.Flush();
            state_->MarkDurable();
            unflushedDeletes_ = false;
        } catch (const ToolError& error) {
            flushFailed_ = error.what();
            if (id == 0) {
                io_.stop();  // a signal: no event of the control to end
                return;
            }
            throw;
        }
    }

    // A new --out folder is private, as the message folders made in it are.
    void PrepareOutFolder() {
        const std::filesystem::path out(options_.out);
        std::error_code error;
        if (!out.parent_path().empty()) {
            std::filesystem::create_directories(out.parent_path(), error);
        }
        if (!error && ::mkdir(out.c_str(), 0700) != 0 && errno != EEXIST) {
            error.assign(errno, std::generic_category());
        }
        if (error) {
            throw ToolError("cannot create --out folder " + options_.out + ": " + error.message());
        }
    }

    // The first Ctrl-C lets the current message finish and then ends the session with QUIT,
    // which commits the deletions of the messages already written; a second one stops at once
    // (the server then deletes nothing of this session).
    void WaitForInterrupt() {
        signals_.async_wait([this](const std::error_code& error, int /*signal*/) {
            if (error) {
                return;
            }
            NoteStopRequested();
            if (stopping_) {
                io_.stop();
                return;
            }
            stopping_ = true;
            stoppedIdle_ = idling_;
            FlushBeforeQuit(0);
            if (!idling_) {
                progress_.Print(
                    "zefmail fetch: stopping after the current message (again to stop now)");
            }
            control_.Abend(false);
            WaitForInterrupt();
        });
    }

    template <class Control>
    void ConfigureEither(Control& control) {
        control.Port(AsciiToText(std::to_string(Port())));
        control.ConnectTimeout(options_.connectTimeout);
        control.TransTimeout(options_.transTimeout);
        control.DeleteOnError(options_.deleteOnError);
        control.Pipelining(!options_.noPipelining);
        // Mail programs nest multiparts three deep; every part of such a message must arrive.
        control.NestedDelimiters(true);
        // --maildir and --mbox take the lines as received: parsing is for --out and --events.
        control.ParseMessages(outputs_.Parses() || log_);
        control.Security(options_.Security());
        control.VerifyCert(!options_.insecure);
        control.CAFile(Utf8ToText(options_.caFile));
        if (options_.auth == "auto") {
            control.AutoAuth(true);
        } else if (!options_.auth.empty()) {
            std::string upper = options_.auth;
            std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
            control.SaslMechanism(AsciiToText(upper));
        }
        if (TokenLogin() || (options_.auth == "auto" && LooksLikeAccessToken(password_))) {
            control.OAuthToken(Utf8ToText(password_));  // with auto: a password as well
        }
    }

    void InstallHandlers() {
        events_.Done = [this](long code, const Text& msg) {
            done_ = true;
            end_.code = code;
            end_.message = TextToUtf8(msg);
            end_.responseCode = TextToUtf8(control_.ResponseCode());
            io_.stop();
        };
        events_.Trace = [this](const Text& msg) {
            end_.Trace(msg);
            if (options_.trace) {
                progress_.Print(TextToUtf8(msg));
            }
        };
        // Once per walk: POP3 walks once; IMAP again for the new mail of each IDLE.
        events_.Stat = [this](long many, long muchAll) {
            idling_ = false;
            walkSize_ = many;
            total_ += many;
            bytesTotal_ += static_cast<uint64_t>(muchAll < 0 ? 0 : muchAll);
            progress_.Totals(bytesTotal_, total_);
        };
        events_.UidlFirst = [this](long /*id*/, bool& cancelUidl) {
            // The UIDL goes into message.json, the state of saved messages and the event log;
            // when none is written, asking for it would only cost a round trip per message.
            cancelUidl = !outputs_.Saving() && !log_ && options_.maxSize < 0;
        };
        events_.UidlDone = [this](long id, const Text& uidl, bool& remove) {
            remove = false;
            uidl_ = TextToUtf8(uidl);
            const std::optional<std::time_t> savedAt =
                state_ ? state_->Lookup(uidl_) : std::nullopt;
            if (savedAt) {
                // Saved by an earlier run: delete it when it is not to be kept (any more),
                // otherwise leave it without retrieving it again.
                remove = !options_.keep || Expired(*savedAt);
                skip_ = !remove;
                savedBefore_ += remove ? 0 : 1;
                deletedBefore_ += remove ? 1 : 0;
                deleted_ += remove ? 1 : 0;
                if (remove) {
                    state_->Deleting(uidl_);
                }
                FlushBeforeQuit(id);  // not retrieved: nothing else comes before QUIT
            }
            outputs_.Resume(savedAt || !state_ ? std::nullopt : state_->PartlyPlaced(uidl_));
        };
        events_.TopFirst = [this](long /*id*/, bool& cancelTop) {
            cancelTop = options_.topLines < 0;
        };
        events_.TopDone = [](long /*id*/, bool& remove) { remove = false; };
        events_.RetrFirst = [this](long id, long much, bool& cancelRetr) {
            cancelRetr = skip_;
            skip_ = false;
            if (!cancelRetr && options_.maxSize >= 0 && much > options_.maxSize) {
                LeaveTooLarge(id, much);
                cancelRetr = true;
            } else if (!cancelRetr) {
                messageSize_ = much < 0 ? 0 : static_cast<uint64_t>(much);
                messageBytes_ = 0;
                outputs_.Begin(id, much);
            }
        };
        events_.RetrDone = [this](long id, bool& cancelDelete) {
            cancelDelete = true;  // nothing is deleted unless it is safely on disk
            savedLast_ = false;
            if (outputs_.Saving()) {
                std::optional<std::string> error = SaveMessage();
                if (error) {
                    ++writeFailures_;
                    deferred_ += outputs_.FailedForNow() ? 1 : 0;
                    progress_.Print("zefmail fetch: message " + std::to_string(id) +
                                    " stays on the server: " + *error);
                } else {
                    ++saved_;
                    savedLast_ = true;
                    cancelDelete = options_.keep && !Expired(now_);
                    deleted_ += cancelDelete ? 0 : 1;
                    if (!cancelDelete) {
                        ChangeState([this] { state_->Deleting(uidl_); });
                    }
                    unflushedDeletes_ = unflushedDeletes_ || !cancelDelete;
                }
                uidl_.clear();  // a message without a UIDL must not take this one's
                outputs_.Resume(std::nullopt);
            }
            ++retrieved_;
            bytesDone_ += messageSize_;
            progress_.Update(bytesDone_, retrieved_);
            FlushBeforeQuit(id);
        };
        events_.MailHeadFirst = [this](long /*id*/) { tags_.Reset(); };
        events_.MailHeadNext = [this](long /*id*/, const Text& name, const Text& value) {
            CountBytes(name.size() + value.size() + 4);
        };
        events_.MultiPartOpen = [this](long /*id*/, long /*parentPart*/, const Text& /*type*/,
                                       const Text& /*name*/, const Text& /*charset*/,
                                       const Text& /*encoding*/, Text& tag) {
            // The tag names the multipart by the path of the part that holds it; the control
            // hands it back in the matching MultiPartClose.
            tag = tags_.AtMessageLevel() ? Text(u"message") : Utf8ToText(tags_.Current());
            tags_.OpenMultipart();
        };
        events_.MultiPartClose = [this](long /*id*/, const Text& /*tag*/) {
            tags_.CloseMultipart();
        };
        events_.MimeHeadFirst = [this](long /*id*/, long part) { tags_.BeginPart(part); };
        events_.MimeHeadNext = [this](long /*id*/, long /*part*/, const Text& name,
                                      const Text& value) {
            CountBytes(name.size() + value.size() + 4);
        };
        events_.MimeDataFirst = [](long /*id*/, long /*part*/, const Text& /*type*/,
                                   const Text& /*name*/, const Text& /*charset*/,
                                   const Text& /*encoding*/, bool& isText) {
            isText = false;  // the bytes are kept exact; text is made from them (--text)
        };
        events_.MimeDataNext = [this](long /*id*/, long /*part*/, Bytes& data) {
            CountBytes(data.size());
        };
    }

    // Named on standard error, neither retrieved nor deleted; nothing else comes before QUIT.
    void LeaveTooLarge(long id, long size) {
        ++tooLarge_;
        progress_.Print("zefmail fetch: message " + std::to_string(id) + " (" +
                        std::to_string(size) + " bytes, UIDL " + (uidl_.empty() ? "-" : uidl_) +
                        ") is over --max-size " + std::to_string(options_.maxSize) +
                        " and stays on the server");
        uidl_.clear();
        outputs_.Resume(std::nullopt);
        FlushBeforeQuit(id);
    }

    // False when there is no state to change, or it could not be written: the message is
    // still saved, only the next run would not know it, and save it again.
    template <class Change>
    bool ChangeState(Change change) {
        if (!state_ || uidl_.empty()) {
            return false;
        }
        try {
            change();
            return true;
        } catch (const ToolError& error) {
            progress_.Print("zefmail fetch: " + std::string(error.what()));
            return false;
        }
    }

    // Progress inside a message, from what has been handed over so far.
    void CountBytes(size_t bytes) {
        messageBytes_ = std::min(messageSize_, messageBytes_ + bytes);
        progress_.Update(bytesDone_ + messageBytes_, retrieved_);
    }

    // Settings both controls have, then those of one protocol.
    void Configure() {
        control_.Visit([this](auto& control) { ConfigureEither(control); });
        if (popZef* pop = control_.Pop()) {
            pop->APOP(options_.apop);
            // A server out of step could make a TOP response pass for a message that is then
            // deleted.
            pop->DesyncGuard(true);
        } else {
            ConfigureImap(*control_.Imap());
        }
    }

    // EXAMINE when nothing can be deleted: nothing saved, or everything kept for good (see
    // UidlDone and RetrDone); the folder is then left exactly as it was.
    void ConfigureImap(imapZef& imap) {
        imap.Folder(options_.listFolders ? Text() : Utf8ToText(options_.folder));
        imap.Search(options_.search.empty() ? Text(u"ALL") : Utf8ToText(options_.search));
        imap.ListFolders(options_.listFolders);
        imap.FolderListed = [this](const Text& name, const Text& /*delimiter*/,
                                   const Text& attributes) {
            out_ << TextToUtf8(name) << (attributes.empty() ? "" : "\t" + TextToUtf8(attributes))
                 << "\n";
        };
        imap.ReadOnly(!options_.markSeen &&
                      (!outputs_.Saving() || (options_.keep && options_.keepDays < 0)));
        imap.MarkSeen(options_.markSeen);
        imap.MarkSeenAsked = [this](long /*id*/, bool& mark) { mark = savedLast_; };
        imap.Idle(options_.idle);
        imap.FolderSelected = [this](const Text& name, const Text& uidValidity, long /*exists*/) {
            if (state_) {
                NoteUidValidity(TextToUtf8(name), TextToUtf8(uidValidity));
            }
        };
        imap.Idling = [this] {
            idling_ = true;
            if (!options_.quiet && !idledBefore_) {  // IDLE is issued again every 29 minutes
                progress_.Print("zefmail fetch: waiting for new mail in " + options_.folder +
                                " (Ctrl-C to stop)");
            }
            idledBefore_ = true;
        };
    }

    // Remembered ids of another UIDVALIDITY name other messages now: said once, and the
    // messages are fetched as new.
    void NoteUidValidity(const std::string& folder, const std::string& current) {
        for (const std::string& uidl : state_->RememberedUidls()) {
            const std::string old = UidValidityOf(uidl);
            if (old != current) {
                newUidValidity_ = true;
                err_ << "zefmail fetch: folder " << folder << " has a new UIDVALIDITY (" << old
                     << " → " << current << "): its messages are taken as new\n";
                return;
            }
        }
    }

    const FetchOptions& options_;
    std::string password_;
    std::ostream& out_;  // the folders of --list-folders
    std::ostream& err_;
    Progress progress_;
    asio::io_context io_;
    MailboxControl control_;
    MailboxEvents& events_;
    asio::signal_set signals_;
    bool stopping_ = false;
    bool savedLast_ = false;    // the message of the last RetrDone is in every output
    bool idling_ = false;       // IMAP: waiting in IDLE for new mail
    bool stoppedIdle_ = false;  // stopped while waiting: every message was walked
    bool idledBefore_ = false;
    bool newUidValidity_ = false;
    std::optional<EventLog> log_;
    std::optional<SavedState> state_;
    const std::time_t now_ = std::time(nullptr);
    std::string uidl_;   // of the message being walked
    bool skip_ = false;  // the message was saved before and stays on the server
    bool unflushedDeletes_ = false;
    std::optional<std::string> flushFailed_;
    Outputs outputs_;
    PartPathTracker tags_;

    bool done_ = false;
    TransferEnd end_;
    long total_ = 0;     // of every walk
    long walkSize_ = 0;  // of the current walk
    uint64_t bytesTotal_ = 0;
    long retrieved_ = 0;
    long saved_ = 0;
    long deleted_ = 0;
    long savedBefore_ = 0;    // saved by an earlier run, left on the server
    long deletedBefore_ = 0;  // saved by an earlier run, deleted without being read again
    long writeFailures_ = 0;
    long deferred_ = 0;  // of the write failures: deferred by --mda (exit status 75)
    long tooLarge_ = 0;  // over --max-size, left on the server unread
    uint64_t bytesDone_ = 0;
    uint64_t messageSize_ = 0;
    uint64_t messageBytes_ = 0;
};

}  // namespace

int RunFetch(const FetchOptions& options, const Console& console) {
    FetchSession session(options, console.env, console.out, console.err);
    return session.Run();
}

}  // namespace zef::zefmail
