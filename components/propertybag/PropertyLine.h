// One line of a property file: "Name=type:value", the value's type one letter.
#pragma once

#include <string>
#include <string_view>

#include "common/Variant.h"

namespace zef::propertyfile {

struct Property {
    std::string name;
    Variant value;
};

// Why a name or value cannot be written; empty when it can.
std::string CheckName(std::string_view name);
std::string CheckValue(const Variant& value);

// The line for a property that passed both checks, without its line end.
std::string FormatLine(const std::string& name, const Variant& value);

// Reads one line (without its line end). Throws std::invalid_argument with the reason when
// the line is malformed; the caller adds where it was.
Property ParseLine(std::string_view line);

}  // namespace zef::propertyfile
