#include "tests/integration/support/IntegrationEnv.h"

#include <openssl/evp.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "common/Unicode.h"

namespace zef::integration {
namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string ShellQuote(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

}  // namespace

std::optional<ServerEnv> ServerEnv::FromEnvironment() {
    ServerEnv env{Env("ZEF_IT_SMTP_PORT"),  Env("ZEF_IT_SMTP_USER"), Env("ZEF_IT_SMTP_PASS"),
                  Env("ZEF_IT_SMTP_SPOOL"), Env("ZEF_IT_POP3_PORT"), Env("ZEF_IT_POP3_PASS"),
                  Env("ZEF_IT_CORPUS"),     Env("ZEF_IT_CHECKER"),   Env("ZEF_IT_PYTHON"),
                  Env("ZEF_IT_WORKDIR")};
    if (env.smtpPort.empty() || env.pop3Port.empty() || env.checker.empty()) {
        return std::nullopt;
    }
    return env;
}

std::vector<std::string> ServerEnv::Mailbox(const std::string& name) const {
    std::string variable = "ZEF_IT_MAILBOX_";
    for (char c : name) {
        variable += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    std::vector<std::string> names;
    std::stringstream list(Env(variable.c_str()));
    for (std::string item; std::getline(list, item, ',');) {
        if (!item.empty()) {
            names.push_back(item);
        }
    }
    return names;
}

nlohmann::json ServerEnv::Expected(const std::string& name) const {
    return ReadJsonFile(corpus + "/" + name + ".json");
}

nlohmann::json RunChecker(const ServerEnv& env, const std::vector<std::string>& args) {
    // `timeout` bounds the checker; its error output goes to a file for the exception text.
    std::string errors = env.workdir + "/checker.err";
    std::string command = "timeout 60 " + ShellQuote(env.python) + " " + ShellQuote(env.checker);
    for (const auto& arg : args) {
        command += " " + ShellQuote(arg);
    }
    command += " 2>" + ShellQuote(errors);
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) {
        throw std::runtime_error("cannot run the checker: " + command);
    }
    std::string output;
    std::array<char, 65536> buffer{};
    for (size_t n; (n = fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0;) {
        output.append(buffer.data(), n);
    }
    int status = pclose(pipe.release());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("checker failed (" + command + "): " + ReadFile(errors));
    }
    return nlohmann::json::parse(output);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

nlohmann::json ReadJsonFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return nlohmann::json::parse(in);
}

std::string Sha256Hex(std::string_view bytes) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

std::string Utf8(const Text& text) {
    return TextToUtf8(text);
}

std::string ToLf(std::string_view text) {
    std::string lf;
    lf.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            lf += text[i];
        }
    }
    return lf;
}

bool EqualUpToFinalLineEnd(std::string_view a, std::string_view b) {
    std::string x = ToLf(a);
    std::string y = ToLf(b);
    if (x.size() < y.size()) {
        std::swap(x, y);
    }
    return x == y || x == y + "\n";
}

std::string WithoutWhitespace(std::string_view value) {
    std::string kept;
    for (char c : value) {
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
            kept += c;
        }
    }
    return kept;
}

}  // namespace zef::integration
