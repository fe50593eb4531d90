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
#include "common/Types.h"
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

void Take(const Variant& stored, const std::string& key, const StoredValueRules& rules, Text& into);
void Take(const Variant& stored, const std::string& key, const StoredValueRules& rules, bool& into);
void Take(const Variant& stored, const std::string& key, const StoredValueRules& rules, long& into);
void Take(const Variant& stored, const std::string& key, const StoredValueRules& rules, int& into);

template <class Settings>
class Property {
  public:
    // `check` throws as the property's setter does, and may put the value into its stored form.
    template <class T>
    Property(std::string key, T Settings::*field,
             std::type_identity_t<std::function<void(T&)>> check = {})
        : key(std::move(key)), field_(field) {
        if (check) {
            check_ = [field, check = std::move(check)](Settings& s) { check(s.*field); };
        }
    }

    void Write(const Settings& settings, PropertyBag& bag) const {
        std::visit(
            [&](auto field) {
                bag.WriteProperty(key, Variant(settings.*field), Variant(Defaults().*field));
            },
            field_);
    }
    void Read(const PropertyBag& bag, const StoredValueRules& rules, Settings& settings) const {
        std::visit(
            [&](auto field) {
                Take(bag.ReadProperty(key, Variant(Defaults().*field)), key, rules,
                     settings.*field);
            },
            field_);
    }
    void Check(Settings& settings) const {
        if (check_) {
            check_(settings);
        }
    }

    std::string key;

  private:
    static const Settings& Defaults() {
        static const Settings defaults{};
        return defaults;
    }

    std::variant<Text Settings::*, bool Settings::*, long Settings::*, int Settings::*> field_;
    std::function<void(Settings&)> check_;
};

template <class Settings>
void Write(std::span<const Property<Settings>> table, const Settings& settings, PropertyBag& bag) {
    for (const Property<Settings>& property : table) {
        property.Write(settings, bag);
    }
}

// Every value is read, then every check made, before anything is stored: a refused bag
// changes nothing.
template <class Settings>
void Read(std::span<const Property<Settings>> table, const PropertyBag& bag,
          const StoredValueRules& rules, Settings& settings) {
    Settings loaded = settings;
    for (const Property<Settings>& property : table) {
        property.Read(bag, rules, loaded);
    }
    for (const Property<Settings>& property : table) {
        property.Check(loaded);
    }
    settings = std::move(loaded);
}

}  // namespace zef::persist
