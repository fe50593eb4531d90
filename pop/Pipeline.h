// Commands sent ahead on a server that announces PIPELINING (RFC 2449). While one message
// streams in, the commands the next message will most likely need are already on their way,
// so the server works on that message while the application takes in this one. The dialogue
// itself does not change: it still sends its commands one by one, and a command already sent
// ahead is not sent again; its reply simply comes next. When the dialogue takes another way
// than foreseen, the replies to what went ahead are read and dropped. Free of I/O.
#pragma once

#include <deque>
#include <string_view>

#include "common/Types.h"

namespace zef::pop {

class Pipeline {
  public:
    // The dialogue sends `command` (a command line without CR LF). True: it went ahead and its
    // reply is the next to come, so it is not sent again. False: it must go now, and the
    // replies to everything sent ahead before it will be dropped.
    bool AlreadySent(const Text& command);

    // `command` went ahead; `multiLine`: a good reply to it is a multi-line response.
    void SentAhead(const Text& command, bool multiLine);

    // True while the next reply line belongs to a reply that is dropped; then Drop takes it.
    bool Dropping() const { return !dropped_.empty(); }
    void Drop(std::string_view line);

    // A new transfer: nothing ahead, nothing to drop.
    void Clear();

  private:
    struct Ahead {
        Text command;
        bool multiLine;
    };
    std::deque<Ahead> ahead_;      // sent ahead, in order, not yet reached by the dialogue
    std::deque<bool> dropped_;     // replies to drop, in order: multi-line or not
    bool insideResponse_ = false;  // in the lines of a dropped multi-line response
};

}  // namespace zef::pop
