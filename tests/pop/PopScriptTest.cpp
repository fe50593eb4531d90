// The POP3 dialogue as scripts (the notation is in tests/support/ControlDriver.h): each row is
// played with every reply whole, cut in two at every byte, and one byte at a time, and must give
// its transcript back each time.
#include <gtest/gtest.h>

#include <stdexcept>

#include "common/Error.h"
#include "components/sasl/SaslClient.h"
#include "tests/support/ControlDriver.h"
#include "tests/support/TestText.h"

namespace zef::test {
namespace {

using Row = ScriptRow<PopDriver>;

class PopScript : public ::testing::TestWithParam<Row> {};

TEST_P(PopScript, GivesItsTranscript) {
    ExpectScript(GetParam());
}

// Logged in, STAT about to be answered.
#define LOGIN "< +OK ready  > USER bob\n< +OK  > PASS secret\n< +OK logged in  > STAT\n"
// One message of 120 bytes, LIST about to be answered.
#define ONE LOGIN "< +OK 1 120  = Stat 1 120  > LIST 1\n"
// ... and its LIST and UIDL answered, TOP about to be answered.
#define TO_TOP                                                                                    \
    ONE "< +OK 1 120  = UidlFirst 1  > UIDL 1\n< +OK 1 x  = UidlDone 1 x  = TopFirst 1  > TOP 1 " \
        "0\n"

std::function<void(PopDriver&)> Set(const std::function<void(popZef&)>& set) {
    return [=](PopDriver& d) { set(*d.control); };
}

const Row kLogin[] = {
    {"UserAndPassThenStat", nullptr,
     R"(! pop pop.example bob s3cret 0  * connect pop.example:110 0 tls=0 verify
        ! connected
        ! traces
        < +OK POP3 ready  C PROCESSING  T +OK POP3 ready  T >>USER bob  > USER bob
        < +OK  T +OK  T >>PASS ***  > PASS s3cret
        < +OK logged in  T +OK logged in  T >>STAT\x20  > STAT)"},
    {"ApopDigestOfTheGreetingsTimestamp", Set([](popZef& c) { c.APOP(true); }),
     R"(! pop pop.example mrose tanstaaf 0  * connect pop.example:110 0 tls=0 verify
        ! connected
        < +OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>
        > APOP mrose c4c9334bac560ecc979e58001b3e22fb
        < +OK maildrop locked  > STAT)"},
    {"ApopWithoutTimestampSendsAnEmptyDigest", Set([](popZef& c) { c.APOP(true); }),
     R"(< +OK ready > and < reversed  > APOP bob\x20)"},
    {"RefusedGreeting", nullptr,
     R"(< -ERR go away  * shutdown
        ! closed  = Done -1 -ERR go away | DONE(FAIL))"},
    {"RefusedUser", nullptr,
     R"(< +OK ready  > USER bob
        < -ERR go away  * shutdown
        ! closed  = Done -1 -ERR go away | DONE(FAIL))"},
    {"RefusedPass", nullptr,
     R"(< +OK ready  > USER bob
        < +OK  > PASS secret
        < -ERR go away  * shutdown
        ! closed  = Done -1 -ERR go away | DONE(FAIL))"},
    {"RefusedApop", Set([](popZef& c) { c.APOP(true); }),
     R"(< +OK ready <1.2@x>  > APOP bob 128d2ad8f578fa9de63b08648575e532
        < -ERR go away  * shutdown
        ! closed  = Done -1 -ERR go away | DONE(FAIL))"},
    {"GarbageGreetingEndsTheTransferOnce", nullptr,
     R"(<~ \x00\xFF\x1B$B\x80garbage\r\n\xFE\n  * shutdown  * shutdown
        ! closed  = Done -1 \x00\xC3\xBF\x1B$B\xC2\x80garbage | DONE(FAIL))"},
};
INSTANTIATE_TEST_SUITE_P(Login, PopScript, ::testing::ValuesIn(kLogin), RowName);

const Row kStat[] = {
    {"EmptyMailboxQuits", nullptr, LOGIN R"(< +OK 0 0  = Stat 0 0  > QUIT
        < +OK bye  * shutdown
        ! closed  = Done 0 - | DONE(COMPLETE))"},
    {"RefusalResetsThenQuitsWithTheRefusedLine", nullptr, LOGIN R"(< -ERR mailbox busy  > RSET
        < +OK  > QUIT
        < +OK  * shutdown
        ! closed  = Done -1 -ERR mailbox busy | DONE(FAIL))"},
    {"ReplyWithoutNumbersIsARefusal", nullptr, LOGIN "< +OK  > RSET"},
    {"ReplyWithoutTheSizeIsARefusal", nullptr, LOGIN "< +OK 3  > RSET"},
    {"ReplyWithWordsIsARefusal", nullptr, LOGIN "< +OK mailbox ready  > RSET"},
};
INSTANTIATE_TEST_SUITE_P(Stat, PopScript, ::testing::ValuesIn(kStat), RowName);

const auto kAskCapa = Set([](popZef& c) { c.AskCapabilities(true); });
const Row kCapabilities[] = {
    {"AskedCapaComesBeforeTheLogin", kAskCapa, R"(< +OK ready  > CAPA
        < +OK list follows\r\nTOP\r\n..X\r\nSASL PLAIN
        < .  = CapabilitiesReceived TOP\r\n.X\r\nSASL PLAIN  > USER bob)"},
    {"RefusedCapaGetsTheLoginAsBefore", kAskCapa, "< +OK ready  > CAPA\n< -ERR what?  > USER bob"},
    {"ResponseCodeOfTheRefusal", nullptr, LOGIN R"(< -ERR [SYS/TEMP] try later  > RSET
        < -ERR  > QUIT
        < +OK  * shutdown
        ! closed  = ResponseCode SYS/TEMP  = Done -1 -ERR [SYS/TEMP] try later | DONE(FAIL))"},
};
INSTANTIATE_TEST_SUITE_P(Capabilities, PopScript, ::testing::ValuesIn(kCapabilities), RowName);

// Pipelining on, CAPA answered with `capa`, two messages, STAT answered.
#define PIPELINE_LOGIN(capa)                                                      \
    "< +OK ready  > CAPA\n< +OK\\r\\n" capa "\n< .  = CapabilitiesReceived " capa \
    "  > USER bob\n"                                                              \
    "< +OK  > PASS secret\n< +OK  > STAT\n< +OK 2 200  = Stat 2 200  > LIST 1\n"
// ... and message 1 asked for with UIDL and TOP.
#define PIPELINED(capa)                                                                          \
    PIPELINE_LOGIN(capa)                                                                         \
    "< +OK 1 100  = UidlFirst 1  > UIDL 1\n< +OK 1 a  = UidlDone 1 a  = TopFirst 1  > TOP 1 0\n" \
    "< +OK\\r\\n.  = RetrFirst 1 100  = MailHeadFirst 1  > RETR 1"
// Pipelining on; `answers` set to true.
std::function<void(PopDriver&)> Pipelined(std::vector<std::string> answers) {
    return [=](PopDriver& d) {
        d.control->Pipelining(true);
        for (const std::string& answer : answers) {
            d.answers[answer] = true;
        }
    };
}
#define DELETING                                                                       \
    PIPELINE_LOGIN("PIPELINING")                                                       \
    "< +OK 1 100  = UidlFirst 1  = TopFirst 1  = RetrFirst 1 100  = MailHeadFirst 1\n" \
    "> RETR 1  > LIST 2  > RETR 2\n< +OK\\r\\n.  = RetrDone 1  > DELE 1\n"             \
    "< +OK 2 100  = UidlFirst 2  = TopFirst 2  = RetrFirst 2 100  = MailHeadFirst 2\n" \
    "< +OK\\r\\n.  = RetrDone 2  > DELE 2\n"
const Row kPipelining[] = {
    // Message 2's commands go ahead; the application skips it, so the replies to its UIDL,
    // TOP and RETR are dropped.
    {"NextMessageGoesAheadAndRepliesNotWantedAreDropped",
     Pipelined({"RetrDone", "UidlFirst 2", "TopFirst 2", "RetrFirst 2"}),
     PIPELINED("PIPELINING") R"(  > LIST 2  > UIDL 2  > TOP 2 0  > RETR 2
        < +OK\r\n.  = RetrDone 1
        < +OK 2 100  = UidlFirst 2  = TopFirst 2  = RetrFirst 2 100  > QUIT
        < +OK 2 b\r\n+OK\r\nSubject: x\r\n..\r\n.\r\n\r\n-ERR no such message
        < +OK bye  * shutdown)"},
    {"OnlyOnTheServersWord", Pipelined({"RetrDone"}),
     PIPELINED("UIDL") "\n< +OK\\r\\n.  = RetrDone 1  > LIST 2"},
    // A DELE behind the commands sent ahead is answered after them.
    {"DeleAnsweredAfterTheNextMessage", Pipelined({"UidlFirst", "TopFirst"}),
     DELETING "< +OK deleted\n< +OK deleted  > QUIT"},
    {"LateDeleRefusalResets", Pipelined({"UidlFirst", "TopFirst"}),
     DELETING R"(< -ERR locked  > RSET
        < +OK deleted
        < +OK  > QUIT
        < +OK  * shutdown
        ! closed  = Done -1 -ERR locked | DONE(FAIL))"},
};
INSTANTIATE_TEST_SUITE_P(Pipelining, PopScript, ::testing::ValuesIn(kPipelining), RowName);

// AUTH with the real codec; the driver's password "secret" is the token too, so the secret
// checks of every row also cover the token.
const Parts kCodec{false, true};
std::function<void(PopDriver&)> Sasl(const char16_t* mechanism, bool oneStep = false) {
    return Set([=](popZef& c) {
        c.SaslMechanism(mechanism);
        c.OAuthToken(u"secret");
        c.XOAuth2OneStep(oneStep);
    });
}
// SCRAM-SHA-256 with a fixed client nonce, up to the client's proof.
void Scram(PopDriver& d) {
    Sasl(u"SCRAM-SHA-256")(d);
    sasl::FixNextScramNonce("rOprNGfwEbeRWgbNEkqO");
}
#define SCRAM_TO_PROOF                                                                             \
    "< +OK ready  > CAPA\n< -ERR  > AUTH SCRAM-SHA-256 "                                           \
    "biwsbj1ib2Iscj1yT3ByTkdmd0ViZVJXZ2JORWtxTw==\n"                                               \
    "< + cj1yT3ByTkdmd0ViZVJXZ2JORWtxT3gscz1RVUpELGk9NDA5Ng==  > "                                 \
    "Yz1iaXdzLHI9ck9wck5HZndFYmVSV2diTkVrcU94LHA9MmVJWEdFR2VFR1pCR3BLbTZmNkgwMXBpZ2dHM1FsVUExY1Mx" \
    "UXRiQ0RDcz0=\n"

const Row kSasl[] = {
    {"XOAuth2InTwoStepsThenTheErrorAndAnEmptyLine", Sasl(u"xoauth2"), R"(! traces
        < +OK ready  C PROCESSING  T +OK ready  T >>CAPA\x20  > CAPA
        < -ERR what  T -ERR what  T >>AUTH XOAUTH2  > AUTH XOAUTH2
        < +\x20  T +\x20  T >>***  > dXNlcj1ib2IBYXV0aD1CZWFyZXIgc2VjcmV0AQE=
        < + eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIiwic2NvcGUiOiJtYWlsIn0=
        T + eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIiwic2NvcGUiOiJtYWlsIn0=  T >>***  >
        < -ERR [AUTH] failed  T -ERR [AUTH] failed  * shutdown
        ! closed  C DONE(FAIL)  = ResponseCode AUTH
        = Done -1 -ERR [AUTH] failed [token refused (status 401, schemes bearer, scope mail)] | DONE(FAIL))",
     true, kCodec},
    {"XOAuth2InOneStep", Sasl(u"XOAUTH2", true), R"(! traces
        < +OK ready  C PROCESSING  T +OK ready  T >>CAPA\x20  > CAPA
        < -ERR what  T -ERR what  T >>AUTH XOAUTH2 ***
        > AUTH XOAUTH2 dXNlcj1ib2IBYXV0aD1CZWFyZXIgc2VjcmV0AQE=
        < +OK  T +OK  T >>STAT\x20  > STAT)",
     true, kCodec},
    {"AutoAuthTakesOAuthBearerForTheTokenOfTokenNeeded",
     [](PopDriver& d) {
         d.control->AutoAuth(true);
         d.control->TokenNeeded = [](Text& token) { token = u"secret"; };
     },
     R"(< +OK ready  > CAPA
        < +OK\r\nSASL PLAIN XOAUTH2 OAUTHBEARER\r\n.
        = CapabilitiesReceived SASL PLAIN XOAUTH2 OAUTHBEARER
        > AUTH OAUTHBEARER bixhPWJvYiwBaG9zdD1wb3AuZXhhbXBsZQFwb3J0PTExMAFhdXRoPUJlYXJlciBzZWNyZXQBAQ==
        < + eyJzdGF0dXMiOiJpbnZhbGlkX3Rva2VuIn0=  > AQ==
        < -ERR [AUTH] no  * shutdown
        ! closed  = ResponseCode AUTH  = Done -1 -ERR [AUTH] no [invalid_token] | DONE(FAIL))",
     true, kCodec},
    {"AutoAuthTakesPlainForAPassword", Set([](popZef& c) { c.AutoAuth(true); }),
     R"(< +OK ready  > CAPA
        < +OK\r\nSASL LOGIN PLAIN\r\n.  = CapabilitiesReceived SASL LOGIN PLAIN
        > AUTH PLAIN AGJvYgBzZWNyZXQ=
        < +OK  > STAT)",
     true, kCodec},
    {"NoTokenQuitsWithoutAuth", Set([](popZef& c) { c.SaslMechanism(u"OAUTHBEARER"); }),
     R"(< +OK ready  > CAPA
        < -ERR  > QUIT
        < +OK  * shutdown
        ! closed  = Done -1 NO OAUTH TOKEN | DONE(FAIL))"},
    {"ScramCancelsAWrongServerSignature", Scram, SCRAM_TO_PROOF R"(
        < + dj03cnJpVFJCaTIzV3BSUi93dHVwK21NaFVaVW4vZEI1bkxUSlJzamw5NUc0PQ==  > *
        < -ERR no  * shutdown
        ! closed  = Done -1 -ERR no [the server's SCRAM signature is wrong: it may not know the password] | DONE(FAIL))",
     true, kCodec},
    {"ScramTakesNoOkBeforeTheServersProof", Scram, SCRAM_TO_PROOF R"(
        < +OK  > QUIT
        < +OK  * shutdown
        ! closed  = Done -1 SCRAM: THE SERVER DID NOT PROVE IT KNOWS THE PASSWORD | DONE(FAIL))",
     true, kCodec},
    {"PlainCancelsAChallenge", Sasl(u"PLAIN"), R"(< +OK ready  > CAPA
        < -ERR  > AUTH PLAIN AGJvYgBzZWNyZXQ=
        < + what  > *
        < -ERR no  * shutdown
        ! closed  = Done -1 -ERR no [unexpected challenge] | DONE(FAIL))",
     true, kCodec},
};
INSTANTIATE_TEST_SUITE_P(Sasl, PopScript, ::testing::ValuesIn(kSasl), RowName);

