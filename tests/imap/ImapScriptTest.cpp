// The IMAP dialogue as scripts (the notation is in tests/support/ControlDriver.h): each row is
// played with every response whole, cut in two at every byte, and one byte at a time, and must
// give its transcript back each time.
#include <gtest/gtest.h>

#include <set>

#include "common/Error.h"
#include "components/PropertyBag.h"
#include "imap/ImapControl.h"

#include "tests/support/ControlDriver.h"

namespace zef::test {
namespace {

using Row = ScriptRow<ImapDriver>;

// The real converter and codec: messages are parsed as applications see them.
constexpr Parts kReal{true, true};

class ImapScript : public ::testing::TestWithParam<Row> {};

TEST_P(ImapScript, GivesItsTranscript) {
    ExpectScript(GetParam());
}

// Sets the control up; TOP is declined unless the row says otherwise.
std::function<void(ImapDriver&)> Set(const std::function<void(imapZef&)>& set = nullptr,
                                     std::map<std::string, bool> answers = {}) {
    return [=](ImapDriver& d) {
        d.answers = answers;
        d.answers.emplace("TopFirst", true);
        if (set) {
            set(*d.control);
        }
    };
}

// Logged in (the capabilities came with the OK), INBOX selected with two messages.
#define SELECTED                                                                        \
    "< * OK [CAPABILITY IMAP4rev1 UIDPLUS IDLE] ready\n"                                \
    "= CapabilitiesReceived IMAP4rev1 UIDPLUS IDLE  > Z1 LOGIN bob secret\n"            \
    "< Z1 OK [CAPABILITY IMAP4rev1 UIDPLUS IDLE] in  = CapabilitiesReceived IMAP4rev1 " \
    "UIDPLUS IDLE  > Z2 SELECT INBOX\n"                                                 \
    "< * 2 EXISTS\n< * OK [UIDVALIDITY 42] ok\n"                                        \
    "< Z2 OK [READ-WRITE] selected  = FolderSelected INBOX 42 2  > Z3 UID SEARCH ALL\n"
// ... and the search and sizes answered: UIDs 7 and 9, the first message asked for.
#define WALKING                                                               \
    SELECTED                                                                  \
    "< * SEARCH 9 7\n< Z3 OK  > Z4 UID FETCH 7,9 (RFC822.SIZE)\n"             \
    "< * 1 FETCH (UID 7 RFC822.SIZE 18)\n< * 2 FETCH (UID 9 RFC822.SIZE 4)\n" \
    "< Z4 OK  = Stat 2 22  = UidlFirst 1  = UidlDone 1 42.7  = TopFirst 1  "  \
    "= RetrFirst 1 18  = MailHeadFirst 1  > Z5 UID FETCH 7 (UID BODY.PEEK[])\n"
// ... and the first message's literal received.
#define FIRST_BODY \
    WALKING "< * 1 FETCH (UID 7 BODY[] {18}\n<~ Subject: x\\r\\n\\r\\nhi\\r\\n)\\r\\n\n"

const Row kWalk[] = {
    {"DeletesWhatWasTakenAndKeepsTheRest", Set(nullptr, {{"RetrDone 2", true}}),
     FIRST_BODY R"(= MailHeadNext 1 Subject: x  = MailHeadDone 1
        = MultiPartOpen 1 1 multipart/mixed - - 7bit -  = MimeHeadFirst 1 1  = MimeHeadDone 1 1
        = MimeDataFirst 1 1 text/plain - - 7bit text  = MimeDataNext 1 1 hi\r\n
        < Z5 OK  = MimeDataDone 1 1  = RetrDone 1  = MultiPartClose 1 m1  = UidlFirst 2  = UidlDone 2 42.9  = TopFirst 2  = RetrFirst 2 4
        = MailHeadFirst 2  > Z6 UID FETCH 9 (UID BODY.PEEK[])
        < * 2 FETCH (BODY[] "A: b" UID 9)
        < Z6 OK  = RetrDone 2  > Z7 UID STORE 7 +FLAGS.SILENT (\\Deleted)
        < Z7 OK  > Z8 UID EXPUNGE 7
        < * 1 EXPUNGE
        < Z8 OK  > Z9 LOGOUT
        < * BYE  < Z9 OK  * shutdown
        ! closed  = Done 0 - | DONE(COMPLETE))",
     true, kReal},
    {"DeletedUnreadByUidlAndNothingFlaggedWhenReadOnly",
     Set([](imapZef& c) { c.ReadOnly(true); }, {{"UidlDone", true}}),
     R"(< * OK [CAPABILITY IMAP4rev1 UIDPLUS] ready  = CapabilitiesReceived IMAP4rev1 UIDPLUS  > Z1 LOGIN bob secret
        < Z1 OK [CAPABILITY IMAP4rev1 UIDPLUS] in  = CapabilitiesReceived IMAP4rev1 UIDPLUS
        > Z2 EXAMINE INBOX
        < * 1 EXISTS  < * OK [UIDVALIDITY 5]
        < Z2 OK  = FolderSelected INBOX 5 1  > Z3 UID SEARCH ALL
        < * SEARCH 3  < Z3 OK  > Z4 UID FETCH 3 (RFC822.SIZE)
        < * 1 FETCH (UID 3 RFC822.SIZE 10)
        < Z4 OK  = Stat 1 10  = UidlFirst 1  = UidlDone 1 5.3  > Z5 LOGOUT)"},
    {"HeaderLinesAsTop", Set(nullptr, {{"TopFirst", false}, {"TopDone", true}}),
     SELECTED R"(< * SEARCH 7  < Z3 OK  > Z4 UID FETCH 7 (RFC822.SIZE)
        < * 1 FETCH (UID 7 RFC822.SIZE 9)
        < Z4 OK  = Stat 1 9  = UidlFirst 1  = UidlDone 1 42.7  = TopFirst 1
        > Z5 UID FETCH 7 (UID BODY.PEEK[HEADER])
        < * 1 FETCH (UID 7 BODY[HEADER] {8}
        <~ A: b\r\n\r\n)\r\n  = TopNext 1 A: b  = TopNext 1 -
        < Z5 OK  = TopDone 1  > Z6 UID STORE 7 +FLAGS.SILENT (\\Deleted))"},
    {"ExtendedSearchAnswerAsAUidSet", Set(),
     SELECTED
     R"(< * ESEARCH (TAG "Z3") UID ALL 9:10,7  < Z3 OK  > Z4 UID FETCH 7,9:10 (RFC822.SIZE))"},
    {"EmptyFolderAsksNothingMore", Set(),
     R"(< * OK [CAPABILITY IMAP4rev1] ready  = CapabilitiesReceived IMAP4rev1  > Z1 LOGIN bob secret
        < Z1 OK in  > Z2 CAPABILITY
        < * CAPABILITY IMAP4rev1 IDLE  = CapabilitiesReceived IMAP4rev1 IDLE
        < Z2 OK  > Z3 SELECT INBOX
        < * 0 EXISTS  < Z3 OK  = FolderSelected INBOX - 0  = Stat 0 0  > Z4 LOGOUT)"},
    {"AbendCommitsWhatWasDeletedSoFar",
     [](ImapDriver& d) {
         Set()(d);
         d.abendEvent = "RetrDone";
         d.abendId = 1;
         d.abendArgument = "0";
     },
     FIRST_BODY R"(= MailHeadNext 1 Subject: x  = MailHeadDone 1
        = MultiPartOpen 1 1 multipart/mixed - - 7bit -  = MimeHeadFirst 1 1  = MimeHeadDone 1 1
        = MimeDataFirst 1 1 text/plain - - 7bit text  = MimeDataNext 1 1 hi\r\n
        < Z5 OK  = MimeDataDone 1 1  = RetrDone 1  = MultiPartClose 1 m1  > Z6 UID STORE 7 +FLAGS.SILENT (\\Deleted))",
     true, kReal},
    // Each kept message is flagged unless the application says no (one it could not save).
    {"MarkSeenFlagsWhatIsKept",
     Set([](imapZef& c) { c.MarkSeen(true); }, {{"RetrDone", true}, {"MarkSeenAsked 2", false}}),
     FIRST_BODY R"(= MailHeadNext 1 Subject: x  = MailHeadDone 1
        = MultiPartOpen 1 1 multipart/mixed - - 7bit -  = MimeHeadFirst 1 1  = MimeHeadDone 1 1
        = MimeDataFirst 1 1 text/plain - - 7bit text  = MimeDataNext 1 1 hi\r\n
        < Z5 OK  = MimeDataDone 1 1  = RetrDone 1  = MultiPartClose 1 m1  = MarkSeenAsked 1  = UidlFirst 2  = UidlDone 2 42.9  = TopFirst 2  = RetrFirst 2 4
        = MailHeadFirst 2  > Z6 UID FETCH 9 (UID BODY.PEEK[])
        < * 2 FETCH (UID 9 BODY[] {0}
        < )  < Z6 OK  = RetrDone 2  = MarkSeenAsked 2  > Z7 UID STORE 7 +FLAGS.SILENT (\\Seen))",
     true, kReal},
    // Servers may run the fetch sent ahead at once: its data comes before the tagged answers.
    {"PipelinedBodyOfTheNextMessageIsTaken",
     Set([](imapZef& c) { c.Pipelining(true); }, {{"RetrDone", true}}),
     SELECTED R"(< * SEARCH 7 9  < Z3 OK  > Z4 UID FETCH 7,9 (RFC822.SIZE)
        < * 1 FETCH (UID 7 RFC822.SIZE 4)  < * 2 FETCH (UID 9 RFC822.SIZE 4)
        < Z4 OK  = Stat 2 8  = UidlFirst 1  = UidlDone 1 42.7  = TopFirst 1  = RetrFirst 1 4
        = MailHeadFirst 1  > Z5 UID FETCH 7 (UID BODY.PEEK[])  > Z6 UID FETCH 9 (UID BODY.PEEK[])
        < * 1 FETCH (UID 7 BODY[] "A: b")  = RetrDone 1  = UidlFirst 2  = UidlDone 2 42.9
        = TopFirst 2  = RetrFirst 2 4  = MailHeadFirst 2
        < * 2 FETCH (UID 9 BODY[] "A: c")  = RetrDone 2  > Z7 LOGOUT
        < Z5 OK  < Z6 OK
        < Z7 OK  * shutdown
        ! closed  = Done 0 - | DONE(COMPLETE))"},
    {"PipelinedBodyOfAMessageDeletedUnreadIsDropped",
     Set([](imapZef& c) { c.Pipelining(true); }, {{"RetrDone", true}, {"UidlDone 2", true}}),
     SELECTED R"(< * SEARCH 7 9  < Z3 OK  > Z4 UID FETCH 7,9 (RFC822.SIZE)
        < * 1 FETCH (UID 7 RFC822.SIZE 4)  < * 2 FETCH (UID 9 RFC822.SIZE 4)
        < Z4 OK  = Stat 2 8  = UidlFirst 1  = UidlDone 1 42.7  = TopFirst 1  = RetrFirst 1 4
        = MailHeadFirst 1  > Z5 UID FETCH 7 (UID BODY.PEEK[])  > Z6 UID FETCH 9 (UID BODY.PEEK[])
        < * 1 FETCH (UID 7 BODY[] "A: b")  = RetrDone 1  = UidlFirst 2  = UidlDone 2 42.9
        > Z7 UID STORE 9 +FLAGS.SILENT (\\Deleted)
        < * 2 FETCH (UID 9 BODY[] {8}
        <~ A: c\r\n\r\n)\r\n  < Z5 OK  < Z6 OK
        < Z7 OK  > Z8 UID EXPUNGE 9)"},
    {"PipelinedFetchTakenBackKeepsEverything", Set([](imapZef& c) { c.Pipelining(true); }),
     SELECTED R"(< * SEARCH 7  < Z3 OK  > Z4 UID FETCH 7 (RFC822.SIZE)
        < * 1 FETCH (UID 7 RFC822.SIZE 4)
        < Z4 OK  = Stat 1 4  = UidlFirst 1  = UidlDone 1 42.7  = TopFirst 1  = RetrFirst 1 4
        = MailHeadFirst 1  > Z5 UID FETCH 7 (UID BODY.PEEK[])
        < * 1 FETCH (UID 7 BODY[] "A: b")  = RetrDone 1  > Z6 UID STORE 7 +FLAGS.SILENT (\\Deleted)
        < Z5 NO broken  > Z7 LOGOUT)"},
};
INSTANTIATE_TEST_SUITE_P(Walk, ImapScript, ::testing::ValuesIn(kWalk), RowName);

