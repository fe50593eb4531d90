// A last-in, first-out stack of variants. The controls keep the enclosing multiparts on one
// while a nested multipart is written or parsed; applications may use it too.
#pragma once

#include <vector>

#include "common/Variant.h"

namespace zef {

class Stack {
  public:
    // Stores a copy of x; an object is stored as a reference to the same object.
    void Push(const Variant& x);

    // Removes and returns the top value. Raises error 380 "NO STACK DATA" when empty.
    Variant pop();

    void Clear();
    long Count() const { return static_cast<long>(entries_.size()); }

  private:
    std::vector<Variant> entries_;  // a Variant records its own type
};

}  // namespace zef
