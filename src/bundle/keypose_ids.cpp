// The process-wide key-pose identifier counters; used by every bundle's command thread.
#include "bundle/keypose_ids.hpp"

namespace kinetra::bundle {

KeyposeIdCounters& keyposeIdCounters() {
    static KeyposeIdCounters counters;
    return counters;
}

}  // namespace kinetra::bundle
