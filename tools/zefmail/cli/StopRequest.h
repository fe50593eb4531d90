// Ctrl-C and SIGTERM are meant for the whole run, not only for the account being read: the
// command that catches one notes it here, and a run over several accounts starts no other.
#pragma once

namespace zef::zefmail {

void NoteStopRequested();
bool StopRequested();

}  // namespace zef::zefmail
