#include "tests/support/ScriptedWire.h"

#include "common/Error.h"

namespace zef::test {

namespace {

template <class... Args>
void Raise(const std::function<void(Args...)>& event, Args... args) {
    if (event) {
        event(args...);
    }
}

}  // namespace

void ScriptedWire::Told(const std::string& call) {
    if (onCall) {
        onCall(call);
    }
}

void ScriptedWire::Connect(const std::string& host, const std::string& port,
                           const std::string& options) {
    if (throwOnConnect) {
        throw Error(10049, "ScriptedWire", u"address not available");
    }
    connects.push_back(host);
    handshaking_ = false;
    closed_ = false;
    Told("connect " + host + ":" + port + " " + options + " tls=" +
         std::to_string(static_cast<int>(tls_.mode)) + (tls_.verifyPeer ? " verify" : " noverify") +
         (tls_.caFile.empty() ? "" : " ca=" + tls_.caFile));
}

void ScriptedWire::SendData(Bytes& data) {
    if (handshaking_) {
        throw Error(error::kInvalidArgument, "ScriptedWire", u"cannot send during the handshake");
    }
    sent += data;
    if (onSend) {
        onSend(data);
    }
    data.clear();
}

void ScriptedWire::Close() {
    ++closeCalls;
    closed_ = true;
    Told("close");
}

void ScriptedWire::Shutdown(int /*how*/) {
    ++shutdownCalls;
    Told("shutdown");
}

void ScriptedWire::SetTls(const TlsSettings& settings) {
    if (withoutTls) {
        Wire::SetTls(settings);
    }
    tls_ = settings;
}

void ScriptedWire::StartTls() {
    Told("starttls");
    if (throwOnStartTls) {
        throw Error(error::kInvalidArgument, "ScriptedWire", u"cannot start TLS");
    }
    handshaking_ = true;
    canSend = false;
}

void ScriptedWire::RaiseTlsReady() {
    handshaking_ = false;
    canSend = true;
    Raise(TlsReady);
}

void ScriptedWire::RaiseConnected() {
    Raise(Connected);
}

void ScriptedWire::Deliver(const Bytes& data) {
    if (!(closed_ && dropAfterClose)) {
        Bytes copy = data;
        Raise<Bytes&>(DataArrival, copy);
    }
}

void ScriptedWire::RaiseSendComplete() {
    Raise(SendComplete);
}

void ScriptedWire::RaiseClosed() {
    Raise(Closed);
}

void ScriptedWire::RaiseSocketError(long number, const std::string& description) {
    Raise<long, const std::string&, const std::string&, long>(SocketError, number, description,
                                                              "ScriptedWire", 0);
}

void ScriptedWire::RaiseTrace(const std::string& text) {
    Raise<const std::string&>(SocketTrace, text);
}

Bytes ScriptedWire::TakeSent() {
    Bytes taken;
    taken.swap(sent);
    return taken;
}

}  // namespace zef::test
