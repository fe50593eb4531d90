#include "tools/zefmail/send/SendmailSession.h"

#include <chrono>
#include <optional>

#include "common/Unicode.h"
#include "common/Variant.h"
#include "tools/zefmail/send/SendCommand.h"

namespace zef::zefmail {

SendmailSession::SendmailSession(const SendmailOptions& options, const EnvLookup& env,
                                 std::ostream& err, bool keep)
    : options_(options), err_(err), smtp_(io_) {
    ConfigureConnection(smtp_, options, env);
    smtp_.RawMessage(true);
    smtp_.KeepSession(keep);
    smtp_.Pipelining(keep);
    smtp_.Trace = [this](const Text& text) {
        if (options_.trace) {
            err_ << TextToUtf8(text) << "\n";
        }
    };
}

int SendmailSession::Send(const SendmailEnvelope& envelope, MessageInput& input) {
    lastError_.clear();
    // The body streams by, so its bytes are not known before MAIL FROM: unless -B says, it is
    // declared 8-bit wherever the server takes that. A kept session knows the server already.
    const auto declare8Bit = [this, &envelope] {
        const Text keywords = u"\r\n" + smtp_.Capabilities() + u"\r\n";
        smtp_.Body8Bit(
            envelope.bodyType == "8BITMIME" ||
            (envelope.bodyType.empty() && (keywords.find(u"\r\n8BITMIME\r\n") != Text::npos ||
                                           keywords.find(u"\r\n8BITMIME ") != Text::npos)));
    };
    declare8Bit();
    smtp_.CapabilitiesReceived = declare8Bit;
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

    bool headerGiven = false;
    bool done = false;
    TransferEnd end;
    std::optional<SendmailError> failure;
    smtp_.MoreData = [&](long /*id*/, Bytes& data) {
        if (!headerGiven) {
            headerGiven = true;
            data = envelope.header;
            return;
        }
        try {
            data = input.NextPiece();
        } catch (const SendmailError& e) {
            failure = e;
            throw;  // ends the send before the final dot: the server drops the message
        }
    };
    const auto trace = smtp_.Trace;
    smtp_.Trace = [&](const Text& text) {
        end.Trace(text);
        trace(text);
    };
    smtp_.Done = [&](long doneCode, const Text& doneMessage) {
        done = true;
        end.code = doneCode;
        end.message = TextToUtf8(doneMessage);
        io_.stop();
    };
    smtp_.Smtp(Utf8ToText(options_.server), Text());
    if (!done) {
        io_.restart();
        io_.run();
    }
    smtp_.Trace = trace;
    if (failure) {
        Fail(std::string(failure->what()) + "; the message was not sent");
        return failure->ExitCode();
    }
    if (end.code != 0) {
        Fail(Describe(end, options_.server, options_.PortOr(25, 465)));
    }
    return SendmailExitCode(end);
}

void SendmailSession::Close() {
    smtp_.Done = nullptr;
    smtp_.CloseSession();
    io_.restart();
    io_.run_for(std::chrono::seconds(options_.transTimeout > 0 ? options_.transTimeout : 120));
}

void SendmailSession::Fail(const std::string& message) {
    lastError_ = message;
    err_ << "zefmail sendmail: " << message << "\n";
}

}  // namespace zef::zefmail
