// The SMTP dialogue as scripts (the notation is in tests/support/ControlDriver.h): each row is
// played with every reply whole, cut in two at every byte, and one byte at a time, and must
// give its transcript back each time.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "common/Error.h"
#include "components/sasl/SaslClient.h"
#include "tests/support/ControlDriver.h"
#include "tests/support/TestText.h"

namespace zef::test {
namespace {

using Row = ScriptRow<SmtpDriver>;

std::function<void(SmtpDriver&)> Auth(long mechanism, const char16_t* pass = u"s3cret-pw",
                                      const char16_t* sasl = u"") {
    return [=](SmtpDriver& d) {
        d.control->Auth(mechanism);
        d.control->SaslMechanism(sasl);
        d.control->User(u"tim");
        d.control->Pass(pass);
    };
}

// SCRAM-SHA-256 with the user, password and client nonce of the RFC 7677 example.
void Scram(SmtpDriver& d) {
    Auth(0, u"pencil", u"SCRAM-SHA-256")(d);
    d.control->User(u"user");
    sasl::FixNextScramNonce("rOprNGfwEbeRWgbNEkqO");
}

class SmtpScript : public ::testing::TestWithParam<Row> {};

TEST_P(SmtpScript, GivesItsTranscript) {
    ExpectScript(GetParam());
}

// Up to the 354 go-ahead, for rows about the body.
#define TO_DATA                                                                     \
    "< 220 ready  > HELO client.example\n< 250 hello  > MAIL FROM:<a@example.jp>\n" \
    "< 250 ok  > RCPT TO:<r1@example.jp>\n< 250 ok  > DATA\n"                       \
    "< 354 go ahead  > X-TALVORN: zef smtpZef 0.1  > Subject: x  >\n"

const Row kDialogue[] = {
    {"EveryStepWithTracesAndCaptions",
     [](SmtpDriver& d) {
         d.control->ToAddr(StringArray::OneBased({u"r1@example.jp", u"r2@example.jp"}));
     },
     R"(! traces
        < 220 mx.example ESMTP  C PROCESSING  T 220 mx.example ESMTP  T >>HELO client.example
        > HELO client.example
        < 250 hello  T 250 hello  T >>MAIL FROM:<a@example.jp>  > MAIL FROM:<a@example.jp>
        < 250 ok  T 250 ok  T >>RCPT TO:<r1@example.jp>  > RCPT TO:<r1@example.jp>
        < 251 will forward  T 251 will forward  T >>RCPT TO:<r2@example.jp>
        > RCPT TO:<r2@example.jp>
        < 250 ok  T 250 ok  T >>DATA\x20  > DATA
        < 354 go ahead  T 354 go ahead  T >>Sending Data ...  > X-TALVORN: zef smtpZef 0.1
        > Subject: x  >
        ! sent  = MoreData 1  T >>Sending Dot(EOF) ...  >  > .
        ! sent
        < 250 queued  T 250 queued  T >>QUIT\x20  > QUIT
        < 221 bye  T 221 bye  * close
        ! closed  C DONE(COMPLETE)  = Done 0 - | DONE(COMPLETE))"},
    {"MultiLineRepliesAreActedOnAtTheirLastLine", Auth(2),
     R"(! traces
        < 220-mx.example  C PROCESSING  T 220-mx.example
        < 220 ready  T 220 ready  T >>EHLO client.example  > EHLO client.example
        < 250-mx.example\r\n250-AUTH LOGIN PLAIN\r\n250 8BITMIME  T 250-mx.example
        T 250-AUTH LOGIN PLAIN  T 250 8BITMIME  T >>AUTH LOGIN  > AUTH LOGIN)"},
    {"SeveralRepliesInOneArrivalAndPreliminaryReplies",
     [](SmtpDriver& d) {
         d.control->ToAddr(StringArray::OneBased({u"r1@example.jp", u"r2@example.jp"}));
     },
     R"(< 199 wait
        < 220 ready\r\n250 hello  > HELO client.example  > MAIL FROM:<a@example.jp>
        < 250 ok\r\n250 ok\r\n250 ok  > RCPT TO:<r1@example.jp>  > RCPT TO:<r2@example.jp>  > DATA)"},
    {"RefusalSendsRsetAndItsReplyClosesUnread", nullptr,
     R"(! traces
        < 220 ready  C PROCESSING  T 220 ready  T >>HELO client.example  > HELO client.example
        < 550 5.1.1 no such user  T 550 5.1.1 no such user  T >>RSET\x20  > RSET
        <~ 100 hm\r\n250 trailing\r\n  T 100 hm  * close
        ! closed  C DONE(FAIL)  = Done -1 550 5.1.1 no such user | DONE(FAIL))"},
    {"RefusedEhloHasNoFallback", Auth(3),
     R"(< 220 ready  > EHLO client.example
        < 502 command not implemented  > RSET
        < 250 ok  * close
        ! closed  = Done -1 502 command not implemented | DONE(FAIL))"},
    {"NegativeReplyToQuitKeepsSuccess", nullptr, TO_DATA R"(! sent  = MoreData 1  >  > .
        < 250 queued  > QUIT
        < 500 what  * close
        ! closed  = Done 0 - | DONE(COMPLETE))"},
    {"PositiveLineBeforeTheDotIsNotItsReply", [](SmtpDriver& d) { d.data = {Utf16("body")}; },
     TO_DATA R"(< 250 too early
        ! sent  = MoreData 1  >~ body
        ! sent  = MoreData 2  >  > .
        < 250 queued  > QUIT
        < 221 bye  * close
        ! closed  = Done 0 - | DONE(COMPLETE))"},
    {"EarlyPositiveLineThenDisconnect", nullptr, TO_DATA R"(< 250 too early
        ! closed  = Done -2 UNEXPECTED DISCONNECT | DONE(FAIL UNEXPECTED DISCONNECT))"},
    {"AngleBracketType1", [](SmtpDriver& d) { d.control->AngleBracketType(1); },
     R"(< 220 ready  > HELO client.example
        < 250 hello  > MAIL FROM:a@example.jp
        < 250 ok  > RCPT TO:r1@example.jp)"},
    {"AngleBracketType2", [](SmtpDriver& d) { d.control->AngleBracketType(2); },
     R"(< 220 ready  > HELO client.example
        < 250 hello  > MAIL FROM: a@example.jp
        < 250 ok  > RCPT TO: r1@example.jp)"},
    {"AngleBracketTypeOtherIsBrackets", [](SmtpDriver& d) { d.control->AngleBracketType(7); },
     R"(< 220 ready  > HELO client.example
        < 250 hello  > MAIL FROM:<a@example.jp>
        < 250 ok  > RCPT TO:<r1@example.jp>)"},
    {"BareLineFeedCostsTheLastCharacterAndEmptyLinesArePositive", nullptr,
     R"(! traces
        <~ 220 ready\n  C PROCESSING  T 220 read  T >>HELO client.example  > HELO client.example
        <~ \n  T  T >>MAIL FROM:<a@example.jp>  > MAIL FROM:<a@example.jp>)"},
    {"RepliesAreReadAsHostText", nullptr,
     R"(! traces
        < 220 \xE3\x81\x93\xE3\x82\x93 ready  C PROCESSING  T 220 \xE3\x81\x93\xE3\x82\x93 ready
        T >>HELO client.example  > HELO client.example)"},
    {"ReplyAtTheLineLimitPassesOneByteMoreEndsTheSend",
     [](SmtpDriver& d) { d.control->MaxLineLength(12); },
     R"(< 220 12345678  > HELO client.example
        <~ 250 12345678\r
        <~ 9  * close
        < 250 more
        ! closed  = Done -1 REPLY LINE TOO LONG | DONE(FAIL))"},
    {"OverlongLineInOneArrival", [](SmtpDriver& d) { d.control->MaxLineLength(12); },
     R"(< 220 123456789  * close
        ! closed  = Done -1 REPLY LINE TOO LONG | DONE(FAIL))"},
    {"DefaultLineLimitIsOneMebibyte", nullptr,
     R"(< 220 ready  > HELO client.example
        ! flood 1048576
        <~ y  * close
        ! closed  = Done -1 REPLY LINE TOO LONG | DONE(FAIL))"},
    {"HeaderOverflowAtDataEndsTheSend",
     [](SmtpDriver& d) { d.header = u"X-Long: " + Text(40000, u'x') + u"\r\n.dot\r\n\r\n"; },
     R"(< 220 ready  > HELO client.example
        < 250 hello  > MAIL FROM:<a@example.jp>
        < 250 ok  > RCPT TO:<r1@example.jp>
        < 250 ok  > DATA
        < 354 go ahead  * close
        ! sent
        ! closed  = Done 6 Overflow | DONE(FAIL))"},
};
INSTANTIATE_TEST_SUITE_P(Dialogue, SmtpScript, ::testing::ValuesIn(kDialogue), RowName);

const Row kAuth[] = {
    {"LoginHidesThePassword", Auth(2),
     R"(! traces
        < 220 ready  C PROCESSING  T 220 ready  T >>EHLO client.example  > EHLO client.example
        < 250 AUTH LOGIN  T 250 AUTH LOGIN  T >>AUTH LOGIN  > AUTH LOGIN
        < 334 VXNlcm5hbWU6  T 334 VXNlcm5hbWU6  T >>Send AuthData User=tim  > [B64:tim]
        < 334 UGFzc3dvcmQ6  T 334 UGFzc3dvcmQ6  T >>Send AuthData Pass=***  > [B64:s3cret-pw]
        < 235 ok  T 235 ok  T >>MAIL FROM:<a@example.jp>  > MAIL FROM:<a@example.jp>)"},
    {"PlainIsOneLineOfUserAndPassword", Auth(3),
     R"(! traces
        < 220 ready  C PROCESSING  T 220 ready  T >>EHLO client.example  > EHLO client.example
        < 250 AUTH PLAIN  T 250 AUTH PLAIN  T >>AUTH PLAIN  > AUTH PLAIN
        < 334\x20  T 334\x20  T >>Send AuthData User=tim  > [B64:\x00tim\x00s3cret-pw]
        < 235 ok  T 235 ok  T >>MAIL FROM:<a@example.jp>  > MAIL FROM:<a@example.jp>)"},
    {"RefusedCredentials", Auth(3, u"wrong"),
     R"(< 220 ready  > EHLO client.example
        < 250 AUTH PLAIN  > AUTH PLAIN
        < 334\x20  > [B64:\x00tim\x00wrong]
        < 535 5.7.8 authentication failed  > RSET
        < 250 ok  * close
        ! closed  = Done -1 535 5.7.8 authentication failed | DONE(FAIL))"},
    {"CramMd5AnswersTheRfc2195Example", Auth(1, u"tanstaaftanstaaf"),
     R"(! traces
        < 220 ready  C PROCESSING  T 220 ready  T >>EHLO client.example  > EHLO client.example
        < 250 AUTH CRAM-MD5  T 250 AUTH CRAM-MD5  T >>AUTH CRAM-MD5  > AUTH CRAM-MD5
        < 334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+
        T 334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+  T >>Send AuthData User=tim
        > dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw
        < 235 ok  T 235 ok  T >>MAIL FROM:<a@example.jp>  > MAIL FROM:<a@example.jp>)",
     true, Parts{true, true}},
    {"RealPlainAndLoginAnswers", Auth(2, u"tanstaaftanstaaf"),
     R"(< 220 ready  > EHLO client.example
        < 250 AUTH LOGIN  > AUTH LOGIN
        < 334 VXNlcm5hbWU6  > dGlt
        < 334 UGFzc3dvcmQ6  > dGFuc3RhYWZ0YW5zdGFhZg==)",
     true, Parts{true, true}},
    {"RealPlainAnswer", Auth(3, u"tanstaaftanstaaf"),
     R"(< 220 ready  > EHLO client.example
        < 250 AUTH PLAIN  > AUTH PLAIN
        < 334\x20  > AHRpbQB0YW5zdGFhZnRhbnN0YWFm)",
     true, Parts{true, true}},
    {"XOAuth2RefusalDecodesTheJsonAndAnswersEmpty",
     [](SmtpDriver& d) { Auth(0, u"", u"xoauth2")(d), d.control->OAuthToken(u"tok-123"); },
     R"(! traces
        < 220 ready  C PROCESSING  T 220 ready  T >>EHLO client.example  > EHLO client.example
        < 250 AUTH XOAUTH2  T 250 AUTH XOAUTH2  T >>AUTH XOAUTH2 ***
        > AUTH XOAUTH2 dXNlcj10aW0BYXV0aD1CZWFyZXIgdG9rLTEyMwEB
        < 334 eyJzdGF0dXMiOiJpbnZhbGlkX3Rva2VuIiwic2NvcGUiOiJtYWlsIn0=
        T 334 eyJzdGF0dXMiOiJpbnZhbGlkX3Rva2VuIiwic2NvcGUiOiJtYWlsIn0=  T >>Send AuthData\x20  >
        < 535 5.7.8 no  T 535 5.7.8 no  T >>RSET\x20  > RSET
        ! closed  C DONE(FAIL)  = Done -1 535 5.7.8 no: invalid_token (scope mail) | DONE(FAIL))"},
    {"OAuthBearerTakesTheTokenFromTheEventAndAnswersCtrlA",
     [](SmtpDriver& d) { Auth(0, u"", u"OAUTHBEARER")(d), d.LogServerEvents(u"fresh"); },
     R"(< 220 ready  > EHLO client.example
        < 250-mx\r\n250 AUTH PLAIN OAUTHBEARER  = Capabilities AUTH PLAIN OAUTHBEARER  = TokenNeeded -
        > AUTH OAUTHBEARER bixhPXRpbSwBaG9zdD1teC5leGFtcGxlAXBvcnQ9MjUBYXV0aD1CZWFyZXIgZnJlc2gBAQ==
        < 334 b29wcw==  > AQ==
        < 535 no  > RSET
        ! closed  = Done -1 535 no | DONE(FAIL))"},
    {"AutoAuthWithAPasswordFindsNothingUsableInXOAuth2",
     [](SmtpDriver& d) { d.control->AutoAuth(true), d.control->Pass(u"pw"); },
     R"(< 220 ready  > EHLO client.example
        < 250-mx\r\n250 AUTH XOAUTH2  > RSET
        ! closed  = Done -1 NO USABLE AUTH MECHANISM | DONE(FAIL))"},
    {"ScramSendsTheMailOnlyAfterTheServersProof", Scram, R"(! traces
        < 220 ready  C PROCESSING  T 220 ready  T >>EHLO client.example  > EHLO client.example
        < 250 AUTH SCRAM-SHA-256  T 250 AUTH SCRAM-SHA-256  T >>AUTH SCRAM-SHA-256 ***
        > AUTH SCRAM-SHA-256 biwsbj11c2VyLHI9ck9wck5HZndFYmVSV2diTkVrcU8=
        < 334 cj1yT3ByTkdmd0ViZVJXZ2JORWtxTyVodllEcFdVYTJSYVRDQWZ1eEZJbGopaE5sRiRrMCxzPVcyMlphSjBTTlk3c29Fc1VFamI2Z1E9PSxpPTQwOTY=
        T 334 cj1yT3ByTkdmd0ViZVJXZ2JORWtxTyVodllEcFdVYTJSYVRDQWZ1eEZJbGopaE5sRiRrMCxzPVcyMlphSjBTTlk3c29Fc1VFamI2Z1E9PSxpPTQwOTY=
        T >>Send AuthData Pass=***
        > Yz1iaXdzLHI9ck9wck5HZndFYmVSV2diTkVrcU8laHZZRHBXVWEyUmFUQ0FmdXhGSWxqKWhObEYkazAscD1kSHpiWmFwV0lrNGpVaE4rVXRlOXl0YWc5empmTUhnc3FtbWl6N0FuZFZRPQ==
        < 334 dj02cnJpVFJCaTIzV3BSUi93dHVwK21NaFVaVW4vZEI1bkxUSlJzamw5NUc0PQ==
        T 334 dj02cnJpVFJCaTIzV3BSUi93dHVwK21NaFVaVW4vZEI1bkxUSlJzamw5NUc0PQ==
        T >>Send AuthData User=user  >
        < 235 ok  T 235 ok  T >>MAIL FROM:<a@example.jp>  > MAIL FROM:<a@example.jp>)"},
    {"ScramWithAWrongServerSignatureCancels", Scram,
     R"(< 220 ready  > EHLO client.example
        < 250 AUTH SCRAM-SHA-256  > AUTH SCRAM-SHA-256 biwsbj11c2VyLHI9ck9wck5HZndFYmVSV2diTkVrcU8=
        < 334 cj1yT3ByTkdmd0ViZVJXZ2JORWtxTyVodllEcFdVYTJSYVRDQWZ1eEZJbGopaE5sRiRrMCxzPVcyMlphSjBTTlk3c29Fc1VFamI2Z1E9PSxpPTQwOTY=
        > Yz1iaXdzLHI9ck9wck5HZndFYmVSV2diTkVrcU8laHZZRHBXVWEyUmFUQ0FmdXhGSWxqKWhObEYkazAscD1kSHpiWmFwV0lrNGpVaE4rVXRlOXl0YWc5empmTUhnc3FtbWl6N0FuZFZRPQ==
        < 334 dj03cnJpVFJCaTIzV3BSUi93dHVwK21NaFVaVW4vZEI1bkxUSlJzamw5NUc0PQ==  > *
        < 501 5.7.0 cancelled  * close
        ! closed  = Done -1 AUTH FAILED: the server's SCRAM signature is wrong: it may not know the password | DONE(FAIL))"},
    {"ScramRefusesAPasswordSaslPrepForbids", Auth(0, u"pen\acil", u"SCRAM-SHA-256"),
     R"(< 220 ready  > EHLO client.example
        < 250 AUTH SCRAM-SHA-256  > RSET
        < 250 ok  * close
        ! closed  = Done -1 AUTH FAILED: the password holds characters SASLprep does not allow | DONE(FAIL))"},
};
INSTANTIATE_TEST_SUITE_P(Auth, SmtpScript, ::testing::ValuesIn(kAuth), RowName);

