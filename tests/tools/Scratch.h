// A folder for the files of one test of zefmail, removed with them at the end.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace zef::zefmail {

struct Scratch {
    Scratch() { std::filesystem::create_directories(dir); }
    ~Scratch() { std::filesystem::remove_all(dir); }
    std::string File(const std::string& name, const std::string& content) const {
        std::ofstream(dir / name, std::ios::binary) << content;
        return (dir / name).string();
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(dir / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("zefmail-test-" + std::to_string(::getpid()));
};

}  // namespace zef::zefmail
