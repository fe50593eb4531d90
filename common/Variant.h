// A small tagged value, the library's form of the host's variant: empty, Boolean, number,
// string, string array or object. Used for ToAddr and for the items of a Stack.
#pragma once

#include <cstdint>
#include <memory>
#include <variant>
#include <vector>

#include "common/Types.h"

namespace zef {

// Base of every object a Variant can hold by reference (MultiPart, for one).
class Object {
  public:
    virtual ~Object() = default;
};

// An array of strings with its own lower bound, as the host's arrays have.
//
// Beware: ToAddr reads its elements from index 1 up, as the host did. An array built from a
// plain list (lower bound 0) therefore loses its first element; use StringArray::OneBased.
struct StringArray {
    long lowerBound = 0;
    std::vector<Text> items;

    static StringArray OneBased(std::vector<Text> items) { return {1, std::move(items)}; }

    long UpperBound() const { return lowerBound + static_cast<long>(items.size()) - 1; }
    bool Has(long index) const { return index >= lowerBound && index <= UpperBound(); }
    const Text& At(long index) const { return items.at(static_cast<size_t>(index - lowerBound)); }

    bool operator==(const StringArray&) const = default;
};

class Variant {
  public:
    // The host's type codes, as VarType reports them.
    enum Type : uint16_t {
        kEmpty = 0,
        kLong = 3,
        kDouble = 5,
        kString = 8,
        kObject = 9,
        kBoolean = 11,
        kStringArray = 8200,  // array flag 8192 plus string
    };

    Variant() = default;
    Variant(bool value) : value_(value) {}                    // NOLINT: implicit by design
    Variant(int value) : value_(static_cast<long>(value)) {}  // NOLINT
    Variant(long value) : value_(value) {}                    // NOLINT
    Variant(double value) : value_(value) {}                  // NOLINT
    Variant(Text value) : value_(std::move(value)) {}         // NOLINT
    Variant(const char16_t* value) : value_(Text(value)) {}   // NOLINT
    Variant(StringArray value) : value_(std::move(value)) {}  // NOLINT
    Variant(std::shared_ptr<Object> value) : value_(std::move(value)) {}  // NOLINT

    Type VarType() const;
    bool IsEmpty() const { return std::holds_alternative<std::monostate>(value_); }

    // Typed access; each returns nullptr when the value holds another type.
    const bool* AsBoolean() const { return std::get_if<bool>(&value_); }
    const long* AsLong() const { return std::get_if<long>(&value_); }
    const double* AsDouble() const { return std::get_if<double>(&value_); }
    const Text* AsString() const { return std::get_if<Text>(&value_); }
    const StringArray* AsStringArray() const { return std::get_if<StringArray>(&value_); }
    std::shared_ptr<Object> AsObject() const;

    bool operator==(const Variant&) const = default;

  private:
    std::variant<std::monostate, bool, long, double, Text, StringArray, std::shared_ptr<Object>>
        value_;
};

}  // namespace zef
