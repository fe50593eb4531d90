#include "common/Variant.h"

namespace zef {

Variant::Type Variant::VarType() const {
    struct Visitor {
        Type operator()(std::monostate) const { return kEmpty; }
        Type operator()(bool) const { return kBoolean; }
        Type operator()(long) const { return kLong; }
        Type operator()(double) const { return kDouble; }
        Type operator()(const Text&) const { return kString; }
        Type operator()(const StringArray&) const { return kStringArray; }
        Type operator()(const std::shared_ptr<Object>&) const { return kObject; }
    };
    return std::visit(Visitor{}, value_);
}

std::shared_ptr<Object> Variant::AsObject() const {
    const auto* object = std::get_if<std::shared_ptr<Object>>(&value_);
    return object != nullptr ? *object : nullptr;
}

}  // namespace zef
