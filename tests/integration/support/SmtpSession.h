// An smtpZef on the test's loop, set up for the harness's SMTP server, with what a test checks
// after a send: the Done, the trace, and the messages the server saved in its spool.
#pragma once

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "common/Unicode.h"
#include "smtp/smtpZef.h"
#include "tests/integration/support/IntegrationEnv.h"

namespace zef::integration {

class SmtpSession {
  public:
    SmtpSession(asio::io_context& io, const ServerEnv& env)
        : io_(io), env_(env), smtp(std::make_unique<smtpZef>(io)) {
        smtp->Port(AsciiToText(env.smtpPort));
        smtp->ConnectTimeout(10);
        smtp->TransTimeout(20);
        smtp->Hostname(u"zef-client.localhost");
        smtp->User(Utf8ToText(env.smtpUser));
        smtp->Pass(Utf8ToText(env.smtpPass));
        smtp->FromAddr(u"sender@zef-test.localhost");
        smtp->Done = [this](long code, const Text& message) {
            ++doneCount;
            doneCode = code;
            doneMessage = Utf8(message);
        };
        smtp->Trace = [this](const Text& line) { trace += Utf8(line) + "\n"; };
    }

    // Starts the send and runs the loop until Done; the trace explains a failure.
    void Send(const Text& host, const Text& header,
              std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        spoolBefore = SpoolCount();
        smtp->Smtp(host, header);
        ASSERT_TRUE(RunUntil(
            io_, [this] { return doneCount > 0; }, limit))
            << "no Done within the limit; trace:\n"
            << trace;
    }

    // One Done with 0, and one more message in the spool.
    void ExpectSent() const {
        EXPECT_EQ(doneCode, 0) << doneMessage << "\ntrace:\n" << trace;
        EXPECT_EQ(doneMessage, "");
        EXPECT_EQ(doneCount, 1);
        ASSERT_EQ(SpoolCount(), spoolBefore + 1) << "the server saved no message";
    }

    // One Done with the refusal, nothing saved.
    void ExpectRefused(long code, const std::string& message) const {
        EXPECT_EQ(doneCode, code) << doneMessage << "\ntrace:\n" << trace;
        EXPECT_EQ(doneMessage, message);
        EXPECT_EQ(doneCount, 1);
        EXPECT_EQ(smtp->Caption(), u"DONE(FAIL)");
        EXPECT_EQ(SpoolCount(), spoolBefore);
    }

    size_t SpoolCount() const {
        size_t count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(env_.smtpSpool)) {
            count += entry.path().extension() == ".eml" ? 1 : 0;
        }
        return count;
    }

    // The path of the last message saved, without its extension (.eml, .json).
    std::string LastStem() const {
        char name[16];
        std::snprintf(name, sizeof name, "/%04zu", SpoolCount());
        return env_.smtpSpool + name;
    }
    nlohmann::json LastEnvelope() const { return ReadJsonFile(LastStem() + ".json"); }

  private:
    asio::io_context& io_;
    const ServerEnv& env_;

  public:
    std::unique_ptr<smtpZef> smtp;
    int doneCount = 0;
    long doneCode = 0;
    std::string doneMessage, trace;
    size_t spoolBefore = 0;
};

}  // namespace zef::integration
