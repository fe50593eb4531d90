// Taking stored values into a control's settings by the control's own rules.
#include "components/propertybag/PropertyTable.h"

#include <cmath>
#include <limits>
#include <optional>

#include "common/Unicode.h"

namespace zef::persist {

namespace {

// Digits, with a sign and spaces around them as the host allows.
std::optional<long> ParseLong(const Text& text) {
    const std::string digits = TextToUtf8(text);
    try {
        size_t used = 0;
        const long value = std::stol(digits, &used);
        if (digits.find_first_not_of(' ', used) == std::string::npos) {
            return value;
        }
    } catch (const std::exception&) {  // NOLINT(bugprone-empty-catch): not a number
    }
    return std::nullopt;
}

std::optional<long> WholeNumber(const Variant& stored, bool fromTextAndReals) {
    if (const long* number = stored.AsLong()) {
        return *number;
    }
    if (const bool* flag = stored.AsBoolean()) {
        return *flag ? -1 : 0;
    }
    if (const Text* text = stored.AsString(); text != nullptr && fromTextAndReals) {
        return ParseLong(*text);
    }
    const double* real = fromTextAndReals ? stored.AsDouble() : nullptr;
    const double rounded = real != nullptr ? std::nearbyint(*real) : NAN;
    if (std::isfinite(rounded) &&
        rounded >= static_cast<double>(std::numeric_limits<long>::min()) &&
        rounded <= static_cast<double>(std::numeric_limits<long>::max())) {
        return static_cast<long>(rounded);
    }
    return std::nullopt;
}

}  // namespace

template <>
Text Take<Text>(const Variant& stored, const std::string& key, const StoredValueRules& rules) {
    if (const Text* text = stored.AsString()) {
        return *text;
    }
    if (const long* number = stored.AsLong()) {
        return AsciiToText(std::to_string(*number));
    }
    throw rules.refusal(key);
}

template <>
bool Take<bool>(const Variant& stored, const std::string& key, const StoredValueRules& rules) {
    if (const bool* flag = stored.AsBoolean()) {
        return *flag;
    }
    if (const long* number = stored.AsLong()) {
        return *number != 0;
    }
    throw rules.refusal(key);
}

template <>
long Take<long>(const Variant& stored, const std::string& key, const StoredValueRules& rules) {
    if (std::optional<long> number = WholeNumber(stored, rules.wholeNumbersFromTextAndReals)) {
        return *number;
    }
    throw rules.refusal(key);
}

template <>
int Take<int>(const Variant& stored, const std::string& key, const StoredValueRules& rules) {
    const long number = Take<long>(stored, key, rules);
    if (number < std::numeric_limits<int>::min() || number > std::numeric_limits<int>::max()) {
        throw rules.refusal(key);
    }
    return static_cast<int>(number);
}

}  // namespace zef::persist
