// The sending half of sendmail mode: smtpZef set up once for a server, then one message per
// Send, or message after message over one session (zefmail flush).
#pragma once

#include <asio/io_context.hpp>
#include <deque>
#include <exception>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "smtp/smtpZef.h"
#include "tools/zefmail/cli/Verdict.h"
#include "tools/zefmail/send/SendmailCommand.h"
#include "tools/zefmail/send/SendmailInput.h"

namespace zef::zefmail {

class SendmailSession {
  public:
    // `keep`: the session stays open between messages, with PIPELINING where offered.
    SendmailSession(const SendmailOptions& options, const EnvLookup& env, std::ostream& err,
                    bool keep);

    // Sends one message with RawMessage: the header as the first piece, then the body pieces
    // of `input` as they come. Returns the exit status (sysexits.h); a failure is one line on
    // the error stream.
    int Send(const SendmailEnvelope& envelope, MessageInput& input);

    // A message of SendAll: its envelope, and the stream its header and body come from.
    struct Outgoing {
        SendmailEnvelope envelope;
        std::unique_ptr<std::istream> stream;
        std::unique_ptr<MessageInput> input;
    };
    // Where SendAll's messages come from and where their outcomes go, in the same order.
    class Source {
      public:
        virtual ~Source() = default;
        // The next message, or nullptr when none is left. `ahead`: the message before it still
        // awaits the server's last reply; nullptr then means only "not now" (a file that is no
        // message is best reported in its turn), and Next is asked again after that reply.
        virtual std::unique_ptr<Outgoing> Next(bool ahead) = 0;
        // Called once a message has gone out and its reply is awaited: the source may open
        // its next message now, while nothing else is to be done, so that Next is quick.
        virtual void ReadAhead() {}
        // How the oldest message not yet reported went: its exit status and error line.
        virtual void Finished(int status, const std::string& reason) = 0;
    };
    // Sends the source's messages one after the other as Send would, each reported once it is
    // over. With `keep` and a server that offers PIPELINING, a message's envelope goes out
    // behind the end of data of the one before, so each costs one round trip.
    void SendAll(Source& source);

    // Ends a kept session with QUIT and waits for it.
    void Close();

  private:
    // A message under way: Smtp called, Done not yet come.
    struct Flight {
        const SendmailEnvelope* envelope = nullptr;
        MessageInput* input = nullptr;
        std::unique_ptr<Outgoing> owned;  // SendAll's message, which the flight keeps open
        TransferEnd end;
        bool headerGiven = false;
        std::optional<SendmailError> failure;  // the input could not be read
    };
    struct Outcome {
        int status;
        std::string reason;
        // The message's file, closed with the outcome: not while the next message is sent.
        std::unique_ptr<Outgoing> message;
        bool handedOn = false;  // to SendAll's source, from within Done
    };

    void Start(Flight flight);
    void StartAhead();
    void ReadAheadWhileWaiting();
    void OnDone(long code, const Text& message);
    void HandOnAtOnce(Outcome& outcome);
    void OnMoreData(Bytes& data);
    void Declare8Bit(const SendmailEnvelope& envelope);
    // Runs the event loop until an outcome is there.
    void AwaitOutcome();
    // Writes the failure's line and returns it.
    std::string Fail(const std::string& message);

    const SendmailOptions& options_;
    std::ostream& err_;
    asio::io_context io_;
    smtpZef smtp_;
    // Oldest first: at most the one whose end of data awaits its reply, and the one behind it.
    std::deque<Flight> flights_;
    std::deque<Outcome> outcomes_;        // of flights over, not yet handed on
    Source* source_ = nullptr;            // SendAll's, while it runs
    std::exception_ptr handOnFailure_;    // what the source threw within Done, for SendAll
    std::unique_ptr<Outgoing> deferred_;  // given ahead but not startable then: the next to start
};

}  // namespace zef::zefmail