std::function<void(SmtpDriver&)> Timeouts(long connect, long trans) {
    return [=](SmtpDriver& d) {
        d.control->ConnectTimeout(connect);
        d.control->TransTimeout(trans);
    };
}

// KeepSession with this idle time, and Pipelining.
std::function<void(SmtpDriver&)> Kept(long idle, bool keep = true, bool pipelining = false) {
    return [=](SmtpDriver& d) {
        d.control->KeepSession(keep);
        d.control->SessionIdleTime(idle);
        d.control->Pipelining(pipelining);
    };
}

// One message in a kept session, from the reply to MAIL on.
#define KEPT_MESSAGE                                                  \
    "< 250 ok  > RCPT TO:<r1@example.jp>\n< 250 ok  > DATA\n"         \
    "< 354 go ahead  > X-TALVORN: zef smtpZef 0.1  > Subject: x  >\n" \
    "! sent  = MoreData 1  >  > .\n< 250 queued  = Done 0 - | DONE(COMPLETE)\n"
#define KEPT_FIRST \
    "< 220 ready  > EHLO client.example\n< 250 hello  > MAIL FROM:<a@example.jp>\n" KEPT_MESSAGE
#define RECONNECT                                           \
    "* connect mx.example:25 0 tls=0 verify\n! connected\n" \
    "< 220 ready  > EHLO client.example\n< 250 hello  > MAIL FROM:<a@example.jp>\n"

