// Taking stored values into a control's settings by the control's own rules.
#include "components/propertybag/PropertyTable.h"

#include <cmath>
#include <limits>
#include <optional>

#include "common/Unicode.h"

namespace zef::persist {

namespace {

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

std::optional<long> Rounded(double real) {
    const double rounded = std::nearbyint(real);
    if (std::isfinite(rounded) &&
        rounded >= static_cast<double>(std::numeric_limits<long>::min()) &&
        rounded <= static_cast<double>(std::numeric_limits<long>::max())) {
        return static_cast<long>(rounded);
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
    if (!fromTextAndReals) {
        return std::nullopt;
    }
    if (const double* real = stored.AsDouble()) {
        return Rounded(*real);
    }
    if (const Text* text = stored.AsString()) {
        return ParseLong(*text);
    }
    return std::nullopt;
}

}  // namespace

void Take(const Variant& stored, const std::string& key, const StoredValueRules& rules,
          Text& into) {
    if (const Text* text = stored.AsString()) {
        into = *text;
    } else if (const long* number = stored.AsLong()) {
        into = AsciiToText(std::to_string(*number));
    } else {
        throw rules.refusal(key);
    }
}

void Take(const Variant& stored, const std::string& key, const StoredValueRules& rules,
          bool& into) {
    if (const bool* flag = stored.AsBoolean()) {
        into = *flag;
    } else if (const long* number = stored.AsLong()) {
        into = *number != 0;
    } else {
        throw rules.refusal(key);
    }
}

void Take(const Variant& stored, const std::string& key, const StoredValueRules& rules,
          long& into) {
    const std::optional<long> number = WholeNumber(stored, rules.wholeNumbersFromTextAndReals);
    if (!number) {
        throw rules.refusal(key);
    }
    into = *number;
}

void Take(const Variant& stored, const std::string& key, const StoredValueRules& rules, int& into) {
    long number = 0;
    Take(stored, key, rules, number);
    if (number < std::numeric_limits<int>::min() || number > std::numeric_limits<int>::max()) {
        throw rules.refusal(key);
    }
    into = static_cast<int>(number);
}

}  // namespace zef::persist
