// The send routines of the dialogue, from the lowest: SendRaw (bytes to the socket, or kept
// while it cannot take them), SendText (text through the converter, the message header through
// the codec's encoded words), SendLine and SendCommand (state, trace and command line), and
// the encodings of the AUTH answers.
#include "common/Unicode.h"
#include "components/CodePage.h"
#include "smtp/CramMd5.h"
#include "smtp/HeaderBlock.h"
#include "smtp/Outcomes.h"
#include "smtp/Utf8Mail.h"
#include "smtp/smtpZefImpl.h"

namespace zef {

Text StateName(DialogueState state) {
    switch (state) {
        case DialogueState::kInit:
            return u"INIT";
        case DialogueState::kHelo:
            return u"HELO";
        case DialogueState::kEhlo:
            return u"EHLO";
        case DialogueState::kAuth:
            return u"AUTH";
        case DialogueState::kAuthData:
            return u"AUTHDATA";
        case DialogueState::kAuthData0:
            return u"AUTHDATA0";
        case DialogueState::kAuthData1:
            return u"AUTHDATA1";
        case DialogueState::kAuthScram:
            return u"AUTHSCRAM";
        case DialogueState::kAuthCancel:
            return u"AUTHCANCEL";
        case DialogueState::kStartTls:
            return u"STARTTLS";
        case DialogueState::kMail:
            return u"MAIL";
        case DialogueState::kRcpt:
            return u"RCPT";
        case DialogueState::kData:
            return u"DATA";
        case DialogueState::kTransData:
            return u"TRANSDATA";
        case DialogueState::kRset:
            return u"RSET";
        case DialogueState::kQuit:
            return u"QUIT";
    }
    return u"";
}

// Output waits in PendingOutput while the socket cannot take it; once something waits, later
// output queues behind it too, so bytes never overtake each other. The SendComplete handler
// flushes it.
// Returns whether there was anything to send; nothing is never passed on.
bool smtpZef::Impl::SendRaw(Bytes bytes) {
    if (bytes.empty()) {
        return false;
    }
    if (batching_) {
        batch_ += bytes;
        return true;
    }
    if (pendingOutput_.empty() && wire_.CanSend()) {
        wire_.SendData(bytes);
    } else {
        pendingOutput_ += bytes;
    }
    return true;
}

// Runs `send` with everything it hands to SendRaw collected, then sends that in one write; inside
// another such call it joins the outer write. Returns whether anything was sent.
bool smtpZef::Impl::SendAsOneWrite(const std::function<void()>& send) {
    if (batching_) {
        send();
        return true;
    }
    batching_ = true;
    try {
        send();
    } catch (...) {
        batching_ = false;
        batch_.clear();
        throw;
    }
    batching_ = false;
    Bytes batch;
    batch.swap(batch_);
    return SendRaw(std::move(batch));
}

// The message header and the plain body. Until the empty line that ends the message header has
// gone out, the text passes through the codec's EncodeHeader; after it, text is sent as it is.
bool smtpZef::Impl::SendText(const Text& text) {
    Text pending = text;
    Bytes bytes = utf8Text_ ? TextToUtf8(pending) : glyph_.TextToJis(pending);
    if (headerPhase_) {
        const size_t headerEnd = bytes.find("\r\n\r\n");
        if (headerEnd == Bytes::npos) {
            bytes = EncodeHeaderText(bytes);
        } else {
            Bytes header = bytes.substr(0, headerEnd + 4);
            bytes = EncodeHeaderText(header) + bytes.substr(headerEnd + 4);
            headerPhase_ = false;
        }
    }
    return SendRaw(std::move(bytes));
}

// Text in the charset of this send, removed from `text` but for an incomplete character.
Bytes smtpZef::Impl::ConvertText(Text& text) {
    return utf8Text_ ? smtp::TakeUtf8(text) : glyph_.TextToJis(text);
}

// Encoded words in the charset of this send; an SMTPUTF8 message keeps its addresses raw.
Bytes smtpZef::Impl::EncodeHeaderText(Bytes& header) {
    return utf8Text_ ? codec_.EncodeUtf8Header(header, smtpUtf8Declared_)
                     : codec_.EncodeHeader(header);
}

// A command line goes out converted but never through the header encoder, which folds long
// lines and would split a long MAIL FROM or RCPT TO into two commands.
bool smtpZef::Impl::SendLine(const Text& text) {
    Text pending = text + u"\r\n";
    return SendRaw(glyph_.TextToJis(pending));
}

// Records the command as the dialogue state, traces it (never the password) and sends it.
void smtpZef::Impl::SendCommand(DialogueState state, const Text& argument) {
    dialogueState_ = state;
    if (state == DialogueState::kEhlo) {
        ehloLines_.clear();  // the reply read from here on is this EHLO's
    }
    const Text name = StateName(state);
    switch (state) {
        case DialogueState::kTransData:
            RaiseTrace(u">>Sending Data ...");
            SendHeaderBlock(argument);
            break;
        case DialogueState::kAuthData:
        case DialogueState::kAuthData0:
            RaiseTrace(u">>Send AuthData User=" + user);
            SendLine(argument);
            break;
        case DialogueState::kAuthData1:
        case DialogueState::kAuthScram:
            RaiseTrace(u">>Send AuthData Pass=***");
            SendLine(argument);
            break;
        case DialogueState::kAuthCancel:
            RaiseTrace(u">>Send AuthData " + argument);
            SendLine(argument);
            break;

        case DialogueState::kMail:
        case DialogueState::kRcpt:
            // Addresses are UTF-8 (SMTPUTF8) or ASCII: never the Japanese converter's bytes.
            RaiseTrace(u">>" + name + u" " + argument);
            SendRaw(TextToUtf8(name + u" " + argument + u"\r\n"));
            break;
        default:
            RaiseTrace(u">>" + name + u" " + argument);
            SendLine(argument.empty() ? name : name + u" " + argument);
            break;
    }
}

// The header block after the 354 reply. A raw header may be empty, which hands nothing to the
// socket and so brings no SendComplete: the body turns then start at once. With BodyWriteSize
// they start at once anyway, in the header block's write.
void smtpZef::Impl::SendHeaderBlock(const Text& headerBlock) {
    if (bodyWriteSize >= 1) {
        SendAsOneWrite([&] {
            SendHeaderBytes(headerBlock);
            RunBodyTurns();
        });
    } else if (!SendHeaderBytes(headerBlock)) {
        RunBodyTurns();
    }
}

bool smtpZef::Impl::SendHeaderBytes(const Text& headerBlock) {
    if (!rawMessage) {
        const bool keepsAddresses = smtpUtf8Declared_ && utf8Text_;
        const Text header = keepsAddresses ? headerBlock : smtp::HeaderWithALabels(headerBlock);
        return SendText(smtp::TransDataText(outcome::smtp::kProductBanner, header));
    }
    return SendRaw(rawLines_.Pass(TextToUtf8(headerBlock)));
}

Text smtpZef::Impl::EncodeBase64Text(const Text& text) {
    Bytes bytes = TextToAnsi(text);
    return AnsiToText(codec_.EncodeBase64(bytes));
}

// The CRAM-MD5 answer: base64 of the user name, a space and the HMAC-MD5 digest of the
// challenge under the password.
Text smtpZef::Impl::CramMd5Response(const Bytes& challenge) {
    const std::string digest = smtp::CramMd5Digest(hash_, TextToAnsi(pass), challenge);
    return EncodeBase64Text(user + u" " + AsciiToText(digest));
}

}  // namespace zef