// A kept, pipelined session up to the first 354; then the end of data with the next message's
// envelope behind it, as EndOfData starts it.
#define PIPELINED_FIRST                                                  \
    "< 220 ready  > EHLO client.example\n< 250-mx\\r\\n250 PIPELINING  " \
    "> MAIL FROM:<a@example.jp>  > RCPT TO:<r1@example.jp>  > DATA\n"    \
    "< 250 ok\\r\\n250 ok\\r\\n354 go ahead  > X-TALVORN: zef smtpZef 0.1  > Subject: x  >\n"
#define END_AND_NEXT                                                          \
    "! sent  = MoreData 1  = EndOfData  >  > .  > MAIL FROM:<a@example.jp>  " \
    "> RCPT TO:<r1@example.jp>  > DATA\n"

const Row kEndings[] = {
    {"KeptSessionCarriesTheNextMessageAndQuitsWhenIdle", Kept(2),
     KEPT_FIRST "! tick 2\n! smtp mx.example  > MAIL FROM:<a@example.jp>\n" KEPT_MESSAGE
                R"(! tick 2
        ! tick 1  > QUIT
        < 221 bye  * close
        ! closed
        ! smtp mx.example  * connect mx.example:25 0 tls=0 verify)"},
    {"RefusedMessageIsResetAndAnotherServerGetsItsOwnSession", Kept(30),
     R"(< 220 ready  > EHLO client.example
        < 250 hello  > MAIL FROM:<a@example.jp>
        < 250 ok  > RCPT TO:<r1@example.jp>
        < 550 5.1.1 no such user  > RSET
        < 250 reset  = Done -1 550 5.1.1 no such user | DONE(FAIL)
        ! smtp mx.example  > MAIL FROM:<a@example.jp>
        < 452 too many  > RSET
        < 250 reset  = Done -1 452 too many | DONE(FAIL)
        ! smtp other.example  > QUIT
        < 221 bye  * close
        ! closed  * connect other.example:25 0 tls=0 verify
        ! connected
        < 220 other  > EHLO client.example)"},
    {"IdleSessionTheServerEndedIsNoError", Kept(30),
     KEPT_FIRST "! closed\n! smtp mx.example  " RECONNECT KEPT_MESSAGE
                R"(< 421 idle too long  * close
        ! closed
        ! smtp mx.example  * connect mx.example:25 0 tls=0 verify)"},
    {"ReusedSessionFoundEndedConnectsAnewOnce", Kept(30),
     KEPT_FIRST "! smtp mx.example  > MAIL FROM:<a@example.jp>\n< 421 timeout  * close\n"
                "! closed  " RECONNECT KEPT_MESSAGE
                R"(! smtp mx.example  > MAIL FROM:<a@example.jp>
        ! closed  * connect mx.example:25 0 tls=0 verify
        ! closed  = Done -2 UNEXPECTED DISCONNECT | DONE(FAIL UNEXPECTED DISCONNECT))"},
    {"CloseSessionQuitsAtOnceOrAfterTheRunningSend", Kept(0), KEPT_FIRST R"(! tick 100
        ! closesession  > QUIT
        < 221 bye  * close
        ! closed
        ! smtp mx.example  )" RECONNECT R"(! closesession
        < 250 ok  > RCPT TO:<r1@example.jp>
        < 250 ok  > DATA
        < 354 go ahead  > X-TALVORN: zef smtpZef 0.1  > Subject: x  >
        ! sent  = MoreData 1  >  > .
        < 250 queued  > QUIT
        < 221 bye  * close
        ! closed  = Done 0 - | DONE(COMPLETE))"},
    {"ConnectTimeoutOfThreeFiresOnTheFourthTick", Timeouts(3, 0),
     R"(! smtp mx.example Subject: x\r\n\r\n  * connect mx.example:25 0 tls=0 verify
        ! tick 3
        ! tick 1  * close
        ! tick 5
        ! closed  = Done -3 connect timeout | DONE(FAIL))"},
    {"LimitsBelowOneNeverFire", Timeouts(0, -5),
     R"(! smtp mx.example Subject: x\r\n\r\n  * connect mx.example:25 0 tls=0 verify
        ! tick 1000
        ! connected
        ! tick 1000
        < 220 ready  > HELO client.example
        ! tick 1000)"},
    {"ConnectedSwitchesToTheTransferGuard", Timeouts(10, 2),
     R"(! smtp mx.example Subject: x\r\n\r\n  * connect mx.example:25 0 tls=0 verify
        ! tick 5
        ! connected
        ! tick 2
        ! tick 1  * close
        ! closed  = Done -4 trans timeout | DONE(FAIL))"},
    {"EverySocketEventRestartsTheTransferGuard", Timeouts(0, 2),
     R"(! tick 2
        < 220 ready  > HELO client.example
        ! tick 2
        ! sent
        ! tick 2
        ! tick 1  * close
        ! closed  = Done -4 trans timeout | DONE(FAIL))"},
    {"UnansweredQuitEndsWithTransTimeout", Timeouts(0, 1), TO_DATA R"(! sent  = MoreData 1  >  > .
        < 250 queued  > QUIT
        ! tick 2  * close
        ! closed  = Done -4 trans timeout | DONE(FAIL))"},
    {"ServerClosingAfterA421", nullptr,
     R"(< 421 too busy  > RSET
        ! closed  = Done -1 421 too busy | DONE(FAIL))"},
    {"DroppedDuringTheBody", [](SmtpDriver& d) { d.data = {Utf16("line 1\r\n")}; },
     TO_DATA R"(! sent  = MoreData 1  > line 1
        ! closed  = Done -2 UNEXPECTED DISCONNECT | DONE(FAIL UNEXPECTED DISCONNECT)
        ! sent)"},
    {"SocketErrorIsReportedWhenTheConnectionCloses", Timeouts(0, 5),
     R"(! error 111 Connection refused
        ! closed  = Done 111 Connection refused | DONE(FAIL))"},
    {"SocketErrorZeroIsUnexpected", nullptr,
     R"(! error 0 nothing
        ! closed  = Done -2 UNEXPECTED DISCONNECT | DONE(FAIL UNEXPECTED DISCONNECT))"},
    {"TimeOutReplacesAnEarlierSocketError", Timeouts(1, 0),
     R"(! smtp mx.example Subject: x\r\n\r\n  * connect mx.example:25 0 tls=0 verify
        ! error 113 No route to host
        ! tick 2  * close
        ! closed  = Done -3 connect timeout | DONE(FAIL))"},
    {"SocketEventsWithoutASendDoNothing", Timeouts(1, 1),
     R"(! idle
        ! traces
        ! connected
        < 220 stray
        ! sent
        ! tick 3
        ! closed
        ! tick 3)"},
    {"SocketTracesOnlyWithTcpTraceOn", nullptr,
     R"(! traces
        ! trace connecting to 192.0.2.1:25)"},
    {"SocketTracesWithTcpTraceOn", [](SmtpDriver& d) { d.control->TcpTraceOn(true); },
     R"(! traces
        ! trace connecting to 192.0.2.1:25  T connecting to 192.0.2.1:25)"},
    {"ThrowingTraceHandlerEndsTheSend",
     [](SmtpDriver& d) {
         d.control->Trace = [](const Text&) { throw std::runtime_error("trace window gone"); };
     },
     R"(< 220 ready  * close
        < 250 more
        ! closed  = Done -1 UNEXPECTED ERROR: trace window gone | DONE(FAIL))"},
    {"ErrorFromMoreDataKeepsItsNumberAndText",
     [](SmtpDriver& d) {
         d.control->TransTimeout(3);
         d.control->MoreData = [](long, Bytes&) { throw Error(1234, "app", u"file vanished"); };
     },
     TO_DATA R"(! sent  * close
        ! tick 10
        ! closed  = Done 1234 file vanished | DONE(FAIL))"},
};
INSTANTIATE_TEST_SUITE_P(Endings, SmtpScript, ::testing::ValuesIn(kEndings), RowName);

