#include "common/Error.h"

#include "common/Unicode.h"

namespace zef {

namespace {
std::string WhatText(long number, const std::string& source, const Text& description) {
    return source + " (" + std::to_string(number) + "): " + TextToUtf8(description);
}
}  // namespace

Error::Error(long number, std::string source, Text description)
    : std::runtime_error(WhatText(number, source, description)),
      number_(number),
      source_(std::move(source)),
      description_(std::move(description)) {}

}  // namespace zef
