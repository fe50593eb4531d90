// The constructor with the real components, apart so that a program (or test) that injects
// its own components does not link the socket and timer implementations.
#include "pop/popZef.h"

namespace zef {

popZef::popZef(asio::io_context& io) : popZef(MakeComponents(io)) {}

}  // namespace zef