const Row kWalk[] = {
    {"DefaultChoicesGiveUidlTopRetrAndDele", nullptr, ONE R"(! answer MimeDataFirst 0
        < +OK 1 120  = UidlFirst 1  > UIDL 1
        < +OK 1 uid-1  = UidlDone 1 uid-1  = TopFirst 1  > TOP 1 0
        < +OK top follows
        < Subject: hi  = TopNext 1 Subject: hi
        <  = TopNext 1 -
        < ..x  = TopNext 1 ..x
        < .  = RetrFirst 1 120  = MailHeadFirst 1  > RETR 1
        < +OK message follows
        < Subject: hi
        <  = MailHeadNext 1 Subject: hi  = MailHeadDone 1
        = MultiPartOpen 1 1 multipart/mixed - - 7bit -
        < ..x  = MimeHeadFirst 1 1  = MimeHeadDone 1 1
        = MimeDataFirst 1 1 text/plain - - 7bit text  = MimeDataNext 1 1 .x\r\n
        <  = MimeDataNext 1 1 \r\n
        < .y  = MimeDataNext 1 1 y\r\n
        < .  = MimeDataDone 1 1  = RetrDone 1  = MultiPartClose 1 m1  > DELE 1
        < +OK deleted  > QUIT)"},
    {"UidlRefusalGivesAnEmptyIdAndGoesOn", nullptr, ONE R"(< +OK 1 120  = UidlFirst 1  > UIDL 1
        < -ERR no UIDL  = UidlDone 1 -  = TopFirst 1  > TOP 1 0)"},
    {"DeleteInUidlDoneSkipsTopAndRetr", [](PopDriver& d) { d.answers["UidlDone"] = true; },
     ONE R"(< +OK 1 120  = UidlFirst 1  > UIDL 1
        < +OK 1 x  = UidlDone 1 x  > DELE 1
        < +OK  > QUIT)"},
    {"TopRefusalAsksTopDone", nullptr,
     TO_TOP "< -ERR no TOP  = TopDone 1  = RetrFirst 1 120  = MailHeadFirst 1  > RETR 1"},
    {"DeleteInTopDone", [](PopDriver& d) { d.answers["TopDone"] = true; },
     TO_TOP "< -ERR no TOP  = TopDone 1  > DELE 1"},
    {"CompleteTopLeadsToRetrieval", nullptr,
     TO_TOP "< +OK\n< .  = RetrFirst 1 120  = MailHeadFirst 1  > RETR 1"},
    {"CancelUidlAsksTopFirstAtOnce", [](PopDriver& d) { d.answers["UidlFirst"] = true; },
     ONE "< +OK 1 120  = UidlFirst 1  = TopFirst 1  > TOP 1 0"},
    {"CancelUidlAndTopRetrievesAtOnce",
     [](PopDriver& d) { d.answers["UidlFirst"] = d.answers["TopFirst"] = true; },
     ONE
     "< +OK 1 120  = UidlFirst 1  = TopFirst 1  = RetrFirst 1 120  = MailHeadFirst 1  > RETR 1"},
    {"CancelUidlTopAndRetrSkipsTheMessage",
     [](PopDriver& d) {
         d.answers["UidlFirst"] = d.answers["TopFirst"] = d.answers["RetrFirst"] = true;
     },
     ONE "< +OK 1 120  = UidlFirst 1  = TopFirst 1  = RetrFirst 1 120  > QUIT"},
    {"CancelRetrLeavesTheMessage", [](PopDriver& d) { d.answers["RetrFirst"] = true; },
     TO_TOP "< +OK\n< .  = RetrFirst 1 120  > QUIT"},
    {"CancelDeleteKeepsTheMessage", [](PopDriver& d) { d.answers["RetrDone"] = true; },
     TO_TOP R"(< +OK
        < .  = RetrFirst 1 120  = MailHeadFirst 1  > RETR 1
        < +OK
        < .  = RetrDone 1  > QUIT)"},
    {"RetrRefusalResetsAndTheResetReplyIsNotExamined", nullptr, TO_TOP R"(< +OK
        < .  = RetrFirst 1 120  = MailHeadFirst 1  > RETR 1
        < -ERR gone  > RSET
        < -ERR whatever  > QUIT
        < +OK  * shutdown
        ! closed  = Done -1 -ERR gone | DONE(FAIL))"},
    {"DeleRefusalResets",
     [](PopDriver& d) { d.answers["UidlFirst"] = d.answers["TopFirst"] = true; },
     ONE R"(< +OK 1 120  = UidlFirst 1  = TopFirst 1  = RetrFirst 1 120  = MailHeadFirst 1  > RETR 1
        < +OK
        < .  = RetrDone 1  > DELE 1
        < -ERR locked  > RSET)"},
    {"ListRefusalResets", nullptr, ONE "< -ERR no such message  > RSET"},
    {"ListReplyWithoutSizeResets", nullptr, ONE "< +OK  > RSET"},
    {"NegativeTopLinesKeepTheirSign", nullptr,
     R"(! pop pop.example bob pw -1  * connect pop.example:110 0 tls=0 verify
        ! connected
        < +OK  > USER bob
        < +OK  > PASS pw
        < +OK  > STAT
        < +OK 1 9  = Stat 1 9  > LIST 1
        < +OK 1 9  = UidlFirst 1  > UIDL 1
        < +OK 1 x  = UidlDone 1 x  = TopFirst 1  > TOP 1 -1)"},
    {"DeleteOnErrorTurnsTheResetIntoQuit", Set([](popZef& c) { c.DeleteOnError(true); }),
     TO_TOP R"(! traces
        < +OK  T +OK
        < .  = RetrFirst 1 120  = MailHeadFirst 1  T >>RETR 1  > RETR 1
        < -ERR gone  T -ERR gone  T >>QUIT\x20  > QUIT
        < +OK  T +OK  * shutdown
        ! closed  C DONE(FAIL)  = Done -1 -ERR gone | DONE(FAIL))"},
    {"EmptyLinesCountOnlyInsideMultiLineResponses", nullptr, ONE R"(<~ \r\n\n
        < +OK 1 120  = UidlFirst 1  > UIDL 1
        <
        < +OK 1 x  = UidlDone 1 x  = TopFirst 1  > TOP 1 0
        < +OK
        <  = TopNext 1 -
        <  = TopNext 1 -
        < .  = RetrFirst 1 120  = MailHeadFirst 1  > RETR 1)"},
    {"LineFeedAloneEndsALine", nullptr,
     R"(<~ +OK\n  > USER bob
        <~ +OK\n+OK\n+OK 1 5\n  > PASS secret  > STAT  = Stat 1 5  > LIST 1)"},
    {"OutputWaitsWhileTheSocketCannotSend", nullptr, ONE R"(! cansend 0
        < +OK 1 120  = UidlFirst 1
        ! cansend 1
        ! sent  > UIDL 1
        ! sent)"},
};
INSTANTIATE_TEST_SUITE_P(Walk, PopScript, ::testing::ValuesIn(kWalk), RowName);

