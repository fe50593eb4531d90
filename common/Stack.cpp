#include "common/Stack.h"

#include "common/Error.h"

namespace zef {

void Stack::Push(const Variant& x) {
    entries_.push_back(x);
}

Variant Stack::pop() {
    if (entries_.empty()) {
        throw Error(error::kInvalidValue, "TALVORN.STACK.POP", u"NO STACK DATA");
    }
    Variant top = std::move(entries_.back());
    entries_.pop_back();
    return top;
}

void Stack::Clear() {
    entries_.clear();
}

}  // namespace zef
