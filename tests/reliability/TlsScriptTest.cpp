// TLS in the dialogues of both controls, as scripts (the notation is in
// tests/support/ControlDriver.h): the settings handed to the wire, implicit TLS, STARTTLS and
// STLS with their refusals and failures; only the upgrade command travels before the handshake.
#include <gtest/gtest.h>

#include "tests/support/ControlDriver.h"

namespace zef::test {
namespace {

// A row for either control: rows named Pop... drive popZef, the others smtpZef.
struct Row {
    const char* name;
    std::function<void(Driver&)> setup;
    std::string script;
    bool cut = true;
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

// A setup for either control: `set(control, driver)`.
template <class Set>
std::function<void(Driver&)> Both(Set set) {
    return [set](Driver& d) { OnControl(d, set); };
}

// Security, and for SMTP a LOGIN or PLAIN login as tim.
std::function<void(Driver&)> Secure(long security, long auth = 0) {
    return Both([=](auto& c, Driver& d) {
        c.Security(security);
        if (auto* smtp = dynamic_cast<SmtpDriver*>(&d)) {
            smtp->control->Auth(auth);
            smtp->control->User(u"tim");
            smtp->control->Pass(u"s3cret-pw");
        }
    });
}

const auto kSettings = Both([](auto& c, Driver&) {
    c.Port(u"2525");
    c.Security(1);
    c.VerifyCert(false);
    c.CAFile(u"/etc/zef/\u8a3c\u660e.pem");
});
const auto kCannotUpgrade = Both([](auto& c, Driver& d) {
    c.Security(2);
    d.wire->throwOnStartTls = true;
});
const auto kWithoutTls = Both([](auto& c, Driver& d) {
    c.Security(1);
    d.wire->withoutTls = true;
});
const auto kGuarded = Both([](auto& c, Driver&) {
    c.Security(2);
    c.TransTimeout(2);
});

#define EHLO "< 220 mx.example ESMTP  > EHLO client.example\n< 250 mx.example  > STARTTLS\n"
#define STLS                                                                                  \
    "! pop pop.example bob s3cret 0  * connect pop.example:110 0 tls=2 verify\n! connected\n" \
    "< +OK POP3 ready <1896.697170952@dbc.mtview.ca.us>  > STLS\n"

const Row kRows[] = {
    {"SmtpHandsItsSettingsToTheWire", kSettings,
     R"(! smtp mx.example
        * connect mx.example:2525 0 tls=1 noverify ca=/etc/zef/\xE8\xA8\xBC\xE6\x98\x8E.pem)"},
    {"PopHandsItsSettingsToTheWire", kSettings,
     R"(! pop pop.example bob pw 0
        * connect pop.example:2525 0 tls=1 noverify ca=/etc/zef/\xE8\xA8\xBC\xE6\x98\x8E.pem)"},
    {"SmtpImplicitTlsKeepsTheDialogue", Secure(1, 3),
     R"(< 220 mx.example ESMTP  > EHLO client.example
        < 250 mx.example  > AUTH PLAIN
        < 334\x20  > [B64:\x00tim\x00s3cret-pw])"},
    {"SmtpStartTlsThenEhloAgainAndTheLogin", Secure(2, 2),
     R"(! traces
        < 220 mx.example ESMTP  C PROCESSING  T 220 mx.example ESMTP  T >>EHLO client.example
        > EHLO client.example
        < 250-mx.example\r\n250 STARTTLS  T 250-mx.example  T 250 STARTTLS  T >>STARTTLS\x20
        > STARTTLS
        < 220 ready to start TLS  T 220 ready to start TLS  * starttls
        ! tls  T >>EHLO client.example  > EHLO client.example
        < 250 AUTH LOGIN  T 250 AUTH LOGIN  T >>AUTH LOGIN  > AUTH LOGIN)"},
    // What the server offered in the clear is forgotten; the second EHLO's list counts.
    {"SmtpCapabilitiesAfterStartTlsAreTheSecondEhlos",
     [](Driver& d) { Secure(2)(d), static_cast<SmtpDriver&>(d).LogServerEvents(); },
     R"(< 220 mx.example ESMTP  > EHLO client.example
        < 250-mx.example\r\n250 STARTTLS  = Capabilities STARTTLS  > STARTTLS
        < 220 go ahead  * starttls
        ! tls  > EHLO client.example
        < 250-mx.example\r\n250 SIZE 100  = Capabilities SIZE 100  > MAIL FROM:<a@example.jp>)"},
    {"SmtpStartTlsWithoutAuthStillSaysEhlo", Secure(2), EHLO R"(< 220 go ahead  * starttls
        ! tls  > EHLO client.example
        < 250 mx.example  > MAIL FROM:<a@example.jp>
        < 250 ok  > RCPT TO:<r1@example.jp>
        < 250 ok  > DATA
        < 354 go ahead  > X-TALVORN: zef smtpZef 0.1  > Subject: x  >
        ! sent  = MoreData 1  >  > .
        < 250 queued  > QUIT
        < 221 bye  * close
        ! closed  = Done 0 - | DONE(COMPLETE))"},
    {"PopStlsThenUserAndPass", Secure(2), STLS R"(< +OK Begin TLS negotiation  * starttls
        ! tls  > USER bob
        < +OK  > PASS s3cret
        < +OK logged in  > STAT
        < +OK 0 0  = Stat 0 0  > QUIT
        < +OK bye  * shutdown
        ! closed  = Done 0 - | DONE(COMPLETE))"},
    // The time stamp of the greeting counts, not anything the go-ahead holds.
    {"PopApopAfterStlsUsesTheGreetingsTimestamp",
     [](Driver& d) {
         static_cast<PopDriver&>(d).control->Security(2);
         static_cast<PopDriver&>(d).control->APOP(true);
     },
     STLS R"(< +OK <other.1@elsewhere>  * starttls
        ! tls  > APOP bob 220883b910ec2846f3624ece13e8293f)"},
    {"SmtpRefusedStartTls", Secure(2, 2), EHLO R"(< 454 4.7.0 TLS not available  > RSET
        < 250 reset  * close
        ! closed  = Done -1 454 4.7.0 TLS not available | DONE(FAIL))"},
    {"SmtpNonTwoReplyToStartTlsIsNoGoAhead", Secure(2), EHLO R"(< 334 what  > RSET
        < 250 ok  * close
        ! closed  = Done -1 UNEXPECTED REPLY: 334 what | DONE(FAIL))"},
    // CAPA read in the clear is dropped after the handshake: AutoAuth finds nothing to choose.
    {"PopCapaBeforeAndAfterStls",
     [](Driver& d) {
         static_cast<PopDriver&>(d).control->Security(2);
         static_cast<PopDriver&>(d).control->AutoAuth(true);
     },
     R"(! pop pop.example bob s3cret 0  * connect pop.example:110 0 tls=2 verify
        ! connected
        < +OK ready  > CAPA
        < +OK\r\nSASL PLAIN\r\n.  = CapabilitiesReceived SASL PLAIN  > STLS
        < +OK go ahead  * starttls
        ! tls  > CAPA
        < -ERR  > USER bob)"},
    {"PopRefusedStls", Secure(2), STLS R"(< -ERR TLS support isn't enabled.  * shutdown
        ! closed  = Done -1 -ERR TLS support isn't enabled. | DONE(FAIL))"},
    {"PopRefusedGreetingSendsNoStls", Secure(2), "< -ERR busy  * shutdown"},
    // What follows the go-ahead in the same arrival was put there on the way: nothing of it is
    // read and no handshake starts.
    {"SmtpLineAfterTheGoAhead", Secure(2), EHLO R"(< 220 go ahead\r\n250 AUTH ok  * close
        ! closed  = Done -1 UNEXPECTED DATA AFTER STARTTLS REPLY | DONE(FAIL))",
     false},
    {"SmtpByteAfterTheGoAhead", Secure(2), EHLO R"(<~ 220 go ahead\r\n2  * close
        ! closed  = Done -1 UNEXPECTED DATA AFTER STARTTLS REPLY | DONE(FAIL))",
     false},
    {"PopLineAfterTheGoAhead", Secure(2), STLS R"(< +OK go ahead\r\n+OK  * close
        ! closed  = Done -1 UNEXPECTED DATA AFTER STLS REPLY | DONE(FAIL))",
     false},
    {"PopByteAfterTheGoAhead", Secure(2), STLS R"(<~ +OK go ahead\r\n+  * close
        ! closed  = Done -1 UNEXPECTED DATA AFTER STLS REPLY | DONE(FAIL))",
     false},
    {"SmtpFailedHandshake", Secure(2, 3), EHLO R"(< 220 go ahead  * starttls
        ! error 10 certificate verify failed: certificate has expired
        ! closed  = Done 10 certificate verify failed: certificate has expired | DONE(FAIL))"},
    {"PopFailedHandshake", Secure(2), STLS R"(< +OK go ahead  * starttls
        ! error 62 certificate verify failed: hostname mismatch
        ! closed  = Done 62 certificate verify failed: hostname mismatch | DONE(FAIL))"},
    {"SmtpWireThatCannotUpgrade", kCannotUpgrade,
     EHLO "< 220 go ahead  * starttls  * close\n! closed  = Done 5 cannot start TLS | DONE(FAIL)"},
    {"PopWireThatCannotUpgrade", kCannotUpgrade,
     STLS "< +OK go ahead  * starttls  * close\n! closed  = Done 5 cannot start TLS | DONE(FAIL)"},
    {"SmtpWireWithoutTlsRefusesAtOnce", kWithoutTls,
     R"(! smtp mx.example  = Done 380 this wire has no TLS | Connect Error(380)this wire has no TLS
        ! smtp mx.example  = Done 380 this wire has no TLS | Connect Error(380)this wire has no TLS)"},
    {"PopWireWithoutTlsRefusesAtOnce", kWithoutTls,
     "! pop pop.example bob pw 0\n"
     "= Done 380 this wire has no TLS | Connect Error(380)this wire has no TLS"},
    // A handshake that never ends is bounded by the transfer guard; TlsReady re-arms it.
    {"SmtpTransferGuardCoversTheHandshake", kGuarded, EHLO R"(< 220 go ahead  * starttls
        ! tick 2
        ! tls  > EHLO client.example
        ! tick 2
        ! tick 1  * close
        ! closed  = Done -4 trans timeout | DONE(FAIL))"},
    {"PopTransferGuardCoversTheHandshake", kGuarded, STLS R"(< +OK go ahead  * starttls
        ! tick 2
        ! tls  > USER bob
        ! tick 2
        ! tick 1  * close
        ! closed  = Done -4 trans timeout | DONE(FAIL))"},
    {"SmtpUnaskedTlsReadyIsIgnored", nullptr,
     R"(< 220 mx.example ESMTP  > HELO client.example
        ! tls
        < 250 hello  > MAIL FROM:<a@example.jp>)"},
    {"PopUnaskedTlsReadyIsIgnored", nullptr, R"(< +OK ready  > USER bob
        ! tls
        < +OK  > PASS secret)"},
};

class TlsScript : public ::testing::TestWithParam<Row> {};

TEST_P(TlsScript, GivesItsTranscript) {
    const Row& row = GetParam();
    ExpectScript(
        [&]() -> std::unique_ptr<Driver> {
            std::unique_ptr<Driver> driver;
            if (std::string_view(row.name).starts_with("Pop")) {
                driver = std::make_unique<PopDriver>();
            } else {
                driver = std::make_unique<SmtpDriver>();
            }
            if (row.setup) {
                row.setup(*driver);
            }
            return driver;
        },
        row.script, row.cut);
}

INSTANTIATE_TEST_SUITE_P(BothControls, TlsScript, ::testing::ValuesIn(kRows), RowName);

}  // namespace
}  // namespace zef::test
