#include "tools/zefmail/Options.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace zef::zefmail {
namespace {

class OptionsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  ("zefmail-options-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder_);
        body_ = (folder_ / "body.txt").string();
        std::ofstream(body_) << "hello\n";
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    ParseOutcome Parse(const std::vector<std::string>& args) {
        out_.str("");
        err_.str("");
        return ParseCommandLine(args, out_, err_, [this](const std::string& name) {
            auto found = env_.find(name);
            return found == env_.end() ? std::nullopt : std::optional<std::string>(found->second);
        });
    }

    // The error must be one line that names the command.
    void ExpectOneLineError(const ParseOutcome& outcome, const std::string& needle) {
        EXPECT_FALSE(outcome.command.has_value());
        EXPECT_EQ(outcome.exitCode, 2);
        std::string error = err_.str();
        EXPECT_EQ(error.rfind("zefmail", 0), 0U) << error;
        EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
        EXPECT_NE(error.find(needle), std::string::npos) << error;
    }

    std::vector<std::string> Send(std::vector<std::string> more) {
        std::vector<std::string> args{"send", "--server", "localhost", "--from",
                                      "a@x",  "--to",     "b@y"};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }

    std::filesystem::path folder_;
    std::string body_;
    std::map<std::string, std::string> env_;
    std::ostringstream out_;
    std::ostringstream err_;
};

TEST_F(OptionsTest, AUsableSendCommand) {
    ParseOutcome outcome = Parse(Send({"--cc", "c@z", "--bcc", "d@w", "--bcc", "e@v", "--subject",
                                       "件名", "--body-file", body_, "--port", "2525"}));
    ASSERT_TRUE(outcome.command.has_value()) << err_.str();
    const SendOptions& send = outcome.command->send;
    EXPECT_EQ(outcome.command->kind, Command::Kind::kSend);
    EXPECT_EQ(send.bcc, (std::vector<std::string>{"d@w", "e@v"}));
    EXPECT_EQ(send.port, 2525);
    EXPECT_EQ(send.AuthMechanism(), 0);
    EXPECT_FALSE(send.Multipart());
    EXPECT_EQ(send.connectTimeout, 30);
}

TEST_F(OptionsTest, SendRefusesWhatCannotWork) {
    ExpectOneLineError(Parse({"send", "--from", "a@x", "--to", "b@y"}), "--server");
    ExpectOneLineError(Parse(Send({"--port", "70000"})), "--port");
    ExpectOneLineError(Parse(Send({"--port", "smtp"})), "--port");
    ExpectOneLineError(Parse({"send", "--server", "h", "--to", "b@y"}), "--from is required");
    ExpectOneLineError(Parse({"send", "--server", "h", "--from", "a@x"}), "no recipient");
    ExpectOneLineError(Parse(Send({"--attach", (folder_ / "nope.pdf").string()})),
                       "nope.pdf: No such file or directory");
    ExpectOneLineError(Parse(Send({"--body-file", folder_.string()})), "is a folder");
    ExpectOneLineError(Parse(Send({"--auth", "digest"})), "--auth");
    ExpectOneLineError(Parse(Send({"--bogus"})), "--bogus");
    ExpectOneLineError(Parse({"send", "--server", "h", "--header-file", body_, "--subject", "x"}),
                       "--subject");
}

TEST_F(OptionsTest, TlsModesTheirPortsAndTheCertificateOptions) {
    ParseOutcome plain = Parse(Send({}));
    ASSERT_TRUE(plain.command.has_value()) << err_.str();
    EXPECT_EQ(plain.command->send.Security(), 0);
    EXPECT_EQ(plain.command->send.PortOr(25, 465), 25);

    ParseOutcome implicit = Parse(Send({"--tls", "Implicit", "--insecure"}));
    ASSERT_TRUE(implicit.command.has_value()) << err_.str();
    EXPECT_EQ(implicit.command->send.Security(), 1);
    EXPECT_EQ(implicit.command->send.PortOr(25, 465), 465);
    EXPECT_TRUE(implicit.command->send.insecure);

    env_["ZEFMAIL_PASSWORD"] = "pw";
    ParseOutcome stls = Parse({"fetch", "--server", "h", "--user", "u", "--tls", "starttls",
                               "--ca-file", body_, "--port", "1110"});
    ASSERT_TRUE(stls.command.has_value()) << err_.str();
    EXPECT_EQ(stls.command->fetch.Security(), 2);
    EXPECT_EQ(stls.command->fetch.PortOr(110, 995), 1110);
    EXPECT_EQ(stls.command->fetch.caFile, body_);

    ExpectOneLineError(Parse(Send({"--tls", "ssl"})), "--tls");
    ExpectOneLineError(Parse(Send({"--insecure"})), "--tls");
    ExpectOneLineError(Parse(Send({"--ca-file", body_})), "--tls");
    ExpectOneLineError(
        Parse(Send({"--tls", "implicit", "--ca-file", (folder_ / "ca.pem").string()})),
        "--ca-file " + (folder_ / "ca.pem").string() + ": No such file");
    ExpectOneLineError(Parse({"fetch", "--server", "h", "--user", "u", "--tls", "implicit",
                              "--ca-file", folder_.string()}),
                       "is a folder");
}

TEST_F(OptionsTest, TextThatIso2022JpCannotCarryIsRefusedBeforeConnecting) {
    ExpectOneLineError(Parse(Send({"--subject", "party 🎉"})), "--subject: U+1F389");
    ExpectOneLineError(Parse(Send({"--cc", "Zoë <z@x>"})), "--cc: U+00EB");
    std::string emoji = (folder_ / "body-emoji.txt").string();
    std::ofstream(emoji) << "ok\nok\n😀\n";
    ExpectOneLineError(Parse(Send({"--body-file", emoji})), "line 3: U+1F600");
    std::string named = (folder_ / "😀.png").string();
    std::ofstream(named) << "png";
    ExpectOneLineError(Parse(Send({"--attach", named})), "the file name: U+1F600");
    ASSERT_TRUE(Parse(Send({"--subject", "①ｶﾞ", "--attach", body_})).command.has_value())
        << err_.str();
}

TEST_F(OptionsTest, AuthNeedsAUserAndThePasswordFromTheEnvironment) {
    ExpectOneLineError(Parse(Send({"--auth", "login"})), "needs --user");
    ExpectOneLineError(Parse(Send({"--auth", "login", "--user", "u"})), "ZEFMAIL_PASSWORD");
    ExpectOneLineError(Parse(Send({"--auth", "plain", "--user", "u", "--password-env", "MY_PW"})),
                       "MY_PW is not set");
    env_["MY_PW"] = "secret";
    ParseOutcome outcome =
        Parse(Send({"--auth", "CRAM-MD5", "--user", "u", "--password-env", "MY_PW"}));
    ASSERT_TRUE(outcome.command.has_value()) << err_.str();
    EXPECT_EQ(outcome.command->send.auth, "cram-md5");
    EXPECT_EQ(outcome.command->send.AuthMechanism(), 1);
}

TEST_F(OptionsTest, AHeaderFileReplacesSenderAndRecipients) {
    ParseOutcome outcome = Parse({"send", "--server", "h", "--header-file", body_, "--attach",
                                  body_, "--html-file", body_, "--body-file", "-"});
    ASSERT_TRUE(outcome.command.has_value()) << err_.str();
    EXPECT_TRUE(outcome.command->send.Multipart());
    EXPECT_EQ(outcome.command->send.bodyFile, "-");
}

TEST_F(OptionsTest, FetchNeedsUserPasswordAndAUsableOutFolder) {
    ExpectOneLineError(Parse({"fetch", "--server", "h"}), "--user");
    ExpectOneLineError(Parse({"fetch", "--server", "h", "--user", "u"}), "ZEFMAIL_PASSWORD");
    env_["ZEFMAIL_PASSWORD"] = "pw";
    ExpectOneLineError(Parse({"fetch", "--server", "h", "--user", "u", "--text"}), "--out");
    ExpectOneLineError(Parse({"fetch", "--server", "h", "--user", "u", "--out", body_}),
                       "not a folder");
    ExpectOneLineError(Parse({"fetch", "--server", "h", "--user", "u", "--top-lines", "-1"}),
                       "--top-lines");
    ParseOutcome outcome =
        Parse({"fetch", "--server", "h", "--user", "u", "--out", (folder_ / "new").string(),
               "--text", "--keep", "--apop", "--top-lines", "5", "--events"});
    ASSERT_TRUE(outcome.command.has_value()) << err_.str();
    const FetchOptions& fetch = outcome.command->fetch;
    EXPECT_EQ(outcome.command->kind, Command::Kind::kFetch);
    EXPECT_TRUE(fetch.text && fetch.keep && fetch.apop && fetch.events);
    EXPECT_EQ(fetch.topLines, 5);
}

TEST_F(OptionsTest, HelpShowsExamplesAndNoCommandIsAnError) {
    ParseOutcome help = Parse({"send", "--help"});
    EXPECT_FALSE(help.command.has_value());
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(out_.str().find("Examples:"), std::string::npos);
    EXPECT_NE(out_.str().find("--attach"), std::string::npos);
    Parse({"fetch", "--help"});
    EXPECT_NE(out_.str().find("--delete-on-error"), std::string::npos);
    ExpectOneLineError(Parse({}), "subcommand");
}

}  // namespace
}  // namespace zef::zefmail
