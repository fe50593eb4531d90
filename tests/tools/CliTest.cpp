// zefmail's command line, and what every command shares: passwords, the progress bar, media
// types, and the verdict on how a transfer ended.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <regex>
#include <sstream>

#include "common/Unicode.h"
#include "smtp/Outcomes.h"
#include "tests/support/TestText.h"
#include "tests/tools/Scratch.h"
#include "tools/zefmail/cli/AccountFile.h"
#include "tools/zefmail/cli/Commands.h"
#include "tools/zefmail/cli/ContentTypes.h"
#include "tools/zefmail/cli/Password.h"
#include "tools/zefmail/cli/Progress.h"
#include "tools/zefmail/cli/ToolError.h"
#include "tools/zefmail/cli/Verdict.h"
#include "tools/zefmail/fetch/FetchOptions.h"
#include "tools/zefmail/send/FlushCommand.h"

namespace zef::zefmail {
namespace {

using test::Escaped;

// The text with {d} replaced by the scratch folder.
std::string Expand(const std::string& text, const Scratch& scratch) {
    return std::regex_replace(text, std::regex("\\{d\\}"), scratch.dir.string());
}

// A command line as one string: words split at spaces, {d} the scratch folder, '' an empty
// word; a first word S or F stands for a send or fetch command with all it needs, M for
// sendmail.
std::vector<std::string> Words(std::string line, const Scratch& scratch) {
    const std::pair<char, const char*> kShorthands[] = {
        {'S', "send --server h --from a@x --to b@y"},
        {'F', "fetch --server h --user u --password-env PW"},
        {'M', "sendmail"}};
    for (auto [letter, words] : kShorthands) {
        if (!line.empty() && line[0] == letter) {
            line.replace(0, 1, words);
        }
    }
    std::vector<std::string> words;
    std::istringstream in(Expand(line, scratch));
    for (std::string word; in >> word;) {
        words.push_back(word == "''" ? "" : word);
    }
    return words;
}

// Where and how a command would connect, as one line.
std::string Connection(const CommonOptions& c, int plainPort, int tlsPort) {
    return " tls " + std::to_string(c.Security()) + " port " +
           std::to_string(c.PortOr(plainPort, tlsPort)) + (c.insecure ? " insecure" : "") +
           (c.caFile.empty() ? "" : " ca " + c.caFile) + " @" + c.server;
}
std::string PasswordSource(const CommonOptions& c) {
    return c.passwordCommand.empty() ? c.passwordEnv : "$(" + c.passwordCommand + ")";
}
std::string Settings(const SendOptions& o) {
    return "send auth " + std::to_string(o.AuthMechanism()) + o.SaslMechanism() +
           Connection(o, 25, 465) + " " + o.user + " " + PasswordSource(o);
}
std::string Settings(const FetchOptions& o) {
    return std::string("fetch ") +
           (o.Imap() ? "imap " + o.folder + (o.idle ? " idle " : " ") : "") +
           (o.search.empty() ? "" : "search " + o.search + " ") + "auth " +
           (o.auth.empty() ? (o.apop ? "apop" : "user") : o.auth) +
           Connection(o, o.Port(), o.Port()) + " " + o.user + " " + PasswordSource(o) +
           (o.keep ? " keep " + std::to_string(o.keepDays) : "") +
           (o.mda.empty() ? "" : " mda " + o.mda + " " + std::to_string(o.mdaTimeout) + "s") +
           (o.maxSize < 0 ? "" : " max " + std::to_string(o.maxSize));
}
std::string Settings(const FlushOptions& o) {
    return Settings(static_cast<const SendOptions&>(o)).replace(0, 4, "flush") + " " + o.queue;
}
std::string Settings(const SendmailOptions& o) {
    std::string to;
    for (const auto& address : o.to) {
        to += (to.empty() ? "" : ",") + address;
    }
    return Settings(static_cast<const SendOptions&>(o)).replace(0, 4, "sendmail") + " from " +
           (o.from.empty() ? "-" : o.from) + " to " + to + " t" +
           std::to_string(int{o.recipientsFromHeader}) + " dot" +
           std::to_string(int{!o.ignoreDots});
}

// The settings of the command to run, or the exit status and what was written: the help, or
// the one line of a refusal.
template <typename Options>
std::string Result(const CommandRules<Options>& rules, const std::vector<std::string>& words,
                   const Console& console, const std::ostringstream& out,
                   const std::ostringstream& err) {
    Parsed<Options> parsed = ParseCommand(rules, words, console);
    if (!parsed.options) {
        const std::string error = err.str();
        EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), parsed.exitCode == 0 ? 0 : 1);
        return std::to_string(parsed.exitCode) + " " + out.str() + error;
    }
    return Settings(*parsed.options);
}

