// popZef against Dovecot's POP3 service holding the generated corpus. What the control hands
// over (header fields, part attributes, decoded bytes, text) is compared with what Python's email
// package reads in the same messages (the corpus expectations).
#include <gtest/gtest.h>

#include <algorithm>
#include <asio/io_context.hpp>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/Unicode.h"
#include "pop/popZef.h"
#include "tests/integration/support/IntegrationEnv.h"
#include "tests/integration/support/MailboxReader.h"

namespace zef::integration {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr long kTopLines = 3;  // as make_corpus.py expects

// --- comparing with Python's reading -----------------------------------------------------------

// popZef joins a folded line to the one before with nothing between; Python keeps the fold.
std::string Unfold(const std::string& raw) {
    std::string joined;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw.compare(i, 2, "\r\n") == 0) {
            i += 2;
            while (i < raw.size() && (raw[i] == ' ' || raw[i] == '\t')) {
                ++i;
            }
            --i;
            continue;
        }
        joined += raw[i];
    }
    return joined;
}

void ExpectSameFields(const Fields& seen, const json& expected) {
    ASSERT_EQ(seen.size(), expected.size()) << "number of header fields";
    for (size_t i = 0; i < seen.size(); ++i) {
        const json& field = expected[i];
        const std::string raw = field["raw"];
        EXPECT_EQ(seen[i].first, field["name"]);
        if (raw.find("=?") != std::string::npos) {
            // Encoded words: spacing around them and at folds may differ, the characters not.
            EXPECT_EQ(WithoutWhitespace(seen[i].second),
                      WithoutWhitespace(field["decoded"].get<std::string>()))
                << seen[i].first << ": " << seen[i].second
                << "\nPython: " << field["decoded"].get<std::string>();
        } else {
            EXPECT_EQ(seen[i].second, Unfold(raw)) << seen[i].first;
        }
    }
}

// True when `data` is the part Python decoded, or that part plus the CR LF that Python counts
// as the start of the next delimiter.
bool SameBytes(const Bytes& data, const json& leaf) {
    const size_t length = leaf["length"];
    const std::string sha = leaf["sha256"];
    if (data.size() == length) {
        return Sha256Hex(data) == sha;
    }
    return data.size() == length + 2 && data.ends_with("\r\n") &&
           Sha256Hex(std::string_view(data).substr(0, length)) == sha;
}

void ExpectSamePart(const PartSeen& seen, const json& leaf) {
    EXPECT_EQ(Lower(seen.contentType), leaf["content_type"]);
    const std::string charset = leaf["charset"].is_string() ? leaf["charset"] : "";
    EXPECT_EQ(Lower(seen.charset), charset);
    ExpectSameFields(seen.headers, leaf["headers"]);
    if (seen.isText) {
        ASSERT_TRUE(leaf["text"].is_string()) << "Python reads no text here";
        std::string text = Utf8(Utf16LeToText(seen.data));
        EXPECT_TRUE(EqualUpToFinalLineEnd(text, leaf["text"].get<std::string>()))
            << "popZef: " << text << "\nPython: " << leaf["text"].get<std::string>();
    } else {
        EXPECT_TRUE(SameBytes(seen.data, leaf))
            << seen.data.size() << " bytes, Python " << leaf["length"] << " bytes"
            << (seen.data.size() < 400 ? "; popZef: " + seen.data : "");
    }
}

