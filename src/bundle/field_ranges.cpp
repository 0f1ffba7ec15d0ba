// Range checks of scaled request values; runs on each bundle's command thread.
#include "bundle/field_ranges.hpp"

#include <cmath>

namespace kinetra::bundle {

bool fitsField(double scaledValue, FieldRange range) {
    const double whole = std::trunc(scaledValue);
    // -0.5 truncates to 0, yet a field of non-negative values was asked for a negative one.
    const bool signOk = range.lowest < 0.0 || !(scaledValue < 0.0);
    // Every comparison with NaN is false: NaN fits nothing.
    return signOk && whole >= range.lowest && whole <= range.highest;
}

std::int32_t FieldScaler::fit(std::string_view member, double scaledValue, FieldRange range) {
    if (!fitsField(scaledValue, range)) {
        if (!failure_) {
            failure_ = OutOfRange{member};
        }
        return 0;
    }
    return static_cast<std::int32_t>(std::trunc(scaledValue));
}

}  // namespace kinetra::bundle
