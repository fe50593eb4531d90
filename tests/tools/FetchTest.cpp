// zefmail fetch: the folders of fetched messages, the saved state, the mail drops and the event
// log.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <chrono>
#include <csignal>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "common/Unicode.h"
#include "components/Codec.h"
#include "pop/popZef.h"
#include "tests/support/TestText.h"
#include "tests/tools/Scratch.h"
#include "tools/zefmail/cli/ToolError.h"
#include "tools/zefmail/fetch/EventLog.h"
#include "tools/zefmail/fetch/MaildirWriter.h"
#include "tools/zefmail/fetch/MboxWriter.h"
#include "tools/zefmail/fetch/MdaWriter.h"
#include "tools/zefmail/fetch/MessageWriter.h"
#include "tools/zefmail/fetch/Outputs.h"
#include "tools/zefmail/fetch/PartPaths.h"
#include "tools/zefmail/fetch/SavedState.h"

namespace zef::zefmail {
namespace {

using test::Escaped;
using test::U;
using Json = nlohmann::json;

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
    // Refused by the first: the later ones are not sealed, and put nothing in place.
    std::swap(a->sealFails, b->sealFails);
    const std::set<std::string> before = b->held;
    outputs.Begin(4, 0);
    EXPECT_EQ(std::tuple(save(), notes.size(), b->held), std::tuple("full", 2U, before));
}

// Each message on a command's standard input; its exit status decides. A message cut short is
// never ended with an end of file (the command is killed, "done" never appears); a command that
// stops reading fails it, without a SIGPIPE for zefmail; one over its time limit is killed with
// what it started (no "late" file), whether it stopped reading or did not exit.
TEST(MdaWriter, EachMessageOnACommandsInputAndItsExitStatusDecides) {
    using std::chrono::milliseconds;
    Scratch scratch;
    const std::string d = scratch.dir.string();
    const std::string big = "A: 1\n\n" + std::string(1 << 20, 'x');
    const std::string late = "; (sleep 1; touch " + d + "/late) & wait";  // outlives the shell
    const milliseconds kAmple(60000);
    const std::tuple<std::string, std::vector<std::string>, std::string, bool, milliseconds>
        kRows[] = {
            {"printf '%s|' %F >>" + d + "/got; cat >>" + d + "/got",
             {"Return-Path: <a'b@x>\n\n.x", "A: 2"},
             "ok",
             false,
             kAmple},
            {"cat >/dev/null; exit 75",
             {"A: 1"},
             "deferred it (exit status 75); try again",
             true,
             kAmple},
            {"cat >/dev/null; exit 1", {"A: 1"}, "failed with exit status 1", false, kAmple},
            {"kill -9 $$", {"A: 1"}, "killed by signal 9", false, kAmple},
            {"read x; exit 0", {big}, "exited before reading the whole message", false, kAmple},
            {"cat >/dev/null" + late,
             {"A: 1"},
             "did not end within 1 s and was stopped",
             true,
             milliseconds(300)},
            {"read x" + late, {big}, "did not end within 1 s", true, milliseconds(300)}};
    for (const auto& [command, messages, result, forNow, limit] : kRows) {
        MdaWriter mda(command, true, scratch.dir / "state", limit);
        const std::vector<std::string> results = Deliver(mda, messages);
        EXPECT_NE(results.back().find(result), std::string::npos) << command << results.back();
        EXPECT_EQ(mda.FailedForNow(), forNow) << command;
    }
    EXPECT_EQ(scratch.Read("got"),
              "a'b@x|Return-Path: <a'b@x>\r\n\r\n.x\r\nMAILER-DAEMON|A: 2\r\n");
    {
        MdaWriter cut("cat >" + d + "/part && touch " + d + "/done", false, scratch.dir / "state",
                      kAmple);
        cut.Begin(1, 0);
        cut.Line("A: 1");
        EXPECT_TRUE(std::filesystem::is_directory(cut.Location()));
    }
    std::this_thread::sleep_for(milliseconds(1500));  // past the killed commands' "sleep 1"
    EXPECT_FALSE(std::filesystem::exists(scratch.dir / "done"));
    EXPECT_FALSE(std::filesystem::exists(scratch.dir / "late"));
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

}  // namespace
}  // namespace zef::zefmail