const Row kFailures[] = {
    {"MissingFolderIsNamedAndNothingDeleted", Set(),
     R"(< * OK [CAPABILITY IMAP4rev1] ready  = CapabilitiesReceived IMAP4rev1  > Z1 LOGIN bob secret
        < Z1 OK [CAPABILITY IMAP4rev1] in  = CapabilitiesReceived IMAP4rev1  > Z2 SELECT INBOX
        < Z2 NO [NONEXISTENT] Unknown  > Z3 LOGOUT
        < Z3 OK  * shutdown
        ! closed  = ResponseCode NONEXISTENT
        = Done -1 SELECT "INBOX": NO [NONEXISTENT] Unknown | DONE(FAIL))"},
    {"UnreadableResponseClosesWithoutLogout", Set(),
     WALKING R"(< * 1 FETCH (UID 7 BODY[] {x}  * close
        ! closed  = Done -1 UNREADABLE RESPONSE: BAD LITERAL COUNT | DONE(FAIL))"},
    {"MessageNotReturnedDeletesNothing", Set(), WALKING R"(< Z5 OK  > Z6 LOGOUT
        < Z6 OK  * shutdown
        ! closed  = Done -1 MESSAGE UID 7 NOT RETURNED BY THE SERVER | DONE(FAIL))"},
    {"TagOfNoCommandIsOutOfStep", Set(),
     R"(< * OK ready  > Z1 CAPABILITY
        < Z9 OK  * close
        ! closed  = Done -1 SERVER RESPONSES OUT OF STEP WITH THE COMMANDS | DONE(FAIL))"},
    {"ByeGreeting", Set(),
     R"(< * BYE too busy  * close
        ! closed  = Done -1 BYE too busy | DONE(FAIL))"},
    {"TracesShowNoPassword", Set(),
     R"(! traces
        < * OK ready  C PROCESSING  T * OK ready  T >>Z1 CAPABILITY  > Z1 CAPABILITY
        < * CAPABILITY IMAP4rev1  T * CAPABILITY IMAP4rev1  = CapabilitiesReceived IMAP4rev1
        < Z1 OK  T Z1 OK  T >>Z2 LOGIN bob ***  > Z2 LOGIN bob secret)"},
    {"SocketTracesAreTheWiresUtf8", Set([](imapZef& c) { c.TcpTraceOn(true); }),
     "! traces\n! trace connecting 日本.jp  T connecting \\xE6\\x97\\xA5\\xE6\\x9C\\xAC.jp"},
    {"RefusedLoginWithItsCode", Set(),
     R"(< * OK [CAPABILITY IMAP4rev1] ready  = CapabilitiesReceived IMAP4rev1  > Z1 LOGIN bob secret
        < Z1 NO [AUTHENTICATIONFAILED] wrong  > Z2 LOGOUT
        ! closed  = ResponseCode AUTHENTICATIONFAILED
        = Done -1 LOGIN: NO [AUTHENTICATIONFAILED] wrong | DONE(FAIL))"},
};
INSTANTIATE_TEST_SUITE_P(Failures, ImapScript, ::testing::ValuesIn(kFailures), RowName);

