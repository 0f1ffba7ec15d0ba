// OSC feedback: each paired bundle's pan, tilt, slide, focus and state sent to [osc] feedback
// as /kinetra/<linkID>/pan ... while they change, at most kFeedbackRate times a second per
// bundle. Runs on the studio service's feed thread.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "studio/link_table.hpp"
#include "studio/studio_settings.hpp"

namespace kinetra::studio {

inline constexpr int kFeedbackRate = 10;

/// One feedback message: its address and either a float or a string argument.
struct FeedbackValue {
    std::string name;  // "pan", "tilt", "slide", "focus", "state"
    json value;        // number or string
};

/// The values of `status` worth reporting: pan and tilt (head, else jib), slide, focus, state.
std::vector<FeedbackValue> feedbackValues(const json& status);

class OscFeedback {
public:
    /// Sends to `target` (through liblo's own socket).
    explicit OscFeedback(const HostPort& target);
    ~OscFeedback();
    OscFeedback(const OscFeedback&) = delete;
    OscFeedback& operator=(const OscFeedback&) = delete;

    /// Sends the values of `status` that changed since they were last sent for `linkId`, unless
    /// that was less than 1/kFeedbackRate ago (a later status then carries them).
    void onStatus(const std::string& linkId, const json& status, SteadyTime now);

private:
    struct Sent {
        std::map<std::string, json> values;
        SteadyTime at{};
    };
    void* address_;  // lo_address
    std::map<std::string, Sent> sent_;
};

}  // namespace kinetra::studio