// A start refused before anything goes out: Done and the caption say why, and the control is
// idle again, so a second start is refused the same way rather than with error 59.
Row Refusal(const char* name, const Variant& to, const char16_t* from, const char* header,
            const char* message, const std::function<void(smtpZef&)>& more = nullptr) {
    const std::string start = std::string("! smtp mx.example ") + header;
    const std::string done = std::string("  = Done -1 ") + message + " | " + message + "\n";
    return {name,
            [=](SmtpDriver& d) {
                d.control->ToAddr(to);
                d.control->FromAddr(from);
                if (more) {
                    more(*d.control);
                }
            },
            start + done + start + done};
}

const Variant kNone;
const Variant kTo(u"b@example.jp");

const Row kRefusals[] = {
    Refusal("NoRecipient", kNone, u"", "From: a@example.jp\\r\\n", "NO RECIPIENT ADDRESS"),
    Refusal("HeaderWithoutCrLf", kNone, u"a@example.jp", "To: b@example.jp",
            "NO RECIPIENT ADDRESS"),
    // ToAddr gives the recipients, so the header's From is never read.
    Refusal("NoFromWhenToAddrSet", kTo, u"  ", "From: a@example.jp\\r\\n", "NO FROM ADDRESS"),
    Refusal("UpperCaseSubtype", kTo, u"a@example.jp", "-", "INVALID MimeMultipartSubType",
            [](smtpZef& c) { c.MimeMultipart(u"MIXED"); }),
    Refusal("LineBreakInToAddr", Variant(u"b@example.jp\r\nRSET"), u"a@example.jp", "-",
            "INVALID CHARACTER IN ToAddr"),
    Refusal("LineBreakInAnArrayElement",
            Variant(StringArray::OneBased({u"ok@example.jp", u"b@example.jp\nDATA"})),
            u"a@example.jp", "-", "INVALID CHARACTER IN ToAddr"),
    Refusal("LineBreakInFromAddr", kTo, u"a@example.jp\rQUIT", "-",
            "INVALID CHARACTER IN FromAddr"),
    Refusal("LineBreakInAHeaderAddress", kNone, u"",
            "From: a@example.jp\\nRCPT TO:<x@evil>\\r\\nTo: b@example.jp\\r\\n",
            "INVALID CHARACTER IN MailHeader"),
    Refusal("LineBreakInAHeaderRecipient", kNone, u"a@example.jp",
            "To: a@example.net, b@example.net\\r\\r\\nSubject: x\\r\\n",
            "INVALID CHARACTER IN MailHeader"),
    Refusal("LineBreakInHostname", kTo, u"a@example.jp", "-", "INVALID CHARACTER IN Hostname",
            [](smtpZef& c) { c.Hostname(u"me\r\nMAIL FROM:<x>"); }),
    Refusal("LineBreakInUser", kTo, u"a@example.jp", "-", "INVALID CHARACTER IN User",
            [](smtpZef& c) {
                c.Auth(2);
                c.User(u"tim\n");
            }),
    // PLAIN joins user and password with NULs: a NUL in either would change the credentials.
    Refusal("NulInPlainUser", kTo, u"a@example.jp", "-", "INVALID CHARACTER IN User",
            [](smtpZef& c) {
                c.Auth(3);
                c.User(Text(u"ti\0m", 4));
            }),
    Refusal("NulInPlainPass", kTo, u"a@example.jp", "-", "INVALID CHARACTER IN Pass",
            [](smtpZef& c) {
                c.Auth(3);
                c.Pass(Text(u"p\0w", 3));
            }),
    {"GiantHeaderOverflows",
     [](SmtpDriver& d) {
         d.control->ToAddr(kNone);
         d.header = u"To: b@example.jp\r\nX-Long: " + Text(40000, u'x') + u"\r\n";
     },
     "! smtp mx.example\n= Done 6 Overflow | Overflow\n! smtp mx.example\n= Done 6 Overflow | "
     "Overflow"},
    {"PartialRecipientsGoOnToDataAndCountTheRefused",
     [](SmtpDriver& d) {
         d.control->AcceptPartialRecipients(true), d.control->AutoAuth(true);
         d.control->ToAddr(StringArray::OneBased({u"r1@x.jp", u"r2@x.jp", u"r3@x.jp"}));
         d.LogServerEvents();
     },
     R"(< 220 ready  > EHLO client.example
        < 250-mx\r\n250 ENHANCEDSTATUSCODES  = Capabilities ENHANCEDSTATUSCODES
        > MAIL FROM:<a@example.jp>
        < 250 2.1.0 ok  > RCPT TO:<r1@x.jp>
        < 550 5.1.1 unknown  = RecipientRefused r1@x.jp 550 5.1.1 unknown 5.1.1  > RCPT TO:<r2@x.jp>
        < 250 ok  > RCPT TO:<r3@x.jp>
        < 451 4.2.0 later  = RecipientRefused r3@x.jp 451 4.2.0 later 4.2.0  > DATA
        < 354 go ahead  > X-TALVORN: zef smtpZef 0.1  > Subject: x  >
        ! sent  = MoreData 1  >  > .
        < 250 queued  > QUIT
        < 221 bye  * close
        ! closed  = Done 0 2 OF 3 RECIPIENTS REFUSED | DONE(COMPLETE))"},
    {"PartialRecipientsAllRefusedFail",
     [](SmtpDriver& d) { d.control->AcceptPartialRecipients(true), d.LogServerEvents(); },
     R"(< 220 ready  > HELO client.example
        < 250 hello  > MAIL FROM:<a@example.jp>
        < 250 ok  > RCPT TO:<r1@example.jp>
        < 550 5.1.1 no  = RecipientRefused r1@example.jp 550 5.1.1 no -  > RSET
        ! closed  = Done -1 550 5.1.1 no | DONE(FAIL))"},
};
INSTANTIATE_TEST_SUITE_P(Refusals, SmtpScript, ::testing::ValuesIn(kRefusals), RowName);

// The envelope of each way of giving the recipients, up to DATA.
Row Envelope(const char* name, const Variant& to, const Text& from, const Text& header,
             const std::string& envelope) {
    std::string script = "< 220 ready  > HELO client.example\n< 250 hello";
    for (const std::string& line : Lines(envelope)) {
        script += "  > " + line + "\n< 250 ok";
    }
    return {name,
            [=](SmtpDriver& d) {
                d.control->ToAddr(to);
                d.control->FromAddr(from);
                d.header = header;
            },
            script + "  > DATA"};
}