const Row kLogin[] = {
    {"EightBitPasswordWaitsForTheGoAhead", Set(),
     R"(! imap imap.example bob p\xC3\xA4ss  * connect imap.example:143 0 tls=0 verify
        < * OK [CAPABILITY IMAP4rev1] ready  = CapabilitiesReceived IMAP4rev1  > Z1 LOGIN bob {5}
        < + go  > p\xC3\xA4ss)"},
    {"LiteralPlusGoesAtOnce", Set(),
     R"(! imap imap.example bob p\xC3\xA4ss  * connect imap.example:143 0 tls=0 verify
        < * OK [CAPABILITY IMAP4rev1 LITERAL+] ready  = CapabilitiesReceived IMAP4rev1 LITERAL+  > Z1 LOGIN bob {5+}  > p\xC3\xA4ss)"},
    {"StartTlsBeforeAnything", Set([](imapZef& c) { c.Security(2); }),
     R"(< * OK [CAPABILITY IMAP4rev1 STARTTLS] ready  = CapabilitiesReceived IMAP4rev1 STARTTLS  > Z1 STARTTLS
        < Z1 OK go  * starttls
        ! tls  > Z2 CAPABILITY
        < * CAPABILITY IMAP4rev1 AUTH=PLAIN  = CapabilitiesReceived IMAP4rev1 AUTH=PLAIN
        < Z2 OK  > Z3 LOGIN bob secret)"},
    {"InjectedBytesAfterStartTlsEndIt", Set([](imapZef& c) { c.Security(2); }),
     R"(< * OK ready  > Z1 STARTTLS
        <~ Z1 OK go\r\n* OK x  * starttls  * close
        ! closed  = Done -1 UNEXPECTED DATA AFTER STARTTLS REPLY | DONE(FAIL))"},
    {"PlainWithInitialResponse", Set([](imapZef& c) { c.SaslMechanism(u"PLAIN"); }),
     R"(< * OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=PLAIN] ready
        = CapabilitiesReceived IMAP4rev1 SASL-IR AUTH=PLAIN
        > Z1 AUTHENTICATE PLAIN AGJvYgBzZWNyZXQ=
        < Z1 OK [CAPABILITY IMAP4rev1] in  = CapabilitiesReceived IMAP4rev1  > Z2 SELECT INBOX)",
     true, kReal},
    {"PlainWithoutSaslIrWaits", Set([](imapZef& c) { c.SaslMechanism(u"PLAIN"); }),
     R"(< * OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] ready  = CapabilitiesReceived IMAP4rev1 AUTH=PLAIN  > Z1 AUTHENTICATE PLAIN
        < +  > AGJvYgBzZWNyZXQ=)",
     true, kReal},
    {"LoginDisabledSendsNoPassword", Set(),
     R"(< * OK [CAPABILITY IMAP4rev1 LOGINDISABLED] ready
        = CapabilitiesReceived IMAP4rev1 LOGINDISABLED  * close
        ! closed  = Done -1 LOGIN DISABLED BY THE SERVER: SET A SASL MECHANISM | DONE(FAIL))"},
};
INSTANTIATE_TEST_SUITE_P(Login, ImapScript, ::testing::ValuesIn(kLogin), RowName);

