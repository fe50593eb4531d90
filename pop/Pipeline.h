// Commands sent ahead on a server that announces PIPELINING (RFC 2449). While one message
// streams in, the commands the next message will most likely need are already on their way,
// so the server works on that message while the application takes in this one. The dialogue
// itself does not change: it still sends its commands one by one, and a command already sent
// ahead is not sent again; its reply simply comes when the dialogue reaches it. A DELE sent
// after commands that went ahead is answered after them: the dialogue goes on without waiting,
// and its reply comes back through here when it arrives. When the dialogue takes another way
// than foreseen, the replies to what went ahead are read and dropped. Free of I/O.
#pragma once

#include <deque>
#include <string_view>

#include "common/Types.h"

namespace zef::pop {

class Pipeline {
  public:
    // Who reads a line from the server.
    enum class Reader {
        kDialogue,  // the reply to the command the dialogue waits for
        kNobody,    // a reply to a command that went ahead in vain, dropped
        kDeferred   // the reply to a DELE the dialogue did not wait for
    };
    // The reader of `line`, the next line from the server; the pipeline moves past it.
    Reader Take(std::string_view line);

    // The dialogue sends `command` (a command line without CR LF; `multiLine` as for
    // SentAhead). True: it went ahead and is not sent again. False: it must go now, and the
    // replies to everything that went ahead of it will be dropped.
    bool AlreadySent(const Text& command, bool multiLine);

    // `command` went ahead; `multiLine`: a good reply to it is a multi-line response.
    void SentAhead(const Text& command, bool multiLine);
    // Commands went ahead that the dialogue has not reached yet.
    bool HasAhead() const;
    // `command` (one with a one-line reply) went out behind the commands sent ahead; its reply
    // is read as kDeferred.
    void SentDeferred(const Text& command);
    // Every reply still to come is dropped.
    void DropAll();

    // A new transfer: nothing ahead, nothing to drop.
    void Clear();

  private:
    enum class Role {
        kDialogue,  // the dialogue waits for its reply
        kAhead,     // went ahead, not reached by the dialogue yet
        kDeferred,  // a DELE whose reply the dialogue does not wait for
        kDropped    // its reply is read and dropped
    };
    struct Reply {
        Text command;
        bool multiLine;
        Role role;
    };
    static Reader ReaderOf(Role role);

    // The replies to come, in the order their commands went out. Empty when nothing went
    // ahead; the dialogue's own command is listed only when it went out after others here.
    std::deque<Reply> replies_;
    bool insideResponse_ = false;  // in the lines of the first one's multi-line response
};

}  // namespace zef::pop
