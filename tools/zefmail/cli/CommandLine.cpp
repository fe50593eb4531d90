#include "tools/zefmail/cli/CommandLine.h"

#include <CLI/CLI.hpp>

#include "tools/zefmail/cli/ToolError.h"

namespace zef::zefmail {

namespace {

// An app for the command: a single-valued option given twice takes its last value, so that
// the command line overrides what the account and the environment said.
std::unique_ptr<CLI::App> MakeApp(const CommandShape& shape,
                                  const std::function<void(CLI::App&)>& define) {
    auto app = std::make_unique<CLI::App>(shape.summary, "zefmail " + shape.name);
    app->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    define(*app);
    return app;
}

// CLI11 reads its words in reverse order.
void Parse(CLI::App& app, std::vector<std::string> words) {
    std::reverse(words.begin(), words.end());
    app.parse(words);
}

// The account's arguments and the environment's, each to be read before the command line.
std::vector<ArgumentSource> OtherSources(const CommandShape& shape,
                                         const std::vector<std::string>& args, const EnvLookup& env,
                                         const CLI::App& app) {
    std::vector<ArgumentSource> sources;
    const auto takes = [&](const std::string& option, const std::string& value) {
        return app.get_option_no_throw(option) != nullptr &&
               (!shape.takesFromAccount || shape.takesFromAccount(option, value));
    };
    if (auto account = AccountArguments(ConfigFilePath(env), AccountArgument(args),
                                        shape.accountTable, takes)) {
        sources.push_back(std::move(*account));
    }
    for (const auto& [variable, option] : shape.environment) {
        if (std::optional<std::string> value = env(variable)) {
            sources.push_back({variable, {option, *value}});
        }
    }
    return sources;
}

}  // namespace

std::optional<int> ParseArguments(const CommandShape& shape, const std::vector<std::string>& args,
                                  const Console& console,
                                  const std::function<void(CLI::App&)>& define,
                                  const std::function<void(CLI::App&)>& defineScratch,
                                  const std::function<CommonOptions&()>& common,
                                  const std::function<std::optional<std::string>()>& check) {
    const std::string title = "zefmail " + shape.name;
    std::unique_ptr<CLI::App> app = MakeApp(shape, define);
    std::vector<std::string> all;
    try {
        for (ArgumentSource& source : OtherSources(shape, args, console.env, *app)) {
            try {
                Parse(*MakeApp(shape, defineScratch), source.args);
            } catch (const CLI::ParseError& error) {
                throw ToolError(source.label + ": " + error.what());
            }
            all.insert(all.end(), source.args.begin(), source.args.end());
        }
    } catch (const ToolError& error) {
        console.err << title << ": " << error.what() << "\n";
        return shape.usageExit;
    }
    all.insert(all.end(), args.begin(), args.end());
    try {
        Parse(*app, all);
    } catch (const CLI::CallForHelp&) {
        console.out << app->help();
        return 0;
    } catch (const CLI::ParseError& error) {
        console.err << title << ": " << error.what() << " (see " << title << " --help)\n";
        return shape.usageExit;
    }
    KeepLastPasswordSource(common(), all);
    if (std::optional<std::string> error = check()) {
        console.err << title << ": " << *error << "\n";
        return shape.usageExit;
    }
    return std::nullopt;
}

}  // namespace zef::zefmail
