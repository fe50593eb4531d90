#include "tools/zefmail/send/SendmailSession.h"

#include <asio/post.hpp>
#include <chrono>
#include <utility>
#include <vector>

#include "common/Error.h"
#include "common/Unicode.h"
#include "common/Variant.h"
#include "tools/zefmail/send/SendCommand.h"

namespace zef::zefmail {

namespace {

// A message up to this size goes out in one write, its end of data included: every write costs
// the server a read (and a wake-up) of its own.
constexpr long kWriteSize = 64L * 1024;

}  // namespace

SendmailSession::SendmailSession(const SendmailOptions& options, const EnvLookup& env,
                                 std::ostream& err, bool keep)
    : options_(options), err_(err), smtp_(io_) {
    ConfigureConnection(smtp_, options, env);
    smtp_.RawMessage(true);
    smtp_.KeepSession(keep);
    smtp_.Pipelining(keep);
    smtp_.BodyWriteSize(kWriteSize);
    smtp_.Trace = [this](const Text& text) {
        if (options_.trace) {
            err_ << TextToUtf8(text) << "\n";
        }
        // Commands are the newest message's; a server line answers the oldest command not yet
        // answered, so it is the oldest message's.
        if (!flights_.empty()) {
            (text.starts_with(u">>") ? flights_.back() : flights_.front()).end.Trace(text);
        }
    };
    smtp_.CapabilitiesReceived = [this] {
        if (!flights_.empty()) {
            Declare8Bit(*flights_.back().envelope);
        }
    };
    smtp_.MoreData = [this](long /*id*/, Bytes& data) { OnMoreData(data); };
    smtp_.Done = [this](long code, const Text& message) { OnDone(code, message); };
    if (keep) {
        smtp_.EndOfData = [this] { StartAhead(); };
    }
}

int SendmailSession::Send(const SendmailEnvelope& envelope, MessageInput& input) {
    Flight flight;
    flight.envelope = &envelope;
    flight.input = &input;
    Start(std::move(flight));
    AwaitOutcome();
    const int status = outcomes_.front().status;
    outcomes_.pop_front();
    return status;
}

void SendmailSession::SendAll(Source& source) {
    source_ = &source;
    try {
        for (;;) {
            if (flights_.empty()) {
                std::unique_ptr<Outgoing> next =
                    deferred_ ? std::move(deferred_) : source.Next(false);
                if (!next) {
                    break;
                }
                Flight flight;
                flight.owned = std::move(next);
                Start(std::move(flight));
                ReadAheadWhileWaiting();
            }
            AwaitOutcome();
            if (handOnFailure_) {
                std::rethrow_exception(std::exchange(handOnFailure_, nullptr));
            }
            for (; !outcomes_.empty(); outcomes_.pop_front()) {
                if (!outcomes_.front().handedOn) {
                    source.Finished(outcomes_.front().status, outcomes_.front().reason);
                }
            }
        }
    } catch (...) {
        source_ = nullptr;
        throw;
    }
    source_ = nullptr;
}

// The properties of the message's envelope, then Smtp. A message SendAll owns goes back to
// deferred_ when Smtp will not start it now.
void SendmailSession::Start(Flight flight) {
    if (flight.owned) {
        flight.envelope = &flight.owned->envelope;
        flight.input = flight.owned->input.get();
    }
    const SendmailEnvelope& envelope = *flight.envelope;
    Declare8Bit(envelope);
    // The null sender goes out as MAIL FROM:<>; notices are asked for where the server offers
    // DSN.
    smtp_.FromAddr(envelope.nullSender ? Text(u"<>") : Utf8ToText(envelope.sender));
    smtp_.DsnNotify(Utf8ToText(envelope.dsnNotify));
    smtp_.DsnReturn(Utf8ToText(envelope.dsnReturn));
    smtp_.DsnEnvelopeId(Utf8ToText(envelope.dsnEnvelopeId));
    std::vector<Text> recipients;
    for (const auto& address : envelope.recipients) {
        recipients.push_back(Utf8ToText(address));
    }
    smtp_.ToAddr(Variant(StringArray::OneBased(std::move(recipients))));
    flights_.push_back(std::move(flight));
    try {
        smtp_.Smtp(Utf8ToText(options_.server), Text());
    } catch (...) {
        deferred_ = std::move(flights_.back().owned);
        flights_.pop_back();
        throw;
    }
}

// EndOfData: the source's next message, if it has one ready, goes out behind this end of data.
void SendmailSession::StartAhead() {
    if (source_ == nullptr || deferred_) {
        return;
    }
    Flight flight;
    flight.owned = source_->Next(true);
    if (!flight.owned) {
        return;
    }
    try {
        Start(std::move(flight));
    } catch (const Error&) {  // NOLINT(bugprone-empty-catch): deferred_ starts it after this one
        return;
    }
    ReadAheadWhileWaiting();
}

// Posted, so that it runs once the handler that sent the message has returned: the source reads
// its next file while the server works on this one, not before the write.
void SendmailSession::ReadAheadWhileWaiting() {
    asio::post(io_, [this] {
        if (source_ != nullptr) {
            source_->ReadAhead();
        }
    });
}

// Only the newest message can be in its DATA phase: the one before has sent its end of data.
void SendmailSession::OnMoreData(Bytes& data) {
    Flight& flight = flights_.back();
    if (!flight.headerGiven) {
        flight.headerGiven = true;
        data = flight.envelope->header;
        return;
    }
    try {
        data = flight.input->NextPiece();
    } catch (const SendmailError& e) {
        flight.failure = e;
        throw;  // ends the send before the final dot: the server drops the message
    }
}

// Done is the oldest message's: its outcome waits for the caller, who is woken.
void SendmailSession::OnDone(long code, const Text& message) {
    if (flights_.empty()) {
        return;  // Close's QUIT
    }
    Flight flight = std::move(flights_.front());
    flights_.pop_front();
    int status = 0;
    std::string reason;
    if (flight.failure) {
        reason = Fail(std::string(flight.failure->what()) + "; the message was not sent");
        status = flight.failure->ExitCode();
    } else {
        TransferEnd& end = flight.end;
        end.code = code;
        end.message = TextToUtf8(message);
        if (end.code != 0) {
            reason = Fail(Describe(end, options_.server, options_.PortOr(25, 465)));
        }
        status = SendmailExitCode(end);
    }
    outcomes_.push_back({status, std::move(reason), std::move(flight.owned)});
    HandOnAtOnce(outcomes_.back());
    io_.stop();
}

// SendAll's source learns an outcome within Done, before the reply that follows in the same read
// (the next message's 354) sends that message's body: a queued file the server has accepted is
// removed before the next one can be accepted, so a kill leaves at most one message both
// delivered and still queued. What the source throws waits for SendAll.
void SendmailSession::HandOnAtOnce(Outcome& outcome) {
    if (source_ == nullptr || handOnFailure_) {
        return;
    }
    outcome.handedOn = true;
    try {
        source_->Finished(outcome.status, outcome.reason);
    } catch (...) {
        handOnFailure_ = std::current_exception();
    }
}

// The body streams by, so its bytes are not known before MAIL FROM: unless -B says, it is
// declared 8-bit wherever the server takes that. A kept session knows the server already.
void SendmailSession::Declare8Bit(const SendmailEnvelope& envelope) {
    const Text keywords = u"\r\n" + smtp_.Capabilities() + u"\r\n";
    smtp_.Body8Bit(
        envelope.bodyType == "8BITMIME" ||
        (envelope.bodyType.empty() && (keywords.find(u"\r\n8BITMIME\r\n") != Text::npos ||
                                       keywords.find(u"\r\n8BITMIME ") != Text::npos)));
}

void SendmailSession::AwaitOutcome() {
    while (outcomes_.empty()) {
        io_.restart();
        if (io_.run() == 0) {
            throw SendmailError(kExSoftware, "the SMTP session stopped without an end");
        }
    }
}

void SendmailSession::Close() {
    smtp_.CloseSession();
    io_.restart();
    io_.run_for(std::chrono::seconds(options_.transTimeout > 0 ? options_.transTimeout : 120));
}

std::string SendmailSession::Fail(const std::string& message) {
    err_ << "zefmail sendmail: " << message << "\n";
    return message;
}

}  // namespace zef::zefmail