std::string Result(const std::vector<std::string>& words, const Scratch& scratch) {
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    const Console console{in, out, err, [&](const std::string& name) -> std::optional<std::string> {
                              if (name == "ZEFMAIL_SERVER") {
                                  return "env.host";
                              }
                              if (name == "XDG_CONFIG_HOME") {
                                  return scratch.dir.string();
                              }
                              return name == "PW" ? std::optional<std::string>("pw") : std::nullopt;
                          }};
    const std::string command = words.empty() ? "" : words.front();
    const std::vector<std::string> rest(words.begin() + (words.empty() ? 0 : 1), words.end());
    if (command == "send") {
        return Result(kSendRules, rest, console, out, err);
    }
    if (command == "fetch") {
        return Result(kFetchRules, rest, console, out, err);
    }
    if (command == "sendmail") {
        return Result(kSendmailRules, rest, console, out, err);
    }
    if (command == "flush") {
        return Result(kFlushRules, rest, console, out, err);
    }
    // No such command, or "zefmail ...": the command itself runs.
    const int exit = RunZefmail(
        "zefmail", std::vector<std::string>(words.begin() + (command == "zefmail"), words.end()),
        console);
    return std::to_string(exit) + " " + out.str() + err.str();
}

// A fetch of several accounts: each turn's settings after the account's name.
std::string Result(const std::string& line, const Scratch& scratch) {
    const std::vector<std::string> words = Words(line, scratch);
    std::string turns;
    if (!words.empty() && words.front() == "fetch") {
        const std::string file = (scratch.dir / "zefmail" / "config.toml").string();
        for (const AccountRun& turn : SeveralAccounts({words.begin() + 1, words.end()}, file)) {
            turns += (turns.empty() ? "[" : " | [") + turn.account + "] ";
            std::vector<std::string> args = {"fetch"};
            args.insert(args.end(), turn.args.begin(), turn.args.end());
            turns += Result(args, scratch);
        }
    }
    return turns.empty() ? Result(words, scratch) : turns;
}

