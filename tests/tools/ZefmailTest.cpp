// zefmail's own parts: the command line, the header and body of an outgoing message, the MIME
// plan, the folders of fetched messages, the event log, the progress bar and failure messages.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "common/Unicode.h"
#include "components/Codec.h"
#include "pop/popZef.h"
#include "tests/support/TestText.h"
#include "tools/zefmail/BodyStreams.h"
#include "tools/zefmail/ContentTypes.h"
#include "tools/zefmail/EventLog.h"
#include "tools/zefmail/HeaderBuilder.h"
#include "tools/zefmail/MaildirWriter.h"
#include "tools/zefmail/MboxWriter.h"
#include "tools/zefmail/MessageWriter.h"
#include "tools/zefmail/MimePlan.h"
#include "tools/zefmail/Options.h"
#include "tools/zefmail/Outputs.h"
#include "tools/zefmail/Password.h"
#include "tools/zefmail/Progress.h"
#include "tools/zefmail/SavedState.h"
#include "tools/zefmail/SendmailCommand.h"
#include "tools/zefmail/SendmailInput.h"
#include "tools/zefmail/ToolError.h"
#include "tools/zefmail/Verdict.h"

namespace zef::zefmail {
namespace {

using test::Escaped;
using test::U;
using Json = nlohmann::json;

// A folder for one test's files, removed with them at the end.
struct Scratch {
    Scratch() { std::filesystem::create_directories(dir); }
    ~Scratch() { std::filesystem::remove_all(dir); }
    std::string File(const std::string& name, const std::string& content) const {
        std::ofstream(dir / name, std::ios::binary) << content;
        return (dir / name).string();
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(dir / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("zefmail-test-" + std::to_string(::getpid()));
};

// A command line as one string: words split at spaces, {d} the scratch folder, '' an empty
// word; a first word S or F stands for a send or fetch command with all it needs.
std::string Expand(std::string line, const Scratch& scratch) {
    if (line[0] == 'S' || line[0] == 'F') {
        line.replace(0, 1,
                     line[0] == 'S' ? "send --server h --from a@x --to b@y"
                                    : "fetch --server h --user u --password-env PW");
    }
    for (size_t at = line.find("{d}"); at != std::string::npos; at = line.find("{d}")) {
        line.replace(at, 3, scratch.dir.string());
    }
    return line;
}

// What a command line comes to: the settings of the command to run, or the exit status and
// what was written (the help, or the one line of a refusal).
std::string Result(const std::string& line, const Scratch& scratch) {
    std::vector<std::string> words;
    std::istringstream in(Expand(line, scratch));
    for (std::string word; in >> word;) {
        words.push_back(word == "''" ? "" : word);
    }
    std::ostringstream out;
    std::ostringstream err;
    ParseOutcome outcome = ParseCommandLine(words, out, err, [&](const std::string& name) {
        return name == "PW"                ? std::optional<std::string>("pw")
               : name == "XDG_CONFIG_HOME" ? std::optional<std::string>(scratch.dir.string())
                                           : std::nullopt;
    });
    if (!outcome.command) {
        std::string error = err.str();
        EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), outcome.exitCode == 2 ? 1 : 0);
        return std::to_string(outcome.exitCode) + " " + out.str() + error;
    }
    const Command& command = *outcome.command;
    bool isSend = command.kind == Command::Kind::kSend;
    const CommonOptions& common =
        isSend ? static_cast<const CommonOptions&>(command.send) : command.fetch;
    return std::string(isSend ? "send" : "fetch") + " tls " + std::to_string(common.Security()) +
           " port " + std::to_string(common.PortOr(isSend ? 25 : 110, isSend ? 465 : 995)) +
           " auth " + std::to_string(command.send.AuthMechanism()) +
           (common.insecure ? " insecure" : "") +
           (common.caFile.empty() ? "" : " ca " + common.caFile) +
           (command.fetch.keep ? " keep " + std::to_string(command.fetch.keepDays) : "") +
           (isSend || command.fetch.auth.empty() ? "" : " sasl " + command.fetch.auth) + " @" +
           common.server + " " + (isSend ? command.send.user : command.fetch.user) + " " +
           (common.passwordCommand.empty() ? common.passwordEnv
                                           : "$(" + common.passwordCommand + ")");
}

// Refused with exit status 2 and one line naming the cause, before any connection; accepted
// with the TLS mode, the port it implies and the AUTH mechanism; or the help.
TEST(CommandLine, RefusesWhatCannotWorkAndSetsUpWhatCan) {
    Scratch scratch;
    std::filesystem::create_directories(scratch.dir / "zefmail");
    scratch.File("zefmail/config.toml", R"([accounts.home]
server = "pop.example.jp"
user = "taro"
password_command = "pass show mail"
auth = "scram-sha-256"
[accounts.home.send]
server = "smtp.example.jp"
port = 587
tls = "starttls"
auth = "login"
[accounts.relay]
server = "h"
user = "u"
password_env = "PW"
auth = "login"
[accounts.typo]
severs = "x"
[accounts.bad.send]
tls = "ssl"
)");
    scratch.File("body.txt", "本文\nok");
    scratch.File("😀.txt", "ok\r\nok\n😀");
    const std::pair<const char*, const char*> kRows[] = {
        {" ", "2 zefmail: A subcommand is required"},
        {"send --from a@x --to b@y", "2 zefmail send: --server is required"},
        {"send --server '' --from a@x --to b@y", "2 zefmail send: --server must not be empty"},
        {"S --port 0", "2 zefmail send: --port: Value 0 not in range"},
        {"S --connect-timeout -1", "--connect-timeout: Value -1 not in range"},
        {"send --server h --to b@y", "2 zefmail send: --from is required"},
        {"send --server h --from a@x", "2 zefmail send: no recipient"},
        {"send --server h --header-file {d}/body.txt --subject x", "--subject excludes"},
        {"send --server h --header-file {d}/no.txt", "--header-file {d}/no.txt: No such file"},
        {"S --body-file {d}", "2 zefmail send: --body-file {d}: is a folder, not a file"},
        {"S --html-file {d}/no.html", "2 zefmail send: --html-file {d}/no.html: No such file"},
        {"S --attach {d}/no.pdf", "--attach {d}/no.pdf: No such file"},
        {"S --tls ssl", "--tls: ssl not in"},
        {"S --insecure", "--insecure requires --tls"},
        {"F --ca-file {d}/body.txt", "2 zefmail fetch: --ca-file requires --tls"},
        {"S --tls implicit --ca-file {d}/no.pem", "2 zefmail send: --ca-file {d}/no.pem: No such"},
        {"F --tls implicit --ca-file {d}", "2 zefmail fetch: --ca-file {d}: is a folder"},
        {"S --auth digest", "--auth: digest not in"},
        {"S --auth login", "--auth login needs --user"},
        {"S --auth LOGIN --user u", "variable ZEFMAIL_PASSWORD is not set (the password for"},
        {"S --auth plain --user u --password-env MY_PW", "the environment variable MY_PW is not"},
        {"S --auth plain --user u --password-env ''", "--password-env must name"},
        {"S --auth oauthbearer --user u", "ZEFMAIL_PASSWORD is not set (the token for --auth"},
        {"send --server h --from é@x --to b@y --charset ISO-2022-JP",
         "2 zefmail send: --from: U+00E9 (é) cannot be"},
        {"S --to b@é --charset iso-2022-jp", "--to: U+00E9"},
        {"S --cc zoë@x --charset iso-2022-jp", "--cc: U+00EB"},
        {"S --subject party🎉 --charset iso-2022-jp", "--subject: U+1F389 (🎉)"},
        {"S --subject party🎉 --charset latin1", "--charset: latin1 not in"},
        {"S --attach {d}/😀.txt --charset iso-2022-jp",
         "--attach {d}/😀.txt: the file name: U+1F600"},
        {"S --body-file {d}/😀.txt --charset iso-2022-jp", "--body-file {d}/😀.txt, line 3: U+1F600"},
        {"send --server h --header-file {d}/😀.txt --charset iso-2022-jp", "😀.txt, line 3: U+1F600"},
        {"fetch --server h", "2 zefmail fetch: --user is required"},
        {"fetch --server h --user u", "2 zefmail fetch: the environment variable ZEFMAIL_PASSWORD"},
        {"fetch --server '' --user u --password-env PW", "--server must not be empty"},
        {"fetch --server h --user '' --password-env PW", "--user must not be empty"},
        {"F --text", "--text requires --out"},
        {"F --out {d}/body.txt", "2 zefmail fetch: --out {d}/body.txt: exists and is not a folder"},
        {"F --top-lines -1", "--top-lines: Value -1 not in range"},
        {"F --crlf --out {d}", "2 zefmail fetch: --crlf requires --maildir or --mbox"},
        {"F --mbox {d}/box --keep-days 3", "auth 0 keep 3"},
        {"F --auth login", "--auth: login not in"},
        {"F --auth XOAUTH2 --apop", "2 zefmail fetch: --apop and --auth xoauth2 are two"},
        {"F --auth Scram-SHA-256 --apop", "--auth scram-sha-256 are two"},
        {"F --auth auto --apop", "fetch tls 0 port 110"},
        {"F --maildir {d}/body.txt", "--maildir {d}/body.txt: exists and is not a folder"},
        {"F --mbox {d}", "2 zefmail fetch: --mbox {d}: is a folder, not a file"},
        {"F --mbox {d}/new --maildir {d}/md --crlf --out {d}", "fetch tls 0 port 110 auth 0"},
        {"S --subject what?😀é --charset iso-2022-jp", "--subject: U+1F600"},
        {"S --subject 中文简体 --charset iso-2022-jp", "--subject: U+7B80"},  // 简 is not JIS
        {"S --subject 日本語?①②㈱№ｶﾞＡ --body-file {d}/body.txt", "send tls 0 port 25 auth 0"},
        {"S --tls Implicit --insecure --auth CRAM-MD5 --user u --password-env PW",
         "send tls 1 port 465 auth 1 insecure"},
        {"S --tls starttls --ca-file {d}/body.txt --auth login --user u --password-env PW",
         "send tls 2 port 25 auth 2 ca {d}/body.txt"},
        {"send --server h --header-file {d}/body.txt --body-file - --html-file {d}/body.txt "
         "--auth plain --user u --password-env PW --port 2525",
         "send tls 0 port 2525 auth 3"},
        {"F --tls implicit --insecure --connect-timeout 0", "fetch tls 1 port 995 auth 0 insecure"},
        {"F --tls STARTTLS --ca-file {d}/😀.txt", "fetch tls 2 port 110 auth 0 ca {d}/😀.txt"},
        {"F --out {d}/new --text --keep --apop --top-lines 5",
         "fetch tls 0 port 110 auth 0 keep -1"},
        {"F --out {d}/new --keep-days 0", "auth 0 keep 0"},
        {"F --keep-days 7", "--keep-days requires --out"},
        {"F --out {d}/new --keep-days -1", "--keep-days: Value -1 not in range"},
        {"fetch --account home", "fetch tls 0 port 110 auth 0 sasl scram-sha-256 @pop.example.jp"},
        {"send --account home --to b@y --from a@x",
         "send tls 2 port 587 auth 2 @smtp.example.jp taro $(pass show mail)"},
        {"send --account=home --to b@y --from a@x --server h --password-env PW --tls implicit",
         "send tls 1 port 587 auth 2 @h taro PW"},
        {"fetch --account home --user u --password-command 'x'",
         "auth 0 sasl scram-sha-256 @pop.example.jp u $('x')"},
        {"fetch --account relay", "auth 2 @h u PW"},  // an SMTP mechanism: USER/PASS
        {"fetch --account away", "2 zefmail fetch: {d}/zefmail/config.toml: no account away"},
        {"fetch --account typo", "config.toml, account typo: unknown key severs"},
        {"send --account bad", "2 zefmail send: {d}/zefmail/config.toml, account bad: tls must"},
        {"send --help", "0 Send one message through an SMTP server\nUsage: zefmail send"},
        {"fetch --help", "Examples:"},
    };
    for (auto [line, expected] : kRows) {
        std::string result = Result(line, scratch);
        EXPECT_NE(result.find(Expand(expected, scratch)), std::string::npos) << result;
    }
}

TEST(BuildHeader, OneLinePerFieldAndTheMimeFieldsOfAPlainBody) {
    HeaderFields fields{"山田 <t@x>", {"a@x", "b@y"}, {}, "会議", "Thu, 01 Jan 1970", "<1@h>"};
    EXPECT_EQ(BuildHeader(fields, BodyKind::kPlain),
              "From: 山田 <t@x>\r\nTo: a@x, b@y\r\nSubject: 会議\r\nDate: Thu, 01 Jan 1970\r\n"
              "Message-ID: <1@h>\r\nMIME-Version: 1.0\r\n"
              "Content-Type: text/plain; charset=iso-2022-jp\r\n"
              "Content-Transfer-Encoding: 7bit\r\n\r\n");
    // For a multipart the control writes the MIME fields and the empty line after them.
    HeaderFields bccOnly{"a@x", {}, {"c@z"}, "hi\r\nBcc: spy@x", "", ""};
    EXPECT_EQ(BuildHeader(bccOnly, BodyKind::kMultipart),
              "From: a@x\r\nCc: c@z\r\nSubject: hi  Bcc: spy@x\r\n");
}

// Rows of a file, the body that follows, and the header or the error.
TEST(LoadHeaderFile, LinesEndInCrLfAndMimeFieldsMustSuitTheBody) {
    const std::tuple<const char*, BodyKind, std::string> kRows[] = {
        {"From: a@x\nTo: b@y\r\n Folded\n\n\n", BodyKind::kMultipart,
         "From: a@x\r\nTo: b@y\r\n Folded\r\n"},
        {"From: a@x\rTo: b@y", BodyKind::kPlain,
         "From: a@x\r\nTo: b@y\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; "
         "charset=iso-2022-jp\r\nContent-Transfer-Encoding: 7bit\r\n\r\n"},
        {"content-type: text/plain;\n charset=ISO-2022-JP", BodyKind::kPlain,
         "content-type: text/plain;\r\n charset=ISO-2022-JP\r\n\r\n"},
        {"Content-Type: text/plain;\n charset=utf-8\nX-A: iso-2022-jp", BodyKind::kPlain,
         "has a Content-Type field, but the body is sent in iso-2022-jp"},
        {"From: a@x", BodyKind::kPlainUtf8,
         "From: a@x\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n"
         "Content-Transfer-Encoding: base64\r\n\r\n"},
        {"From: a@x\n\nTo: b@y", BodyKind::kPlain, "line 2 is empty"},
        {"\n\n", BodyKind::kPlain, "holds no header lines"},
        {"From: a@x\nMIME-Version: 1.0", BodyKind::kMultipart, "line 2 sets a MIME field"},
    };
    Scratch scratch;
    for (const auto& [file, kind, expected] : kRows) {
        std::string path = scratch.File("header.txt", file);
        try {
            EXPECT_EQ(LoadHeaderFile(path, kind), expected) << Escaped(file);
        } catch (const std::exception& e) {
            EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
        }
    }
}

TEST(SplitAddressList, CommasInsideQuotesAnglesAndCommentsDoNotSplit) {
    const std::pair<const char*, std::vector<std::string>> kRows[] = {
        {R"( "Yamada, Taro" <t@x.jp>, b@y.jp ,c@z (Sales, Tokyo))",
         {R"("Yamada, Taro" <t@x.jp>)", "b@y.jp", "c@z (Sales, Tokyo)"}},
        {"<a,b@x>, (c, d) e@y", {"<a,b@x>", "(c, d) e@y"}},
        {"team: a@x, b@y;, c@z", {"a@x", "b@y", "c@z"}},
        {"undisclosed-recipients:;", {}},
        {R"("quoted \" comma," <q@x>)", {R"("quoted \" comma," <q@x>)"}}};
    for (const auto& [list, addresses] : kRows) {
        EXPECT_EQ(SplitAddressList(list), addresses) << list;
    }
}

TEST(TakeEnvelope, ReadsSenderAndRecipientsAndDropsBcc) {
    HeaderEnvelope envelope;
    std::string kept = TakeEnvelope(
        "From: 差出人 <f@x>\r\nTo: a@x,\r\n  \"B, Jr.\" <b@x>\r\nBcc: h@x,\r\n\to@x\r\n"
        "Subject: s\r\ncc: c@x\r\n\r\nBcc: not a field\r\n",
        envelope);
    EXPECT_EQ(envelope.from, "差出人 <f@x>");
    EXPECT_EQ(envelope.recipients,
              (std::vector<std::string>{"a@x", "\"B, Jr.\" <b@x>", "h@x", "o@x", "c@x"}));
    EXPECT_EQ(kept,
              "From: 差出人 <f@x>\r\nTo: a@x,\r\n  \"B, Jr.\" <b@x>\r\nSubject: s\r\ncc: c@x\r\n"
              "\r\nBcc: not a field\r\n");
}

TEST(Rfc5322Date, LocalTimeWithItsOffsetAndAUniqueMessageId) {
    for (auto [tz, when, date] :
         {std::tuple{"JST-9", 0L, "Thu, 01 Jan 1970 09:00:00 +0900"},
          std::tuple{"<-0330>3:30", 86400L * 45, "Sat, 14 Feb 1970 20:30:00 -0330"}}) {
        ::setenv("TZ", tz, 1);
        ::tzset();
        EXPECT_EQ(Rfc5322Date(when), date);
    }
    ::unsetenv("TZ");
    ::tzset();
    std::string id = NewMessageId(100, "host.example");
    EXPECT_TRUE(std::regex_match(id, std::regex("<100\\.[0-9a-f]+@host\\.example>"))) << id;
    EXPECT_NE(id, NewMessageId(100, "host.example"));
    EXPECT_NE(NewMessageId(1, "").find("@localhost>"), std::string::npos);
}

// An input that hands out at most `step` bytes per read.
struct SteppedInput final : ByteInput {
    SteppedInput(std::string data, size_t step) : data_(std::move(data)), step_(step) {}
    Bytes Read(size_t size) override {
        Bytes out = data_.substr(pos_, std::min(size, step_));
        pos_ += out.size();
        return out;
    }
    const std::string& Name() const override { return data_; }
    std::string data_;
    size_t step_;
    size_t pos_ = 0;
};

Bytes Shape(const std::vector<Bytes>& pieces, bool dotStuff, bool dropFinalLineEnd) {
    TextShaper<Bytes> shaper(dotStuff, dropFinalLineEnd);
    Bytes out;
    for (const auto& piece : pieces) {
        out += shaper.Feed(piece);
    }
    return out + shaper.Finish();
}

// Rows of input, dot-stuffing, last line end dropped, output; each row whole, cut once
// anywhere, and cut with an empty piece at the cut.
TEST(TextShaper, LineEndsDotsAndTheLastLineEndWhereverThePiecesAreCut) {
    const std::tuple<const char*, bool, bool, const char*> kRows[] = {
        {"a\nb\rc\r\nd", false, false, "a\r\nb\r\nc\r\nd"},
        {"\r\r\n\n\r", false, false, "\r\n\r\n\r\n\r\n"},
        {".a\n.\nb.c\n..d", true, false, "..a\r\n..\r\nb.c\r\n...d"},
        {"x\r.y\r\n.z", true, false, "x\r\n..y\r\n..z"},
        {"x.y\n", true, true, "x.y"},
        {"a\n\n", true, true, "a\r\n"},  // an empty last line stays
        {"a\nb\n", true, true, "a\r\nb"},
        {"a\r", true, true, "a"},
        {"\n", true, true, ""},
        {"a\r", true, false, "a\r\n"}};
    for (const auto& [text, dots, drop, expected] : kRows) {
        const std::string input = text;
        EXPECT_EQ(Shape({input}, dots, drop), expected) << Escaped(input);
        for (size_t cut = 0; cut <= input.size(); ++cut) {
            Bytes head = input.substr(0, cut);
            Bytes tail = input.substr(cut);
            EXPECT_EQ(Shape({head, tail}, dots, drop), expected) << Escaped(input) << " " << cut;
            EXPECT_EQ(Shape({head, "", tail}, dots, drop), expected) << Escaped(input) << cut;
        }
    }
}

// UTF-16LE pieces whatever the read size (a UTF-8 sequence cut by a read waits for its end):
// a plain body leaves its last line end to the control, a MIME part keeps it, and large text
// is cut after a line end.
TEST(TextSource, ShapedUtf16LeWhateverTheReadSizeAndCutAfterALineEnd) {
    const std::string input = "一行目\n.dot line\r\n😀\xFFthird\rlast\n";
    std::string large;
    Text largeText;
    for (int i = 0; i < 1000; ++i) {
        large += std::string(100, 'x') + "\n";
        largeText += Text(100, u'x') + u"\r\n";
    }
    const std::tuple<std::string, bool, Text> kRows[] = {
        {input, true, u"一行目\r\n..dot line\r\n😀\uFFFDthird\r\nlast"},
        {input, false, u"一行目\r\n..dot line\r\n😀\uFFFDthird\r\nlast\r\n"},
        {"", true, u""},
        {large, false, largeText}};
    for (const auto& [data, plainBody, expected] : kRows) {
        for (size_t step : {1U, 2U, 3U, 7U, 4096U}) {
            auto source = MakeTextSource(std::make_unique<SteppedInput>(data, step), plainBody);
            std::vector<Bytes> pieces;
            Text all;
            for (Bytes piece = source->Next(); !piece.empty(); piece = source->Next()) {
                pieces.push_back(piece);
                all += Utf16LeToText(piece);
            }
            EXPECT_EQ(all, expected) << "step " << step << ", plain body " << plainBody;
            EXPECT_EQ(source->Consumed(), data.size());
            EXPECT_EQ(pieces.size() > 1, data.size() > 16384);  // 16384 units at most
            for (size_t i = 0; i + 1 < pieces.size(); ++i) {
                EXPECT_EQ(pieces[i].substr(pieces[i].size() - 4), std::string("\r\0\n\0", 4));
            }
        }
    }
    // A UTF-8 body in base64: 76-character lines across pieces; decoded, the lines as sent.
    auto codec = MakeCodec();
    for (size_t step : {7U, 4096U}) {
        auto source = MakeBase64TextSource(std::make_unique<SteppedInput>(large + input, step));
        Bytes base64;
        for (Bytes piece = source->Next(); !piece.empty(); piece = source->Next()) {
            base64 += TextToUtf8(Utf16LeToText(piece));
        }
        size_t lineStart = 0;
        for (size_t end = base64.find("\r\n"); end != Bytes::npos;
             end = base64.find("\r\n", lineStart)) {
            EXPECT_EQ(end - lineStart, 76U);
            lineStart = end + 2;
        }
        EXPECT_LE(base64.size() - lineStart, 76U);  // the last line, its line end dropped
        EXPECT_EQ(codec->DecodeBase64(base64),
                  TextToUtf8(largeText) + "一行目\r\n.dot line\r\n😀\xFFthird\r\nlast\r\n");
    }
}

// The plan's answer to the control's question (depth, part), and then the data of a leaf.
std::string Ask(MimePlan& plan, long depth, long part) {
    HeadAnswer answer;
    plan.Head(depth, part, answer);
    std::string out = answer.contentType.empty() ? "close" : U(answer.contentType);
    for (const Text* field : {&answer.contentCharset, &answer.transferEncoding,
                              &answer.originalDataFormat, &answer.contentName}) {
        out += field->empty() ? "" : " " + U(*field);
    }
    Bytes data;
    for (Bytes piece = plan.Body(); !piece.empty(); piece = plan.Body()) {
        data += piece;
    }
    bool unicode = answer.originalDataFormat == u"Unicode";
    return data.empty() ? out : out + " = " + (unicode ? U(Utf16LeToText(data)) : data);
}

// The name parameter is the file's last path component, quotes escaped, controls replaced.
TEST(MimePlan, TextAndHtmlAsAlternativesThenAttachments) {
    Scratch scratch;
    MimePlan plan(PlanParts(
        scratch.File("body.txt", "こんにちは\n.\n"), scratch.File("body.html", "<p>hi</p>\n.x\n"),
        {scratch.File("PHOTO.JPG", "%PDF"), scratch.File("\"q\\\x01.bin", "xyz")}));
    EXPECT_EQ(Ask(plan, 1, 1), "multipart/alternative");
    EXPECT_EQ(Ask(plan, 2, 1), "text/plain iso-2022-jp 7bit Unicode = こんにちは\r\n..\r\n");
    // The quoted-printable encoder escapes a leading dot itself: no dot-stuffing here.
    EXPECT_EQ(Ask(plan, 2, 2), "text/html utf-8 quoted-printable Binary = <p>hi</p>\r\n.x\r\n");
    EXPECT_EQ(Ask(plan, 2, 3), "close");
    EXPECT_EQ(Ask(plan, 1, 2), "image/jpeg base64 Binary PHOTO.JPG = %PDF");
    EXPECT_EQ(Ask(plan, 1, 3), "application/octet-stream base64 Binary \\\"q\\\\_.bin = xyz");
    EXPECT_EQ(Ask(plan, 1, 4), "close");
    EXPECT_EQ(plan.Consumed(), 18 + 13 + 4 + 3U);  // the input bytes of all four files

    MimePlan textOnly(PlanParts(scratch.File("t.txt", "x"), "", {}));
    EXPECT_EQ(Ask(textOnly, 1, 1), "text/plain iso-2022-jp 7bit Unicode = x");
    MimePlan htmlOnly(PlanParts("", scratch.File("h.html", "<b>"), {}));
    EXPECT_EQ(Ask(htmlOnly, 1, 1), "text/html utf-8 quoted-printable Binary = <b>");
    EXPECT_EQ(Ask(htmlOnly, 1, 2), "close");
    EXPECT_EQ(Ask(htmlOnly, 2, 1), "close");  // questions outside the plan
    EXPECT_EQ(Ask(htmlOnly, 1, 0), "close");
}

TEST(ContentTypeForFile, ByTheLastExtensionOfTheNameAlone) {
    EXPECT_EQ(ContentTypeForFile("a.tar.gz"), "application/gzip");
    for (const char* file : {"data.xyz", ".profile", "v.2/README", "v.2\\README", "trailing."}) {
        EXPECT_EQ(ContentTypeForFile(file), "application/octet-stream") << file;
    }
}

class MessageWriterTest : public ::testing::Test {
  protected:
    // One line per part of the message in folder `number`: path|type|name|charset|encoding|
    // file=its content|text file=its content|bytes.
    std::vector<std::string> Parts(long number) {
        std::string folder = std::to_string(number) + "/";
        std::vector<std::string> lines;
        Json message = Json::parse(scratch_.Read(folder + "message.json"));
        for (const Json& part : message["parts"]) {
            std::string line;
            for (const char* key : {"path", "content_type", "name", "charset", "transfer_encoding",
                                    "file", "text_file", "bytes"}) {
                const Json value = part.contains(key) ? part[key] : Json();
                std::string text = value.is_string() ? value.get<std::string>() : value.dump();
                bool file = value.is_string() && std::string(key).find("file") != std::string::npos;
                line += (line.empty() ? "" : "|") + text +
                        (file ? "=" + scratch_.Read(folder + text) : "");
            }
            lines.push_back(line);
        }
        return lines;
    }

    // The events of a multipart/mixed holding a text part, a nested multipart/alternative of
    // text and HTML, and a PDF; then a "--" line in the epilogue that makes popZef open
    // "part 3" of the outermost container once more. Parts with a name are saved under it.
    static void WriteNestedMessage(MessageWriter& writer) {
        writer.Uidl(1, u"uid-1");
        writer.Begin(1, 900);
        writer.MessageField(u"Subject", u"会議");
        writer.MultiPartOpen(u"multipart/mixed", u"", u"", u"7bit");
        writer.PartHead(1);
        writer.PartField(u"Content-Type", u"text/plain; charset=ISO-8859-1");
        writer.PartDataBegin(1, u"text/plain", u"", u"ISO-8859-1", u"7bit");
        writer.PartData("caf\xE9\r\n");
        writer.PartDataEnd();
        writer.PartHead(2);
        writer.MultiPartOpen(u"multipart/alternative", u"alt", u"us-ascii", u"8bit");
        writer.PartHead(1);
        writer.PartDataBegin(1, u"text/plain", u"", u"Shift_JIS", u"7bit");
        writer.PartData("a\r\n\xB1");
        writer.PartData(
            "\xB2"
            "c");
        writer.PartDataEnd();
        writer.PartHead(2);
        writer.PartField(u"Content-Disposition", u"inline; filename=\"../x/y.html\"");
        writer.PartDataBegin(2, u"TEXT/html", u"", u"utf-8", u"quoted-printable");
        writer.PartData("\xE6\x97");
        writer.PartData("\xA5");
        writer.PartDataEnd();
        writer.MultiPartClose();
        writer.PartHead(3);
        writer.PartField(u"Content-Disposition",  // 報 告 cut between the sections
                         u"attachment; filename*1*=%91%8A.pdf; filename*0*=UTF-8''%E5%A0%B1%E5");
        writer.PartDataBegin(3, u"application/pdf", u"報告.pdf", u"", u"base64");
        writer.PartData("abc");
        writer.PartDataEnd();
        writer.MultiPartClose();
        writer.PartHead(3);
        writer.PartField(u"Content-Type", u"text/plain; name=\"=?UTF-8?B?5aCx5ZGK?=.pdf\"");
        writer.PartDataBegin(3, u"text/plain", u"", u"iso-2022-jp", u"7bit");
        writer.PartData("epilogue\x1B$B!A\x1B(B\x82\xB1\r\n");
    }

    // Message `id`: its container holds one text part with `data`.
    static void WriteOnePartMessage(MessageWriter& writer, long id, const Bytes& data) {
        writer.Begin(id, 10);
        writer.MultiPartOpen(u"multipart/mixed", u"", u"", u"7bit");
        writer.PartHead(1);
        writer.PartDataBegin(1, u"text/plain", u"", u"", u"7bit");
        writer.PartData(data);
    }

    Scratch scratch_;
};

// The data files hold the decoded bytes; the text files UTF-8 read by the declared charset
// (\xB1\xB2 is ｱｲ in Shift_JIS, a guess reads 渦), characters cut between pieces whole, JIS
// codes by the code page 932 mappings (!A is U+FF5E), Shift_JIS bytes under ISO-2022-JP guessed.
TEST_F(MessageWriterTest, EveryPartInArrivalOrderWithItsFilesAndTextFiles) {
    MessageWriter writer(scratch_.dir, true);
    WriteNestedMessage(writer);
    ASSERT_EQ(writer.Finish(), std::nullopt);

    EXPECT_EQ(
        Parts(1),
        (std::vector<std::string>{
            "1|text/plain||ISO-8859-1|7bit|part1.txt=caf\xE9\r\n|part1.utf8.txt=café\r\n|6",
            "2|multipart/alternative|alt|us-ascii|8bit|null|null|null",
            // NOLINTNEXTLINE(bugprone-suspicious-missing-comma): "\xB2" "c" ends the escape
            "2.1|text/plain||Shift_JIS|7bit|part2.1.txt=a\r\n\xB1\xB2"
            "c|part2.1.utf8.txt=a\r\nｱｲc|6",
            "2.2|TEXT/html||utf-8|quoted-printable|_x_y.html=\xE6\x97\xA5|_x_y.utf8.txt=日|3",
            "3|application/pdf|報告.pdf||base64|報告.pdf=abc|null|3",
            "3|text/"
            "plain||iso-2022-jp|7bit|報告-2.pdf=epilogue\x1B$B!A\x1B(B\x82\xB1\r\n|報告-2.utf8.txt="
            "epilogue～こ\r\n|20"}));
    std::string json = scratch_.Read("1/message.json");
    Json message = Json::parse(json);
    EXPECT_EQ(message["uidl"], "uid-1");
    // Each header field on a line of its own.
    EXPECT_NE(json.find("\n    [\"Subject\", \"会議\"]\n  ],\n"), std::string::npos) << json;
    EXPECT_EQ(message["parts"][0]["headers"][0][1], "text/plain; charset=ISO-8859-1");
    EXPECT_EQ(message["parts"][0]["filename"], nullptr);
    EXPECT_EQ(message["parts"][5]["filename"], "報告.pdf");
    EXPECT_EQ(message["parts"][4]["sha256"],  // of "abc"
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// Folders go on after the highest number of an earlier run (7; "9.old" is no number) and
// skip one another run made meanwhile (an empty 8), touching neither. A folder that cannot be
// made, a message cut off: an error while the message is not safely on disk, and nothing
// half-written left behind (without --text: no text files).
TEST_F(MessageWriterTest, NothingOverwrittenNorHalfWrittenLeftBehind) {
    std::filesystem::create_directories(scratch_.dir / "7");
    std::filesystem::create_directories(scratch_.dir / "9.old");
    scratch_.File("7/keep.txt", "earlier fetch");
    MessageWriter writer(scratch_.dir, false);
    WriteNestedMessage(writer);
    std::filesystem::create_directories(scratch_.dir / "8");
    ASSERT_EQ(writer.Finish(), std::nullopt);
    EXPECT_EQ(writer.LastFolder(), scratch_.dir / "9");
    EXPECT_EQ(Json::parse(scratch_.Read("9/message.json"))["id"], 1);
    EXPECT_EQ(scratch_.Read("7/keep.txt"), "earlier fetch");
    EXPECT_TRUE(std::filesystem::is_empty(scratch_.dir / "8"));
    EXPECT_FALSE(std::filesystem::exists(scratch_.dir / ".1.partial"));
    WriteOnePartMessage(writer, 2, "two");
    ASSERT_EQ(writer.Finish(), std::nullopt);
    EXPECT_EQ(Parts(10), std::vector<std::string>{"1|text/plain|||7bit|part1.txt=two|null|3"});
    EXPECT_EQ(Json::parse(scratch_.Read("10/message.json"))["uidl"], "");  // no UIDL heard for 2
    // An empty body without boundary ends a data part it never began: still part "1".
    writer.Begin(3, 10);
    writer.MessageField(u"content-type",
                        u"Text/Plain; format=flowed; name=a.txt; charset=\"euc-jp\"");
    writer.MultiPartOpen(u"multipart/mixed", u"", u"", u"7bit");
    writer.PartDataEnd();
    ASSERT_EQ(writer.Finish(), std::nullopt);
    EXPECT_EQ(Parts(11), std::vector<std::string>{"1|Text/Plain|a.txt|euc-jp|7bit|a.txt=|null|0"});

    MessageWriter nowhere(scratch_.dir / "missing" / "deeper", false);
    WriteNestedMessage(nowhere);
    EXPECT_TRUE(nowhere.Finish().has_value());
    EXPECT_FALSE(std::filesystem::exists(scratch_.dir / "missing"));
    {
        MessageWriter cutOff(scratch_.dir, false);
        WriteOnePartMessage(cutOff, 7, "half");
        EXPECT_TRUE(std::filesystem::exists(scratch_.dir / ".7.partial"));
    }
    EXPECT_FALSE(std::filesystem::exists(scratch_.dir / ".7.partial"));
    EXPECT_FALSE(std::filesystem::exists(scratch_.dir / "12"));
}

// The state of saved messages: fields with any bytes, other accounts' lines untouched, lines of
// messages never confirmed kept while the message is in its places, cut to those it is in when
// it is in some only; a last line without its line end taken when whole and without a place,
// dropped when torn, refused when garbage; anything else refused; one run at a time.
TEST(SavedState, RemembersWhatWasSavedAcrossRunsAndRefusesWhatItCannotRead) {
    Scratch scratch;
    const std::string file = scratch.File(".state",
                                          "5\tother\tu1\n"
                                          "6\tme%09%0A%25\tu1\n"
                                          "7\tme%09%0A%25\tgone\t3\n"
                                          "8\tme%09%0A%25\there\t4\n"
                                          "9\tme%09%0A%25\tpart\t5/6\n"
                                          "9\tme%09%0A%25\ttorn\t4");
    const std::string me = "me\t\n%";
    const auto check = [](const std::string& where) -> std::optional<std::string> {
        return where == "4"     ? std::optional(where)
               : where == "5/6" ? std::optional<std::string>("5/")
                                : std::nullopt;
    };
    {
        SavedState state(file, me, check);
        EXPECT_THROW(SavedState(file, me, nullptr), ToolError);  // locked by the first
        // Beside mbox files the lock is on each file: sibling mbox files are other outputs.
        const std::string mbox = scratch.File("box", "");
        SavedState beside(mbox + ".state", me, nullptr, mbox);
        EXPECT_THROW(SavedState(mbox + ".state", me, nullptr, mbox), ToolError);
        EXPECT_EQ(state.Lookup("u1"), 6);
        EXPECT_EQ(state.Lookup("here"), 8);
        EXPECT_EQ(state.Lookup("gone"), std::nullopt);
        EXPECT_EQ(state.Lookup("torn"), std::nullopt);
        EXPECT_EQ((std::pair{state.Lookup("part"), state.PartlyPlaced("part")}),
                  (std::pair{std::optional<std::time_t>(), std::optional<std::string>("5/")}));
        EXPECT_TRUE(state.HasUnconfirmed() && state.DroppedLines());
        state.Saved("failed", 10, "9");
        state.Forget("failed");  // written anew at once: a later message may take place 9
        state.Saved("part", 10, "5/7");
        state.Forget("part");  // back to the places the killed run reached
        state.Saved("new\tone", 10, "5");
        EXPECT_EQ(scratch.Read(".state"),
                  "5\tother\tu1\n8\tme%09%0A%25\there\t4\n9\tme%09%0A%25\tpart\t5/\n"
                  "6\tme%09%0A%25\tu1\n10\tme%09%0A%25\tnew%09one\t5\n");
        state.Deleting("u1");
        state.MarkDurable();
        EXPECT_FALSE(state.HasUnconfirmed());
        state.Rewrite(true);
        EXPECT_EQ(scratch.Read(".state"),
                  "5\tother\tu1\n8\tme%09%0A%25\there\n10\tme%09%0A%25\tnew%09one\n"
                  "9\tme%09%0A%25\tpart\t5/\n");
    }
    {
        SavedState again(file, me, check);
        EXPECT_EQ((std::pair{again.Lookup("new\tone"), again.RememberedAtStart()}),
                  (std::pair{std::optional<std::time_t>(10), size_t{2}}));
    }
    // An editor's last line is taken, and ended; a torn one goes; garbage is refused.
    for (const auto& [last, kept] : {std::pair{"2\tme\tedited", "2\tme\tedited\n"},
                                     std::pair{"2\tme\ttorn%4", ""}, std::pair{"2", ""}}) {
        scratch.File(".state", std::string("1\tme\tok\n") + last);
        SavedState(file, "me", nullptr).Saved("x", 3, "p");
        EXPECT_EQ(scratch.Read(".state"), std::string("1\tme\tok\n") + kept + "3\tme\tx\tp\n");
    }
    for (const char* bad : {"x\tme\tu\n", "1\tme\n", "1\tme\t\n", "1\tme\tu%4\n", "1\tme\tu\t\n",
                            "garbage", "1\tme\tu\tp\tq"}) {
        scratch.File(".state", std::string("1\tme\tok\n") + bad);
        try {
            SavedState(file, "me", nullptr);
            ADD_FAILURE() << bad;
        } catch (const ToolError& error) {
            EXPECT_NE(std::string(error.what()).find(".state line 2 is not"), std::string::npos)
                << bad;
        }
    }
}

// Delivers each message of `messages` (lines split at LF) and returns what Finish said.
std::vector<std::string> Deliver(MailDrop& drop, const std::vector<std::string>& messages) {
    std::vector<std::string> results;
    for (const std::string& message : messages) {
        drop.Begin(0, 0);
        std::istringstream lines(message);
        for (std::string line; std::getline(lines, line);) {
            drop.Line(line);
        }
        results.push_back(drop.Finish().value_or("ok"));
    }
    return results;
}

// An output in memory: what it was given, and the messages it holds by place.
struct StandIn final : Output {
    explicit StandIn(std::string name) : name(std::move(name)) {}
    void Begin(long id, long /*size*/) override { given += "B" + std::to_string(id) + " "; }
    void Line(std::string_view line) override { given += line; }
    std::optional<std::string> Seal() override {
        return sealFails ? std::optional<std::string>("full") : std::nullopt;
    }
    std::optional<std::string> Finish() override {
        if (!sealFails) {
            held.insert(Place());
        }
        return Seal();
    }
    std::string Describe() const override { return name; }
    std::filesystem::path Location() const override { return name; }
    std::string Place() const override { return name + std::to_string(given.size()); }
    bool StillThere(const std::string& place) const override { return held.contains(place); }

    std::string name;
    std::string given;
    std::set<std::string> held;
    bool sealFails = false;
};

// The first slot stays empty, as --out's does without it.
TEST(Outputs, EachMessageGoesWhereItIsMissingAndItsPlacesReadBack) {
    Outputs outputs;
    auto* a = new StandIn("a");
    auto* b = new StandIn("b");
    outputs.Add(nullptr);
    outputs.Add(std::unique_ptr<Output>(a));
    outputs.Add(std::unique_ptr<Output>(b));
    std::vector<std::string> notes;
    const auto save = [&] {
        return outputs.Save(
            [&](const std::string& places) { return notes.push_back(places), true; },
            [&] { notes.emplace_back("forgotten"); });
    };
    outputs.Begin(1, 0);
    outputs.Line("x");
    EXPECT_EQ(save(), std::nullopt);
    EXPECT_EQ(notes, std::vector<std::string>{"/a4/b4"});
    EXPECT_EQ(outputs.StillThere("/a4/b4"), "/a4/b4");
    b->held.clear();
    EXPECT_EQ(outputs.StillThere("/a4/b4"), "/a4/");
    EXPECT_EQ(outputs.StillThere("/a4"), std::nullopt);  // saved to other outputs
    EXPECT_EQ(outputs.StillThere("/x/b4"), std::nullopt);
    // Completed where a killed run left it out; then a seal that fails keeps it unnoted.
    outputs.Resume("/a4/");
    outputs.Begin(2, 0);
    EXPECT_EQ(save(), std::nullopt);
    EXPECT_EQ(std::tuple(notes.back(), a->given, b->given),
              std::tuple("/a4/b7", "B1 x", "B1 xB2 "));
    outputs.Resume(std::nullopt);
    b->sealFails = true;
    outputs.Begin(3, 0);
    EXPECT_EQ(save(), "full");
    EXPECT_EQ(notes.size(), 2U);
}

TEST(MaildirWriter, EveryMessageWholeInNewUnderANameOfItsOwn) {
    Scratch scratch;
    MaildirWriter maildir(scratch.dir / "md", true);
    const std::vector<std::string> kMessages = {"A: 1\n\n.x\n\xFF\r", "A: 2", "A: 3\n\n"};
    EXPECT_EQ(Deliver(maildir, kMessages), std::vector<std::string>(3, "ok"));
    std::set<std::string> bodies;
    for (const auto& entry : std::filesystem::directory_iterator(scratch.dir / "md" / "new")) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(std::regex_match(name, std::regex(R"(\d+\.M\d+P\d+Q[123]\.[^/:]+)"))) << name;
        bodies.insert(scratch.Read("md/new/" + name));
    }
    EXPECT_EQ(bodies,
              (std::set<std::string>{"A: 1\r\n\r\n.x\r\n\xFF\r\r\n", "A: 2\r\n", "A: 3\r\n\r\n"}));
    EXPECT_TRUE(std::filesystem::is_empty(scratch.dir / "md" / "tmp"));
    EXPECT_TRUE(std::filesystem::is_empty(scratch.dir / "md" / "cur"));
    // Made whole beside it and renamed into place: nothing else is left there.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(scratch.dir), {}), 1);
}

// mboxrd: one '>' more before ">*From " at the start of a line, and only there; the sender
// from Return-Path, else From.
TEST(MboxWriter, QuotesFromLinesNamesTheSenderAndCutsBackAFailedAppend) {
    Scratch scratch;
    const std::string path = scratch.File("box", "old mail");  // no line end at its end
    // A dot-lock left behind by a program that died long ago does not stop the append.
    scratch.File("box.lock", "");
    std::filesystem::last_write_time(
        path + ".lock", std::filesystem::file_time_type::clock::now() - std::chrono::minutes(11));
    {
        MboxWriter mbox(path, false);
        EXPECT_EQ(Deliver(mbox, {"From: Taro <t@x.jp>\nReturn-Path:\n <r@y.jp>\n\nFrom me\n"
                                 ">From a\n>>From b\n From c\nFromage\nX From d\n>From\n",
                                 "From: t@x.jp (Taro)\nSubject: From here", "From x"}),
                  std::vector<std::string>(3, "ok"));
        // Held for the session, and never empty: it names the length nothing is cut back from.
        EXPECT_EQ(scratch.Read("box.lock"), std::to_string(::getpid()) + " " + mbox.Place() + "\n");
    }
    const std::string date = R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3]\d \d\d:\d\d:\d\d \d{4})";
    const auto from = [&](const std::string& sender) {
        return "From " + sender + " " + date + "\n";
    };
    const std::string expected =
        "old mail\n" + from("r@y.jp") +
        "From: Taro <t@x.jp>\nReturn-Path:\n <r@y.jp>\n\n>From me\n>>From a\n" +
        ">>>From b\n From c\nFromage\nX From d\n>From\n\n" + from("t@x.jp") +
        "From: t@x.jp \\(Taro\\)\nSubject: From here\n\n\n" + from("MAILER-DAEMON") +
        ">From x\n\n\n";
    const std::string before = scratch.Read("box");
    EXPECT_TRUE(std::regex_match(before, std::regex(expected))) << Escaped(before);
    EXPECT_FALSE(std::filesystem::exists(path + ".lock"));
    // Another program's dot-lock, even an empty one, keeps each message out at once.
    scratch.File("box.lock", "");
    {
        MboxWriter mbox(path, false);
        for (const std::string& refused : Deliver(mbox, {"A: 1", "A: 2"})) {
            EXPECT_NE(refused.find(path + " is locked by another program (" + path + ".lock)"),
                      std::string::npos)
                << refused;
        }
    }
    EXPECT_EQ(std::pair(scratch.Read("box"), scratch.Read("box.lock")),
              std::pair(before, std::string()));
    std::filesystem::remove(path + ".lock");

    // A write refused half way (the file size limit) leaves the file as it was.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = before.size() + 100;
    ::setrlimit(RLIMIT_FSIZE, &small);
    std::vector<std::string> results;
    {
        MboxWriter mbox(path, false);
        results = Deliver(mbox, {"A: b\n\n" + std::string(200, 'x'), "A: c"});
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, SIG_DFL);
    EXPECT_NE(results[0].find("cannot write " + path), std::string::npos) << results[0];
    EXPECT_EQ(results[1], "ok");
    EXPECT_EQ(scratch.Read("box").substr(0, before.size()), before);
    EXPECT_TRUE(std::regex_match(scratch.Read("box").substr(before.size()),
                                 std::regex(from("MAILER-DAEMON") + "A: c\n\n\n")));
    EXPECT_FALSE(std::filesystem::exists(path + ".lock"));

    // The part of a message a killed zefmail left is cut off by the next append; its fresh
    // dot-lock names a process that is gone and the length before that append.
    const std::string whole = scratch.Read("box");
    scratch.File("box.lock", "2147483647 " + std::to_string(whole.size()) + "\n");
    std::ofstream(path, std::ios::app) << "From half 1\nA: b\n";
    {
        MboxWriter mbox(path, false);
        EXPECT_EQ((std::pair{mbox.StillThere(std::to_string(whole.size())),
                             mbox.StillThere(std::to_string(whole.size() + 1))}),
                  (std::pair{true, false}));  // the half is not there: it will be cut off
        EXPECT_EQ(Deliver(mbox, {"A: d"}), std::vector<std::string>{"ok"});
        EXPECT_TRUE(mbox.StillThere(mbox.Place()));
    }
    EXPECT_TRUE(std::regex_match(scratch.Read("box").substr(whole.size()),
                                 std::regex(from("MAILER-DAEMON") + "A: d\n\n\n")));
    EXPECT_FALSE(std::filesystem::exists(path + ".lock"));
}

TEST(PartFileName, ExtensionFromAPlainNameOrElseFromTheType) {
    const std::tuple<const char*, const char*, const char*> kRows[] = {
        {"a.12345678", "", "p.12345678"},
        {"a.123456789", "image/jpeg", "p.jpg"},
        {"a.x", "", "p.x"},
        {"a.", " Image/PNG ", "p.png"},
        {".hidden", "text/html; charset=utf-8", "p.html"},
        {"x.tar/../y", "text/plain", "p.txt"}};
    for (auto [name, type, file] : kRows) {
        EXPECT_EQ(PartFileName("p", name, type), file) << name << " " << type;
    }
    // A part's own name: no separators, controls or leading dots, cut at a character boundary.
    for (auto [name, limit, safe] :
         {std::tuple<const char*, size_t, const char*>{"../..\\etc/passwd", 50, "_.._etc_passwd"},
          {" .x\x01y", 50, "x_y"},
          {"..", 50, ""},
          {"あいうえおか.pdf", 15, "あいう.pdf"}}) {
        EXPECT_EQ(SafeFileName(name, limit), safe) << name;
    }
}

TEST(EventLog, OneObjectPerLineWithTheEventsArgumentNames) {
    std::ostringstream out;
    EventLog log(out);
    asio::io_context io;
    popZef pop(io);
    pop.UidlDone = [](long /*id*/, const Text& /*uidl*/, bool& remove) { remove = true; };
    log.Attach(pop);
    bool remove = false;
    Text tag = u"message";
    pop.UidlDone(1, u"abc", remove);
    pop.MultiPartOpen(1, 1, u"multipart/mixed", u"n", u"c", u"7bit", tag);
    pop.TopNext(3, Text(u"日") + static_cast<char16_t>(0xD800));  // a lone surrogate
    EXPECT_EQ(out.str(), R"({"event":"UidlDone","id":1,"Uidl":"abc","Delete":true}
{"event":"MultiPartOpen","id":1,"ParentPart":1,"ContentType":"multipart/mixed","ContentName":"n","ContentCharset":"c","TransferEncoding":"7bit","Tag":"message"}
{"event":"TopNext","id":3,"line":"日�"}
)");
}

// Drawn only when enabled; a trace line clears the bar, which then shows the latest counts.
TEST(Progress, TheBarShowsBytesMessagesRateAndTimeLeftAndGivesWayToATraceLine) {
    const std::pair<ProgressState, const char*> kRows[] = {
        {{524288, 1048576, 1, 2, 150},
         "[############------------]  50%  512.0 KiB / 1.0 MiB  1/2 messages  3.4 KiB/s  2:30 "
         "left"},
        {{1024, 7373824, 0, -1, 1},
         "[------------------------]   0%  1.0 KiB / 7.0 MiB  1.0 KiB/s  2:00:00 left"},
        {{100, 0, 0, -1, 0}, "[------------------------]   0%  100 B"}};
    for (const auto& [state, bar] : kRows) {
        EXPECT_EQ(RenderProgress(state), bar);
    }
    std::ostringstream out;
    Progress progress(out, true);
    progress.Totals(1024, 2);
    progress.Print("220 ready");  // clears the bar, then draws it again
    EXPECT_NE(out.str().find("\x1b[K\r\x1b[K220 ready\n\r["), std::string::npos);
    progress.Update(512, 1);
    progress.Finish();
    std::string text = out.str();
    std::string last = text.substr(text.rfind('\r'));
    EXPECT_EQ(last.find("\r[############------------]  50%  512 B / 1.0 KiB  1/2 messages"), 0U)
        << Escaped(text);
    EXPECT_EQ(last.substr(last.size() - 4), "\x1b[K\n");
    std::ostringstream quiet;
    Progress disabled(quiet, false);
    disabled.Totals(1024, 2);
    disabled.Finish();
    disabled.Print("220 ready");
    EXPECT_EQ(quiet.str(), "220 ready\n");
}

// The password's sources in their order of choice; what a command printed never reaches an
// error, and a file others could read is refused.
TEST(ReadPassword, CommandThenFileThenVariableAndErrorsWithoutTheSecret) {
    Scratch scratch;
    const std::string open = scratch.File("open", "s3cret\n");
    const std::string own = scratch.File("own", "s3cret\r\nmore");
    std::filesystem::permissions(own, std::filesystem::perms::owner_read);
    const std::tuple<const char*, std::string, const char*, const char*> kRows[] = {
        {"printf 's3cret\r\nnext'", open, "PW", "s3cret"},
        {"echo s3cret; exit 3", "", "PW", "error: the password command failed (exit status 3)"},
        {"kill -9 $$", "", "PW", "error: the password command failed (killed by a signal)"},
        {"printf '\ns3cret'", "", "PW", "error: the password command printed no password"},
        {"", own, "PW", "s3cret"},
        {"", open, "PW", "error: the password file {d}/open can be read or changed by others"},
        {"", "", "PW", "pw"},
        {"", "", "NONE", "error: the environment variable NONE is not set"}};
    for (const auto& [command, file, variable, expected] : kRows) {
        CommonOptions options;
        options.passwordCommand = command;
        options.passwordFile = file;
        options.passwordEnv = variable;
        std::string result;
        try {
            result = ReadPassword(options, [](const std::string& name) {
                return name == "PW" ? std::optional<std::string>("pw") : std::nullopt;
            });
        } catch (const ToolError& error) {
            result = std::string("error: ") + error.what();
        }
        EXPECT_EQ(result.find(Expand(expected, scratch)), 0U) << command << file << result;
    }
}

TransferEnd End(long code, const char* message, bool reached = false, bool accepted = false,
                std::vector<std::string> refusals = {}, const char* responseCode = "") {
    TransferEnd end;
    end.code = code;
    end.message = message;
    end.reachedServer = reached;
    end.accepted = accepted;
    end.refusals = std::move(refusals);
    end.responseCode = responseCode;
    return end;
}

TEST(Describe, OneLineThatNamesTheCauseAndKeepsCodeAndMessage) {
    const std::tuple<TransferEnd, const char*> kRows[] = {
        {End(111, "refused"), "cannot reach h:25 (code 111: refused)"},
        {End(-1, "NO FROM"), "cannot send (code -1: NO FROM)"},
        {End(-1, "-ERR no", true), "the server refused (code -1: -ERR no)"},
        {End(-2, "eof", true), "the server closed the connection unexpectedly (code -2: eof)"},
        {End(-4, "timeout", true), "the server stopped answering (code -4: timeout)"},
        {End(-4, "timeout", true, true),
         "sent, but the server did not end the session (code -4: timeout)"},
        {End(-5, "odd", true), "failed (code -5: odd)"},
        {End(10, "certificate verify failed"),
         "the server's certificate was refused (code 10: certificate verify failed; --ca-file "
         "names a CA to trust, --insecure skips the check)"},
        {End(1, "TLS handshake failed: x", true),
         "no TLS with h:25 (code 1: TLS handshake failed: x)"}};
    for (const auto& [end, expected] : kRows) {
        EXPECT_EQ(Describe(end, "h", 25), expected);
    }
}

// Each way a transfer can end: its verdict, the exit status of send and fetch, sendmail's.
TEST(Classify, OneVerdictPerEndAndTheExitStatusOfEachCommand) {
    using enum Verdict;
    const std::tuple<TransferEnd, Verdict, int, int> kRows[] = {
        {End(0, "", true), kDone, 0, 0},
        {End(-4, "trans timeout", true, true), kDone, 0, 0},  // 250 to the end, QUIT unanswered
        {End(-2, "UNEXPECTED DISCONNECT", true, true), kDone, 0, 0},
        {End(-1, "550 5.1.1 no such user", true), kRefused, 1, 69},
        {End(-1, "535 authentication failed", true), kRefused, 1, 69},
        {End(-1, "SMTPUTF8 NOT OFFERED: x", true), kRefused, 1, 69},
        {End(-1, "REPLY LINE TOO LONG", true), kRefused, 1, 69},
        {End(10, "certificate verify failed: certificate has expired"), kRefused, 1, 69},
        {End(1, "TLS handshake failed: x", true), kRefused, 1, 69},
        {End(-1, "-ERR [AUTH] no", true, false, {}, "AUTH"), kRefused, 1, 69},
        {End(-1, "451 try later", true), kTemporary, 4, 75},
        {End(-1, "-ERR [IN-USE] x", true, false, {}, "IN-USE"), kTemporary, 4, 75},
        {End(-2, "UNEXPECTED DISCONNECT", true), kTemporary, 4, 75},
        {End(-3, "connect timeout"), kTemporary, 4, 75},
        {End(-4, "trans timeout", true), kTemporary, 4, 75},
        {End(111, "Connection refused"), kTemporary, 4, 75},
        {End(-1, "NO RECIPIENT ADDRESS"), kLocal, 1, 64},
        {End(-1, "INVALID CHARACTER IN FromAddr"), kLocal, 1, 65},
        {End(-1, "UNEXPECTED ERROR: bad_alloc", true), kLocal, 1, 70},
        // Every recipient refused (Done carries the last refusal), in either order; then a
        // refusal of DATA after some were.
        {End(-1, "450 b", true, false, {"550 a", "450 b"}), kTemporary, 4, 75},
        {End(-1, "550 a", true, false, {"450 b", "550 a"}), kTemporary, 4, 75},
        {End(-1, "553 b", true, false, {"550 a", "553 b"}), kRefused, 1, 69},
        {End(-1, "554 no", true, false, {"450 b"}), kRefused, 1, 69},
    };
    for (const auto& [end, verdict, status, sendmail] : kRows) {
        EXPECT_EQ(std::tuple(Classify(end), ExitStatus(Classify(end)), SendmailExitCode(end)),
                  std::tuple(verdict, status, sendmail))
            << end.code << " " << end.message;
    }
}

// The first reply after the end of the message says whether the server took it.
TEST(Classify, TheReplyToTheEndOfTheMessageIsWhatCounts) {
    for (const auto& [reply, accepted] : {std::pair{u"250 queued", true}, {u"451 later", false}}) {
        TransferEnd end;
        for (const Text line : {u">>MAIL FROM:<a>", u"250 ok", u">>Sending Dot(EOF) ...", reply,
                                u">>RSET ", u"250 reset"}) {
            end.Trace(line);
        }
        EXPECT_EQ(std::pair(end.reachedServer, end.accepted), std::pair(true, accepted));
    }
}

// sendmail's command line, words split at spaces: what is sent and where, or the refusal. The
// environment holds PW and ZEFMAIL_SERVER=env.host.
TEST(SendmailCommandLine, SendmailOptionsEnvironmentDefaultsAndRefusals) {
    Scratch scratch;
    std::filesystem::create_directories(scratch.dir / "zefmail");
    scratch.File("zefmail/config.toml",
                 "[accounts.m]\nserver = \"s\"\nuser = \"u\"\n"
                 "password_command = \"echo pw\"\n[accounts.m.send]\n"
                 "port = 587\ntls = \"starttls\"\nauth = \"login\"\n");
    const std::pair<const char*, const char*> kRows[] = {
        {"--account m -t", "env.host:587 tls 2 auth 2 from - to  t1"},
        {"--account=n -t", "/zefmail/config.toml: no account n (a table"},
        {"a@x", "env.host:25 tls 0 auth 0 from - to a@x t0 dot1"},
        {"-oi -odi -odb -oem -oep -om -v -bm -fme@x -F Me -B8BITMIME a@x b@y",
         "env.host:25 tls 0 auth 0 from me@x to a@x,b@y t0 dot0"},
        {"-t -i -f me@x -- -odd@x", "from me@x to -odd@x t1 dot0"},
        {"-t -r me@x --server=h --port 2525 --tls STARTTLS --auth plain --user u "
         "--password-env PW",
         "h:2525 tls 2 auth 3 from me@x to  t1"},
        {"-t --tls implicit", ":465 tls 1"},
        {"", "64 zefmail sendmail: no recipient: name them as arguments, or give -t"},
        {"-bs a@x", "64 zefmail sendmail: unknown option -bs (see zefmail sendmail --help)"},
        {"-t -f", "64 zefmail sendmail: -f needs a value"},
        {"-t --server", "64 zefmail sendmail: --server needs a value"},
        {"-t --port 0", "64 zefmail sendmail: --port (or ZEFMAIL_PORT) must be a number"},
        {"-t --tls ssl", "must be implicit or starttls, not ssl"},
        {"-t --insecure", "--insecure requires --tls"},
        {"-t --auth login", "--auth login needs --user (or ZEFMAIL_USER)"},
        {"-t --auth digest", "must be none, plain, login or cram-md5, not digest"},
        {"-t --auth login --user u", "the environment variable ZEFMAIL_PASSWORD is not set"},
        {"-t --trans-timeout x", "a time-out must be a number of seconds, not x"},
        {"--help", "0 NAME\n  zefmail sendmail - send the message on standard input"},
    };
    const EnvLookup env = [&](const std::string& name) -> std::optional<std::string> {
        if (name == "ZEFMAIL_SERVER") {
            return "env.host";
        }
        if (name == "XDG_CONFIG_HOME") {
            return scratch.dir.string();
        }
        return name == "PW" ? std::optional<std::string>("pw") : std::nullopt;
    };
    for (auto [line, expected] : kRows) {
        std::vector<std::string> words;
        std::istringstream in(line);
        for (std::string word; in >> word;) {
            words.push_back(word);
        }
        std::ostringstream out;
        std::ostringstream err;
        SendmailParse parsed = ParseSendmailLine(words, out, err, env);
        std::string result = std::to_string(parsed.exitCode) + " " + out.str() + err.str();
        if (parsed.options) {
            const SendmailOptions& o = *parsed.options;
            std::string to;
            for (const auto& address : o.smtp.to) {
                to += (to.empty() ? "" : ",") + address;
            }
            result = o.smtp.server + ":" + std::to_string(o.smtp.PortOr(25, 465)) + " tls " +
                     std::to_string(o.smtp.Security()) + " auth " +
                     std::to_string(o.smtp.AuthMechanism()) + " from " +
                     (o.smtp.from.empty() ? "-" : o.smtp.from) + " to " + to + " t" +
                     std::to_string(int{o.recipientsFromHeader}) + " dot" +
                     std::to_string(int{o.dotEnds});
        }
        EXPECT_NE(result.find(expected), std::string::npos) << line << "\n" << result;
    }
}

// The header block whole and the body in pieces, whatever lies on the 64 KiB read boundary; a
// line holding only "." ends the input unless -i.
TEST(SendmailInput, HeaderWholeBodyAsReadAndTheDotLineEndsItUnlessI) {
    // "To: a\n\n", these and "\n" put the "." (and the "\r") last in the first 64 KiB read.
    const std::string filler(65536 - 9, 'x');
    const std::string fillerCr(65536 - 10, 'x');
    const std::tuple<std::string, bool, std::string, std::string> kRows[] = {
        {"To: a\nSubject: s\n\nbody\n.\nafter\n", true, "To: a\nSubject: s\n\n", "body\n"},
        {"To: a\r\n\r\n.x\r\n.\r\nafter", true, "To: a\r\n\r\n", ".x\r\n"},
        {"To: a\n\n.\nafter\n.", false, "To: a\n\n", ".\nafter\n."},
        {"To: a\n\nend .\n..\n.", true, "To: a\n\n", "end .\n..\n."},
        {"Subject: only a header\n", true, "Subject: only a header\n", ""},
        {"To: a\rB: c\r\rbody\r\r\n", true, "To: a\rB: c\r\r", "body\r\r\n"},
        {"To: a\n\r\nbody", true, "To: a\n\r\n", "body"},
        {"To: a\n\n" + filler + "\n.\r\nafter", true, "To: a\n\n", filler + "\n"},
        {"To: a\n\n" + fillerCr + "\n.\r\nafter", true, "To: a\n\n", fillerCr + "\n"},
        {"To: a\n\n" + filler + "\n.x\n", true, "To: a\n\n", filler + "\n.x\n"},
        {"", true, "", ""},
    };
    for (const auto& [input, dotEnds, header, body] : kRows) {
        std::istringstream in(input);
        MessageInput message(in, dotEnds);
        EXPECT_EQ(message.ReadHeader(), header) << Escaped(input.substr(0, 40));
        std::string read;
        for (Bytes piece = message.NextPiece(); !piece.empty(); piece = message.NextPiece()) {
            read += piece;
        }
        EXPECT_EQ(read, body) << Escaped(input.substr(0, 40));
    }
    std::istringstream big("X: y\n\n" + std::string(100, 'b'));
    EXPECT_EQ(MessageInput(big, true).ReadHeader(50), "X: y\n\n")
        << "the limit counts the header block, not the body read with it";
    std::istringstream huge("X: " + std::string(kHeaderLimit, 'y') + "\n\nbody");
    try {
        MessageInput(huge, true).ReadHeader();
        ADD_FAILURE() << "a header block over the limit was taken";
    } catch (const SendmailError& e) {
        EXPECT_EQ(e.ExitCode(), kExDataErr);
    }
}

// -f or the From field; with -t the addresses of To, Cc and Bcc (folded, groups, comments,
// quoted names, encoded words as they are) before the arguments; Bcc never in what is sent.
TEST(SendmailEnvelope, SenderRecipientsAndTheHeaderWithoutBcc) {
    const std::string header =
        "From: =?UTF-8?B?5beu5Ye65Lq6?= <f@x>\nTo: team: a@x, \"B, Jr.\" <b@x>;,\n"
        "  c@x (Sales, Tokyo)\nBCC: h@x\nSubject: s\nCc: =?UTF-8?Q?D=C3=A9?= <d@x>\n\n";
    SendmailOptions options;
    options.recipientsFromHeader = true;
    options.smtp.to = {"arg@x"};
    SendmailEnvelope envelope = ReadEnvelope(header, options);
    EXPECT_EQ(envelope.sender, "f@x");
    EXPECT_EQ(envelope.recipients,
              (std::vector<std::string>{"a@x", "b@x", "c@x", "h@x", "d@x", "arg@x"}));
    EXPECT_EQ(envelope.header,
              "From: =?UTF-8?B?5beu5Ye65Lq6?= <f@x>\r\nTo: team: a@x, \"B, Jr.\" <b@x>;,\r\n"
              "  c@x (Sales, Tokyo)\r\nSubject: s\r\nCc: =?UTF-8?Q?D=C3=A9?= <d@x>\r\n\r\n");

    // Lone CR line ends, and the obsolete form with white space before the colon.
    envelope = ReadEnvelope("From: f@x\rTo: a@x\rBcc : h@x\rbcc\t:\r i@x\rSubject: s\r\r", options);
    EXPECT_EQ(envelope.recipients, (std::vector<std::string>{"a@x", "h@x", "i@x", "arg@x"}));
    EXPECT_EQ(envelope.header, "From: f@x\r\nTo: a@x\r\nSubject: s\r\n\r\n");

    options.recipientsFromHeader = false;
    options.smtp.from = "root (Cron \\) Daemon)";
    options.smtp.to = {R"("x\" (<y" <arg@x>)"};
    envelope = ReadEnvelope(header, options);
    EXPECT_EQ(std::pair(envelope.sender, envelope.recipients),
              std::pair(std::string("root"), std::vector<std::string>{"arg@x"}));
    for (const auto& [text, toArgs, t] :
         {std::tuple{"Subject: no sender\n\n", std::vector<std::string>{"a@x"}, false},
          std::tuple{"From: f@x\nTo: undisclosed-recipients:;\n\n", std::vector<std::string>{},
                     true}}) {
        options.smtp.from.clear();
        options.smtp.to = toArgs;
        options.recipientsFromHeader = t;
        try {
            ReadEnvelope(text, options);
            ADD_FAILURE() << text;
        } catch (const SendmailError& e) {
            EXPECT_EQ(e.ExitCode(), kExUsage) << text;
        }
    }
}

}  // namespace
}  // namespace zef::zefmail
