// How a command's words become its options. Every command reads three sources by the same
// rules, later ones winning: the account's arguments (AccountFile), environment variables the
// command names, then the command line. Each source outside the command line is first read
// alone, so that an error in it names where it came from.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "tools/zefmail/cli/AccountFile.h"
#include "tools/zefmail/cli/CommonOptions.h"

namespace zef::zefmail {

// What a command is, whatever its options' type.
struct CommandShape {
    std::string name;          // "send": shown as "zefmail send"
    std::string summary;       // the first line of its help
    std::string accountTable;  // the account file's table for this command ("send", "fetch")
    int usageExit;             // the exit status for a command line that cannot be used
    // Environment variables read as options, after the account: {"ZEFMAIL_SERVER", "--server"}.
    std::vector<std::pair<std::string, std::string>> environment = {};
    // Whether an account's setting suits this command (besides the command having the option).
    AccountFilter takesFromAccount = nullptr;
};

// What a command's options are and how they are checked.
template <typename Options>
struct CommandRules : CommandShape {
    void (*define)(CLI::App& app, Options& options);
    // The checks beyond the syntax, which may also settle values; the error, or nullopt.
    std::optional<std::string> (*check)(Options& options, const EnvLookup& env);
    Options defaults = {};
};

template <typename Options>
struct Parsed {
    std::optional<Options> options;  // set when the command should run
    int exitCode = 0;                // otherwise: 0 after --help, else the usage exit status
};

// Reads `args` for a command whose options `define` puts on an app; `defineScratch` does the
// same onto throw-away options, for reading the other sources alone. Returns std::nullopt
// when the options are read and checked, else the exit status, after writing the help to `out`
// or one line to `err`.
std::optional<int> ParseArguments(const CommandShape& shape, const std::vector<std::string>& args,
                                  const Console& console,
                                  const std::function<void(CLI::App&)>& define,
                                  const std::function<void(CLI::App&)>& defineScratch,
                                  const std::function<CommonOptions&()>& common,
                                  const std::function<std::optional<std::string>()>& check);

template <typename Options>
Parsed<Options> ParseCommand(const CommandRules<Options>& rules,
                             const std::vector<std::string>& args, const Console& console) {
    Options options = rules.defaults;
    Options scratch = rules.defaults;
    std::optional<int> exit = ParseArguments(
        rules, args, console, [&](CLI::App& app) { rules.define(app, options); },
        [&](CLI::App& app) { rules.define(app, scratch); },
        [&]() -> CommonOptions& { return options; },
        [&] { return rules.check(options, console.env); });
    if (exit) {
        return {std::nullopt, *exit};
    }
    return {std::move(options), 0};
}

}  // namespace zef::zefmail
