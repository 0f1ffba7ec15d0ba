// The MQTT jog dead-man: a joystickMove with a deflection must be refreshed within kStickPatience,
// else the server lets go of the stick with a zero joystickMove of the same axes; losing the
// broker lets go of every stick at once. Pure (the time is passed in); owned by the MQTT service
// thread.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "mqtt/command_plan.hpp"

namespace kinetra::mqtt {

/// How long a moving stick lasts without a new joystickMove.
inline constexpr std::chrono::milliseconds kStickPatience{500};

class JogWatch {
public:
    using Time = std::chrono::steady_clock::time_point;
    /// (linkID, zero joystickMove) to send to that bundle.
    using Release = std::pair<std::string, std::string>;

    /// Notes a request sent to the bundle of `linkId` at `now`.
    void observe(const std::string& linkId, const Jog& jog, Time now);
    /// The sticks not refreshed in time at `now`, forgotten.
    std::vector<Release> due(Time now);
    /// Every stick still held, forgotten.
    std::vector<Release> releaseAll();
    /// When the next stick runs out; nothing while none is held.
    std::optional<Time> nextDeadline() const;

private:
    struct Stick {
        std::string zero;
        Time deadline;
    };
    std::map<std::string, Stick> sticks_;  // by link id
};

}  // namespace kinetra::mqtt