const char16_t* const kHeaderTo = u"From: Aa <a@example.jp>\r\nTo: h@example.jp\r\n\r\n";
const char* const kFromHeader = "MAIL FROM:<a@example.jp>\r\nRCPT TO:<h@example.jp>\r\n";

const Row kEnvelopes[] = {
    Envelope("StringToAddrIsOneRecipient", kTo, u"a@example.jp", u"To: header@example.jp\r\n",
             "MAIL FROM:<a@example.jp>\r\nRCPT TO:<b@example.jp>\r\n"),
    Envelope("ArrayGivesItsNonBlankElementsInOrder",
             Variant(StringArray::OneBased({u"b@example.jp", u"   ", u"Cee <c@example.jp>"})),
             u"a@example.jp", u"",
             "MAIL FROM:<a@example.jp>\r\nRCPT TO:<b@example.jp>\r\nRCPT TO:<c@example.jp>\r\n"),
    // An element 0, or a value of another type, gives none: the header is read.
    Envelope("ArrayElementZero", Variant(StringArray{0, {u"zero@example.jp"}}), u"", kHeaderTo,
             kFromHeader),
    Envelope("NumberToAddr", Variant(7L), u"", kHeaderTo, kFromHeader),
    Envelope("EmptyToAddr", kNone, u"", kHeaderTo, kFromHeader),
    Envelope("BooleanToAddr", Variant(true), u"", kHeaderTo, kFromHeader),
    Envelope("HeaderFieldsFoldingCommasAndTheEndOfTheHeader", kNone, u"",
             u"from: Old <old@example.jp>\r\n"
             u"To: \"Sato, Taro\" <t@example.jp>, u@example.jp,\r\n \tv@example.jp\r\n"
             u"Subject: Cc: not@example.jp\r\nCC: w@example.jp\r\n"
             u"Bcc: x@example.jp (hidden)\r\nFrom: Hanako <h@example.jp>\r\n\r\n"
             u"To: body@example.jp\r\n",
             "MAIL FROM:<h@example.jp>\r\n"
             "RCPT TO:<\"Sato>\r\n"  // the quoted comma splits, as a plain comma does
             "RCPT TO:<t@example.jp>\r\nRCPT TO:<u@example.jp>\r\nRCPT TO:<v@example.jp>\r\n"
             "RCPT TO:<w@example.jp>\r\nRCPT TO:<x@example.jp >\r\n"),
    Envelope("FromAddrOverridesTheHeaderFrom", kNone, u"me@example.jp",
             u"From: other@example.jp\r\nTo: b@example.jp\r\n",
             "MAIL FROM:<me@example.jp>\r\nRCPT TO:<b@example.jp>\r\n"),
    Envelope("TextAfterTheLastCrLfIsNotRead", kNone, u"a@example.jp",
             u"To: b@example.jp\r\nCc: c@example.jp",
             "MAIL FROM:<a@example.jp>\r\nRCPT TO:<b@example.jp>\r\n"),
};
INSTANTIATE_TEST_SUITE_P(Envelopes, SmtpScript, ::testing::ValuesIn(kEnvelopes), RowName);