const Row kFolders[] = {
    {"ListedNamesInUtf8AndSelectInModifiedUtf7", Set([](imapZef& c) {
         c.ListFolders(true);
         c.Folder(u"仕事");
     }),
     R"(< * OK [CAPABILITY IMAP4rev1] ready  = CapabilitiesReceived IMAP4rev1  > Z1 LOGIN bob secret
        < Z1 OK [CAPABILITY IMAP4rev1] in  = CapabilitiesReceived IMAP4rev1  > Z2 LIST "" "*"
        < * LIST (\\HasNoChildren) "/" "&TtVOiw-"  = FolderListed \xE4\xBB\x95\xE4\xBA\x8B / \\HasNoChildren
        < * LIST (\\Noselect) NIL {4}
        <~ A&-B\r\n  = FolderListed A&B - \\Noselect
        < Z2 OK  > Z3 SELECT &TtVOiw-)"},
    {"Utf8AcceptedNamesGoAsTheyAre", Set([](imapZef& c) { c.Folder(u"仕事 x"); }),
     R"(< * OK [CAPABILITY IMAP4rev1 ENABLE UTF8=ACCEPT] ready  = CapabilitiesReceived IMAP4rev1 ENABLE UTF8=ACCEPT  > Z1 LOGIN bob secret
        < Z1 OK [CAPABILITY IMAP4rev1 ENABLE UTF8=ACCEPT] in
        = CapabilitiesReceived IMAP4rev1 ENABLE UTF8=ACCEPT  > Z2 ENABLE UTF8=ACCEPT
        < * ENABLED UTF8=ACCEPT  < Z2 OK  > Z3 SELECT "\xE4\xBB\x95\xE4\xBA\x8B x")"},
};
INSTANTIATE_TEST_SUITE_P(Folders, ImapScript, ::testing::ValuesIn(kFolders), RowName);