// Refused with exit status 2 (sendmail: 64) and one line naming the cause, before any
// connection; accepted with the login, the TLS mode and the port it implies, the server and
// the password's source; or the help. The environment holds PW and ZEFMAIL_SERVER=env.host,
// which only sendmail reads.
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
auth = "LOGIN"
apop = true
from = "r@h"
[accounts.relay.fetch]
mbox = "box"
keep_days = 3
mda = "lda"
mda_timeout = 30
max_size = 9
[accounts.typo]
severs = "x"
[accounts.bad.send]
tls = "ssl"
[accounts.list]
server = ["a", "b"]
[accounts.down]
server = "127.0.0.1"
port = 1
user = "u"
password_env = "PW"
[accounts.nopw]
server = "127.0.0.1"
user = "u"
password_command = "exit 3"
[accounts.imap]
server = "h"
user = "u"
password_env = "PW"
tls = "implicit"
[accounts.imap.fetch]
protocol = "imap"
folder = "Archive/2026"
idle = true
)");
    scratch.File("body.txt", "本文\nok");
    scratch.File("😀.txt", "ok\r\nok\n😀");
    const std::pair<const char*, const char*> kRows[] = {
        {" ", "2 zefmail: a command is required: send, fetch, sendmail or flush"},
        {"post", "2 zefmail: unknown command post"},
        {"--help", "0 zefmail: send mail"},
        {"send --from a@x --to b@y", "2 zefmail send: --server is required"},
        {"send --server '' --from a@x --to b@y", "2 zefmail send: --server is required"},
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
        {"S --tls none --insecure", "--insecure requires --tls"},
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
        {"fetch --server '' --user u --password-env PW", "--server is required"},
        {"fetch --server h --user '' --password-env PW", "--user is required"},
        {"F --text", "--text requires --out"},
        {"F --out {d}/body.txt", "2 zefmail fetch: --out {d}/body.txt: exists and is not a folder"},
        {"F --top-lines -1", "--top-lines: Value -1 not in range"},
        {"F --crlf --out {d}", "2 zefmail fetch: --crlf requires --maildir or --mbox"},
        {"F --mbox {d}/box --keep-days 3", "fetch auth user tls 0 port 110 @h u PW keep 3"},
        {"F --auth login", "--auth: login not in"},
        {"F --auth XOAUTH2 --apop", "2 zefmail fetch: --apop and --auth xoauth2 are two"},
        {"F --auth Scram-SHA-256 --apop", "--auth scram-sha-256 are two"},
        {"F --auth auto --apop", "fetch auth auto tls 0 port 110"},
        {"F --maildir {d}/body.txt", "--maildir {d}/body.txt: exists and is not a folder"},
        {"F --mbox {d}", "2 zefmail fetch: --mbox {d}: is a folder, not a file"},
        {"F --mbox {d}/new --maildir {d}/md --crlf --out {d}", "fetch auth user tls 0 port 110"},
        {"S --subject what?😀é --charset iso-2022-jp", "--subject: U+1F600"},
        {"S --subject 中文简体 --charset iso-2022-jp", "--subject: U+7B80"},  // 简 is not JIS
        {"S --subject 日本語?①②㈱№ｶﾞＡ --body-file {d}/body.txt", "send auth 0 tls 0 port 25"},
        {"S --tls Implicit --insecure --auth CRAM-MD5 --user u --password-env PW",
         "send auth 1 tls 1 port 465 insecure"},
        {"S --tls starttls --ca-file {d}/body.txt --auth login --user u --password-env PW",
         "send auth 2 tls 2 port 25 ca {d}/body.txt"},
        {"S --auth xoauth2 --user u --password-command x", "send auth 0XOAUTH2 tls 0"},
        {"send --server h --header-file {d}/body.txt --body-file - --html-file {d}/body.txt "
         "--auth plain --user u --password-env PW --port 2525",
         "send auth 3 tls 0 port 2525"},
        {"F --tls implicit --insecure --connect-timeout 0",
         "fetch auth user tls 1 port 995 insecure"},
        {"F --tls STARTTLS --ca-file {d}/😀.txt", "fetch auth user tls 2 port 110 ca {d}/😀.txt"},
        {"F --out {d}/new --text --keep --apop --top-lines 5",
         "fetch auth apop tls 0 port 110 @h u PW keep -1"},
        {"F --out {d}/new --keep-days 0", "keep 0"},
        {"F --keep-days 7", "--keep-days requires --out"},
        {"F --mda x --keep-days 2 --crlf --max-size 0", "110 @h u PW keep 2 mda x 600s max 0"},
        {"F --mda x --max-size -1", "--max-size: Value -1 not in range"},
        {"F --mda x --mda-timeout 0", "--mda-timeout: Value 0 not in range"},
        {"fetch --account relay --max-size 7", "keep 3 mda lda 30s max 7"},
        // IMAP: its own ports and options; POP3's are refused with it, and its own with POP3.
        {"F --protocol imap --keep", "fetch imap INBOX auth user tls 0 port 143 @h u PW keep -1"},
        {"F --protocol IMAP --tls implicit --folder 仕事 --auth auto",
         "fetch imap 仕事 auth auto tls 1 port 993 @h"},
        {"F --protocol imap --tls starttls --port 1143 --idle",
         "imap INBOX idle auth user tls 2 port 1143"},
        {"fetch --account imap", "fetch imap Archive/2026 idle auth user tls 1 port 993 @h u PW"},
        {"fetch --account imap --protocol pop3", "2 zefmail fetch: --idle is for IMAP only: give"},
        {"F --protocol imap --apop",
         "2 zefmail fetch: --apop is for POP3 only: not with --protocol imap"},
        {"F --protocol imap --top-lines 0", "2 zefmail fetch: --top-lines is for POP3 only"},
        {"F --folder Work", "2 zefmail fetch: --folder is for IMAP only: give --protocol imap"},
        {"F --search UNSEEN", "2 zefmail fetch: --search is for IMAP only"},
        {"F --list-folders", "2 zefmail fetch: --list-folders is for IMAP only"},
        {"F --mark-seen", "2 zefmail fetch: --mark-seen is for IMAP only"},
        {"F --protocol imap --mark-seen", "2 zefmail fetch: --mark-seen requires --out"},
        {"F --protocol imap --search unseen", "fetch imap INBOX search unseen auth"},
        {"F --protocol imap --search SEEN", "2 zefmail fetch: --search SEEN: use ALL, UNSEEN"},
        {"F --protocol imap --list-folders --maildir m",
         "2 zefmail fetch: --list-folders reads no"},
        {"F --protocol smtp", "2 zefmail fetch: --protocol: smtp not in {imap,pop3}"},
        {"F --out {d}/new --keep-days -1", "--keep-days: Value -1 not in range"},
        {"send --help", "0 Send one message through an SMTP server\nUsage: zefmail send"},
        {"fetch --help", "Examples:"},
        // An account's keys are the options of the same names, read before the command line's;
        // its command table's keys win over its own; the password source named last wins.
        {"fetch --account home",
         "fetch auth scram-sha-256 tls 0 port 110 @pop.example.jp taro $(pass show mail)"},
        {"send --account home --to b@y --from a@x",
         "send auth 2 tls 2 port 587 @smtp.example.jp taro $(pass show mail)"},
        {"send --account=home --to b@y --from a@x --server h --password-env PW --tls implicit",
         "send auth 2 tls 1 port 587 @h taro PW"},
        {"fetch --account home --user u --password-command 'x'",
         "fetch auth scram-sha-256 tls 0 port 110 @pop.example.jp u $('x')"},
        {"fetch --account relay", "fetch auth apop tls 0 port 110 @h u PW keep 3"},  // no LOGIN
        {"fetch --account relay --apop=false", "fetch auth user"},
        {"send --account relay --to b@y", "send auth 2 tls 0 port 25 @h u PW"},  // from = "r@h"
        {"fetch --account away", "2 zefmail fetch: {d}/zefmail/config.toml: no account away"},
        {"fetch --account typo", "config.toml, account typo: unknown key severs"},
        {"send --account bad", "2 zefmail send: {d}/zefmail/config.toml, account bad: --tls: ssl"},
        {"send --account list", "account list: server must be a string, a whole number, true"},
        // Several accounts: each in turn (the file's order, or the order given), the rest of the
        // command line after its settings; their lines marked; the worst status: 0, 4, 1, 2.
        {"fetch --all-accounts --max-size 5",
         "[relay] fetch auth apop tls 0 port 110 @h u PW keep 3 mda lda 30s max 5 | [typo] 2 "
         "zefmail "
         "fetch: {d}/zefmail/config.toml, account typo: unknown key severs\n | [bad] 2 zefmail "
         "fetch: --server is required\n | [list] 2"},
        {"fetch --account relay --account=home --user x",
         "[relay] fetch auth apop tls 0 port 110 @h x PW keep 3 mda lda 30s max 9 | [home] fetch "
         "auth "
         "scram-sha-256 tls 0 port 110 @pop.example.jp x $(pass show mail)"},
        {"zefmail fetch --account home --all-accounts",
         "2 zefmail fetch: --all-accounts reads every"},
        {"zefmail fetch --all-accounts=true", "2 zefmail fetch: --all-accounts takes no value\n"},
        {"zefmail fetch --account down --account nopw --account bad",
         "2 [down] zefmail fetch: cannot reach 127.0.0.1:1 (code 111: Connection refused); try "
         "again later\n[down] zefmail fetch: 0 of 0 message(s) read\n[nopw] zefmail fetch: the "
         "password command failed (exit status 3)\n[bad] zefmail fetch: --server is required\n"},
        {"zefmail fetch --account nopw --account down --quiet", "1 [nopw] zefmail fetch: the"},
        // sendmail: its own options, the ZEFMAIL_* variables after the account, 64 for a refusal.
        {"M --account relay -t", "sendmail auth 2 tls 0 port 25 @env.host u PW from r@h to  t1"},
        {"M --account=n -t", "64 zefmail sendmail: {d}/zefmail/config.toml: no account n (a table"},
        {"M a@x",
         "sendmail auth 0 tls 0 port 25 @env.host  ZEFMAIL_PASSWORD from - to a@x t0 dot1"},
        {"M -oi -odi -odb -oem -oep -om -v -bm -fme@x -F Me -B8BITMIME a@x b@y",
         "port 25 @env.host  ZEFMAIL_PASSWORD from me@x to a@x,b@y t0 dot0"},
        {"M -ti -f me@x -- -odd@x", "from me@x to -odd@x t1 dot0"},
        {"M -t -r me@x --server=h --port 2525 --tls STARTTLS --auth plain --user u "
         "--password-env PW",
         "sendmail auth 3 tls 2 port 2525 @h u PW from me@x to  t1"},
        {"M -t --tls implicit", "tls 1 port 465"},
        {"M", "64 zefmail sendmail: no recipient: name them as arguments, or give -t"},
        {"M -bs a@x", "64 zefmail sendmail: -b: -bs (an SMTP dialogue on standard input) is not"},
        {"M -bp", "-b: -bp is not offered: zefmail has no queue, aliases or daemon"},
        {"M -odq -oee -em -U -G -n -N failure,Delay -R HDRS -V id+1 a@x", "to a@x t0 dot1"},
        {"M -N never,success a@x",
         "64 zefmail sendmail: --dsn-notify: never, or success, failure and"},
        {"M -R body a@x", "--dsn-return: full or hdrs, not body"},
        {"M -V é a@x", "--dsn-envid: up to 100 printable ASCII"},
        {"M -t -q", "64 zefmail sendmail: The following argument was not expected: -q"},
        {"M -t -f", "64 zefmail sendmail: -f: 1 required"},
        {"M -t --server", "64 zefmail sendmail: --server: 1 required"},
        {"M -t --port 0", "64 zefmail sendmail: --port: Value 0 not in range"},
        {"M -t --auth login --user u", "the environment variable ZEFMAIL_PASSWORD is not set"},
        {"M -t --trans-timeout x", "--trans-timeout: Value x"},
        {"flush", "64 zefmail flush: the queue's folder is required"},
        {"flush --account relay q", "flush auth 2 tls 0 port 25 @env.host u PW q"},
        {"M --help",
         "0 Send the message on standard input, as sendmail does\nUsage: zefmail sendmail"},
    };
    for (auto [line, expected] : kRows) {
        const std::string result = Result(line, scratch);
        EXPECT_NE(result.find(Expand(expected, scratch)), std::string::npos) << line << "\n"
                                                                             << result;
    }
}

