#include "common/MultiPart.h"

#include <ctime>
#include <string>

#include "common/Unicode.h"

namespace zef {

namespace {
std::string LocalTimeStamp() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &local);
    return stamp;
}
}  // namespace

void MultiPart::NewBoundary(long depth, long parentPart) {
    boundary_ = AsciiToText("-----_=_Boundary_" + LocalTimeStamp() + "_" + std::to_string(depth) +
                            "_" + std::to_string(parentPart));
}

}  // namespace zef
