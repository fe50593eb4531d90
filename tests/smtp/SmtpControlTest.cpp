// What the scripts do not show: the bytes of one part as each format and encoding makes them,
// with the stand-in codec and with the real converter and codec; starting a send while one
// runs or from inside Done; handlers that throw; properties and their persistence.
#include <gtest/gtest.h>
#include <openssl/hmac.h>

#include <set>
#include <stdexcept>
#include <tuple>

#include "common/Error.h"
#include "components/PropertyBag.h"
#include "smtp/Capabilities.h"
#include "smtp/smtpZefImpl.h"
#include "tests/support/ControlDriver.h"
#include "tests/support/TestText.h"

namespace zef::test {
namespace {

// Greeting, HELO, MAIL, RCPT and DATA answered; the header block is taken off the wire and
// out of the transcript.
void ToBody(SmtpDriver& d) {
    d.Start();
    for (const char* reply : {"220 ready", "250 hello", "250 ok", "250 ok", "354 go ahead"}) {
        d.wire->Deliver(std::string(reply) + "\r\n");
    }
    d.wire->TakeSent();
    d.log.clear();
}

// SendComplete turns until the final dot has gone out; returns what they sent.
std::string Body(SmtpDriver& d) {
    std::string body;
    for (int turn = 0; turn < 100 && !body.ends_with("\r\n.\r\n"); ++turn) {
        d.wire->RaiseSendComplete();
        body += d.wire->TakeSent();
    }
    return body;
}

// The data of the message's one part: from the empty line after its head to the delimiter.
std::string PartData(SmtpDriver& d, std::vector<Text> head, std::vector<Bytes> pieces) {
    d.control->MimeMultipart(u"mixed");
    d.heads = {std::move(head)};
    d.bodies.assign(pieces.begin(), pieces.end());
    ToBody(d);
    const std::string body = Body(d);
    const size_t start = body.find("\r\n\r\n") + 4;
    return body.substr(start, body.find("\r\n--", start) - start);
}

TEST(SmtpPart, EachFormatAndEncodingOfALeafPart) {
    struct Case {
        Parts parts;
        std::vector<Text> head;  // format, type, name, charset, encoding, additional
        std::vector<Bytes> pieces;
        std::string data;
    };
    Bytes bytes58;
    for (int i = 0; i < 58; ++i) {
        bytes58 += static_cast<char>(i);
    }
    const Bytes abc = Utf16("abc");
    const Text x = u"application/x";
    // clang-format off
    const Case cases[] = {
        // base64 pieces go out in chunks of 57 bytes, each its own line
        {{}, {u"B", x, u"", u"", u"BASE64", u""}, {Bytes(58, 'q')},
         "[B64:" + std::string(57, 'q') + "]\r\n[B64:q]\r\n"},
        {{}, {u"b", x, u"", u"", u"Quoted-Printable", u""}, {"caf\xC3\xA9"}, "[QP:caf\xC3\xA9]"},
        {{}, {u"b", x, u"", u"", u"", u""}, {"caf\xC3\xA9"}, "caf\xC3\xA9"},
        {{}, {u"b", x, u"", u"", u"7BIT", u""}, {"caf\xC3\xA9"}, "caf\xC3\xA9"},
        {{}, {u"b", x, u"", u"", u"8bit", u""}, {"caf\xC3\xA9"}, "caf\xC3\xA9"},
        {{}, {u"b", x, u"", u"", u"binary", u""}, {"caf\xC3\xA9"}, "caf\xC3\xA9"},
        // a text piece split inside a code unit loses nothing
        {{}, {u"Unicode", u"text/plain", u"", u"", u"", u""}, {abc.substr(0, 3), abc.substr(3)}, "abc"},
        {{true, true}, {u"Binary", x, u"", u"", u"base64", u""}, {bytes58},
         "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4\r\nOQ==\r\n"},
        {{true, true}, {u"Unicode", u"text/plain", u"", u"", u"7bit", u""},
         {Utf16("日本語"), Utf16("です")}, "\x1b$BF|K\\8l\x1b(J\x1b$B$G$9\x1b(J"},
        // the codec ends a piece without a line break with a soft break, so pieces join up
        {{true, true}, {u"Binary", u"text/plain", u"", u"", u"quoted-printable", u""},
         {"caf\xC3\xA9 = ok"}, "caf=C3=A9 =3D ok=\r\n"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SmtpDriver d(c.parts);
        EXPECT_EQ(PartData(d, c.head, c.pieces), c.data) << U(c.head[4]);
    }
    SmtpDriver escapes({true, true});
    escapes.control->KanjiIn(u"$@");
    escapes.control->KanjiOut(u"(B");
    EXPECT_EQ(
        PartData(escapes, {u"Unicode", u"text/plain", u"", u"", u"7bit", u""}, {Utf16("日本")}),
        "\x1b$@F|K\\\x1b(B");
}

TEST(SmtpPart, NextSendStartsCleanAfterOneThatEndedInsideAPart) {
    SmtpDriver d;
    d.control->MimeMultipart(u"mixed");
    d.heads = {{u"", u"multipart/alternative", u"", u"", u"", u""},
               {u"B", u"application/x", u"", u"", u"", u""}};
    d.bodies = {"partial"};
    ToBody(d);
    d.wire->RaiseSendComplete();
    d.wire->RaiseSendComplete();
    d.wire->RaiseClosed();  // dropped inside the nested part
    ASSERT_EQ(d.dones, 1);
    d.heads = {{}};
    ToBody(d);
    Body(d);
    EXPECT_EQ(d.log, (std::vector<std::string>{"= MimeHead 1 1 BINARY - - - - -", ">",
                                               "> -------_=_Boundary_T_1_1--", "> ."}));
}

std::string HmacMd5Hex(const std::string& key, const std::string& message) {
    unsigned char digest[16];
    unsigned int length = 0;
    HMAC(EVP_md5(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest, &length);
    std::string hex;
    for (unsigned i = 0; i < length; ++i) {
        hex += "0123456789abcdef"[digest[i] >> 4];
        hex += "0123456789abcdef"[digest[i] & 15];
    }
    return hex;
}

// Keys over 64 bytes are hashed first; OpenSSL's HMAC does the same, independently.
TEST(SmtpAuth, CramMd5AnswerIsTheHmacOfTheChallengeForKeysOfEveryLength) {
    for (const std::string& password : {std::string("tanstaaftanstaaf"), std::string(64, 'k'),
                                        std::string(65, 'k'), std::string(200, 'z')}) {
        SmtpDriver d({true, true});
        d.control->Auth(1);
        d.control->User(u"tim");
        d.control->Pass(T(password));
        d.Start();
        d.wire->Deliver("220 ready\r\n250 AUTH CRAM-MD5\r\n");
        d.wire->TakeSent();
        d.wire->Deliver("334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n");
        Bytes answer = d.wire->TakeSent();
        answer.resize(answer.size() - 2);
        EXPECT_EQ(MakeCodec()->DecodeBase64(answer),
                  "tim " + HmacMd5Hex(password, "<1896.697170952@postoffice.reston.mci.net>"))
            << password.size();
    }
}

// --- starting ---

TEST(SmtpStart, SecondSendWhileOneRunsRaises59AndLeavesTheFirstAlone) {
    SmtpDriver d;
    d.Start();
    try {
        d.control->Smtp(u"other.example", u"");
        ADD_FAILURE() << "second send accepted";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), 59);
        EXPECT_EQ(e.source(), "TALVORN:Smtp");
        EXPECT_EQ(e.description(), u"処理中です。");
    }
    d.wire->Deliver("220 ready\r\n");
    EXPECT_EQ(d.wire->TakeSent(), "HELO client.example\r\n");
    EXPECT_EQ(d.wire->connects.size(), 1U);
}

TEST(SmtpStart, ComponentsAreSetUpForEachSend) {
    SmtpDriver d;
    d.control->Fold78(0);
    d.control->Hostname(u"");
    d.Start();
    EXPECT_EQ(d.codec->foldLines, 0);
    EXPECT_EQ(d.glyph->kanjiIn, "$B");
    EXPECT_EQ(d.glyph->kanjiOut, "(J");
    EXPECT_EQ(d.control->Hostname(), u"client.example");  // the wire's local host name

    SmtpDriver empty;  // empty escapes are not handed on
    empty.control->KanjiIn(u"");
    empty.control->KanjiOut(u"");
    empty.Start();
    EXPECT_EQ(empty.glyph->kanjiIn, "(unset)");
    EXPECT_EQ(empty.glyph->kanjiOut, "(unset)");
}

// Done comes with the control idle: its handler may start the next send, after a refusal as
// after a send that ended, and a handler that throws changes nothing.
TEST(SmtpStart, NextSendFromInsideDone) {
    for (const bool refused : {true, false}) {
        SmtpDriver d;
        int dones = 0;
        d.control->ConnectTimeout(2);
        d.control->Done = [&](long, const Text&) {
            if (++dones == 1) {
                d.control->ToAddr(u"b@example.jp");
                d.control->Smtp(u"second.example", u"");
            }
            if (!refused) {  // from Closed, nothing the handler throws may escape
                throw std::runtime_error("done handler broke");
            }
        };
        d.control->CaptionChanged = [](const Text&) { throw std::runtime_error("repaint"); };
        if (refused) {
            d.control->ToAddr(Variant());
            d.control->Smtp(u"mx.example", u"");
        } else {
            d.Start();
            d.wire->RaiseClosed();
        }
        ASSERT_EQ(dones, 1) << refused;
        ASSERT_EQ(d.wire->connects.back(), "second.example") << refused;
        EXPECT_EQ(d.control->Caption(), u"CONNECTING TO second.example");
        EXPECT_TRUE(d.timer->Enabled());  // the new send's connect guard
        d.wire->RaiseConnected();
        d.wire->Deliver("220 again\r\n");
        EXPECT_EQ(d.wire->TakeSent(), "HELO client.example\r\n");
    }
}

// A token before a password, the strongest of each; any case, on "AUTH" or the older "AUTH=".
TEST(SmtpAuth, AutoAuthChoosesTheStrongestUsableMechanism) {
    using enum smtp::Mechanism;
    const std::tuple<const char16_t*, bool, bool, smtp::Mechanism> cases[] = {
        {u"250-AUTH PLAIN xoauth2 OAUTHBEARER SCRAM-SHA-256", true, true, kOAuthBearer},
        {u"250-AUTH PLAIN XOAUTH2 SCRAM-SHA-256", true, true, kXOAuth2},
        {u"250-AUTH PLAIN XOAUTH2 SCRAM-SHA-256", false, true, kScramSha256},
        {u"250-AUTH=LOGIN CRAM-MD5 PLAIN", false, true, kCramMd5},
        {u"250-AUTH LOGIN PLAIN", false, true, kPlain},
        {u"250-AUTH LOGIN", true, true, kLogin},
        {u"250-AUTH PLAIN", true, false, kNone},
        {u"250-SIZE 100", false, true, kNone}};
    for (const auto& [line, token, password, chosen] : cases) {
        smtp::EhloCapabilities server;
        server.Read({u"250-mx", line, u"250 8BITMIME"});
        EXPECT_EQ(smtp::ChooseMechanism(server, token, password), chosen) << TextToUtf8(line);
    }
    EXPECT_EQ(smtp::EnhancedStatusOf(u"550 5.1.10 no") + smtp::EnhancedStatusOf(u"550 4.1.1"),
              u"5.1.10");
}

// --- properties ---

TEST(SmtpProperties, RefusedValuesRaise380AndKeepTheOldValue) {
    SmtpDriver d;
    smtpZef& c = *d.control;
    c.Auth(3);
    c.Security(2);
    c.MaxLineLength(100);
    c.MimeMultipart(u"mixed");
    struct Case {
        std::function<void()> set;
        const char* source;
        const char16_t* text;
    };
    // clang-format off
    const Case cases[] = {
        {[&] { c.Auth(-1); }, "TALVORN.smtp.Auth",
         u"Invalid Auth Mechanism(0[NO AUTH],1[CRAM-MD5],2[LOGIN],3[PLAIN])"},
        {[&] { c.Auth(4); }, "TALVORN.smtp.Auth", nullptr},
        {[&] { c.Security(-1); }, "zef.smtpZef.Security",
         u"Invalid Security Mode(0[NONE],1[IMPLICIT TLS],2[STARTTLS])"},
        {[&] { c.Security(3); }, "zef.smtpZef.Security", nullptr},
        {[&] { c.MimeMultipart(u"related"); }, "TALVORN.smtp.MimeMultiPart", u"Invalid MimeSubType"},
        {[&] { c.MaxLineLength(0); }, nullptr, nullptr},
        {[&] { c.SaslMechanism(u"NTLM"); }, "zef.smtpZef.SaslMechanism", nullptr},
        {[&] { c.SaslMechanism(u"PLAIN"); }, "zef.smtpZef.SaslMechanism",
         u"Invalid SASL Mechanism(\"\",XOAUTH2,OAUTHBEARER,SCRAM-SHA-256)"},
        {[&] { c.MaxLineLength(-1); }, "zef.smtpZef.MaxLineLength", u"Invalid property value"},
        {[&] { c.DsnNotify(u"NEVER,SUCCESS"); }, "zef.smtpZef.DsnNotify", nullptr},
        {[&] { c.DsnNotify(u"SUCCESS,"); }, "zef.smtpZef.DsnNotify", nullptr},
        {[&] { c.DsnReturn(u"ALL"); }, "zef.smtpZef.DsnReturn", u"Invalid DsnReturn(\"\",FULL,HDRS)"},
        {[&] { c.DsnEnvelopeId(u"caf\u00e9"); }, "zef.smtpZef.DsnEnvelopeId", nullptr},
        {[&] { c.DsnEnvelopeId(Text(101, u'x')); }, "zef.smtpZef.DsnEnvelopeId", nullptr},
    };
    // clang-format on
    for (const Case& refused : cases) {
        try {
            refused.set();
            ADD_FAILURE() << "accepted: " << (refused.source ? refused.source : "MaxLineLength");
        } catch (const Error& e) {
            EXPECT_EQ(e.number(), 380);
            if (refused.source != nullptr) {
                EXPECT_EQ(e.source(), refused.source);
            }
            if (refused.text != nullptr) {
                EXPECT_EQ(e.description(), refused.text);
            }
        }
    }
    EXPECT_EQ(c.Auth(), 3);
    EXPECT_EQ(c.Security(), 2);
    EXPECT_EQ(c.MaxLineLength(), 100);
    EXPECT_EQ(c.MimeMultipart(), u"mixed");
    for (const char16_t* subtype : {u"Alternative", u"PARALLEL", u""}) {  // any case is kept
        c.MimeMultipart(subtype);
        EXPECT_EQ(c.MimeMultipart(), subtype);
    }
    c.TcpTraceOn(true);
    EXPECT_EQ(std::tuple(c.TcpTraceOn(), c.FromAddr(), c.ToAddr()),
              std::tuple(true, Text(u"a@example.jp"), Variant(u"r1@example.jp")));
    c.Copyright(u"mine");
    EXPECT_EQ(c.Copyright(), u"zef smtpZef 0.1");
    EXPECT_EQ(c.Caption(), u"zef smtpZef 0.1");
}

// Every persisted property under its key: a bag of values other than the defaults is read into
// a control, which shows them and writes the same bag back; MaxLineLength is not persisted.
TEST(SmtpPersistence, ChangedValuesRoundTripAndDefaultsAreNotWritten) {
    SmtpDriver d;
    smtpZef& c = *d.control;
    c.Hostname(u"");
    FilePropertyBag defaults;
    c.WriteProperties(defaults);
    EXPECT_TRUE(defaults.Values().empty());

    FilePropertyBag bag;
    // clang-format off
    const std::pair<const char*, Variant> stored[] = {
        {"Port", Variant(u"587")},       {"Hostname", Variant(u"me.example")},
        {"Auth", Variant(2L)},           {"User", Variant(u"tim")},
        {"Pass", Variant(u"secret")},    {"AngleBracketType", Variant(2L)},
        {"KanjiIn", Variant(u"$@")},     {"KanjiOut", Variant(u"(B")},
        {"Fold78", Variant(0L)},         {"Charset", Variant(u"")},
        {"ConnectTimeout", Variant(5L)}, {"TransTimeout", Variant(30L)},
        {"Security", Variant(1L)},       {"VerifyCert", Variant(false)},
        {"CAFile", Variant(u"ca.pem")},  {"RawMessage", Variant(true)},
        {"TextCharset", Variant(u"utf-8")}, {"SaslMechanism", Variant(u"xoauth2")},
        {"AutoAuth", Variant(true)},     {"AcceptPartialRecipients", Variant(true)},
        {"KeepSession", Variant(true)},  {"SessionIdleTime", Variant(0L)},
        {"Pipelining", Variant(true)},    {"DsnNotify", Variant(u"DELAY")},
        {"DsnReturn", Variant(u"FULL")}};
    std::set<std::string> keys;
    for (const auto& [key, value] : stored) {
        bag.WriteProperty(key, value, Variant());
        keys.emplace(key);
    }
    std::set<std::string> tableKeys;  // no key is persisted without a row above
    for (const auto& property : smtp::PersistedProperties()) {
        tableKeys.insert(property.key);
    }
    EXPECT_EQ(keys, tableKeys);
    c.MaxLineLength(100);
    c.ReadProperties(bag);
    const std::vector<Variant> shown = {
        Variant(c.Port()),      Variant(c.Hostname()),       Variant(c.Auth()),
        Variant(c.User()),      Variant(c.Pass()),           Variant(long{c.AngleBracketType()}),
        Variant(c.KanjiIn()),   Variant(c.KanjiOut()),       Variant(c.Fold78()),
        Variant(c.CharSet()),   Variant(c.ConnectTimeout()), Variant(c.TransTimeout()),
        Variant(c.Security()),  Variant(c.VerifyCert()),     Variant(c.CAFile()),
        Variant(c.RawMessage()), Variant(c.TextCharset()),   Variant(c.SaslMechanism()),
        Variant(c.AutoAuth()),  Variant(c.AcceptPartialRecipients()), Variant(c.KeepSession()),
        Variant(c.SessionIdleTime()), Variant(c.Pipelining()), Variant(c.DsnNotify()),
        Variant(c.DsnReturn())};
    // clang-format on
    for (size_t i = 0; i < shown.size(); ++i) {
        EXPECT_EQ(shown[i], stored[i].second) << stored[i].first;
    }
    EXPECT_EQ(c.MaxLineLength(), 100);
    FilePropertyBag written;
    c.WriteProperties(written);
    EXPECT_EQ(written.Values(), bag.Values());

    c.ReadProperties(FilePropertyBag());  // an empty bag: defaults, and an empty host name
    EXPECT_EQ(c.Port(), u"25");
    EXPECT_EQ(c.Hostname(), u"");
}

TEST(SmtpPersistence, StoredTypesAreConvertedAndABadBagChangesNothing) {
    SmtpDriver d;
    FilePropertyBag converted;
    converted.WriteProperty("Auth", Variant(u"1"), Variant(0L));
    converted.WriteProperty("Port", Variant(2525L), Variant(u"25"));
    converted.WriteProperty("TransTimeout", Variant(7.4), Variant(0L));
    converted.WriteProperty("Fold78", Variant(true), Variant(1L));
    converted.WriteProperty("VerifyCert", Variant(0L), Variant(true));
    d.control->ReadProperties(converted);
    EXPECT_EQ(d.control->Auth(), 1);
    EXPECT_EQ(d.control->Port(), u"2525");
    EXPECT_EQ(d.control->TransTimeout(), 7);
    EXPECT_EQ(std::pair(d.control->Fold78(), d.control->VerifyCert()), std::pair(-1L, false));

    struct Case {
        const char* key = nullptr;
        Variant value;
        const char* source = nullptr;
    };
    const Case cases[] = {
        {"Auth", Variant(9L), "TALVORN.smtp.Auth"},
        {"AngleBracketType", Variant(1L << 40), "TALVORN.smtp.ReadProperties"},
        {"ConnectTimeout", Variant(u"soon"), "TALVORN.smtp.ReadProperties"},
        {"Port", Variant(true), "TALVORN.smtp.ReadProperties"},
        {"Security", Variant(3L), "zef.smtpZef.Security"},
        {"VerifyCert", Variant(u"no"), "TALVORN.smtp.ReadProperties"},
        {"SaslMechanism", Variant(u"GSSAPI"), "zef.smtpZef.SaslMechanism"},
    };
    for (const Case& c : cases) {
        SmtpDriver kept;
        kept.control->User(u"kept");
        FilePropertyBag bag;
        bag.WriteProperty("User", Variant(u"new"), Variant(u""));
        bag.WriteProperty(c.key, c.value, Variant());
        try {
            kept.control->ReadProperties(bag);
            ADD_FAILURE() << c.key << " was accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.number(), 380) << c.key;
            EXPECT_EQ(e.source(), c.source) << c.key;
        }
        EXPECT_EQ(kept.control->User(), u"kept") << c.key;
        EXPECT_EQ(kept.control->Port(), u"25") << c.key;
    }
}

}  // namespace
}  // namespace zef::test
