// The one exception type of the library: a number, a source and a description.
#pragma once

#include <stdexcept>
#include <string>

#include "common/Types.h"

namespace zef {

class Error : public std::runtime_error {
  public:
    Error(long number, std::string source, Text description);

    long number() const { return number_; }
    const std::string& source() const { return source_; }
    const Text& description() const { return description_; }

  private:
    long number_;
    std::string source_;
    Text description_;
};

// Error numbers the library raises.
namespace error {
inline constexpr long kInvalidArgument = 5;  // "Invalid procedure call or argument"
inline constexpr long kOverflow = 6;         // a 16-bit position limit was passed
inline constexpr long kBusy = 59;            // a transfer is already running
inline constexpr long kInvalidValue = 380;   // a property or argument value is refused
}  // namespace error

}  // namespace zef
