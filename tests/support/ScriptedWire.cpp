#include "tests/support/ScriptedWire.h"

#include "common/Error.h"
#include "common/Unicode.h"

namespace zef::testing {

void ScriptedWire::Connect(const std::string& host, const std::string& port,
                           const std::string& options) {
    if (throwOnConnect) {
        throw Error(connectErrorNumber, "ScriptedWire", Utf8ToText(connectErrorText));
    }
    connects.push_back({host, port, options});
}

void ScriptedWire::SendData(Bytes& data) {
    sent += data;
    data.clear();
}

void ScriptedWire::RaiseConnected() {
    if (Connected) {
        Connected();
    }
}

void ScriptedWire::Deliver(const Bytes& data) {
    if (DataArrival) {
        Bytes copy = data;
        DataArrival(copy);
    }
}

void ScriptedWire::RaiseSendComplete() {
    if (SendComplete) {
        SendComplete();
    }
}

void ScriptedWire::RaiseClosed() {
    if (Closed) {
        Closed();
    }
}

void ScriptedWire::RaiseSocketError(long number, const std::string& description) {
    if (SocketError) {
        SocketError(number, description, "ScriptedWire", 0);
    }
}

void ScriptedWire::RaiseTrace(const std::string& text) {
    if (SocketTrace) {
        SocketTrace(text);
    }
}

Bytes ScriptedWire::TakeSent() {
    Bytes taken;
    taken.swap(sent);
    return taken;
}

}  // namespace zef::testing