// Five messages, each retrieved and deleted without UIDL and TOP; Abend from RetrDone of the
// third, with the given argument ("-" for none).
Row AbendAtThird(const char* name, const char* argument, bool deleteOnError, const char* after) {
    const std::string script = LOGIN
        "< +OK 5 500  = Stat 5 500  > LIST 1\n"
        "< +OK 1 100  = UidlFirst 1  = TopFirst 1  = RetrFirst 1 100  = MailHeadFirst 1\n"
        "> RETR 1\n< +OK\n< .  = RetrDone 1  > DELE 1\n< +OK  > LIST 2\n"
        "< +OK 2 100  = UidlFirst 2  = TopFirst 2  = RetrFirst 2 100  = MailHeadFirst 2\n"
        "> RETR 2\n< +OK\n< .  = RetrDone 2  > DELE 2\n< +OK  > LIST 3\n"
        "< +OK 3 100  = UidlFirst 3  = TopFirst 3  = RetrFirst 3 100  = MailHeadFirst 3\n"
        "> RETR 3\n< +OK\n< .  = RetrDone 3  > DELE 3\n< +OK  > LIST 4\n";
    return {name,
            [=](PopDriver& d) {
                d.answers["UidlFirst"] = d.answers["TopFirst"] = true;
                d.control->DeleteOnError(deleteOnError);
                d.abendEvent = "RetrDone";
                d.abendId = 3;
                d.abendArgument = argument;
            },
            script + "< +OK 4 100  " + after};
}

