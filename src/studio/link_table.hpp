// What the studio outputs know of each link: paired or not, its latest decoded status and when
// it came (as a camera pose, and as the readings, state and key poses VISCA answers from), and
// its FreeD camera id. Pure state with the time passed in; the studio service
// keeps one under its mutex, written by its feed thread and read by the FreeD and OSC threads.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.hpp"
#include "model/axis_slot.hpp"
#include "studio/freed_packet.hpp"

namespace kinetra::studio {

using SteadyTime = std::chrono::steady_clock::time_point;

/// A status older than this is stale: the link sends nothing more for it.
inline constexpr std::chrono::milliseconds kStatusFreshness{1000};

/// The axis sets a bundle reports, as bit sets of axis slots.
struct BundleAxes {
    std::uint8_t supported = 0;
    std::uint8_t realTime = 0;
};

/// A paired link's latest status, as far as a camera controller asks about it.
struct LinkView {
    BundleAxes axes;
    /// The readings by axis slot (degrees, slide units, focus counts); none where not reported.
    std::array<std::optional<double>, model::kAxisSlotCount> readings{};
    std::string state;  // the status "state": "idle", "realTimeMove", ...
    /// Whether each key-pose slot the bundle has is filled (3 or 6 of them).
    std::vector<bool> keyposeSlots;
    SteadyTime statusAt{};  // when the status came
};

/// A paired link with a fresh status: its camera as that status puts it.
struct LiveLink {
    std::string linkId;
    CameraPose pose;  // carries the link's camera id
};

/// The camera of `status` (a bundle status "data"): head pan and tilt, or a crane arm's jib pan
/// and tilt where there is no head; X from the slide (metres) in millimetres; focus from the
/// focus axis; roll, Y, Z and zoom 0.
CameraPose poseFromStatus(const json& status, std::uint8_t cameraId);

/// The axis sets named by a status's "supportedAxes" and "realTimeSupportedAxes" lists.
BundleAxes axesFromStatus(const json& status);

/// The view of `status` received at `at`. A "keyposeSlotsFilled" that is not a list of
/// booleans gives no slots.
LinkView viewFromStatus(const json& status, SteadyTime at);

class LinkTable {
public:
    /// `configuredIds`: camera ids from the configuration by link id (compared without regard
    /// to case, as the configuration stores keys in lower case). Other links get 1, 2, 3... in
    /// the order they are first seen paired, skipping configured ids, and keep them.
    explicit LinkTable(std::map<std::string, std::uint8_t> configuredIds = {});

    /// Applies a link list (the "data" of linkStatus). A link listed as not paired, or not
    /// valid, loses its status at once.
    void applyLinks(const json& links);
    /// Records a decoded status of `linkId` received at `at`. A link the list says is not
    /// paired ignores it (it was sent before the unpairing); a link not listed yet counts as
    /// paired, since only paired bundles report.
    void applyStatus(std::string_view linkId, const json& status, SteadyTime at);

    /// Every paired link whose status is fresh at `now` and that has a camera id, in pairing
    /// order.
    std::vector<LiveLink> live(SteadyTime now) const;
    /// The axis sets of a paired link with a fresh status, else nothing.
    std::optional<BundleAxes> axes(std::string_view linkId, SteadyTime now) const;
    /// The view of a paired link with a fresh status, else nothing.
    std::optional<LinkView> view(std::string_view linkId, SteadyTime now) const;
    /// The links currently paired, in pairing order.
    std::vector<std::string> paired() const;
    /// {"<linkID>": cameraId, ...} for every link that has an id.
    json cameraIds() const;

private:
    struct Entry {
        bool listed = false;  // named by a link list
        bool paired = false;
        std::optional<std::uint8_t> cameraId;
        bool hasStatus = false;  // since the last pairing
        CameraPose pose;
        LinkView view;
    };
    void markPaired(const std::string& linkId, Entry& entry);
    std::optional<std::uint8_t> configuredId(std::string_view linkId) const;
    std::optional<std::uint8_t> nextAutomaticId();
    bool fresh(const Entry& entry, SteadyTime now) const;

    std::map<std::string, std::uint8_t> configuredIds_;  // keys in lower case
    std::map<std::string, Entry> entries_;
    std::vector<std::string> pairingOrder_;  // first pairing first
    unsigned nextId_ = 1;
};

}  // namespace kinetra::studio
