// popZef's creation, properties, persistence, methods, guard timer and caption.
#include "pop/PopControl.h"

#include <exception>
#include <string>
#include <utility>

#include "common/Error.h"
#include "common/Unicode.h"
#include "components/CodePage.h"

namespace zef {

using pop::Raise;

namespace {

constexpr long long kDefaultMaxLineLength = 64LL * 1024 * 1024;
constexpr long kTickMilliseconds = 1000;
constexpr long kTypeMismatch = 13;

// Every component is used; a control without one could not run a transfer.
Components Checked(Components components) {
    if (!components.wire || !components.glyph || !components.codec || !components.hash ||
        !components.timer) {
        throw Error(error::kInvalidArgument, "zef.popZef", u"popZef needs all five components");
    }
    return components;
}

bool HasLineBreakOrNul(const Text& text) {
    return text.find_first_of(u"\r\n\0", 0, 3) != Text::npos;
}

// --- reading saved values: what the bag holds is taken without range checks ---

[[noreturn]] void TypeMismatch(const std::string& key) {
    throw Error(kTypeMismatch, "zef.popZef.ReadProperties", u"Type mismatch: " + Utf8ToText(key));
}

Text ReadText(const PropertyBag& bag, const std::string& key, const Text& fallback) {
    const Variant value = bag.ReadProperty(key, Variant(fallback));
    if (const Text* text = value.AsString()) {
        return *text;
    }
    if (const long* number = value.AsLong()) {
        return Utf8ToText(std::to_string(*number));
    }
    TypeMismatch(key);
}

bool ReadBool(const PropertyBag& bag, const std::string& key, bool fallback) {
    const Variant value = bag.ReadProperty(key, Variant(fallback));
    if (const bool* flag = value.AsBoolean()) {
        return *flag;
    }
    if (const long* number = value.AsLong()) {
        return *number != 0;
    }
    TypeMismatch(key);
}

void CheckSecurityMode(long mode) {
    if (mode < 0 || mode > 2) {
        throw Error(error::kInvalidValue, "zef.popZef.Security",
                    u"Invalid Security Mode(0[NONE],1[IMPLICIT TLS],2[STLS])");
    }
}

// The mechanism's name in upper case, "" for none; error 380 for one the control cannot do.
Text CheckedSaslMechanism(const Text& name) {
    if (name.empty()) {
        return {};
    }
    const std::optional<sasl::Mechanism> mechanism = sasl::MechanismNamed(TextToUtf8(name));
    if (!mechanism) {
        throw Error(error::kInvalidValue, "zef.popZef.SaslMechanism",
                    u"Invalid SaslMechanism(PLAIN,SCRAM-SHA-256,XOAUTH2,OAUTHBEARER)");
    }
    return Utf8ToText(sasl::MechanismName(*mechanism));
}

long ReadLong(const PropertyBag& bag, const std::string& key, long fallback) {
    const Variant value = bag.ReadProperty(key, Variant(fallback));
    if (const long* number = value.AsLong()) {
        return *number;
    }
    if (const bool* flag = value.AsBoolean()) {
        return *flag ? -1 : 0;  // the host's True is -1
    }
    TypeMismatch(key);
}

}  // namespace

popZef::Impl::Impl(popZef& owner, Components components)
    : owner_(owner),
      components_(Checked(std::move(components))),
      parser_(*components_.glyph, *components_.codec, *this),
      lines_(static_cast<size_t>(kDefaultMaxLineLength)),
      maxLineLength_(kDefaultMaxLineLength),
      caption_(Banner()) {
    parser_.MaxFieldLength(static_cast<size_t>(kDefaultMaxLineLength));
    Wire& wire = *components_.wire;
    wire.Connected = [this] { OnConnected(); };
    wire.DataArrival = [this](Bytes& data) { OnDataArrival(data); };
    wire.SendComplete = [this] { OnSendComplete(); };
    wire.Closed = [this] { OnClosed(); };
    wire.SocketError = [this](long number, const std::string& description,
                              const std::string& /*source*/,
                              long /*extra*/) { OnSocketError(number, description); };
    wire.SocketTrace = [this](const std::string& text) { OnSocketTrace(text); };
    wire.TlsReady = [this] { OnTlsReady(); };
    Timer& timer = *components_.timer;
    timer.Enabled(false);
    timer.Interval(kTickMilliseconds);
    timer.Tick = [this] { OnTick(); };
}

popZef::Impl::~Impl() {
    // The components outlive nothing of ours, but make sure none of them calls back into a
    // control that is being destroyed.
    Wire& wire = *components_.wire;
    wire.Connected = nullptr;
    wire.DataArrival = nullptr;
    wire.SendComplete = nullptr;
    wire.Closed = nullptr;
    wire.SocketError = nullptr;
    wire.SocketTrace = nullptr;
    wire.TlsReady = nullptr;
    components_.timer->Tick = nullptr;
    components_.timer->Enabled(false);
}

const Text& popZef::Impl::Banner() {
    static const Text banner = u"zef popZef 0.1";
    return banner;
}

void popZef::Impl::MaxLineLength(long long bytes) {
    if (bytes < 1) {
        throw Error(error::kInvalidValue, "zef.popZef.MaxLineLength", u"Invalid property value");
    }
    maxLineLength_ = bytes;
    lines_.MaxLineLength(static_cast<size_t>(bytes));
    parser_.MaxFieldLength(static_cast<size_t>(bytes));
}

void popZef::Impl::Security(long mode) {
    CheckSecurityMode(mode);
    security = mode;
}

void popZef::Impl::SaslMechanism(const Text& name) {
    saslMechanism = CheckedSaslMechanism(name);
}

void popZef::Impl::Pop(const Text& server, const Text& user, const Text& password, long lines) {
    if (receivePhase_ != 0) {
        throw Error(error::kBusy, "TALVORN:Smtp", u"\u51e6\u7406\u4e2d\u3067\u3059\u3002");
    }
    // A line break in a login argument would let it smuggle further commands to the server.
    const char16_t* invalid = HasLineBreakOrNul(user)       ? u"xuser"
                              : HasLineBreakOrNul(password) ? u"xpass"
                                                            : nullptr;
    if (invalid != nullptr) {
        const Text message = Text(u"INVALID ") + invalid + u": CR, LF OR NUL NOT ALLOWED";
        SetCaption(message);
        Raise(owner_.Done, -1L, message);
        return;
    }
    receivePhase_ = 1;
    state_ = State::Init;
    doneCode_ = 0;
    doneMessage_.clear();
    userName_ = user;
    password_ = password;
    topLines_ = lines;
    abortMode_ = 0;
    pendingOutput_.clear();
    greeting_.clear();
    tlsDone_ = false;
    capabilities_.clear();
    responseCode_.clear();
    serverName_ = server;
    sasl_.reset();
    try {
        ArmTimer(1);
        components_.wire->SetTls(WireTlsSettings());
        components_.wire->Connect(TextToUtf8(server), TextToUtf8(port), "0");
    } catch (const Error& e) {
        ConnectFailed(e.number(), e.description());
    } catch (const std::exception& e) {
        ConnectFailed(-1, Utf8ToText(e.what()));
    }
}

// Every transfer sets the wire's TLS, so a mode chosen for an earlier one never lingers.
TlsSettings popZef::Impl::WireTlsSettings() const {
    return TlsSettings::ForSecurity(security, verifyCert, TextToUtf8(caFile));
}

void popZef::Impl::ConnectFailed(long number, const Text& description) {
    try {
        StopTimer();
    } catch (const std::exception&) {  // the connect failure is what gets reported
    }
    SetCaption(u"Connect Error(" + Utf8ToText(std::to_string(number)) + u")" + description);
    receivePhase_ = 0;
    Raise(owner_.Done, number, description);
}

Text popZef::Impl::Any2Unicode(const Bytes& ansiText) {
    return AnsiToText(components_.glyph->AnyToAnsiAlone(ansiText));
}

// Everything is read before anything is stored, so a bag that is refused changes nothing. The
// first five keys are taken as they are; a stored Security outside 0 to 2, or a SaslMechanism
// the control cannot do, is refused like an assignment (error 380).
void popZef::Impl::ReadProperties(const PropertyBag& bag) {
    Text newPort = ReadText(bag, "Port", u"110");
    const bool newApop = ReadBool(bag, "APOP", false);
    const bool newDeleteOnError = ReadBool(bag, "DeleteOnError", false);
    const long newConnectTimeout = ReadLong(bag, "ConnectTimeout", 0);
    const long newTransTimeout = ReadLong(bag, "TransTimeout", 0);
    const long newSecurity = ReadLong(bag, "Security", 0);
    const bool newVerifyCert = ReadBool(bag, "VerifyCert", true);
    Text newCAFile = ReadText(bag, "CAFile", u"");
    const bool newNestedDelimiters = ReadBool(bag, "NestedDelimiters", false);
    const bool newParseMessages = ReadBool(bag, "ParseMessages", true);
    const bool newAskCapabilities = ReadBool(bag, "AskCapabilities", false);
    Text newSaslMechanism = CheckedSaslMechanism(ReadText(bag, "SaslMechanism", u""));
    const bool newAutoAuth = ReadBool(bag, "AutoAuth", false);
    const bool newXOAuth2OneStep = ReadBool(bag, "XOAuth2OneStep", false);
    CheckSecurityMode(newSecurity);

    port = std::move(newPort);
    apop = newApop;
    deleteOnError = newDeleteOnError;
    connectTimeout = newConnectTimeout;
    transTimeout = newTransTimeout;
    security = newSecurity;
    verifyCert = newVerifyCert;
    caFile = std::move(newCAFile);
    parser_.NestedDelimiters(newNestedDelimiters);
    parser_.ParseMessages(newParseMessages);
    askCapabilities = newAskCapabilities;
    saslMechanism = std::move(newSaslMechanism);
    autoAuth = newAutoAuth;
    xoauth2OneStep = newXOAuth2OneStep;
}

void popZef::Impl::WriteProperties(PropertyBag& bag) const {
    bag.WriteProperty("Port", Variant(port), Variant(u"110"));
    bag.WriteProperty("APOP", Variant(apop), Variant(false));
    bag.WriteProperty("DeleteOnError", Variant(deleteOnError), Variant(false));
    bag.WriteProperty("ConnectTimeout", Variant(connectTimeout), Variant(0L));
    bag.WriteProperty("TransTimeout", Variant(transTimeout), Variant(0L));
    bag.WriteProperty("Security", Variant(security), Variant(0L));
    bag.WriteProperty("VerifyCert", Variant(verifyCert), Variant(true));
    bag.WriteProperty("CAFile", Variant(caFile), Variant(Text()));
    bag.WriteProperty("NestedDelimiters", Variant(parser_.NestedDelimiters()), Variant(false));
    bag.WriteProperty("ParseMessages", Variant(parser_.ParseMessages()), Variant(true));
    bag.WriteProperty("AskCapabilities", Variant(askCapabilities), Variant(false));
    bag.WriteProperty("SaslMechanism", Variant(saslMechanism), Variant(Text()));
    bag.WriteProperty("AutoAuth", Variant(autoAuth), Variant(false));
    bag.WriteProperty("XOAuth2OneStep", Variant(xoauth2OneStep), Variant(false));
}

// --- guard timer and caption ---

void popZef::Impl::StopTimer() {
    components_.timer->Enabled(false);
}

// Arming an armed guard starts its interval afresh, so no stop is needed first.
void popZef::Impl::ArmTimer(long phase) {
    guardPhase_ = phase;
    switch (phase) {
        case 1:
            guardCountdown_ = connectTimeout;
            break;
        case 2:
            guardCountdown_ = transTimeout;
            break;
        default:
            guardCountdown_ = -1;
            break;
    }
    components_.timer->Enabled(guardCountdown_ >= 1);
}

void popZef::Impl::SetCaption(const Text& caption) {
    if (caption == caption_) {
        return;
    }
    caption_ = caption;
    Raise(owner_.CaptionChanged, caption_);
}

void popZef::Impl::RaiseTrace(const Text& text) {
    Raise(owner_.Trace, text);
}

// --- the parser's events, forwarded to the application ---

void popZef::Impl::RetrFirst(long id, long much, bool& cancelRetr) {
    Raise(owner_.RetrFirst, id, much, cancelRetr);
}
void popZef::Impl::RetrDone(long id, bool& cancelDelete) {
    Raise(owner_.RetrDone, id, cancelDelete);
}
void popZef::Impl::MailHeadFirst(long id) {
    Raise(owner_.MailHeadFirst, id);
}
void popZef::Impl::MailHeadNext(long id, const Text& name, const Text& value) {
    Raise(owner_.MailHeadNext, id, name, value);
}
void popZef::Impl::MailHeadDone(long id) {
    Raise(owner_.MailHeadDone, id);
}
void popZef::Impl::MimeHeadFirst(long id, long part) {
    Raise(owner_.MimeHeadFirst, id, part);
}
void popZef::Impl::MimeHeadNext(long id, long part, const Text& name, const Text& value) {
    Raise(owner_.MimeHeadNext, id, part, name, value);
}
void popZef::Impl::MimeHeadDone(long id, long part) {
    Raise(owner_.MimeHeadDone, id, part);
}
void popZef::Impl::MultiPartOpen(long id, long parentPart, const Text& contentType,
                                 const Text& contentName, const Text& contentCharset,
                                 const Text& transferEncoding, Text& tag) {
    Raise(owner_.MultiPartOpen, id, parentPart, contentType, contentName, contentCharset,
          transferEncoding, tag);
}
void popZef::Impl::MultiPartClose(long id, const Text& tag) {
    Raise(owner_.MultiPartClose, id, tag);
}
void popZef::Impl::MimeDataFirst(long id, long newPart, const Text& contentType,
                                 const Text& contentName, const Text& contentCharset,
                                 const Text& transferEncoding, bool& isText) {
    Raise(owner_.MimeDataFirst, id, newPart, contentType, contentName, contentCharset,
          transferEncoding, isText);
}
void popZef::Impl::MimeDataNext(long id, long part, Bytes& data) {
    Raise(owner_.MimeDataNext, id, part, data);
}
void popZef::Impl::MimeDataDone(long id, long part) {
    Raise(owner_.MimeDataDone, id, part);
}

}  // namespace zef
