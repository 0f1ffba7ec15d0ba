#include "studio/link_table.hpp"

#include <algorithm>
#include <cctype>

#include "model/axis_slot.hpp"

namespace kinetra::studio {
namespace {

std::string lowerCase(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

double reading(const json& readings, const char* key, double fallback = 0) {
    if (!readings.is_object()) {
        return fallback;
    }
    const auto found = readings.find(key);
    return found != readings.end() && found->is_number() ? found->get<double>() : fallback;
}

bool hasReading(const json& readings, const char* key) {
    return readings.is_object() && readings.contains(key) && readings[key].is_number();
}

std::uint8_t axisSet(const json& descriptors) {
    std::uint8_t set = 0;
    if (!descriptors.is_array()) {
        return set;
    }
    for (const auto& descriptor : descriptors) {
        if (!descriptor.is_object() || !descriptor.contains("axis") ||
            !descriptor["axis"].is_string()) {
            continue;
        }
        if (const auto slot = model::kAxisNameTable.find(descriptor["axis"].get<std::string>())) {
            set |= model::bitOf(*slot);
        }
    }
    return set;
}

}  // namespace

CameraPose poseFromStatus(const json& status, std::uint8_t cameraId) {
    const json empty;
    const json& readings =
        status.is_object() && status.contains("readings") ? status["readings"] : empty;
    CameraPose pose;
    pose.cameraId = cameraId;
    const bool head = hasReading(readings, "headPan") || hasReading(readings, "headTilt");
    pose.panDegrees = reading(readings, head ? "headPan" : "jibPan");
    pose.tiltDegrees = reading(readings, head ? "headTilt" : "jibTilt");
    pose.xMillimetres = reading(readings, "slide") * 1000.0;  // the slide reports metres
    pose.focus = reading(readings, "focus");
    return pose;
}

BundleAxes axesFromStatus(const json& status) {
    if (!status.is_object()) {
        return {};
    }
    return {axisSet(status.value("supportedAxes", json())),
            axisSet(status.value("realTimeSupportedAxes", json()))};
}

LinkView viewFromStatus(const json& status, SteadyTime at) {
    LinkView view;
    view.axes = axesFromStatus(status);
    view.statusAt = at;
    if (!status.is_object()) {
        return view;
    }
    const json readings = status.value("readings", json());
    for (const auto slot : model::kAllAxisSlots) {
        if (const auto key = model::kAxisReadingsKeyTable.find(slot)) {
            const std::string name(*key);
            if (hasReading(readings, name.c_str())) {
                view.readings[static_cast<std::size_t>(slot)] = readings[name].get<double>();
            }
        }
    }
    if (const auto state = status.find("state"); state != status.end() && state->is_string()) {
        view.state = state->get<std::string>();
    }
    const json slots = status.value("keyposeSlotsFilled", json());
    if (slots.is_array() && std::all_of(slots.begin(), slots.end(),
                                        [](const json& slot) { return slot.is_boolean(); })) {
        for (const auto& slot : slots) {
            view.keyposeSlots.push_back(slot.get<bool>());
        }
    }
    return view;
}

LinkTable::LinkTable(std::map<std::string, std::uint8_t> configuredIds) {
    for (auto& [linkId, id] : configuredIds) {
        configuredIds_[lowerCase(linkId)] = id;
    }
}

std::optional<std::uint8_t> LinkTable::configuredId(std::string_view linkId) const {
    const auto found = configuredIds_.find(lowerCase(linkId));
    return found == configuredIds_.end() ? std::nullopt : std::optional(found->second);
}

std::optional<std::uint8_t> LinkTable::nextAutomaticId() {
    const auto taken = [this](unsigned id) {
        return std::any_of(configuredIds_.begin(), configuredIds_.end(),
                           [id](const auto& entry) { return entry.second == id; });
    };
    while (nextId_ <= 255 && taken(nextId_)) {
        ++nextId_;
    }
    if (nextId_ > 255) {
        return std::nullopt;  // 255 cameras: the field is full
    }
    return static_cast<std::uint8_t>(nextId_++);
}

void LinkTable::markPaired(const std::string& linkId, Entry& entry) {
    entry.paired = true;
    if (std::find(pairingOrder_.begin(), pairingOrder_.end(), linkId) == pairingOrder_.end()) {
        pairingOrder_.push_back(linkId);
    }
    if (!entry.cameraId) {
        entry.cameraId = configuredId(linkId);
    }
    if (!entry.cameraId) {
        entry.cameraId = nextAutomaticId();
    }
}

void LinkTable::applyLinks(const json& links) {
    if (!links.is_array()) {
        return;
    }
    for (const auto& link : links) {
        if (!link.is_object() || !link.contains("linkID") || !link["linkID"].is_string()) {
            continue;
        }
        const auto linkId = link["linkID"].get<std::string>();
        auto& entry = entries_[linkId];
        entry.listed = true;
        if (link.value("isValid", false) && link.value("isPairingDone", false)) {
            markPaired(linkId, entry);
        } else {
            entry.paired = false;
            entry.hasStatus = false;
        }
    }
}

void LinkTable::applyStatus(std::string_view linkId, const json& status, SteadyTime at) {
    auto& entry = entries_[std::string(linkId)];
    if (entry.listed && !entry.paired) {
        return;
    }
    markPaired(std::string(linkId), entry);
    entry.hasStatus = true;
    entry.pose = poseFromStatus(status, entry.cameraId.value_or(0));
    entry.view = viewFromStatus(status, at);
}

bool LinkTable::fresh(const Entry& entry, SteadyTime now) const {
    return entry.paired && entry.hasStatus && now - entry.view.statusAt < kStatusFreshness;
}

std::vector<LiveLink> LinkTable::live(SteadyTime now) const {
    std::vector<LiveLink> result;
    for (const auto& linkId : pairingOrder_) {
        const auto& entry = entries_.at(linkId);
        if (fresh(entry, now) && entry.cameraId) {
            result.push_back({linkId, entry.pose});
        }
    }
    return result;
}

std::optional<BundleAxes> LinkTable::axes(std::string_view linkId, SteadyTime now) const {
    const auto found = entries_.find(std::string(linkId));
    if (found == entries_.end() || !fresh(found->second, now)) {
        return std::nullopt;
    }
    return found->second.view.axes;
}

std::optional<LinkView> LinkTable::view(std::string_view linkId, SteadyTime now) const {
    const auto found = entries_.find(std::string(linkId));
    if (found == entries_.end() || !fresh(found->second, now)) {
        return std::nullopt;
    }
    return found->second.view;
}

std::vector<std::string> LinkTable::paired() const {
    std::vector<std::string> result;
    for (const auto& linkId : pairingOrder_) {
        if (entries_.at(linkId).paired) {
            result.push_back(linkId);
        }
    }
    return result;
}

json LinkTable::cameraIds() const {
    json ids = json::object();
    for (const auto& linkId : pairingOrder_) {
        if (const auto& id = entries_.at(linkId).cameraId) {
            ids[linkId] = *id;
        }
    }
    return ids;
}

}  // namespace kinetra::studio
