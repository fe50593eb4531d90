// One open MIME multipart: its boundary string and a counter of the parts opened in it.
#pragma once

#include "common/Types.h"
#include "common/Variant.h"

namespace zef {

class MultiPart : public Object {
  public:
    const Text& Tag() const { return tag_; }
    void Tag(const Text& tag) { tag_ = tag; }

    long Part() const { return partCounter_; }

    const Text& Boundary() const { return boundary_; }
    void Boundary(const Text& boundary) { boundary_ = boundary; }

    // Counts one more part and returns the new count (1 for the first part).
    long NextPart() { return ++partCounter_; }

    // Sets the boundary to "-----_=_Boundary_" + local time "yyyymmddhhnnss" + "_" + depth +
    // "_" + parent part. The depth makes a nested boundary differ from its enclosing one.
    void NewBoundary(long depth, long parentPart);

  private:
    Text tag_;
    long partCounter_ = 0;
    Text boundary_;
};

}  // namespace zef
