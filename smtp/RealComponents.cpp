// The constructor on an event loop, in a file of its own: it alone pulls in the real socket
// and timer, so programs that inject their components do not link them.
#include "smtp/smtpZefImpl.h"

namespace zef {

smtpZef::smtpZef(asio::io_context& io) : smtpZef(MakeComponents(io)) {}

}  // namespace zef