const Row kAbend[] = {
    AbendAtThird("KeepingDeletionsQuitsAtTheNextList", "0", false,
                 "> QUIT\n< +OK  * shutdown\n! closed  = Done 0 - | DONE(COMPLETE)"),
    AbendAtThird("CancellingDeletionsResetsThenQuits", "1", false,
                 "> RSET\n< +OK  > QUIT\n< +OK  * shutdown\n! closed  = Done 0 - | DONE(COMPLETE)"),
    AbendAtThird("WithoutArgumentDeletionsAreUndone", "-", false, "> RSET"),
    AbendAtThird("DeleteOnErrorQuitsWhenKeeping", "0", true, "> QUIT"),
    AbendAtThird("DeleteOnErrorQuitsWhenCancelling", "1", true, "> QUIT"),
    {"AbendWhileIdleHasNoLastingEffect", Set([](popZef& c) { c.Abend(false); }),
     ONE "< +OK 1 120  = UidlFirst 1  > UIDL 1"},
    {"DataAfterQuitIsTracedAndAnsweredWithShutdown", nullptr, LOGIN R"(! traces
        < +OK 0 0  T +OK 0 0  = Stat 0 0  T >>QUIT\x20  > QUIT
        < +OK bye  T +OK bye  * shutdown
        < noise  T noise  * shutdown
        ! closed  C DONE(COMPLETE)  = Done 0 - | DONE(COMPLETE))"},
};
INSTANTIATE_TEST_SUITE_P(Abend, PopScript, ::testing::ValuesIn(kAbend), RowName);

std::function<void(PopDriver&)> Timeouts(long connect, long trans) {
    return Set([=](popZef& c) {
        c.ConnectTimeout(connect);
        c.TransTimeout(trans);
    });
}

const Row kEndings[] = {
    {"ConnectTimeoutOfThreeFiresOnTheFourthTick", Timeouts(3, 0),
     R"(! pop pop.example bob pw 0  * connect pop.example:110 0 tls=0 verify
        ! tick 3
        ! tick 5  * close
        ! tick 5
        ! closed  = Done -3 connect timeout | DONE(FAIL))"},
    {"TransTimeoutCountsSilenceSinceTheLastSocketEvent", Timeouts(30, 5),
     R"(! tick 5
        < +OK ready  > USER bob
        ! tick 5
        ! tick 1  * close
        ! closed  = Done -4 trans timeout | DONE(FAIL))"},
    {"TimeoutReplacesAnEarlierCode", Timeouts(0, 1), LOGIN R"(< -ERR busy  > RSET
        ! tick 2  * close
        ! closed  = Done -4 trans timeout | DONE(FAIL))"},
    {"ZeroMeansNoLimit", nullptr, "! tick 100"},
    {"SocketErrorIsReportedWhenTheConnectionCloses", nullptr,
     LOGIN R"(! error 10054 connection reset by peer
        ! closed  = Done 10054 connection reset by peer | DONE(FAIL))"},
    {"UnexpectedDisconnectAndNothingAfterIt", nullptr,
     LOGIN R"(! closed  = Done -2 UNEXPECTED DISCONNECT | DONE(FAIL UNEXPECTED DISCONNECT)
        ! closed
        < +OK late)"},
    {"AnUnfinishedLineOfAnEndedConnectionJoinsTheNextFirstLine", nullptr,
     R"(<~ +OK half
        ! closed  = Done -2 UNEXPECTED DISCONNECT | DONE(FAIL UNEXPECTED DISCONNECT)
        ! pop pop.example bob pw 0  * connect pop.example:110 0 tls=0 verify
        ! connected
        ! traces
        <  of a greeting  C PROCESSING  T +OK half of a greeting  T >>USER bob  > USER bob)"},
    {"SocketTracesOnlyWithTcpTraceOn", nullptr, "! traces\n! trace resolving"},
    {"SocketTracesWithTcpTraceOn", Set([](popZef& c) { c.TcpTraceOn(true); }),
     "! traces\n! trace connecting  T connecting"},
    {"ConnectThatThrowsEndsInsidePop", [](PopDriver& d) { d.wire->throwOnConnect = true; },
     R"(! pop nowhere bob pw 0
        = Done 10049 address not available | Connect Error(10049)address not available
        ! pop nowhere bob pw 0
        = Done 10049 address not available | Connect Error(10049)address not available)"},
    {"LineBreakInUserIsRefusedBeforeConnecting", nullptr,
     "! pop pop.example bob\\r\\nDELE\\x201 pw 0\n"
     "= Done -1 INVALID xuser: CR, LF OR NUL NOT ALLOWED | INVALID xuser: CR, LF OR NUL NOT "
     "ALLOWED"},
    {"LineBreakInPasswordIsRefusedBeforeConnecting", nullptr,
     "! pop pop.example bob pw\\nQUIT 0\n"
     "= Done -1 INVALID xpass: CR, LF OR NUL NOT ALLOWED | INVALID xpass: CR, LF OR NUL NOT "
     "ALLOWED"},
    {"NulInUserIsRefusedBeforeConnecting", Set([](popZef& c) { c.APOP(true); }),
     "! pop pop.example b\\0b pw 0\n"
     "= Done -1 INVALID xuser: CR, LF OR NUL NOT ALLOWED | INVALID xuser: CR, LF OR NUL NOT "
     "ALLOWED"},
    {"LineOverTheLimitEndsTheTransfer", Set([](popZef& c) { c.MaxLineLength(16); }),
     LOGIN R"(< +OK 1 1  = Stat 1 1  > LIST 1
        < +OK 1 1234567890  = UidlFirst 1  > UIDL 1
        <~ +OK 1 abcdefghijk  * close
        < more
        ! closed  = Done -1 LINE TOO LONG | DONE(FAIL))"},
    {"LongLineInsideAMessageDeletesNothing",
     [](PopDriver& d) {
         d.control->MaxLineLength(100);
         d.answers["UidlFirst"] = d.answers["TopFirst"] = true;
     },
     LOGIN "< +OK 1 1  = Stat 1 1  > LIST 1\n"
           "< +OK 1 1  = UidlFirst 1  = TopFirst 1  = RetrFirst 1 1  = MailHeadFirst 1  > RETR 1\n"
           "< +OK\n< Subject: x\n<  = MailHeadNext 1 Subject: x  = MailHeadDone 1\n"
           "= MultiPartOpen 1 1 multipart/mixed - - 7bit -\n< " +
         std::string(101, 'a') + "  * close\n< .\n! closed  = Done -1 LINE TOO LONG | DONE(FAIL)"},
    {"ErrorFromAHandlerEndsWithoutDeleting",
     [](PopDriver& d) {
         d.control->MailHeadNext = [](long, const Text&, const Text&) {
             throw Error(1234, "app", u"cannot store");
         };
         d.answers["UidlFirst"] = d.answers["TopFirst"] = true;
     },
     LOGIN R"(< +OK 2 10  = Stat 2 10  > LIST 1
        < +OK 1 5  = UidlFirst 1  = TopFirst 1  = RetrFirst 1 5  = MailHeadFirst 1  > RETR 1
        < +OK
        < Subject: x
        <  * close
        < body
        ! closed  = Done 1234 cannot store | DONE(FAIL))"},
    {"OtherExceptionGivesMinusOneAndItsText",
     [](PopDriver& d) {
         d.control->RetrDone = [](long, bool&) { throw std::runtime_error("disk full"); };
         d.answers["UidlFirst"] = d.answers["TopFirst"] = true;
     },
     LOGIN R"(< +OK 1 10  = Stat 1 10  > LIST 1
        < +OK 1 5  = UidlFirst 1  = TopFirst 1  = RetrFirst 1 5  = MailHeadFirst 1  > RETR 1
        < +OK
        < .  * close
        ! closed  = Done -1 disk full | DONE(FAIL))"},
    {"DecoderFailureEndsTheTransfer",
     [](PopDriver& d) {
         d.codec->failDecoders = true;
         d.answers["UidlFirst"] = d.answers["TopFirst"] = true;
     },
     LOGIN R"(< +OK 1 10  = Stat 1 10  > LIST 1
        < +OK 1 5  = UidlFirst 1  = TopFirst 1  = RetrFirst 1 5  = MailHeadFirst 1  > RETR 1
        < +OK
        < Content-Transfer-Encoding: base64
        <  = MailHeadNext 1 Content-Transfer-Encoding: base64  = MailHeadDone 1
        = MultiPartOpen 1 1 multipart/mixed - - 7bit -
        < YWJj  = MimeHeadFirst 1 1  = MimeHeadDone 1 1
        = MimeDataFirst 1 1 text/plain - - base64 text  * close
        ! closed  = Done 5 bad base64 | DONE(FAIL))"},
    {"ThrowingTraceHandlerEndsTheTransfer",
     [](PopDriver& d) {
         d.control->Trace = [](const Text&) { throw std::logic_error("trace handler broke"); };
     },
     R"(< +OK  * close
        ! closed  = Done -1 trace handler broke | DONE(FAIL))"},
    {"ThrownValueOfNoKnownKindGivesUnknownError",
     [](PopDriver& d) { d.control->Trace = [](const Text&) { throw 7; }; },
     R"(< +OK  * close
        ! closed  = Done -1 UNKNOWN ERROR | DONE(FAIL))"},
    {"ThrowingCaptionHandlerStillEndsOnce",
     [](PopDriver& d) {
         d.control->TransTimeout(1);
         d.control->CaptionChanged = [](const Text& caption) {
             if (caption == u"DONE(FAIL)") {
                 throw std::runtime_error("caption");
             }
         };
     },
     LOGIN R"(! tick 2  * close
        ! closed  = Done -4 trans timeout | DONE(FAIL))"},
};
INSTANTIATE_TEST_SUITE_P(Endings, PopScript, ::testing::ValuesIn(kEndings), RowName);