const Row kIdle[] = {
    {"NewMailIsWalkedAndIdleIssuedAgain", Set([](imapZef& c) {
         c.Idle(true);
         c.IdleTime(2);
     }),
     SELECTED R"(< * SEARCH  < Z3 OK  = Stat 0 0  > Z4 IDLE
        < + idling  = Idling
        < * 3 EXISTS  > DONE
        < Z4 OK  > Z5 UID SEARCH ALL)"},
    {"IdleIsIssuedAgainBeforeTheServersTimeOut", Set([](imapZef& c) {
         c.Idle(true);
         c.IdleTime(2);
         c.TransTimeout(1);
     }),
     SELECTED R"(< * SEARCH  < Z3 OK  = Stat 0 0  > Z4 IDLE
        < + idling  = Idling
        ! tick 2
        ! tick 1  > DONE
        < Z4 OK  > Z5 UID SEARCH ALL)"},
    // An expunge (ours after the walk, or another program's) lowers the count that new mail
    // is told by: an EXISTS back at the count seen before is a new message.
    {"NewMailAfterAnExpunge", Set([](imapZef& c) { c.Idle(true); }),
     SELECTED R"(< * SEARCH  < Z3 OK  = Stat 0 0  > Z4 IDLE
        < + idling  = Idling
        < * 2 EXPUNGE
        < * 2 EXISTS  > DONE
        < Z4 OK  > Z5 UID SEARCH ALL)"},
};
INSTANTIATE_TEST_SUITE_P(Idle, ImapScript, ::testing::ValuesIn(kIdle), RowName);

