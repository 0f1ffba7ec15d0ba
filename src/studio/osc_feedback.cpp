#include "studio/osc_feedback.hpp"

#include <lo/lo.h>
#include <spdlog/spdlog.h>

namespace kinetra::studio {
namespace {

constexpr std::chrono::milliseconds kFeedbackInterval{1000 / kFeedbackRate};

}  // namespace

std::vector<FeedbackValue> feedbackValues(const json& status) {
    std::vector<FeedbackValue> values;
    if (!status.is_object()) {
        return values;
    }
    const json readings = status.value("readings", json());
    const auto add = [&](const char* name, const char* key) {
        if (readings.is_object() && readings.contains(key) && readings[key].is_number()) {
            values.push_back({name, readings[key]});
            return true;
        }
        return false;
    };
    if (!add("pan", "headPan")) {
        add("pan", "jibPan");
    }
    if (!add("tilt", "headTilt")) {
        add("tilt", "jibTilt");
    }
    add("slide", "slide");
    add("focus", "focus");
    if (status.contains("state") && status["state"].is_string()) {
        values.push_back({"state", status["state"]});
    }
    return values;
}

OscFeedback::OscFeedback(const HostPort& target)
    : address_(lo_address_new(target.host.c_str(), std::to_string(target.port).c_str())) {
    if (address_ == nullptr) {
        throw std::runtime_error("OSC feedback address " + target.text() + " is unusable");
    }
    spdlog::info("OSC feedback to {0}.", target.text());
}

OscFeedback::~OscFeedback() {
    lo_address_free(static_cast<lo_address>(address_));
}

void OscFeedback::onStatus(const std::string& linkId, const json& status, SteadyTime now) {
    auto& sent = sent_[linkId];
    if (now - sent.at < kFeedbackInterval) {
        return;
    }
    bool any = false;
    for (const auto& [name, value] : feedbackValues(status)) {
        const auto previous = sent.values.find(name);
        if (previous != sent.values.end() && previous->second == value) {
            continue;
        }
        const std::string path = "/kinetra/" + linkId + "/" + name;
        const auto target = static_cast<lo_address>(address_);
        const int result =
            value.is_string() ? lo_send(target, path.c_str(), "s", value.get<std::string>().c_str())
                              : lo_send(target, path.c_str(), "f", value.get<float>());
        if (result < 0) {
            spdlog::warn("OSC feedback: {0}", lo_address_errstr(target));
            return;
        }
        sent.values[name] = value;
        any = true;
    }
    if (any) {
        sent.at = now;
    }
}

}  // namespace kinetra::studio