// With the real converter and codec: text in Japanese encodings reads right, data bytes are
// exact.
const Row kRealParts[] = {
    {"EightBitPartArrivesByteExact", [](PopDriver& d) { d.answers["MimeDataFirst"] = false; },
     ONE R"(< +OK 1 120  = UidlFirst 1  > UIDL 1
        < +OK 1 x  = UidlDone 1 x  = TopFirst 1  > TOP 1 0
        < +OK
        < Subject: \x1B$B$3$s\x1B(B  = TopNext 1 Subject: \xE3\x81\x93\xE3\x82\x93
        < \x82\xB1\x82\xF1  = TopNext 1 \xE3\x81\x93\xE3\x82\x93
        < .  = RetrFirst 1 120  = MailHeadFirst 1  > RETR 1
        < +OK
        < Content-Transfer-Encoding: 8bit
        <  = MailHeadNext 1 Content-Transfer-Encoding: 8bit  = MailHeadDone 1
        = MultiPartOpen 1 1 multipart/mixed - - 7bit -
        < \x00\x01\x80\xFF\xFE\r\x1B$B\x93\xFA  = MimeHeadFirst 1 1  = MimeHeadDone 1 1
        = MimeDataFirst 1 1 text/plain - - 8bit text
        = MimeDataNext 1 1 \x00\x01\x80\xFF\xFE\r\x1B$B\x93\xFA\r\n
        < ..  = MimeDataNext 1 1 .\r\n
        < .  = MimeDataDone 1 1  = RetrDone 1  = MultiPartClose 1 m1  > DELE 1)",
     true, Parts{true, true}},
    {"JapaneseTextPartAndHeadersAreReadable",
     [](PopDriver& d) { d.answers["UidlFirst"] = d.answers["TopFirst"] = true; },
     ONE R"(< +OK 1 120  = UidlFirst 1  = TopFirst 1  = RetrFirst 1 120  = MailHeadFirst 1  > RETR 1
        < +OK
        < Subject: =?ISO-2022-JP?B?GyRCJDMkcyRLJEEkTxsoQg==?=
        < X-Utf8: =?UTF-8?B?44GT44KT44Gr44Gh44Gv?= !
        = MailHeadNext 1 Subject: \xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF
        < X-Sjis: \x82\xB1\x82\xF1\x82\xC9\x82\xBF\x82\xCD
        = MailHeadNext 1 X-Utf8: \xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF !
        < Content-Type: text/plain; charset=iso-2022-jp
        = MailHeadNext 1 X-Sjis: \xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF
        <  = MailHeadNext 1 Content-Type: text/plain; charset=iso-2022-jp  = MailHeadDone 1
        = MultiPartOpen 1 1 multipart/mixed - - 7bit -
        < \x1B$B$3$s$K$A$O\x1B(B  = MimeHeadFirst 1 1  = MimeHeadDone 1 1
        = MimeDataFirst 1 1 text/plain - iso-2022-jp 7bit text
        = MimeDataNext 1 1 \xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF\r\n)",
     true, Parts{true, true}},
};
INSTANTIATE_TEST_SUITE_P(RealParts, PopScript, ::testing::ValuesIn(kRealParts), RowName);

// Retrieval of one message of 500 bytes without UIDL and TOP, up to its first line.
#define RETR                                                                           \
    LOGIN                                                                              \
    "< +OK 1 500  = Stat 1 500  > LIST 1\n"                                            \
    "< +OK 1 500  = UidlFirst 1  = TopFirst 1  = RetrFirst 1 500  = MailHeadFirst 1\n" \
    "> RETR 1\n< +OK\n"

void RetrieveOnly(PopDriver& d) {
    d.answers["UidlFirst"] = d.answers["TopFirst"] = true;
}

std::function<void(PopDriver&)> RetrieveBytes() {
    return [](PopDriver& d) {
        RetrieveOnly(d);
        d.answers["MimeDataFirst"] = false;
    };
}

void Nested(PopDriver& d) {
    RetrieveOnly(d);
    d.control->NestedDelimiters(true);
}

// Delimiter lines with transport padding: the same events in both readings; "-- " after the
// end opens nothing.
const std::string kPaddedDelimiters = RETR R"(< Content-Type: multipart/mixed; boundary=M
        <  = MailHeadNext 1 Content-Type: multipart/mixed; boundary=M  = MailHeadDone 1
        = MultiPartOpen 1 1 multipart/mixed - - 7bit -
        < --M\x20  = MimeHeadFirst 1 1
        < Content-Type: multipart/alternative; boundary=A
        <  = MimeHeadNext 1 1 Content-Type: multipart/alternative; boundary=A  = MimeHeadDone 1 1
        = MultiPartOpen 1 1 multipart/alternative - - 7bit m1
        < --A\t  = MimeHeadFirst 1 1
        <  = MimeHeadDone 1 1  = MimeDataFirst 1 1 text/plain - - 7bit text
        < --A--\x20\t  = MimeDataDone 1 1  = MultiPartClose 1 m2
        < --M\t\x20  = MimeHeadFirst 1 2
        <  = MimeHeadDone 1 2  = MimeDataFirst 1 2 text/plain - - 7bit text
        < --M--\x20  = MimeDataDone 1 2  = MultiPartClose 1 m1
        < --\x20
        < .  = RetrDone 1  > DELE 1)";