// A mime.types text first, the built-in pairs for what it lacks; none at all when it is missing.
TEST(ContentTypeForFile, ByTheLastExtensionOfTheNameAlone) {
    const ContentTypeTable table(
        "# c gz\n\n Application/GZIP\tgz  tgz # x\ntext/x-log Log\n"
        "image/jpeg jpeg jpg\ntext/x-none\n");
    const ContentTypeTable none("");
    for (auto [file, type, missing] :
         {std::tuple{"a.tar.GZ", "application/gzip", "application/octet-stream"},
          {"v.2/b.TGZ", "application/gzip", "application/octet-stream"},
          {"a.log", "text/x-log", "text/plain"},
          {"a.jpg", "image/jpeg", "image/jpeg"},
          {"a.wav", "audio/wav", "audio/wav"},
          {"data.xyz", "application/octet-stream", "application/octet-stream"}}) {
        EXPECT_EQ(ContentTypeForFile(file, table), type) << file;
        EXPECT_EQ(ContentTypeForFile(file, none), missing) << file;
    }
    for (const char* file : {".gz", "gz", "v.gz/README", "v\\.gz", "trailing.", "a.c"}) {
        EXPECT_EQ(ContentTypeForFile(file, table), "application/octet-stream") << file;
    }
    for (auto [type, extension] : {std::pair{" application/gzip ; x=y", ".gz"},
                                   {"TEXT/X-LOG", ".log"},
                                   {"image/jpeg", ".jpg"},
                                   {"audio/mpeg", ".mp3"},
                                   {"text/plain", ".txt"},
                                   {"text/x-none", ".bin"},
                                   {"", ".bin"}}) {
        EXPECT_EQ(ExtensionForContentType(type, table), extension) << type;
    }
    EXPECT_EQ(ContentTypeForFile("r.PDF"), "application/pdf");  // the system's /etc/mime.types
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
         "no TLS with h:25 (code 1: TLS handshake failed: x)"},
        {[] {
             TransferEnd end = End(-1, "553 no", true);  // pipelined: replies behind DATA
             for (const char16_t* line :
                  {u">>MAIL FROM:<a@x>", u">>RCPT TO:<b@x>", u">>DATA", u"250-ok", u"250 ok",
                   u"553 no", u"554 none", u">>QUIT "}) {
                 end.Trace(line);
             }
             return end;
         }(),
         "the server refused the recipient <b@x> (code -1: 553 no)"},
        {[] {
             TransferEnd end = End(-1, "553 no", true, false, {"553 no"});
             end.Trace(u">>RCPT TO:<b@x>");  // partly sent: the refusals are named apart
             end.Trace(u"553 no");
             return end;
         }(),
         "the server refused (code -1: 553 no)"}};
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

}  // namespace
}  // namespace zef::zefmail
