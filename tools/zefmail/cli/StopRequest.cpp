#include "tools/zefmail/cli/StopRequest.h"

namespace zef::zefmail {

namespace {
bool stopRequested = false;  // set on the event loop's thread, which is the only one
}  // namespace

void NoteStopRequested() {
    stopRequested = true;
}

bool StopRequested() {
    return stopRequested;
}

}  // namespace zef::zefmail