// The message parser: header fields, multipart structure and part data, as the events of one
// retrieval. MultiPartOpen is answered with the tags m1, m2, ...
const Row kMessages[] = {
    {"PaddedDelimitersOpenAndCloseParts", RetrieveOnly, kPaddedDelimiters},
    {"PaddedDelimitersOpenAndClosePartsWhenNested", Nested, kPaddedDelimiters},
    // RetrLine: every line as received, unstuffed, ahead of what the parser makes of it.
    {"RetrLineGivesEachLineUnstuffedBeforeItIsParsed",
     [](PopDriver& d) {
         RetrieveBytes()(d);
         d.LogRetrLines();
     },
     RETR R"(< Subject: a  = RetrLine 1 Subject: a
        <  = RetrLine 1 -  = MailHeadNext 1 Subject: a  = MailHeadDone 1
        = MultiPartOpen 1 1 multipart/mixed - - 7bit -
        < ..From x  = RetrLine 1 .From x  = MimeHeadFirst 1 1  = MimeHeadDone 1 1
        = MimeDataFirst 1 1 text/plain - - 7bit text  = MimeDataNext 1 1 .From x\r\n
        < \xE3\x81\x82\x80\xFF\ra  = RetrLine 1 \xE3\x81\x82\x80\xFF\ra
        = MimeDataNext 1 1 \xE3\x81\x82\x80\xFF\ra\r\n
        <  = RetrLine 1 -  = MimeDataNext 1 1 \r\n
        < )" +
         std::string(200, 'L') + "  = RetrLine 1 " + std::string(200, 'L') +
         "\n= MimeDataNext 1 1 " + std::string(200, 'L') + R"(\r\n
        < ...  = RetrLine 1 ..  = MimeDataNext 1 1 ..\r\n
        < .  = MimeDataDone 1 1  = RetrDone 1  = MultiPartClose 1 m1  > DELE 1)"},
    // ParseMessages False: the lines, and nothing the parser would have made of them.
    {"UnparsedMessagesGiveOnlyTheirLines",
     [](PopDriver& d) {
         RetrieveBytes()(d);
         d.LogRetrLines();
         d.control->ParseMessages(false);
     },
     LOGIN
     "< +OK 1 500  = Stat 1 500  > LIST 1\n< +OK 1 500  = UidlFirst 1  = TopFirst 1\n"
     "= RetrFirst 1 500  > RETR 1\n< +OK\n"
     R"(< Content-Type: multipart/mixed; boundary=B  = RetrLine 1 Content-Type: multipart/mixed; boundary=B
        <  = RetrLine 1 -
        < --B  = RetrLine 1 --B
        < ..x  = RetrLine 1 .x
        < .  = RetrDone 1  > DELE 1)"},
    {"NestedMultipartGivesEveryEventInOrder", RetrieveOnly, RETR R"(< From: a@example.jp
        < Content-Type: multipart/mixed; boundary="B1"  = MailHeadNext 1 From: a@example.jp
        <  = MailHeadNext 1 Content-Type: multipart/mixed; boundary="B1"  = MailHeadDone 1
        = MultiPartOpen 1 1 multipart/mixed - - 7bit -
        < preamble
        < --B1  = MimeHeadFirst 1 1
        < Content-Type: text/plain
        <  = MimeHeadNext 1 1 Content-Type: text/plain  = MimeHeadDone 1 1
        = MimeDataFirst 1 1 text/plain - - 7bit text
        < hello  = MimeDataNext 1 1 hello\r\n
        < --B1  = MimeDataDone 1 1  = MimeHeadFirst 1 2
        < Content-Type: multipart/alternative; boundary=B2
        <  = MimeHeadNext 1 2 Content-Type: multipart/alternative; boundary=B2
        = MimeHeadDone 1 2  = MultiPartOpen 1 2 multipart/alternative - - 7bit m1
        < --B2  = MimeHeadFirst 1 1
        < Content-Type: text/plain
        <  = MimeHeadNext 1 1 Content-Type: text/plain  = MimeHeadDone 1 1
        = MimeDataFirst 1 1 text/plain - - 7bit text
        < plain  = MimeDataNext 1 1 plain\r\n
        < --B2  = MimeDataDone 1 1  = MimeHeadFirst 1 2
        < Content-Type: text/html
        <  = MimeHeadNext 1 2 Content-Type: text/html  = MimeHeadDone 1 2
        = MimeDataFirst 1 2 text/html - - 7bit text
        < <p>html</p>  = MimeDataNext 1 2 <p>html</p>\r\n
        < --B2--  = MimeDataDone 1 2  = MultiPartClose 1 m2
        < --B1--
        < .  = RetrDone 1  = MultiPartClose 1 m1  > DELE 1)"},
    {"MessageWithoutBoundaryIsOnePart", RetrieveOnly, RETR R"(< Subject: hi
        < Content-Transfer-Encoding: 8bit  = MailHeadNext 1 Subject: hi
        <  = MailHeadNext 1 Content-Transfer-Encoding: 8bit  = MailHeadDone 1
        = MultiPartOpen 1 1 multipart/mixed - - 7bit -
        < line one  = MimeHeadFirst 1 1  = MimeHeadDone 1 1
        = MimeDataFirst 1 1 text/plain - - 8bit text  = MimeDataNext 1 1 line one\r\n
        <  = MimeDataNext 1 1 \r\n
        < .  = MimeDataDone 1 1  = RetrDone 1  = MultiPartClose 1 m1  > DELE 1)"},
    {"EmptyBodyEndsWithDataDoneButNoPartStart", RetrieveOnly, RETR R"(< Subject: nothing
        <  = MailHeadNext 1 Subject: nothing  = MailHeadDone 1
        = MultiPartOpen 1 1 multipart/mixed - - 7bit -
        < .  = MimeDataDone 1 1  = RetrDone 1  = MultiPartClose 1 m1  > DELE 1)"},
    {"HeaderWithoutEmptyLineNeverReportsItsLastField", RetrieveOnly, RETR R"(< Subject: a
        < X-Last: b  = MailHeadNext 1 Subject: a
        < .  = RetrDone 1  > DELE 1)"},
    {"MultipartClosedOnlyByTheEndOfTheMessage", RetrieveOnly,
     RETR R"(< Content-Type: multipart/mixed; boundary=X
        <  = MailHeadNext 1 Content-Type: multipart/mixed; boundary=X  = MailHeadDone 1
        = MultiPartOpen 1 1 multipart/mixed - - 7bit -
        < --X  = MimeHeadFirst 1 1
        <  = MimeHeadDone 1 1  = MimeDataFirst 1 1 text/plain - - 7bit text
        < body  = MimeDataNext 1 1 body\r\n
        < .  = MimeDataDone 1 1  = RetrDone 1  = MultiPartClose 1 m1  > DELE 1)"},
    {"ContainersOfABrokenTransferCloseAfterTheNextMessagesOwn", RetrieveOnly,
     RETR R"(< Content-Type: multipart/mixed; boundary=X
        <  = MailHeadNext 1 Content-Type: multipart/mixed; boundary=X  = MailHeadDone 1
        = MultiPartOpen 1 1 multipart/mixed - - 7bit -
        < --X  = MimeHeadFirst 1 1
        ! closed  = Done -2 UNEXPECTED DISCONNECT | DONE(FAIL UNEXPECTED DISCONNECT)
        ! pop pop.example bob secret 0  * connect pop.example:110 0 tls=0 verify
        ! connected
        )" RETR R"(< Subject: next
        <  = MailHeadNext 1 Subject: next  = MailHeadDone 1
        = MultiPartOpen 1 1 multipart/mixed - - 7bit m1
        < .  = MimeDataDone 1 1  = RetrDone 1  = MultiPartClose 1 m2  = MultiPartClose 1 m1
        > DELE 1)"},
    {"ContentTypeParametersAreUnquotedAndMatchedWithoutCase", RetrieveBytes(),
     RETR R"(< Content-Type: multipart/mixed; boundary="=_b;1"
        <  = MailHeadNext 1 Content-Type: multipart/mixed; boundary="=_b;1"  = MailHeadDone 1
        = MultiPartOpen 1 1 multipart/mixed - - 7bit -
        < --=_b;1  = MimeHeadFirst 1 1
        < content-type: Text/Plain; CHARSET="iso-2022-jp"; Name=a.txt; format=flowed
        < Content-Transfer-Encoding: QUOTED-PRINTABLE
        = MimeHeadNext 1 1 content-type: Text/Plain; CHARSET="iso-2022-jp"; Name=a.txt; format=flowed
        <  = MimeHeadNext 1 1 Content-Transfer-Encoding: QUOTED-PRINTABLE  = MimeHeadDone 1 1
        = MimeDataFirst 1 1 Text/Plain a.txt iso-2022-jp QUOTED-PRINTABLE text
        < x  = MimeDataNext 1 1 <qp:x\r\n>
        < --=_b;1--  = MimeDataDone 1 1  = MultiPartClose 1 m1)"},
    {"FieldWithSpaceBeforeColonIsReportedButNotRecognised", RetrieveOnly,
     RETR R"(< Content-Type : multipart/mixed; boundary=X
        <  = MailHeadNext 1 Content-Type : multipart/mixed; boundary=X  = MailHeadDone 1
        = MultiPartOpen 1 1 multipart/mixed - - 7bit -
        < --X  = MimeHeadFirst 1 1  = MimeHeadDone 1 1
        = MimeDataFirst 1 1 text/plain - - 7bit text  = MimeDataNext 1 1 --X\r\n)"},
    {"FoldedLinesJoinWithoutSpaceAndLinesWithoutColonAreDropped", RetrieveOnly,
     RETR R"(< Subject: part one
        <  part two
        < \t \tand three
        < no colon here  = MailHeadNext 1 Subject: part onepart twoand three
        < X-A:b
        <  = MailHeadNext 1 X-A: b  = MailHeadDone 1
        = MultiPartOpen 1 1 multipart/mixed - - 7bit -)"},
    {"UndecodableHeaderLineIsKeptAsItCame",
     [](PopDriver& d) {
         RetrieveOnly(d);
         d.codec->failHeaderOn = "=?broken";
     },
     RETR R"(< Subject: =?broken?= x
        <  = MailHeadNext 1 Subject: =?broken?= x  = MailHeadDone 1
        = MultiPartOpen 1 1 multipart/mixed - - 7bit -)"},
    {"DelimiterPrefixEndsDataButOnlyTheExactLineOpensAPart", RetrieveOnly,
     RETR R"(< Content-Type: multipart/mixed; boundary=X
        <  = MailHeadNext 1 Content-Type: multipart/mixed; boundary=X  = MailHeadDone 1
        = MultiPartOpen 1 1 multipart/mixed - - 7bit -
        < --Xtra
        < --X  = MimeHeadFirst 1 1
        <  = MimeHeadDone 1 1  = MimeDataFirst 1 1 text/plain - - 7bit text
        < a  = MimeDataNext 1 1 a\r\n
        < --Xtra  = MimeDataDone 1 1  = MimeHeadFirst 1 2
        <  = MimeHeadDone 1 2  = MimeDataFirst 1 2 text/plain - - 7bit text
        < b  = MimeDataNext 1 2 b\r\n)"},
    {"AfterTheLastDelimiterBareDashesOpenPartTwo", RetrieveOnly,
     RETR R"(< Content-Type: multipart/mixed; boundary=X
        <  = MailHeadNext 1 Content-Type: multipart/mixed; boundary=X  = MailHeadDone 1
        = MultiPartOpen 1 1 multipart/mixed - - 7bit -
        < --X  = MimeHeadFirst 1 1
        <  = MimeHeadDone 1 1  = MimeDataFirst 1 1 text/plain - - 7bit text
        < a  = MimeDataNext 1 1 a\r\n
        < --X--  = MimeDataDone 1 1  = MultiPartClose 1 m1
        < epilogue
        < --  = MimeHeadFirst 1 2
        <  = MimeHeadDone 1 2  = MimeDataFirst 1 2 text/plain - - 7bit text
        < tail  = MimeDataNext 1 2 tail\r\n
        < ----  = MimeDataDone 1 2
        < ignored
        < .  = RetrDone 1  > DELE 1)"},
    {"PartWithMultipartTypeButNoBoundaryOpensOnBareDashes", RetrieveOnly,
     RETR R"(< Content-Type: multipart/mixed; boundary=X
        <  = MailHeadNext 1 Content-Type: multipart/mixed; boundary=X  = MailHeadDone 1
        = MultiPartOpen 1 1 multipart/mixed - - 7bit -
        < --X  = MimeHeadFirst 1 1
        < Content-Type: multipart/related
        <  = MimeHeadNext 1 1 Content-Type: multipart/related  = MimeHeadDone 1 1
        = MultiPartOpen 1 1 multipart/related - - 7bit m1
        < --  = MimeHeadFirst 1 1
        <  = MimeHeadDone 1 1  = MimeDataFirst 1 1 text/plain - - 7bit text
        < inner  = MimeDataNext 1 1 inner\r\n
        < .  = MimeDataDone 1 1  = RetrDone 1  = MultiPartClose 1 m2  = MultiPartClose 1 m1
        > DELE 1)"},
    // NestedDelimiters: a closing delimiter between parts closes the current multipart, so the
    // part after an HTML message's alternative and related parts arrives.
    {"NestedDelimitersCloseBetweenParts", Nested,
     RETR R"(< Content-Type: multipart/mixed; boundary=M
        <  = MailHeadNext 1 Content-Type: multipart/mixed; boundary=M  = MailHeadDone 1
        = MultiPartOpen 1 1 multipart/mixed - - 7bit -
        < --M  = MimeHeadFirst 1 1
        < Content-Type: multipart/alternative; boundary=A
        <  = MimeHeadNext 1 1 Content-Type: multipart/alternative; boundary=A  = MimeHeadDone 1 1
        = MultiPartOpen 1 1 multipart/alternative - - 7bit m1
        < --A  = MimeHeadFirst 1 1
        <  = MimeHeadDone 1 1  = MimeDataFirst 1 1 text/plain - - 7bit text
        < plain  = MimeDataNext 1 1 plain\r\n
        < --A  = MimeDataDone 1 1  = MimeHeadFirst 1 2
        < Content-Type: multipart/related; boundary=R
        <  = MimeHeadNext 1 2 Content-Type: multipart/related; boundary=R  = MimeHeadDone 1 2
        = MultiPartOpen 1 2 multipart/related - - 7bit m2
        < --R  = MimeHeadFirst 1 1
        <  = MimeHeadDone 1 1  = MimeDataFirst 1 1 text/plain - - 7bit text
        < html  = MimeDataNext 1 1 html\r\n
        < --R--  = MimeDataDone 1 1  = MultiPartClose 1 m3
        < --A--\t  = MultiPartClose 1 m2
        < --M  = MimeHeadFirst 1 2
        < Content-Type: application/pdf
        <  = MimeHeadNext 1 2 Content-Type: application/pdf  = MimeHeadDone 1 2
        = MimeDataFirst 1 2 application/pdf - - 7bit text
        < pdf  = MimeDataNext 1 2 pdf\r\n
        < --M--  = MimeDataDone 1 2  = MultiPartClose 1 m1
        < .  = RetrDone 1  > DELE 1)"},
    // ... and a delimiter of an enclosing multipart closes the nested ones left open, from part
    // data two levels down and from between parts one level down.
    {"NestedDelimitersCloseWhatTheEnclosingDelimiterLeavesOpen", Nested,
     RETR R"(< Content-Type: multipart/mixed; boundary=M
        <  = MailHeadNext 1 Content-Type: multipart/mixed; boundary=M  = MailHeadDone 1
        = MultiPartOpen 1 1 multipart/mixed - - 7bit -
        < --M  = MimeHeadFirst 1 1
        < Content-Type: multipart/alternative; boundary=A
        <  = MimeHeadNext 1 1 Content-Type: multipart/alternative; boundary=A  = MimeHeadDone 1 1
        = MultiPartOpen 1 1 multipart/alternative - - 7bit m1
        < --A  = MimeHeadFirst 1 1
        < Content-Type: multipart/related; boundary=R
        <  = MimeHeadNext 1 1 Content-Type: multipart/related; boundary=R  = MimeHeadDone 1 1
        = MultiPartOpen 1 1 multipart/related - - 7bit m2
        < --R  = MimeHeadFirst 1 1
        <  = MimeHeadDone 1 1  = MimeDataFirst 1 1 text/plain - - 7bit text
        < x  = MimeDataNext 1 1 x\r\n
        < --M  = MimeDataDone 1 1  = MultiPartClose 1 m3  = MultiPartClose 1 m2  = MimeHeadFirst 1 2
        < Content-Type: multipart/related; boundary=S
        <  = MimeHeadNext 1 2 Content-Type: multipart/related; boundary=S  = MimeHeadDone 1 2
        = MultiPartOpen 1 2 multipart/related - - 7bit m2
        < --S  = MimeHeadFirst 1 1
        < Content-Type: multipart/alternative; boundary=T
        <  = MimeHeadNext 1 1 Content-Type: multipart/alternative; boundary=T  = MimeHeadDone 1 1
        = MultiPartOpen 1 1 multipart/alternative - - 7bit m4
        < --T  = MimeHeadFirst 1 1
        <  = MimeHeadDone 1 1  = MimeDataFirst 1 1 text/plain - - 7bit text
        < y  = MimeDataNext 1 1 y\r\n
        < --T--  = MimeDataDone 1 1  = MultiPartClose 1 m5
        < --M--\x20  = MultiPartClose 1 m4  = MultiPartClose 1 m1
        < .  = RetrDone 1  > DELE 1)"},
    {"FoldedFieldOverTheLineLimitEndsTheTransfer",
     [](PopDriver& d) {
         RetrieveOnly(d);
         d.control->MaxLineLength(20);
     },
     RETR R"(< Subject: 0123456789
        <  0123456789  * close
        ! closed  = Done -1 HEADER FIELD TOO LONG | DONE(FAIL))"},
};
INSTANTIATE_TEST_SUITE_P(Messages, PopScript, ::testing::ValuesIn(kMessages), RowName);

