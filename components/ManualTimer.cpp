#include "components/Timer.h"

namespace zef {

int ManualTimer::Fire(int count) {
    int raised = 0;
    for (int i = 0; i < count && enabled_; ++i) {
        if (Tick) {
            Tick();
        }
        ++raised;
    }
    return raised;
}

}  // namespace zef
