// The constructor with the real components, apart so that a program (or test) that injects
// its own components does not link the socket and timer implementations.
#include "imap/imapZef.h"

namespace zef {

imapZef::imapZef(asio::io_context& io) : imapZef(MakeComponents(io)) {}

}  // namespace zef