const auto kGuard = Set([](popZef& c) { c.DesyncGuard(true); });
#define OUT_OF_STEP                                                                              \
    "* close\n! closed  = Done -1 SERVER REPLIES OUT OF STEP WITH THE COMMANDS: CLOSED WITHOUT " \
    "QUIT | DONE(FAIL)"

// DesyncGuard: a reply that cannot answer the command it follows ends the transfer without QUIT;
// an honest dialogue goes on as without it.
const Row kDesync[] = {
    {"HonestRepliesGoOn", kGuard,
     TO_TOP "< +OK\\r\\n.  = RetrFirst 1 120  = MailHeadFirst 1  > RETR 1\n"
            "< +OK 120 octets\\r\\n.  = RetrDone 1  > DELE 1\n< +OK  > QUIT"},
    {"UidlReplyOfAnotherMessage", kGuard,
     ONE "< +OK 1 120  = UidlFirst 1  > UIDL 1\n< +OK nobody asked  " OUT_OF_STEP},
    {"MessageLineWhereAStatusWasDue", kGuard, LOGIN "< Subject: hi  " OUT_OF_STEP},
    {"MessageFarShorterThanItsListedSize", kGuard, LOGIN R"(< +OK 1 40000  = Stat 1 40000  > LIST 1
        < +OK 1 40000  = UidlFirst 1  > UIDL 1
        < +OK 1 x  = UidlDone 1 x  = TopFirst 1  > TOP 1 0
        < +OK\r\n.  = RetrFirst 1 40000  = MailHeadFirst 1  > RETR 1
        < +OK\r\n.  )" OUT_OF_STEP},
    {"ListReplyOfAnotherMessageWhilePipelining",
     [](PopDriver& d) {
         kGuard(d), Pipelined({"UidlFirst", "TopFirst"})(d);
     },
     PIPELINE_LOGIN("PIPELINING") R"(< +OK 1 100  = UidlFirst 1  = TopFirst 1  = RetrFirst 1 100
        = MailHeadFirst 1  > RETR 1  > LIST 2  > RETR 2
        < +OK\r\n.  = RetrDone 1  > DELE 1
        < +OK 3 100  )" OUT_OF_STEP},
};
INSTANTIATE_TEST_SUITE_P(Desync, PopScript, ::testing::ValuesIn(kDesync), RowName);

