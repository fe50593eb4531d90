// imapZef's public face: every call goes to its Impl.
#include "imap/imapZef.h"

#include "imap/ImapControl.h"

namespace zef {

imapZef::imapZef(Components components)
    : impl_(std::make_unique<Impl>(*this, std::move(components))) {}

imapZef::~imapZef() = default;
bool imapZef::TcpTraceOn() const {
    return impl_->tcpTraceOn;
}
void imapZef::TcpTraceOn(bool value) {
    impl_->tcpTraceOn = value;
}
long imapZef::ConnectTimeout() const {
    return impl_->connectTimeout;
}
void imapZef::ConnectTimeout(long value) {
    impl_->connectTimeout = value;
}
long imapZef::TransTimeout() const {
    return impl_->transTimeout;
}
void imapZef::TransTimeout(long value) {
    impl_->transTimeout = value;
}
const Text& imapZef::Port() const {
    return impl_->port;
}
void imapZef::Port(const Text& value) {
    impl_->port = value;
}
bool imapZef::DeleteOnError() const {
    return impl_->deleteOnError;
}
void imapZef::DeleteOnError(bool value) {
    impl_->deleteOnError = value;
}
bool imapZef::NestedDelimiters() const {
    return impl_->nestedDelimiters;
}
void imapZef::NestedDelimiters(bool value) {
    impl_->nestedDelimiters = value;
    impl_->ApplyParserSettings();
}
bool imapZef::ParseMessages() const {
    return impl_->parseMessages;
}
void imapZef::ParseMessages(bool value) {
    impl_->parseMessages = value;
    impl_->ApplyParserSettings();
}
long imapZef::Security() const {
    return impl_->security;
}
void imapZef::Security(long value) {
    imap::CheckSecurityMode(value);
    impl_->security = value;
}
bool imapZef::VerifyCert() const {
    return impl_->verifyCert;
}
void imapZef::VerifyCert(bool value) {
    impl_->verifyCert = value;
}
const Text& imapZef::CAFile() const {
    return impl_->caFile;
}
void imapZef::CAFile(const Text& value) {
    impl_->caFile = value;
}
const Text& imapZef::SaslMechanism() const {
    return impl_->saslMechanism;
}
void imapZef::SaslMechanism(const Text& value) {
    impl_->saslMechanism = imap::CheckedSaslMechanism(value);
}
bool imapZef::AutoAuth() const {
    return impl_->autoAuth;
}
void imapZef::AutoAuth(bool value) {
    impl_->autoAuth = value;
}
bool imapZef::XOAuth2OneStep() const {
    return impl_->xoauth2OneStep;
}
void imapZef::XOAuth2OneStep(bool value) {
    impl_->xoauth2OneStep = value;
}
const Text& imapZef::OAuthToken() const {
    return impl_->oauthToken;
}
void imapZef::OAuthToken(const Text& value) {
    impl_->oauthToken = value;
}
const Text& imapZef::Folder() const {
    return impl_->folder;
}
void imapZef::Folder(const Text& value) {
    imap::CheckFolder(value);
    impl_->folder = value;
}
const Text& imapZef::Search() const {
    return impl_->search;
}
void imapZef::Search(const Text& value) {
    impl_->search = imap::CheckedSearch(value);
}
bool imapZef::ReadOnly() const {
    return impl_->readOnly;
}
void imapZef::ReadOnly(bool value) {
    impl_->readOnly = value;
}
bool imapZef::ListFolders() const {
    return impl_->listFolders;
}
void imapZef::ListFolders(bool value) {
    impl_->listFolders = value;
}
bool imapZef::MarkSeen() const {
    return impl_->markSeen;
}
void imapZef::MarkSeen(bool value) {
    impl_->markSeen = value;
}
bool imapZef::Idle() const {
    return impl_->idle;
}
void imapZef::Idle(bool value) {
    impl_->idle = value;
}
long imapZef::IdleTime() const {
    return impl_->idleTime;
}
void imapZef::IdleTime(long value) {
    impl_->idleTime = value;
}
bool imapZef::Pipelining() const {
    return impl_->pipelining;
}
void imapZef::Pipelining(bool on) {
    impl_->pipelining = on;
}
Text imapZef::Copyright() const {
    return Impl::Banner();
}
void imapZef::Copyright(const Text& /*ignored*/) {}
long long imapZef::MaxLineLength() const {
    return impl_->MaxLineLength();
}
void imapZef::MaxLineLength(long long bytes) {
    impl_->MaxLineLength(bytes);
}
const Text& imapZef::Capabilities() const {
    return impl_->Capabilities();
}
const Text& imapZef::ResponseCode() const {
    return impl_->ResponseCode();
}
void imapZef::imap(const Text& xserv, const Text& xuser, const Text& xpass, long /*xlines*/) {
    impl_->Imap(xserv, xuser, xpass);
}
void imapZef::Abend(bool CancelDelete) {
    impl_->Abend(CancelDelete);
}
Text imapZef::Any2Unicode(const Bytes& AnsiText) {
    return impl_->Any2Unicode(AnsiText);
}
const Text& imapZef::Caption() const {
    return impl_->Caption();
}
void imapZef::ReadProperties(const PropertyBag& bag) {
    persist::Read(imap::PersistedProperties(), bag, imap::kStoredValues, *impl_);
    impl_->ApplyParserSettings();
}
void imapZef::WriteProperties(PropertyBag& bag) const {
    persist::Write(imap::PersistedProperties(), *impl_, bag);
}

}  // namespace zef
