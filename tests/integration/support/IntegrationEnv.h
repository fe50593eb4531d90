// What the integration tests share: the servers the harness started (from the environment
// run_with_servers.py sets), Python's view of messages through the checker, and a bounded run of
// the event loop.
#pragma once

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/Types.h"
#include "tests/support/EventLoop.h"

namespace zef::integration {

struct ServerEnv {
    std::string smtpPort, smtpUser, smtpPass, smtpSpool;
    std::string pop3Port, pop3Pass;
    std::string corpus, checker, python, workdir;

    // The environment of run_with_servers.py; nullopt when a test binary runs on its own.
    static std::optional<ServerEnv> FromEnvironment();

    // The corpus message names put into mailbox `name` (ZEF_IT_MAILBOX_<NAME>), in order.
    std::vector<std::string> Mailbox(const std::string& name) const;

    // The expectations the corpus generator wrote beside message `name`.
    nlohmann::json Expected(const std::string& name) const;
};

// A fixture whose tests need the servers of run_with_servers.py; skipped when run on its own.
class WithServers : public ::testing::Test {
  protected:
    void SetUp() override {
        auto env = ServerEnv::FromEnvironment();
        if (!env) {
            GTEST_SKIP() << "needs the servers of run_with_servers.py (run it through ctest)";
        }
        env_ = *env;
    }
    asio::io_context io_;
    ServerEnv env_;
};

// Runs checker.py with the arguments and parses what it prints; throws with its error output
// when it fails.
nlohmann::json RunChecker(const ServerEnv& env, const std::vector<std::string>& args);

nlohmann::json ReadJsonFile(const std::string& path);
std::string ReadFile(const std::string& path);

std::string Sha256Hex(std::string_view bytes);

using test::RunUntil;

// UTF-8 for messages and comparisons.
std::string Utf8(const Text& text);

// Line ends as LF.
std::string ToLf(std::string_view text);

// The texts are equal with line ends read as LF, or one has one more line end at its close: the
// CR LF before a boundary (or before the final dot) belongs to the delimiter for one reader and
// to the data for the other.
bool EqualUpToFinalLineEnd(std::string_view a, std::string_view b);

// The value with every space, tab, CR and LF removed, for header values whose folding and the
// spacing around encoded words may legitimately differ.
std::string WithoutWhitespace(std::string_view value);

}  // namespace zef::integration
