#include "tools/zefmail/Accounts.h"

#include <toml++/toml.h>
#include <filesystem>
#include <map>
#include <set>

#include "tools/zefmail/ToolError.h"

namespace zef::zefmail {

namespace {

// The keys an account may hold, by the option they stand for; a key of one command only is
// accepted for the other and has no effect there.
const std::map<std::string, std::string CommonOptions::*> kCommonTexts = {
    {"server", &CommonOptions::server},
    {"tls", &CommonOptions::tls},
    {"ca_file", &CommonOptions::caFile},
    {"password_command", &CommonOptions::passwordCommand},
    {"password_file", &CommonOptions::passwordFile},
    {"password_env", &CommonOptions::passwordEnv}};
const std::map<std::string, std::string SendOptions::*> kSendTexts = {
    {"user", &SendOptions::user},
    {"from", &SendOptions::from},
    {"hostname", &SendOptions::hostname},
    {"charset", &SendOptions::charset}};
const std::map<std::string, std::string FetchOptions::*> kFetchTexts = {
    {"user", &FetchOptions::user}, {"out", &FetchOptions::out}};

// Values that the command line would refuse are refused here too, naming the key.
std::string CheckedText(const std::string& key, const toml::node& value) {
    const std::optional<std::string> text = value.value_exact<std::string>();
    if (!text) {
        throw ToolError(key + " must be a string");
    }
    if (key == "charset" && *text != "auto" && *text != "utf-8" && *text != "iso-2022-jp") {
        throw ToolError("charset must be \"auto\", \"utf-8\" or \"iso-2022-jp\", not \"" + *text +
                        "\"");
    }
    if (key == "tls" && *text != "none" && *text != "implicit" && *text != "starttls") {
        throw ToolError("tls must be \"none\", \"implicit\" or \"starttls\", not \"" + *text +
                        "\"");
    }
    const std::set<std::string> mechanisms = {"none",          "cram-md5", "login",       "plain",
                                              "scram-sha-256", "xoauth2",  "oauthbearer", "auto"};
    if (key == "auth" && mechanisms.count(*text) == 0) {
        throw ToolError(
            "auth must be none, cram-md5, login, plain, scram-sha-256, xoauth2, "
            "oauthbearer or auto, not \"" +
            *text + "\"");
    }
    return key == "tls" && *text == "none" ? std::string() : *text;
}

void ApplyKey(const std::string& key, const toml::node& value, SendOptions& send,
              FetchOptions& fetch) {
    if (key == "port") {
        const std::optional<int64_t> number = value.value_exact<int64_t>();
        if (!number || *number < 1 || *number > 65535) {
            throw ToolError("port must be a number from 1 to 65535");
        }
        send.port = fetch.port = static_cast<int>(*number);
        return;
    }
    if (key == "apop") {
        const std::optional<bool> flag = value.value_exact<bool>();
        if (!flag) {
            throw ToolError("apop must be true or false");
        }
        fetch.apop = *flag;
        return;
    }
    if (key == "auth") {
        // A mechanism that only SMTP knows leaves fetch with USER/PASS (or APOP).
        send.auth = CheckedText(key, value);
        const std::set<std::string> pop = {"plain", "scram-sha-256", "xoauth2", "oauthbearer",
                                           "auto"};
        fetch.auth = pop.count(send.auth) != 0 ? send.auth : std::string();
        return;
    }
    const auto common = kCommonTexts.find(key);
    const auto sendOnly = kSendTexts.find(key);
    const auto fetchOnly = kFetchTexts.find(key);
    if (common == kCommonTexts.end() && sendOnly == kSendTexts.end() &&
        fetchOnly == kFetchTexts.end()) {
        throw ToolError("unknown key " + key);
    }
    const std::string text = CheckedText(key, value);
    if (common != kCommonTexts.end()) {
        send.*(common->second) = fetch.*(common->second) = text;
    }
    if (sendOnly != kSendTexts.end()) {
        send.*(sendOnly->second) = text;
    }
    if (fetchOnly != kFetchTexts.end()) {
        fetch.*(fetchOnly->second) = text;
    }
}

void ApplyTable(const toml::table& account, const std::string& name, const std::string& command,
                SendOptions& send, FetchOptions& fetch) {
    // The account's own keys first, then those of the command's table, which win.
    for (const auto& [key, value] : account) {
        if (!value.is_table()) {
            ApplyKey(std::string(key.str()), value, send, fetch);
        } else if (key.str() != "send" && key.str() != "fetch") {
            throw ToolError("unknown table accounts." + name + "." + std::string(key.str()));
        }
    }
    if (const toml::table* own = account[command].as_table()) {
        for (const auto& [key, value] : *own) {
            ApplyKey(std::string(key.str()), value, send, fetch);
        }
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

void ApplyAccount(const std::string& path, const std::string& wanted, const std::string& command,
                  SendOptions& send, FetchOptions& fetch) {
    if (path.empty() || !std::filesystem::exists(path)) {
        if (!wanted.empty()) {
            throw ToolError("--account " + wanted + ": there is no configuration file " +
                            (path.empty() ? "(neither XDG_CONFIG_HOME nor HOME is set)" : path));
        }
        return;
    }
    toml::table config;
    try {
        config = toml::parse_file(path);
    } catch (const toml::parse_error& error) {
        throw ToolError(path + " line " + std::to_string(error.source().begin.line) + ": " +
                        std::string(error.description()));
    }
    std::string name = wanted;
    if (name.empty()) {
        const std::optional<std::string> fallback = config["default"].value<std::string>();
        if (!fallback) {
            return;
        }
        name = *fallback;
    }
    const toml::table* account = config["accounts"][name].as_table();
    if (account == nullptr) {
        throw ToolError(path + ": no account " + name + " (a table [accounts." + name + "])");
    }
    try {
        ApplyTable(*account, name, command, send, fetch);
    } catch (const ToolError& error) {
        throw ToolError(path + ", account " + name + ": " + error.what());
    }
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

}  // namespace zef::zefmail
