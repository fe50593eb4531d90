// `fetch --events`: every event of popZef as one JSON object per line,
// {"event": "<name>", <argument>: <value>, ...}, with the argument names of the event
// interface. Text is UTF-8, Data is base64, and by-reference arguments carry the value zefmail
// returned to the control.
#pragma once

#include <array>
#include <functional>
#include <ostream>

namespace zef {
class popZef;
}

namespace zef::zefmail {

class EventLog {
  public:
    explicit EventLog(std::ostream& out) : out_(out) {}

    // Logs each event of `pop` after its handler ran, with what the handler gave back.
    void Attach(popZef& pop);

  private:
    template <class... Args>
    void Log(std::function<void(Args...)>& handler, const char* event,
             std::array<const char*, sizeof...(Args)> names);

    std::ostream& out_;
};

}  // namespace zef::zefmail
