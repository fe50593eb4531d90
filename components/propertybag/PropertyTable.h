// A control's persisted properties as one table: each row a key, the settings field behind it
// and the check its setter makes. The defaults are those of a default-made settings struct; a
// value equal to its default is not written.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "common/Error.h"
#include "common/Variant.h"
#include "components/PropertyBag.h"

namespace zef::persist {

// How a control takes a stored value of another type than its property's. Always: a number
// for text (in decimal), a number for a Boolean (0 is False), a Boolean for a number (True is
// -1). With `wholeNumbersFromTextAndReals` also text of digits ("30") and a real, rounded
// (2.6 is 3), for a whole number. Anything else is refused with the control's own error.
struct StoredValueRules {
    bool wholeNumbersFromTextAndReals = false;
    Error (*refusal)(const std::string& key) = nullptr;
};

// The stored value as T (Text, bool, long or int), or the rules' refusal.
template <class T>
T Take(const Variant& stored, const std::string& key, const StoredValueRules& rules);
template <>
Text Take<Text>(const Variant&, const std::string&, const StoredValueRules&);
template <>
bool Take<bool>(const Variant&, const std::string&, const StoredValueRules&);
template <>
long Take<long>(const Variant&, const std::string&, const StoredValueRules&);
template <>
int Take<int>(const Variant&, const std::string&, const StoredValueRules&);

template <class Settings>
struct Property {
    // `check` throws as the property's setter does, and may put the value into its stored form.
    template <class T>
    Property(const char* key, T Settings::*field,
             std::type_identity_t<std::function<void(T&)>> check = {})
        : key(key), field(field) {
        if (check) {
            this->check = [field, check](Settings& s) { check(s.*field); };
        }
    }

    std::string key;
    std::variant<Text Settings::*, bool Settings::*, long Settings::*, int Settings::*> field;
    std::function<void(Settings&)> check;
};

template <class Settings>
void Write(std::span<const Property<Settings>> table,
           const std::type_identity_t<Settings>& settings, PropertyBag& bag) {
    static const Settings defaults{};
    for (const Property<Settings>& row : table) {
        std::visit(
            [&](auto field) {
                bag.WriteProperty(row.key, Variant(settings.*field), Variant(defaults.*field));
            },
            row.field);
    }
}

// Every value is read, then every check made, before anything is stored: a refused bag
// changes nothing.
template <class Settings>
void Read(std::span<const Property<Settings>> table, const PropertyBag& bag,
          const StoredValueRules& rules, std::type_identity_t<Settings>& settings) {
    static const Settings defaults{};
    Settings loaded = settings;
    for (const Property<Settings>& row : table) {
        std::visit(
            [&]<class T>(T Settings::*field) {
                const Variant stored = bag.ReadProperty(row.key, Variant(defaults.*field));
                loaded.*field = Take<T>(stored, row.key, rules);
            },
            row.field);
    }
    for (const Property<Settings>& row : table) {
        if (row.check) {
            row.check(loaded);
        }
    }
    settings = std::move(loaded);
}

}  // namespace zef::persist
