// Where a control's persisted properties live between runs: named values with defaults.
#pragma once

#include <map>
#include <string>

#include "common/Variant.h"

namespace zef {

class PropertyBag {
  public:
    virtual ~PropertyBag() = default;

    // The stored value, or `defaultValue` when the name is not stored.
    virtual Variant ReadProperty(const std::string& name, const Variant& defaultValue) const = 0;

    // Stores the value; a value equal to `defaultValue` is not written (and an older stored
    // value of that name is removed).
    virtual void WriteProperty(const std::string& name, const Variant& value,
                               const Variant& defaultValue) = 0;
};

// A property bag kept in a text file, one "Name=type:value" line per property, UTF-8.
// Types: "s" string, "l" long, "d" double, "b" Boolean (0 or 1). Strings escape backslash,
// CR and LF as \\, \r and \n. Saving writes a temporary file, flushes it and renames it over
// the old one, so a crash never leaves a half-written file.
class FilePropertyBag final : public PropertyBag {
  public:
    FilePropertyBag() = default;

    // Reads the file; a missing file gives an empty bag. Throws zef::Error on a malformed file.
    static FilePropertyBag Load(const std::string& path);
    // Writes the bag atomically. Throws zef::Error when the file cannot be written.
    void Save(const std::string& path) const;

    Variant ReadProperty(const std::string& name, const Variant& defaultValue) const override;
    void WriteProperty(const std::string& name, const Variant& value,
                       const Variant& defaultValue) override;

    const std::map<std::string, Variant>& Values() const { return values_; }

  private:
    std::map<std::string, Variant> values_;
};

}  // namespace zef
