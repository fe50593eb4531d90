#include "tools/zefmail/cli/AccountFile.h"

#include <toml++/toml.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "tools/zefmail/cli/ToolError.h"

namespace zef::zefmail {

namespace {

// The keys an account may hold: each is the option of the same name (`ca_file` is --ca-file)
// of the commands that have it.
const std::set<std::string> kAccountKeys = {
    // every command
    "server", "port", "tls", "ca_file", "user", "auth", "password_command", "password_file",
    "password_env", "connect_timeout", "trans_timeout",
    // send
    "from", "hostname", "charset", "domain", "queue",
    // fetch
    "apop", "out", "maildir", "mbox", "mda", "mda_timeout", "crlf", "text", "keep", "keep_days",
    "top_lines", "max_size", "delete_on_error", "no_pipelining", "protocol", "folder", "idle",
    "search"};

// One setting as the words of the command line.
std::vector<std::string> Words(const std::string& key, const toml::node& value) {
    std::string option = "--" + key;
    std::replace(option.begin(), option.end(), '_', '-');
    if (const auto text = value.value_exact<std::string>()) {
        return {option, *text};
    }
    if (const auto number = value.value_exact<int64_t>()) {
        return {option, std::to_string(*number)};
    }
    if (const auto flag = value.value_exact<bool>()) {
        return {option + (*flag ? "=true" : "=false")};
    }
    throw ToolError(key + " must be a string, a whole number, true or false");
}

void AddTable(const toml::table& table, const AccountFilter& takes,
              std::vector<std::string>& args) {
    for (const auto& [key, value] : table) {
        if (value.is_table()) {
            continue;
        }
        const std::string name(key.str());
        if (kAccountKeys.count(name) == 0) {
            throw ToolError("unknown key " + name);
        }
        std::vector<std::string> words = Words(name, value);
        if (takes(words.front().substr(0, words.front().find('=')), words.back())) {
            args.insert(args.end(), words.begin(), words.end());
        }
    }
}

toml::table ReadFile(const std::string& path) {
    try {
        return toml::parse_file(path);
    } catch (const toml::parse_error& error) {
        throw ToolError(path + " line " + std::to_string(error.source().begin.line) + ": " +
                        std::string(error.description()));
    }
}

}  // namespace

std::string ConfigFilePath(const EnvLookup& env) {
    if (const std::optional<std::string> xdg = env("XDG_CONFIG_HOME"); xdg && !xdg->empty()) {
        return *xdg + "/zefmail/config.toml";
    }
    if (const std::optional<std::string> home = env("HOME"); home && !home->empty()) {
        return *home + "/.config/zefmail/config.toml";
    }
    return {};
}

std::string AccountArgument(const std::vector<std::string>& args) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--account" && i + 1 < args.size()) {
            return args[i + 1];
        }
        if (args[i].rfind("--account=", 0) == 0) {
            return args[i].substr(10);
        }
    }
    return {};
}

std::optional<ArgumentSource> AccountArguments(const std::string& path, const std::string& wanted,
                                               const std::string& command,
                                               const AccountFilter& takes) {
    if (path.empty() || !std::filesystem::exists(path)) {
        if (!wanted.empty()) {
            throw ToolError("--account " + wanted + ": there is no configuration file " +
                            (path.empty() ? "(neither XDG_CONFIG_HOME nor HOME is set)" : path));
        }
        return std::nullopt;
    }
    toml::table config = ReadFile(path);
    std::string name = wanted;
    if (name.empty()) {
        const std::optional<std::string> fallback = config["default"].value<std::string>();
        if (!fallback) {
            return std::nullopt;
        }
        name = *fallback;
    }
    const toml::table* account = config["accounts"][name].as_table();
    if (account == nullptr) {
        throw ToolError(path + ": no account " + name + " (a table [accounts." + name + "])");
    }
    ArgumentSource source{path + ", account " + name, {}};
    try {
        for (const auto& [key, value] : *account) {
            if (value.is_table() && key.str() != "send" && key.str() != "fetch") {
                throw ToolError("unknown table accounts." + name + "." + std::string(key.str()));
            }
        }
        // The account's own keys first, then those of the command's table, which win.
        AddTable(*account, takes, source.args);
        if (const toml::table* own = (*account)[command].as_table()) {
            AddTable(*own, takes, source.args);
        }
    } catch (const ToolError& error) {
        throw ToolError(source.label + ": " + error.what());
    }
    return source;
}

std::vector<std::string> AccountNames(const std::string& path) {
    if (path.empty() || !std::filesystem::exists(path)) {
        throw ToolError("--all-accounts: there is no configuration file " +
                        (path.empty() ? "(neither XDG_CONFIG_HOME nor HOME is set)" : path));
    }
    const toml::table config = ReadFile(path);
    // toml++ keeps a table's keys sorted: the file's order is where each account begins.
    std::vector<std::pair<toml::source_position, std::string>> found;
    if (const toml::table* accounts = config["accounts"].as_table()) {
        for (const auto& [name, account] : *accounts) {
            found.emplace_back(account.source().begin, std::string(name.str()));
        }
    }
    if (found.empty()) {
        throw ToolError("--all-accounts: " + path + " names no account (a table [accounts.NAME])");
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> names;
    names.reserve(found.size());
    for (auto& [position, name] : found) {
        names.push_back(std::move(name));
    }
    return names;
}

std::vector<AccountRun> SeveralAccounts(const std::vector<std::string>& args,
                                        const std::string& path) {
    bool all = false;
    std::vector<std::string> named;
    std::vector<std::string> rest;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") {
            return {};
        }
        if (args[i].rfind("--all-accounts=", 0) == 0) {
            throw ToolError("--all-accounts takes no value");
        }
        all = all || args[i] == "--all-accounts";
        if (args[i] == "--account" && i + 1 < args.size()) {
            named.push_back(args[++i]);
        } else if (args[i].rfind("--account=", 0) == 0) {
            named.push_back(args[i].substr(10));
        } else if (args[i] != "--all-accounts") {
            rest.push_back(args[i]);
        }
    }
    if (all && !named.empty()) {
        throw ToolError("--all-accounts reads every account: give it without --account");
    }
    if (!all && named.size() < 2) {
        return {};
    }
    std::vector<AccountRun> runs;
    for (const std::string& name : all ? AccountNames(path) : named) {
        runs.push_back({name, {"--account", name}});
        runs.back().args.insert(runs.back().args.end(), rest.begin(), rest.end());
    }
    return runs;
}

}  // namespace zef::zefmail
