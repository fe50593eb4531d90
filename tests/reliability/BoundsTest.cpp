// The bounds on what a server can make a control hold: the longest received line (a property of
// both controls), and for POP3 the longest header field with its continuation lines and the
// number of multiparts open at once.
#include <gtest/gtest.h>

#include "common/Error.h"
#include "common/Unicode.h"
#include "common/Variant.h"
#include "components/PropertyBag.h"
#include "tests/reliability/ControlRigs.h"
#include "tests/reliability/Corpus.h"

namespace zef::reliability {
namespace {

// A send to mx.example with MaxLineLength 40, connected and waiting for the greeting.
struct ScriptedSmtp : ScriptedControl<smtpZef> {
    explicit ScriptedSmtp(bool start = true) {
        control->ToAddr(Variant(u"to@example.net"));
        control->FromAddr(u"from@example.org");
        if (start) {
            control->MaxLineLength(40);
            control->Smtp(u"mx.example", u"Subject: x\r\n");
            wire->RaiseConnected();
        }
    }
};

TEST(Bounds, SmtpPropertyDefaultsToOneMebibyteRefusesBelowOneAndIsNotSaved) {
    ScriptedSmtp smtp(false);
    EXPECT_EQ(smtp.control->MaxLineLength(), 1LL << 20);
    smtp.control->MaxLineLength(100);
    for (long long bad : {0LL, -1LL}) {
        try {
            smtp.control->MaxLineLength(bad);
            ADD_FAILURE() << bad << " accepted";
        } catch (const Error& error) {
            EXPECT_EQ(error.number(), 380);
        }
        EXPECT_EQ(smtp.control->MaxLineLength(), 100);
    }
    FilePropertyBag bag;
    smtp.control->WriteProperties(bag);
    for (const auto& [name, value] : bag.Values()) {
        EXPECT_EQ(name.find("Line"), std::string::npos) << name;
    }
}

// The limit counts the line without its CR LF: a reply of exactly the limit passes, one byte
// more ends the send, and an unfinished line ends it as soon as it passes the limit.
TEST(Bounds, SmtpReplyAtTheLimitPassesOneMoreEndsTheSend) {
    ScriptedSmtp smtp;
    smtp.wire->Deliver("220 " + std::string(36, 'g') + "\r\n");
    EXPECT_EQ(smtp.wire->TakeSent().substr(0, 5), "HELO ");
    smtp.wire->Deliver("250 " + std::string(36, 'h'));
    smtp.wire->Deliver("\r");  // may still become the line's CR LF
    EXPECT_EQ(smtp.wire->closeCalls, 0);
    smtp.wire->Deliver("h");
    EXPECT_EQ(smtp.wire->closeCalls, 1);
    smtp.wire->Deliver("\r\n250 more\r\n");  // nothing is read any more
    EXPECT_EQ(smtp.wire->TakeSent(), "");
    smtp.wire->RaiseClosed();
    ASSERT_EQ(smtp.dones.size(), 1U);
    EXPECT_EQ(smtp.dones[0], std::make_pair(-1L, std::string("REPLY LINE TOO LONG")));
}

// A mailbox of one message: read whole and deleted when `refusal` is empty, else the transfer
// ends with that refusal and the message stays.
void ExpectOneMessageRead(const Bytes& message, long long maxLineLength,
                          const std::string& refusal) {
    Pop3Server server;
    server.mails = {{message, "uid-1"}};
    PopRig rig(server);
    rig.control->MaxLineLength(maxLineLength);
    rig.Start();
    rig.Run();
    const Outcome outcome = rig.Result();
    EXPECT_EQ(outcome.dones, 1);
    EXPECT_EQ(outcome.code, refusal.empty() ? 0 : -1) << outcome.message;
    EXPECT_EQ(outcome.message, refusal);
    EXPECT_EQ(server.committed.size(), refusal.empty() ? 1U : 0U);
}

// One header field folded over many short lines is held whole until it ends: it is bounded by
// the same limit.
TEST(Bounds, PopHeaderFieldOverManyContinuationLinesIsBounded) {
    for (const size_t fieldBytes : {size_t{4000}, size_t{4001}}) {
        // 40 bytes, 79 continuation lines of 50, and a last one that makes up the rest: the
        // field counts its lines without their CR LF.
        Bytes field = "Subject: " + std::string(31, 's');
        for (int i = 0; i < 79; ++i) {
            field += "\r\n " + std::string(49, 'c');
        }
        field += "\r\n " + std::string(fieldBytes - 40 - size_t{79} * 50 - 1, 'e');
        ExpectOneMessageRead("From: a@example.org\r\n" + field + "\r\n\r\nbody\r\n", 4000,
                             fieldBytes <= 4000 ? "" : "HEADER FIELD TOO LONG");
    }
}

// Every nested multipart stays open until its end, so nesting is bounded: the message's own
// multipart and 999 nested in it are read, one more ends the transfer.
TEST(Bounds, PopMultipartsNestedBeyondTheLimitEndTheTransfer) {
    for (const int nested : {999, 1000}) {
        Bytes message = "Content-Type: multipart/mixed; boundary=b0\r\n\r\n";
        for (int depth = 1; depth <= nested; ++depth) {
            message += "--b" + std::to_string(depth - 1) +
                       "\r\nContent-Type: multipart/mixed; boundary=b" + std::to_string(depth) +
                       "\r\n\r\n";
        }
        message += "--b" + std::to_string(nested) + "\r\n\r\ninnermost\r\n";
        ExpectOneMessageRead(message, 64LL << 20,
                             nested < 1000 ? "" : "MULTIPART NESTED TOO DEEPLY");
    }
}

}  // namespace
}  // namespace zef::reliability
