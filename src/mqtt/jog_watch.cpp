#include "mqtt/jog_watch.hpp"

#include <algorithm>

namespace kinetra::mqtt {

void JogWatch::observe(const std::string& linkId, const Jog& jog, Time now) {
    switch (jog.kind) {
        case Jog::Kind::none:
            break;
        case Jog::Kind::moving:
            sticks_[linkId] = Stick{jog.zero, now + kStickPatience};
            break;
        case Jog::Kind::settled:
            sticks_.erase(linkId);
            break;
    }
}

std::vector<JogWatch::Release> JogWatch::due(Time now) {
    std::vector<Release> released;
    for (auto it = sticks_.begin(); it != sticks_.end();) {
        if (it->second.deadline > now) {
            ++it;
            continue;
        }
        released.emplace_back(it->first, std::move(it->second.zero));
        it = sticks_.erase(it);
    }
    return released;
}

std::vector<JogWatch::Release> JogWatch::releaseAll() {
    std::vector<Release> released;
    for (auto& [linkId, stick] : sticks_) {
        released.emplace_back(linkId, std::move(stick.zero));
    }
    sticks_.clear();
    return released;
}

std::optional<JogWatch::Time> JogWatch::nextDeadline() const {
    if (sticks_.empty()) {
        return std::nullopt;
    }
    return std::min_element(
               sticks_.begin(), sticks_.end(),
               [](const auto& a, const auto& b) { return a.second.deadline < b.second.deadline; })
        ->second.deadline;
}

}  // namespace kinetra::mqtt