void ExpectSameMessage(const MessageSeen& seen, const json& expected) {
    EXPECT_TRUE(seen.headDone);
    EXPECT_TRUE(seen.retrDone);
    EXPECT_EQ(seen.size, expected["size"]) << "size from LIST";
    ExpectSameFields(seen.headers, expected["headers"]);

    const int multiparts = expected["multiparts"];
    EXPECT_EQ(seen.opens, std::max(1, multiparts)) << "MultiPartOpen events";
    EXPECT_EQ(seen.closes, seen.opens) << "MultiPartClose events";

    std::vector<json> leaves(expected["leaves"].begin(), expected["leaves"].end());
    // An empty body without parts gives no data part at all.
    if (multiparts == 0 && leaves.size() == 1 && leaves[0]["length"] == 0 && seen.parts.empty()) {
        leaves.clear();
    }
    ASSERT_EQ(seen.parts.size(), leaves.size()) << "data parts";
    for (size_t i = 0; i < leaves.size(); ++i) {
        SCOPED_TRACE("part " + std::to_string(i + 1) + " (" + seen.parts[i].contentType + ")");
        ExpectSamePart(seen.parts[i], leaves[i]);
    }
}

// TOP brings the header, the empty line and the first body lines, each as text; lines that
// Python could not read as text are not compared.
void ExpectSameTopLines(const std::vector<std::string>& seen, const json& expected) {
    ASSERT_EQ(seen.size(), expected.size()) << "TopNext lines";
    for (size_t i = 0; i < seen.size(); ++i) {
        if (expected[i].is_string()) {
            EXPECT_EQ(seen[i], expected[i].get<std::string>()) << "TopNext line " << i + 1;
        }
    }
}

bool ReadableCharset(const std::string& charset) {
    static const std::set<std::string> kReadable = {"",          "us-ascii", "iso-2022-jp",
                                                    "shift_jis", "euc-jp",   "utf-8"};
    return kReadable.count(Lower(charset)) != 0;
}

class PopIntegration : public WithServers {
  protected:
    // Every message of the mailbox came, in order, and reads as Python reads it.
    void ExpectMailboxMatchesCorpus(const MailboxReader& reader,
                                    const std::vector<std::string>& names, bool checkTop) {
        EXPECT_EQ(reader.doneCode, 0) << reader.doneMessage << "\ntrace:\n" << reader.trace;
        EXPECT_EQ(reader.doneMessage, "");
        EXPECT_EQ(reader.doneCount, 1);
        EXPECT_TRUE(reader.faults.empty()) << ::testing::PrintToString(reader.faults);
        EXPECT_EQ(reader.statCount, static_cast<long>(names.size()));
        ASSERT_EQ(reader.messages.size(), names.size());
        long total = 0;
        for (size_t i = 0; i < names.size(); ++i) {
            SCOPED_TRACE("message " + std::to_string(i + 1) + " " + names[i]);
            const MessageSeen& seen = reader.messages.at(static_cast<long>(i + 1));
            json expected = env_.Expected(names[i]);
            total += expected["size"].get<long>();
            EXPECT_EQ(seen.corpusId, names[i]);
            EXPECT_TRUE(seen.uidl.ends_with("." + names[i])) << "UIDL " << seen.uidl;
            if (checkTop) {
                ExpectSameTopLines(seen.topLines, expected["top"]);
            }
            ExpectSameMessage(seen, expected);
        }
        EXPECT_EQ(reader.statSize, total);
    }

    std::vector<std::string> Remaining(const std::string& user) {
        return RunChecker(env_, {"mailbox", env_.pop3Port, user, env_.pop3Pass})["ids"];
    }
};

TEST_F(PopIntegration, UserPassDeliversEveryPartByteExactAndDeletesWhatIsNotKept) {
    const std::vector<std::string> names = env_.Mailbox("decode");
    ASSERT_FALSE(names.empty());
    std::vector<std::string> kept;
    for (size_t i = 0; i < names.size(); i += 2) {
        kept.push_back(names[i]);
    }
    MailboxReader reader(io_, env_);
    reader.keep = [&](const std::string& id) {
        return std::find(kept.begin(), kept.end(), id) != kept.end();
    };
    ASSERT_TRUE(reader.Read("decode", env_.pop3Pass, false, kTopLines)) << "no Done:\n"
                                                                        << reader.trace;
    ExpectMailboxMatchesCorpus(reader, names, true);
    EXPECT_EQ(Remaining("decode"), kept) << "a fresh session should see exactly the kept messages";
}

