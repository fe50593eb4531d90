// popZef's public face: every call goes to its Impl.
#include "pop/popZef.h"

#include "pop/PopControl.h"

namespace zef {

popZef::popZef(Components components)
    : impl_(std::make_unique<Impl>(*this, std::move(components))) {}

popZef::~popZef() = default;

bool popZef::TcpTraceOn() const {
    return impl_->tcpTraceOn;
}
void popZef::TcpTraceOn(bool on) {
    impl_->tcpTraceOn = on;
}
long popZef::ConnectTimeout() const {
    return impl_->connectTimeout;
}
void popZef::ConnectTimeout(long seconds) {
    impl_->connectTimeout = seconds;
}
long popZef::TransTimeout() const {
    return impl_->transTimeout;
}
void popZef::TransTimeout(long seconds) {
    impl_->transTimeout = seconds;
}
bool popZef::APOP() const {
    return impl_->apop;
}
void popZef::APOP(bool on) {
    impl_->apop = on;
}
Text popZef::Copyright() const {
    return Impl::Banner();
}
void popZef::Copyright(const Text& /*ignored*/) {}
const Text& popZef::Port() const {
    return impl_->port;
}
void popZef::Port(const Text& port) {
    impl_->port = port;
}
bool popZef::DeleteOnError() const {
    return impl_->deleteOnError;
}
void popZef::DeleteOnError(bool on) {
    impl_->deleteOnError = on;
}
bool popZef::NestedDelimiters() const {
    return impl_->nestedDelimiters;
}
void popZef::NestedDelimiters(bool on) {
    impl_->nestedDelimiters = on;
    impl_->ApplyParserSettings();
}
bool popZef::ParseMessages() const {
    return impl_->parseMessages;
}
void popZef::ParseMessages(bool on) {
    impl_->parseMessages = on;
    impl_->ApplyParserSettings();
}
bool popZef::DesyncGuard() const {
    return impl_->desyncGuard;
}
void popZef::DesyncGuard(bool on) {
    impl_->desyncGuard = on;
}
long long popZef::MaxLineLength() const {
    return impl_->MaxLineLength();
}
void popZef::MaxLineLength(long long bytes) {
    impl_->MaxLineLength(bytes);
}
long popZef::Security() const {
    return impl_->security;
}
void popZef::Security(long mode) {
    pop::CheckSecurityMode(mode);
    impl_->security = mode;
}
bool popZef::VerifyCert() const {
    return impl_->verifyCert;
}
void popZef::VerifyCert(bool on) {
    impl_->verifyCert = on;
}
const Text& popZef::CAFile() const {
    return impl_->caFile;
}
void popZef::CAFile(const Text& path) {
    impl_->caFile = path;
}

bool popZef::AskCapabilities() const {
    return impl_->askCapabilities;
}
void popZef::AskCapabilities(bool on) {
    impl_->askCapabilities = on;
}
bool popZef::Pipelining() const {
    return impl_->pipelining;
}
void popZef::Pipelining(bool on) {
    impl_->pipelining = on;
}
const Text& popZef::Capabilities() const {
    return impl_->Capabilities();
}
const Text& popZef::ResponseCode() const {
    return impl_->ResponseCode();
}
const Text& popZef::SaslMechanism() const {
    return impl_->saslMechanism;
}
void popZef::SaslMechanism(const Text& name) {
    impl_->saslMechanism = pop::CheckedSaslMechanism(name);
}
bool popZef::AutoAuth() const {
    return impl_->autoAuth;
}
void popZef::AutoAuth(bool on) {
    impl_->autoAuth = on;
}
bool popZef::XOAuth2OneStep() const {
    return impl_->xoauth2OneStep;
}
void popZef::XOAuth2OneStep(bool on) {
    impl_->xoauth2OneStep = on;
}
const Text& popZef::OAuthToken() const {
    return impl_->oauthToken;
}
void popZef::OAuthToken(const Text& token) {
    impl_->oauthToken = token;
}

void popZef::pop(const Text& xserv, const Text& xuser, const Text& xpass, long xlines) {
    impl_->Pop(xserv, xuser, xpass, xlines);
}
void popZef::Abend(bool CancelDelete) {
    impl_->Abend(CancelDelete);
}
Text popZef::Any2Unicode(const Bytes& AnsiText) {
    return impl_->Any2Unicode(AnsiText);
}
const Text& popZef::Caption() const {
    return impl_->Caption();
}

void popZef::ReadProperties(const PropertyBag& bag) {
    persist::Read(pop::PersistedProperties(), bag, pop::kStoredValues, *impl_);
    impl_->ApplyParserSettings();
}
void popZef::WriteProperties(PropertyBag& bag) const {
    persist::Write(pop::PersistedProperties(), *impl_, bag);
}

}  // namespace zef
