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
    const bool implicitTls = !tlsSettings.empty() && tlsSettings.back().mode == TlsMode::Implicit;
    clear_ = !implicitTls;
    handshaking_ = false;
    sentInClear.clear();
}

void ScriptedWire::SendData(Bytes& data) {
    if (handshaking_) {
        throw Error(error::kInvalidArgument, "ScriptedWire", u"cannot send during the handshake");
    }
    if (clear_) {
        sentInClear += data;
    }
    sent += data;
    data.clear();
}

void ScriptedWire::SetTls(const TlsSettings& settings) {
    if (withoutTls) {
        Wire::SetTls(settings);
    }
    tlsSettings.push_back(settings);
}

void ScriptedWire::StartTls() {
    ++startTlsCalls;
    if (throwOnStartTls) {
        throw Error(error::kInvalidArgument, "ScriptedWire", u"cannot start TLS");
    }
    handshaking_ = true;
    canSend = false;
}

void ScriptedWire::RaiseTlsReady() {
    handshaking_ = false;
    clear_ = false;
    canSend = true;
    if (TlsReady) {
        TlsReady();
    }
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