// What the message needs of the server's extensions, and what a server without them gets.
const Row kExtensions[] = {
    {"DsnParametersGoWhereTheServerOffersDsn",
     [](SmtpDriver& d) {
         d.control->DsnNotify(u"success,Failure");
         d.control->DsnReturn(u"hdrs");
         d.control->DsnEnvelopeId(u"q+1=x y");
     },
     R"(< 220 ready  > EHLO client.example
        < 250-mx\r\n250 DSN  > MAIL FROM:<a@example.jp> RET=HDRS ENVID=q+2B1+3Dx+20y
        < 250 ok  > RCPT TO:<r1@example.jp> NOTIFY=SUCCESS,FAILURE)"},
    {"DsnIsDroppedWithoutTheOfferAndTheNullSenderKeepsItsBrackets",
     [](SmtpDriver& d) {
         d.control->DsnNotify(u"NEVER"), d.control->DsnReturn(u"FULL");
         d.control->FromAddr(u"<>");
         d.control->AngleBracketType(1);
     },
     R"(< 220 ready  > EHLO client.example
        < 250-mx\r\n250 8BITMIME  > MAIL FROM:<>
        < 250 ok  > RCPT TO:r1@example.jp)"},
    {"PipelinedEnvelopeReportsRefusedRecipientsAsBefore",
     [](SmtpDriver& d) {
         d.control->AcceptPartialRecipients(true), d.control->Pipelining(true);
         d.control->ToAddr(StringArray::OneBased({u"r1@x.jp", u"r2@x.jp", u"r3@x.jp"}));
         d.LogServerEvents();
     },
     R"(< 220 ready  > EHLO client.example
        < 250-mx\r\n250 PIPELINING  = Capabilities PIPELINING  > MAIL FROM:<a@example.jp>
        > RCPT TO:<r1@x.jp>  > RCPT TO:<r2@x.jp>  > RCPT TO:<r3@x.jp>  > DATA
        < 250 ok\r\n250 ok\r\n550 no r2\r\n250 ok\r\n354 go ahead
        = RecipientRefused r2@x.jp 550 no r2 -  > X-TALVORN: zef smtpZef 0.1  > Subject: x  >
        ! sent  = MoreData 1  >  > .
        < 250 queued  > QUIT
        < 221 bye  * close
        ! closed  = Done 0 1 OF 3 RECIPIENTS REFUSED | DONE(COMPLETE))"},
    {"PipelinedRefusedRecipientKeepsTheMessageFromGoing",
     [](SmtpDriver& d) {
         d.control->Pipelining(true);
         d.control->ToAddr(StringArray::OneBased({u"r1@example.jp", u"r2@example.jp"}));
     },
     R"(< 220 ready  > EHLO client.example
        < 250-mx\r\n250 PIPELINING  > MAIL FROM:<a@example.jp>  > RCPT TO:<r1@example.jp>
        > RCPT TO:<r2@example.jp>  > DATA
        < 250 ok\r\n550 no r1\r\n250 ok\r\n354 go ahead  * close
        ! closed  = Done -1 550 no r1 | DONE(FAIL))"},
    {"PipelinedRefusedMailInAKeptSession", Kept(30, true, true),
     R"(< 220 ready  > EHLO client.example
        < 250-mx\r\n250 PIPELINING  > MAIL FROM:<a@example.jp>  > RCPT TO:<r1@example.jp>  > DATA
        < 553 bad sender\r\n503 need MAIL\r\n503 need MAIL  > RSET
        < 250 reset  = Done -1 553 bad sender | DONE(FAIL)
        ! smtp mx.example  > MAIL FROM:<a@example.jp>  > RCPT TO:<r1@example.jp>  > DATA
        < 250 ok\r\n250 ok\r\n354 go ahead  > X-TALVORN: zef smtpZef 0.1  > Subject: x  >
        ! sent  = MoreData 1  >  > .
        < 250 queued  = Done 0 - | DONE(COMPLETE))"},
    {"PipeliningWithoutTheServersOfferGoesOneAtATime", Kept(30, false, true),
     R"(< 220 ready  > EHLO client.example
        < 250-mx\r\n250 8BITMIME  > MAIL FROM:<a@example.jp>
        < 250 ok  > RCPT TO:<r1@example.jp>)"},
    // EndOfData: the next message's envelope behind the end of data, each reply to its message.
    {"NextMessageGoesBehindTheEndOfDataAndEachGetsItsDone",
     [](SmtpDriver& d) {
         Kept(30, true, true)(d);
         d.control->AcceptPartialRecipients(true);
         d.control->ToAddr(StringArray::OneBased({u"r1@x.jp", u"r2@x.jp"}));
     },
     R"(< 220 ready  > EHLO client.example
        < 250-mx\r\n250 PIPELINING  > MAIL FROM:<a@example.jp>  > RCPT TO:<r1@x.jp>
        > RCPT TO:<r2@x.jp>  > DATA
        < 250 ok\r\n250 ok\r\n550 no r2\r\n354 go ahead  > X-TALVORN: zef smtpZef 0.1  > Subject: x  >
        ! next mx.example Subject: y\r\n\r\n
        ! sent  = MoreData 1  = EndOfData  >  > .  > MAIL FROM:<a@example.jp>  > RCPT TO:<r1@x.jp>
        > RCPT TO:<r2@x.jp>  > DATA
        < 250 queued\r\n250 ok\r\n250 ok\r\n250 ok\r\n354 go ahead
        = Done 0 1 OF 2 RECIPIENTS REFUSED | DONE(COMPLETE)  > X-TALVORN: zef smtpZef 0.1
        > Subject: y  >
        ! sent  = MoreData 1  = EndOfData  >  > .
        < 250 queued  = Done 0 - | DONE(COMPLETE))"},
    {"FailedEndOfDataFailsOnlyItsMessage", Kept(30, true, true),
     PIPELINED_FIRST "! next mx.example\n" END_AND_NEXT
                     R"(< 554 5.6.0 rejected  = Done -1 554 5.6.0 rejected | DONE(FAIL)
        < 250 ok\r\n250 ok\r\n354 go ahead  > X-TALVORN: zef smtpZef 0.1  > Subject: x  >
        ! sent  = MoreData 1  = EndOfData  >  > .
        < 250 queued  = Done 0 - | DONE(COMPLETE))"},
    {"NextMessagesRefusedRecipientIsReportedOnIt", Kept(30, true, true),
     PIPELINED_FIRST
     "! next mx.example\n" END_AND_NEXT
     R"(< 250 queued\r\n250 ok\r\n550 no r1\r\n503 no recipients  = Done 0 - | DONE(COMPLETE)
        > RSET
        < 250 reset  = Done -1 550 no r1 | DONE(FAIL)
        ! smtp mx.example  > MAIL FROM:<a@example.jp>  > RCPT TO:<r1@example.jp>  > DATA)"},
    {"LostBeforeTheEndOfDataReplyTheNextConnectsAnew", Kept(30, true, true),
     PIPELINED_FIRST "! next mx.example\n" END_AND_NEXT
                     R"(! closed  = Done -2 UNEXPECTED DISCONNECT | DONE(FAIL)
        * connect mx.example:25 0 tls=0 verify
        ! connected
        < 220 ready  > EHLO client.example)"},
    {"NextSendRefusedAtOnceIsDoneRightAfter",
     [](SmtpDriver& d) {
         Kept(30, true, true)(d);
         d.control->ToAddr(Variant());
         d.header = u"To: r1@example.jp\r\n\r\n";
     },
     R"(< 220 ready  > EHLO client.example
        < 250-mx\r\n250 PIPELINING  > MAIL FROM:<a@example.jp>  > RCPT TO:<r1@example.jp>  > DATA
        < 250 ok\r\n250 ok\r\n354 go ahead  > X-TALVORN: zef smtpZef 0.1  > To: r1@example.jp  >
        ! next mx.example Subject: to nobody\r\n\r\n
        ! sent  = MoreData 1  = EndOfData  >  > .
        < 250 queued  = Done 0 - | DONE(COMPLETE)  = Done -1 NO RECIPIENT ADDRESS | DONE(FAIL))"},
    {"NextSendToAnotherServerRaises59AndEndsTheMessage", Kept(30, true, true),
     PIPELINED_FIRST R"(! next other.example
        ! sent  = MoreData 1  = EndOfData  * close
        ! closed  = Done 59 \xE5\x87\xA6\xE7\x90\x86\xE4\xB8\xAD\xE3\x81\xA7\xE3\x81\x99\xE3\x80\x82 | DONE(FAIL))"},
    {"Utf8LocalPartWithoutSmtpUtf8EndsBeforeMailFrom",
     [](SmtpDriver& d) { d.control->ToAddr(u"\u5C71\u7530@example.jp"); },
     R"(< 220 ready  > EHLO client.example
        < 250-hello\r\n250 8BITMIME  > QUIT
        < 221 bye  * close
        ! closed  = Done -1 SMTPUTF8 NOT OFFERED: \xE5\xB1\xB1\xE7\x94\xB0@example.jp | DONE(FAIL))"},
    {"IdnDomainWithoutSmtpUtf8IsItsALabelInEnvelopeAndHeader",
     [](SmtpDriver& d) {
         d.control->ToAddr(u"bob@\u4F8B\u3048.jp");
         d.header = u"To: Bob <bob@\u4F8B\u3048.jp>\r\n";
     },
     R"(< 220 ready  > EHLO client.example
        < 250 hello  > MAIL FROM:<a@example.jp>
        < 250 ok  > RCPT TO:<bob@xn--r8jz45g.jp>
        < 250 ok  > DATA
        < 354 go ahead  > X-TALVORN: zef smtpZef 0.1  > To: Bob <bob@xn--r8jz45g.jp>)"},
    {"SmtpUtf8CarriesTheAddressAsWrittenWith8BitMime",
     [](SmtpDriver& d) { d.control->ToAddr(u"\u5C71\u7530@\u4F8B\u3048.jp"); },
     R"(< 220 ready  > EHLO client.example
        < 250-hello\r\n250-8BITMIME\r\n250 SMTPUTF8  > MAIL FROM:<a@example.jp> BODY=8BITMIME SMTPUTF8
        < 250 ok  > RCPT TO:<\xE5\xB1\xB1\xE7\x94\xB0@\xE4\xBE\x8B\xE3\x81\x88.jp>)"},
    {"Body8BitWithout8BitMimeEndsBeforeMailFrom", [](SmtpDriver& d) { d.control->Body8Bit(true); },
     R"(< 220 ready  > EHLO client.example
        < 250 hello  > QUIT
        < 221 bye  * close
        ! closed  = Done -1 8BITMIME NOT OFFERED | DONE(FAIL))"},
    {"Utf8EncodedWordsNeverCutAFourByteCharacter",
     [](SmtpDriver& d) {
         d.control->TextCharset(u"utf-8");
         d.header = u"Subject: ca\u00E9";
         for (int i = 0; i < 15; ++i) {
             d.header += u"\U0001F389";
         }
         d.header += u"\r\n";
     },
     R"(< 220 ready  > HELO client.example
        < 250 hello  > MAIL FROM:<a@example.jp>
        < 250 ok  > RCPT TO:<r1@example.jp>
        < 250 ok  > DATA
        < 354 go ahead  > X-TALVORN: zef smtpZef 0.1
        > Subject: =?UTF-8?B?Y2HDqfCfjonwn46J8J+OifCfjonwn46J8J+OifCfjonwn46J8J+OiQ==?=
        >  =?UTF-8?B?8J+OifCfjonwn46J8J+OifCfjonwn46J?=)",
     true, Parts{true, true}},
};
INSTANTIATE_TEST_SUITE_P(Extensions, SmtpScript, ::testing::ValuesIn(kExtensions), RowName);

// Command lines go out as they are, however long: the real header encoder folds only the
// header block.
TEST(SmtpCommands, LongCommandLinesAreNotFolded) {
    const std::string host = "host-" + std::string(80, 'h') + ".example";
    ExpectScript(
        [&] {
            auto d = std::make_unique<SmtpDriver>(Parts{true, true});
            d->control->FromAddr(u"Sender Name <" + Text(90, u's') + u"@example.jp>");
            d->control->ToAddr(u"Recipient Name <" + Text(90, u'r') + u"@example.net>");
            d->control->Hostname(T(host));
            return d;
        },
        "< 220 ready\n> HELO " + host + "\n< 250 hello\n> MAIL FROM:<" + std::string(90, 's') +
            "@example.jp>\n< 250 ok\n> RCPT TO:<" + std::string(90, 'r') + "@example.net>");
}

// --- the header block and the body ---

#define TO_DATA_MIME                                                                \
    "< 220 ready  > HELO client.example\n< 250 hello  > MAIL FROM:<a@example.jp>\n" \
    "< 250 ok  > RCPT TO:<r1@example.jp>\n< 250 ok  > DATA\n"                       \
    "< 354 go ahead  > X-TALVORN: zef smtpZef 0.1  > MIME-Version: 1.0\n"           \
    "> Content-Type: multipart/mixed;  > \\tcharset=iso-2022-jp;\n"                 \
    "> \\tboundary=\"-----_=_Boundary_T_1_1\"  > Subject: x  >  >  >\n"             \
    "> This message is in MIME format.\\x20\n"

std::function<void(SmtpDriver&)> Mime(const std::vector<std::vector<const char*>>& heads,
                                      const std::vector<Bytes>& bodies,
                                      const char16_t* subtype = u"mixed") {
    return [=](SmtpDriver& d) {
        d.control->MimeMultipart(subtype);
        for (const auto& head : heads) {
            std::vector<Text> texts;
            texts.reserve(head.size());
            for (const char* field : head) {
                texts.push_back(T(field));
            }
            d.heads.push_back(texts);
        }
        d.bodies.assign(bodies.begin(), bodies.end());
    };
}