// What each transfer encoding makes of a data line, as bytes and as text (the stand-in codec
// marks what each decoder was given).
Row Data(const char* name, const char* encoding, bool text, const char* line, const char* data) {
    return {name,
            [=](PopDriver& d) {
                RetrieveOnly(d);
                d.answers["MimeDataFirst"] = text;
            },
            RETR "< Content-Transfer-Encoding: " + std::string(encoding) +
                "\n<  = MailHeadNext 1 Content-Transfer-Encoding: " + encoding +
                "  = MailHeadDone 1\n= MultiPartOpen 1 1 multipart/mixed - - 7bit -\n< " + line +
                "  = MimeHeadFirst 1 1  = MimeHeadDone 1 1\n= MimeDataFirst 1 1 text/plain - - " +
                Unescape(encoding) + " text  = MimeDataNext 1 1 " + data};
}

const Row kData[] = {
    Data("SevenBitText", "7bit", true, "abc", "abc\\r\\n"),
    Data("SevenBitBytes", "7bit", false, "abc", "abc\\r\\n"),
    Data("EightBitBytesAreExact", "8bit", false, "\\xE9t\\xE9\\x00\\xFF\\x1B$B",
         "\\xE9t\\xE9\\x00\\xFF\\x1B$B\\r\\n"),
    Data("BinaryBytesAreExact", "binary", false, "\\xE9\\x00\\xFF", "\\xE9\\x00\\xFF\\r\\n"),
    Data("Base64GetsTheLineAlone", "Base64", false, "YWJj", "<b64:YWJj>"),
    Data("QuotedPrintableGetsTheLineWithItsEnd", "quoted-printable", false,
         "abc=", "<qp:abc=\\r\\n>"),
    Data("DecodedTextIsConverted", "base64", true, "YWJj", "<b64:YWJj>"),
    // a trailing blank is not trimmed from the field value: the part is not base64
    Data("EncodingNamesAreMatchedExactly", "base64\\x20", false, "YWJj", "YWJj\\r\\n"),
};
INSTANTIATE_TEST_SUITE_P(Data, PopScript, ::testing::ValuesIn(kData), RowName);

}  // namespace
}  // namespace zef::test
