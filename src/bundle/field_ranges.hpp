// The values a device-message field can carry, and the check that a request value scaled into
// a field fits it before any message is built. Pure; used on each bundle's command thread.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

namespace kinetra::bundle {

/// The whole numbers a field carries. A field that only means something non-negative (a
/// duration) refuses negative values even where truncation would make them 0.
struct FieldRange {
    double lowest;
    double highest;
};
inline constexpr FieldRange kSigned16{-32768.0, 32767.0};
inline constexpr FieldRange kUnsigned16{0.0, 65535.0};
inline constexpr FieldRange kSigned32{std::numeric_limits<std::int32_t>::min(),
                                      std::numeric_limits<std::int32_t>::max()};
/// A duration in a signed 32-bit field: never negative.
inline constexpr FieldRange kNonNegative32{0.0, std::numeric_limits<std::int32_t>::max()};

/// A request value that does not fit the field it is scaled into: the request member it came
/// from (a string literal or a table name: it outlives the plan).
struct OutOfRange {
    std::string_view member;
};

/// Whether `scaledValue`, truncated toward zero as the message carries it, lies in `range`.
/// NaN and the infinities never fit.
bool fitsField(double scaledValue, FieldRange range);

/// Scales request values into fields and remembers the first that does not fit, so that a
/// builder checks every field it fills and refuses before it builds anything.
class FieldScaler {
public:
    /// `scaledValue` truncated toward zero; when it does not fit `range`, 0 and `member` is
    /// remembered (the first such member wins).
    std::int32_t fit(std::string_view member, double scaledValue, FieldRange range);
    /// The first member that did not fit, if any.
    const std::optional<OutOfRange>& failure() const { return failure_; }

private:
    std::optional<OutOfRange> failure_;
};

}  // namespace kinetra::bundle