// Every persisted property goes out and comes back under its key; the setters' checks hold for
// stored values too.
TEST(ImapPersistence, EveryPropertyRoundTripsAndBadValuesAreRefused) {
    ImapDriver d;
    imapZef& c = *d.control;
    c.Port(u"993");
    c.DeleteOnError(true);
    c.ConnectTimeout(5);
    c.TransTimeout(6);
    c.Security(1);
    c.VerifyCert(false);
    c.CAFile(u"ca.pem");
    c.NestedDelimiters(true);
    c.ParseMessages(false);
    c.SaslMechanism(u"plain");
    c.AutoAuth(true);
    c.XOAuth2OneStep(true);
    c.Folder(u"仕事");
    c.Search(u"unseen  since 1-dec-2026");
    c.ReadOnly(true);
    c.ListFolders(true);
    c.MarkSeen(true);
    c.Idle(true);
    c.IdleTime(60);
    c.Pipelining(true);
    FilePropertyBag bag;
    c.WriteProperties(bag);
    std::set<std::string> tableKeys;
    for (const auto& property : imap::PersistedProperties()) {
        tableKeys.insert(property.key);
    }
    EXPECT_EQ(bag.Values().size(), tableKeys.size());  // every one differs from its default

    ImapDriver read;
    imapZef& r = *read.control;
    r.ReadProperties(bag);
    EXPECT_EQ(r.SaslMechanism(), u"PLAIN");
    EXPECT_EQ(r.Search(), u"UNSEEN SINCE 1-Dec-2026");
    EXPECT_EQ(r.Folder(), u"仕事");
    FilePropertyBag again;
    r.WriteProperties(again);
    EXPECT_EQ(again.Values(), bag.Values());

    for (const auto& [key, value] :
         {std::pair("Search", Variant(u"FROM x")), std::pair("Folder", Variant(u"a\r\nb")),
          std::pair("Security", Variant(3L))}) {
        FilePropertyBag bad;
        bad.WriteProperty(key, value, Variant());
        ImapDriver fresh;
        try {
            fresh.control->ReadProperties(bad);
            ADD_FAILURE() << key << " accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.number(), 380) << key;
        }
    }
}

}  // namespace
}  // namespace zef::test