#define RAW_TO_DATA                                                                 \
    "< 220 ready  > EHLO client.example\n< 250 hello  > MAIL FROM:<a@example.jp>\n" \
    "< 250 ok  > RCPT TO:<r1@example.jp>\n< 250 ok  > DATA\n"

const Row kBody[] = {
    {"BodyWriteSizeGathersTurnsIntoWritesOfThatSize",
     [](SmtpDriver& d) {
         d.control->BodyWriteSize(50);
         d.data = {Utf16("one\r\n"), Utf16("two\r\n"), Utf16("three\r\n")};
     },
     R"(< 220 ready  > HELO client.example
        < 250 hello  > MAIL FROM:<a@example.jp>
        < 250 ok  > RCPT TO:<r1@example.jp>
        < 250 ok  > DATA
        < 354 go ahead  = MoreData 1  = MoreData 2  > X-TALVORN: zef smtpZef 0.1  > Subject: x  >
        > one  > two
        ! sent  = MoreData 3  = MoreData 4  > three  >  > .)"},
    {"PlainBodyPiecesThenTheDot",
     [](SmtpDriver& d) {
         d.data = {Utf16("first line\r\n"), Utf16("second line\r\n")};
     },
     TO_DATA R"(! traces
        ! sent  = MoreData 1  T >>Sending More Data ...  > first line
        ! sent  = MoreData 2  T >>Sending More Data ...  > second line
        ! sent  = MoreData 3  T >>Sending Dot(EOF) ...  >  > .
        ! sent
        < 250 queued  T 250 queued  T >>QUIT\x20  > QUIT)"},
    {"UnsetMoreDataSendsTheDot", [](SmtpDriver& d) { d.control->MoreData = nullptr; },
     TO_DATA R"(! traces
        ! sent  T >>Sending Dot(EOF) ...  >  > .)"},
    {"ApplicationLinesAreNotDotStuffed", [](SmtpDriver& d) { d.data = {Utf16(".a\r\n")}; },
     TO_DATA R"(! sent  = MoreData 1  > .a
        ! sent  = MoreData 2  >  > .)"},
    {"APieceOfNoWholeCodeUnitMovesOnAtOnce", [](SmtpDriver& d) { d.data = {"A"}; },
     TO_DATA R"(! sent  = MoreData 1  = MoreData 2  >  > .)"},
    {"TheHeaderDotsAreStuffed",
     [](SmtpDriver& d) { d.header = u".\r\nSubject: a\r\n.hidden: b\r\n..two\r\n\r\n.body\r\n"; },
     R"(< 220 ready  > HELO client.example
        < 250 hello  > MAIL FROM:<a@example.jp>
        < 250 ok  > RCPT TO:<r1@example.jp>
        < 250 ok  > DATA
        < 354 go ahead  > X-TALVORN: zef smtpZef 0.1  > ..  > Subject: a  > ..hidden: b  > ...two  >
        > ..body)"},
    // Lone LF and CR between header lines go out as CR LF, and the dot stuffing sees them so.
    {"BareLineEndsInTheHeaderGoOutAsCrLf",
     [](SmtpDriver& d) { d.header = u"Subject: x\n.\rX-A: b\r\n\n\r.c"; },
     R"(< 220 ready  > HELO client.example
        < 250 hello  > MAIL FROM:<a@example.jp>
        < 250 ok  > RCPT TO:<r1@example.jp>
        < 250 ok  > DATA
        < 354 go ahead  > X-TALVORN: zef smtpZef 0.1  > Subject: x  > ..  > X-A: b  >  >  >~ ..c)"},
    {"HeaderEncodingEndsAtTheFirstEmptyLine",
     [](SmtpDriver& d) {
         d.codec->markHeaders = true;
         d.header = u"Subject: x\r\n\r\nfirst\r\n";
         d.data = {Utf16("body\r\n")};
     },
     R"(< 220 ready  > HELO client.example
        < 250 hello  > MAIL FROM:<a@example.jp>
        < 250 ok  > RCPT TO:<r1@example.jp>
        < 250 ok  > DATA
        < 354 go ahead  > {X-TALVORN: zef smtpZef 0.1  > Subject: x  >  > }first
        ! sent  = MoreData 1  > body)"},
    {"WithoutAnEmptyLineTheBodyIsEncodedToo",
     [](SmtpDriver& d) {
         d.codec->markHeaders = true;
         d.header = u"Subject: x\r\n";
         d.data = {Utf16("\r\nbody\r\n"), Utf16("more\r\n\r\nafter\r\n")};
     },
     R"(< 220 ready  > HELO client.example
        < 250 hello  > MAIL FROM:<a@example.jp>
        < 250 ok  > RCPT TO:<r1@example.jp>
        < 250 ok  > DATA
        < 354 go ahead  > {X-TALVORN: zef smtpZef 0.1  > Subject: x  >~ }
        ! sent  = MoreData 1  > {  > body  >~ }
        ! sent  = MoreData 2  > {more  >  > }after)"},
    // RawMessage: the header and the bytes as written, with only line ends and dots made safe.
    {"RawMessageAsWrittenWithCrLfLineEndsAndStuffedDots",
     [](SmtpDriver& d) {
         d.control->RawMessage(true);
         d.header = u"Subject: caf\u00e9\n.X: y\r\n\r\n";
         d.data = {".a\nb\xFF\xE9\r", "\n.\r\n", "\r", "tail\n\r"};
     },
     R"(< 220 ready  > EHLO client.example
        < 250-hello\r\n250-8BITMIME\r\n250 SMTPUTF8  > MAIL FROM:<a@example.jp> BODY=8BITMIME SMTPUTF8
        < 250 ok  > RCPT TO:<r1@example.jp>
        < 250 ok  > DATA
        < 354 go ahead  > Subject: caf\xC3\xA9  > ..X: y  >
        ! sent  = MoreData 1  > ..a  >~ b\xFF\xE9
        ! sent  = MoreData 2  >  > ..
        ! sent  = MoreData 3  = MoreData 4  >  > tail
        ! sent  = MoreData 5  >  > .)"},
    {"RawMessageEndingInALineEndGetsTheDotAlone",
     [](SmtpDriver& d) {
         d.control->RawMessage(true);
         d.header = u"";
         d.data = {"Subject: x\r\n\r\n" + std::string(998, 'x') + "\r\n"};
     },
     RAW_TO_DATA "< 354 go ahead  = MoreData 1  > Subject: x  >  > " + std::string(998, 'x') +
         "\n! sent  = MoreData 2  > ."},
    {"OutputWaitsWhileTheSocketCannotSend",
     [](SmtpDriver& d) {
         d.data = {Utf16("one\r\n"), Utf16("two\r\n"), Utf16("three\r\n")};
     },
     TO_DATA R"(! cansend 0
        ! sent  = MoreData 1
        ! sent  > one  = MoreData 2
        ! cansend 1
        ! sent  > two  = MoreData 3  > three
        ! sent  = MoreData 4  >  > .)"},
    {"CommandsWaitWhileTheSocketCannotSend", nullptr,
     R"(! cansend 0
        < 220 ready
        ! sent  > HELO client.example)"},
    {"MultipartHeaderBlockWithoutParts", Mime({{}}, {}), TO_DATA_MIME R"(! traces
        ! sent  = MimeHead 1 1 BINARY - - - - -  T >>Sending Dot(EOF) ...  >
        > -------_=_Boundary_T_1_1--  > .)"},
    {"EmptyCharsetLeavesTheParameterOut",
     [](SmtpDriver& d) {
         d.control->MimeMultipart(u"alternative");
         d.control->CharSet(u"");
     },
     R"(< 220 ready  > HELO client.example
        < 250 hello  > MAIL FROM:<a@example.jp>
        < 250 ok  > RCPT TO:<r1@example.jp>
        < 250 ok  > DATA
        < 354 go ahead  > X-TALVORN: zef smtpZef 0.1  > MIME-Version: 1.0
        > Content-Type: multipart/alternative;  > \tboundary="-----_=_Boundary_T_1_1"  > Subject: x
        >  >  >  > This message is in MIME format.\x20)"},
    {"NestedMultipartTurnByTurn",
     Mime({{"Unicode", "text/plain", "", "iso-2022-jp", "7bit", ""},
           {"", "multipart/alternative", "", "", "", ""},
           {"unicode", "text/plain", "", "", "", ""},
           {"U", "text/html", "", "utf-8", "8bit", "Content-ID: <x>\r\nX-A: 1"},
           {},
           {"Binary", "application/octet-stream", "a.bin", "", "base64", ""},
           {}},
          {Utf16("Hello\r\n"), "", Utf16("plain"), "", Utf16("<p>hi</p>"), "", "\x01\x02\x03",
           "\x04", ""}),
     TO_DATA_MIME R"(! sent  = MimeHead 1 1 BINARY - - - - -  >  > -------_=_Boundary_T_1_1
        > Content-Type: text/plain;  > \tcharset=iso-2022-jp  > Content-Transfer-Encoding: 7bit  >
        ! sent  = MimeBody 1 1  > Hello
        ! sent  = MimeBody 1 1  = MimeHead 1 2 BINARY - - - - -  = MimeHead 2 1 BINARY - - - - -  >
        > -------_=_Boundary_T_1_1  > Content-Type: multipart/alternative;  > \tcharset=iso-2022-jp;
        > \tboundary="-----_=_Boundary_T_2_2"  >  > -------_=_Boundary_T_2_2
        > Content-Type: text/plain  >
        ! sent  = MimeBody 2 1  >~ plain
        ! sent  = MimeBody 2 1  = MimeHead 2 2 BINARY - - - - -  >  > -------_=_Boundary_T_2_2
        > Content-Type: text/html;  > \tcharset=utf-8  > Content-Transfer-Encoding: 8bit
        > Content-ID: <x>  > X-A: 1  >
        ! sent  = MimeBody 2 2  >~ <p>hi</p>
        ! sent  = MimeBody 2 2  = MimeHead 2 3 BINARY - - - - -  = MimeHead 1 3 BINARY - - - - -  >
        > -------_=_Boundary_T_2_2--  >  > -------_=_Boundary_T_1_1
        > Content-Type: application/octet-stream;  > \tname="a.bin"
        > Content-Transfer-Encoding: base64  >
        ! sent  = MimeBody 1 3  > [B64:\x01\x02\x03]
        ! sent  = MimeBody 1 3  > [B64:\x04]
        ! sent  = MimeBody 1 3  = MimeHead 1 4 BINARY - - - - -  >  > -------_=_Boundary_T_1_1--
        > .
        ! sent
        < 250 queued  > QUIT
        < 221 bye  * close
        ! closed  = Done 0 - | DONE(COMPLETE))"},
    // UTF-8 text whose part asks for 7bit: base64 without 8BITMIME (q-p would triple kanji).
    {"Utf8TextPartWithout8BitMimeGoesInBase64",
     [](SmtpDriver& d) {
         Mime({{"Unicode", "text/plain", "", "", "7bit", ""}, {}}, {Utf16("\u4F1A"), ""})(d);
         d.control->TextCharset(u"utf-8");
     },
     TO_DATA_MIME R"(! sent  = MimeHead 1 1 BINARY - - - - -  >  > -------_=_Boundary_T_1_1
        > Content-Type: text/plain;  > \tcharset=utf-8  > Content-Transfer-Encoding: base64  >
        ! sent  = MimeBody 1 1  > [B64:\xE4\xBC\x9A])"},
    {"CapitalMultipartTypeIsALeafPart",
     Mime({{"B", "Multipart/Mixed", "", "", "", ""}, {}}, {"raw", ""}),
     TO_DATA_MIME R"(! sent  = MimeHead 1 1 BINARY - - - - -  >  > -------_=_Boundary_T_1_1
        > Content-Type: Multipart/Mixed  >
        ! sent  = MimeBody 1 1  >~ raw
        ! sent  = MimeBody 1 1  = MimeHead 1 2 BINARY - - - - -  >  > -------_=_Boundary_T_1_1--
        > .)"},
    {"NestedMultipartHeadIsNotChecked",
     Mime({{"", "multipart/related", "", "", "uuencode", ""}, {}, {}}, {}, u"parallel"),
     R"(< 220 ready  > HELO client.example
        < 250 hello  > MAIL FROM:<a@example.jp>
        < 250 ok  > RCPT TO:<r1@example.jp>
        < 250 ok  > DATA
        < 354 go ahead  > X-TALVORN: zef smtpZef 0.1  > MIME-Version: 1.0
        > Content-Type: multipart/parallel;  > \tcharset=iso-2022-jp;
        > \tboundary="-----_=_Boundary_T_1_1"  > Subject: x  >  >  >
        > This message is in MIME format.\x20
        ! sent  = MimeHead 1 1 BINARY - - - - -  = MimeHead 2 1 BINARY - - - - -
        = MimeHead 1 2 BINARY - - - - -  >  > -------_=_Boundary_T_1_1
        > Content-Type: multipart/related;  > \tcharset=iso-2022-jp;
        > \tboundary="-----_=_Boundary_T_2_1"  >  > -------_=_Boundary_T_2_1--  >
        > -------_=_Boundary_T_1_1--  > .)"},
};
INSTANTIATE_TEST_SUITE_P(Body, SmtpScript, ::testing::ValuesIn(kBody), RowName);