TEST_F(PopIntegration, ApopDeliversTextPartsAsPythonDecodesThem) {
    const std::vector<std::string> names = env_.Mailbox("text");
    ASSERT_FALSE(names.empty());
    MailboxReader reader(io_, env_);
    reader.wantText = [](const PartSeen& part) {
        return Lower(part.contentType).starts_with("text/") && ReadableCharset(part.charset);
    };
    reader.keep = [](const std::string&) { return true; };
    ASSERT_TRUE(reader.Read("text", env_.pop3Pass, true, kTopLines)) << "no Done:\n"
                                                                     << reader.trace;
    ExpectMailboxMatchesCorpus(reader, names, false);
    int textParts = 0;
    for (const auto& [id, message] : reader.messages) {
        textParts += static_cast<int>(std::count_if(message.parts.begin(), message.parts.end(),
                                                    [](const PartSeen& p) { return p.isText; }));
    }
    EXPECT_GE(textParts, 10) << "the corpus should hold text parts in every Japanese encoding";
    EXPECT_EQ(Remaining("text"), names) << "every message was kept";
}

// Abend during a message: QUIT (Abend(false)) commits the deletions marked so far, RSET
// (Abend(true)) undoes them; the server's mailbox shows which it was.
struct Stop {
    bool cancelDelete;
    const char* mailbox;
    const char* name;
};

class PopAbend : public PopIntegration, public ::testing::WithParamInterface<Stop> {};

TEST_P(PopAbend, StopsAfterTheCurrentMessageAndTheServerKeepsWhatItSays) {
    const std::vector<std::string> names = env_.Mailbox(GetParam().mailbox);
    ASSERT_GE(names.size(), 3u);
    MailboxReader reader(io_, env_);
    reader.keep = [&](const std::string& id) {
        if (id == names[1]) {
            reader.Control().Abend(GetParam().cancelDelete);
        }
        return false;  // delete every message read
    };
    ASSERT_TRUE(reader.Read(GetParam().mailbox, env_.pop3Pass, false, 0)) << reader.trace;
    EXPECT_EQ(reader.doneCode, 0) << reader.doneMessage;
    EXPECT_EQ(reader.doneMessage, "");
    size_t retrieved = 0;
    for (const auto& [id, message] : reader.messages) {
        retrieved += message.retrDone ? 1 : 0;
    }
    EXPECT_EQ(retrieved, 2u) << "the transfer goes on to the end of the current message only";
    std::vector<std::string> expected = names;
    if (!GetParam().cancelDelete) {
        expected.erase(expected.begin(), expected.begin() + 2);
    }
    EXPECT_EQ(Remaining(GetParam().mailbox), expected);
}

INSTANTIATE_TEST_SUITE_P(Stops, PopAbend,
                         ::testing::Values(Stop{false, "quit", "KeepDeletions"},
                                           Stop{true, "rset", "UndoDeletions"}),
                         [](const auto& info) { return std::string(info.param.name); });

struct Login {
    bool apop;
    const char* name;
};

class PopRefusedLogin : public PopIntegration, public ::testing::WithParamInterface<Login> {};

TEST_P(PopRefusedLogin, WrongPasswordEndsWithTheServersRefusal) {
    MailboxReader reader(io_, env_);
    ASSERT_TRUE(reader.Read("text", "not-the-password", GetParam().apop, 0)) << reader.trace;
    EXPECT_EQ(reader.doneCode, -1) << reader.trace;
    EXPECT_EQ(reader.doneMessage, "-ERR [AUTH] Authentication failed.");
    EXPECT_EQ(reader.statCount, -1) << "STAT after a refused login";
    EXPECT_EQ(reader.trace.find("not-the-password"), std::string::npos)
        << "the password reached Trace";
}

INSTANTIATE_TEST_SUITE_P(Logins, PopRefusedLogin,
                         ::testing::Values(Login{false, "UserPass"}, Login{true, "Apop"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zef::integration
