// What `zefmail sendmail` reads: a whole message on standard input. The header block is read
// whole (up to a limit) so that its addresses can be read and its Bcc fields dropped; the body
// is handed on piece by piece and never held.
#pragma once

#include <istream>
#include <string>
#include <vector>

#include "common/Types.h"
#include "tools/zefmail/cli/ToolError.h"

namespace zef::zefmail {

// sysexits.h values used by sendmail mode.
enum SendmailExit : int {
    kExOk = 0,
    kExUsage = 64,
    kExDataErr = 65,
    kExNoInput = 66,
    kExUnavailable = 69,
    kExSoftware = 70,
    kExIoErr = 74,
    kExTempFail = 75,
};

// A failure of sendmail mode with the exit status it calls for.
class SendmailError : public ToolError {
  public:
    SendmailError(int exitCode, const std::string& message)
        : ToolError(message), exitCode_(exitCode) {}
    int ExitCode() const { return exitCode_; }

  private:
    int exitCode_;
};

inline constexpr size_t kHeaderLimit = size_t{1024} * 1024;

// Reads the message from `in`. Unless `dotEnds` is false (-i), a line holding only "." ends
// the input, as with every sendmail; that line is not part of the message.
class MessageInput {
  public:
    MessageInput(std::istream& in, bool dotEnds) : in_(in), dotEnds_(dotEnds) {}

    // The header block as read, up to and including the empty line that ends it (all of a
    // message without one); its lines may end in CR LF, LF or a lone CR. Throws SendmailError:
    // kExDataErr beyond `limit` bytes, kExIoErr when the input cannot be read.
    std::string ReadHeader(size_t limit = kHeaderLimit);
    // The next piece of the body as read; empty at the end.
    Bytes NextPiece();

  private:
    // Reads a chunk through the "." check; false at the end of the input.
    bool Fill(Bytes& out);

    std::istream& in_;
    bool dotEnds_;
    bool ended_ = false;
    bool atLineStart_ = true;
    std::string held_;  // "." or ".\r" at the start of a line: maybe the end of the input
    Bytes rest_;        // body bytes read together with the header
};

// The header block with CR LF after every line: a lone LF or CR becomes CR LF.
std::string WithCrLf(const std::string& header);

}  // namespace zef::zefmail