// A refused part head is traced, and the send ends by the transfer time-out.
Row RefusedPart(const char* name, const char* format, const char* encoding,
                const char* description) {
    return {name,
            [=](SmtpDriver& d) {
                Mime({{format, "text/plain", "", "", encoding, ""}}, {})(d);
                d.control->TransTimeout(2);
            },
            TO_DATA_MIME "! traces\n! sent  = MimeHead 1 1 BINARY - - - - -  T " +
                std::string(description) +
                "\n! tick 2\n! tick 1  * close\n! closed  C DONE(FAIL)  = Done -4 trans timeout | "
                "DONE(FAIL)"};
}

// A part head field holding a line break ends the send before the dot.
// The analyzer takes the std::function's target for a leak; the row owns it.
// NOLINTBEGIN(clang-analyzer-cplusplus.NewDeleteLeaks)
Row InjectedPart(const char* name, const std::vector<const char*>& head, const char* field) {
    return {name, Mime({head}, {}),
            TO_DATA_MIME
                "! sent  = MimeHead 1 1 BINARY - - - - -  * close\n"
                "! closed  = Done -1 INVALID CHARACTER IN " +
                std::string(field) + " | DONE(FAIL)"};
}
// NOLINTEND(clang-analyzer-cplusplus.NewDeleteLeaks)

const Row kPartRefusals[] = {
    RefusedPart("EmptyFormat", "", "base64", "INVALID DataFormat"),
    RefusedPart("UnknownFormat", "Xml", "7bit", "INVALID DataFormat"),
    RefusedPart("UnknownEncoding", "Unicode", "uuencode", "INVALID ENCODE-TYPE:uuencode"),
    RefusedPart("FormatIsCheckedFirst", "?", "uuencode", "INVALID DataFormat"),
    InjectedPart("LineBreakInType", {"B", "text/plain\r\nRSET", "", "", "", ""}, "ContentType"),
    InjectedPart("LineBreakInName", {"B", "text/plain", "a\nQUIT", "", "", ""}, "ContentName"),
    InjectedPart("LineBreakInCharset", {"B", "text/plain", "", "utf-8\rDATA", "", ""},
                 "ContentCharset"),
    InjectedPart("LineBreakInEncoding", {"B", "text/plain", "", "", "7bit\n", ""},
                 "TramsferEncoding"),
    InjectedPart("BareLineBreakInAdditional", {"B", "text/plain", "", "", "", "X-A: 1\nRSET"},
                 "AdditionalHeader"),
    InjectedPart("DotLineInAdditional", {"B", "text/plain", "", "", "", "X-A: 1\r\n.\r\nQUIT"},
                 "AdditionalHeader"),
    {"RefusedPartSendsNothingOfAGatheredWrite",
     [](SmtpDriver& d) {
         Mime({{"Xml", "text/plain", "", "", "7bit", ""}}, {})(d);
         d.control->TransTimeout(2);
         d.control->BodyWriteSize(1000);
     },
     R"(< 220 ready  > HELO client.example
        < 250 hello  > MAIL FROM:<a@example.jp>
        < 250 ok  > RCPT TO:<r1@example.jp>
        < 250 ok  > DATA
        < 354 go ahead  = MimeHead 1 1 BINARY - - - - -
        ! tick 2
        ! tick 1  * close
        ! closed  = Done -4 trans timeout | DONE(FAIL))"},
};
INSTANTIATE_TEST_SUITE_P(PartRefusals, SmtpScript, ::testing::ValuesIn(kPartRefusals), RowName);

}  // namespace
}  // namespace zef::test
