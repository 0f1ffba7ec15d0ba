// Axis descriptor lists for the status JSON; runs where status messages are decoded.
#include "model/axis_slot.hpp"

#include <algorithm>

namespace kinetra::model {
namespace {

using M = DeviceModel;

constexpr std::array kHeadPanCandidates = {M::turretAlpha, M::turretAlpha2, M::turretBeta,
                                           M::turretBeta2, M::turretGamma,  M::swivelMax};
constexpr std::array kHeadTiltCandidates = {M::turretAlpha, M::turretAlpha2, M::turretBeta,
                                            M::turretBeta2, M::turretGamma};
constexpr std::array kSlideCandidates = {M::railUnit,      M::railUnitGen3, M::glideTrack,
                                         M::glideTrackMax, M::craneArm,     M::rollerBase,
                                         M::rollerBaseX,   M::rollerBaseMax};
constexpr std::array kLensCandidates = {M::lensDriveMax};
constexpr std::array kJibCandidates = {M::craneArm};

}  // namespace

std::span<const DeviceModel> axisCandidates(AxisSlot slot) {
    switch (slot) {
        case AxisSlot::headPan:
            return kHeadPanCandidates;
        case AxisSlot::headTilt:
            return kHeadTiltCandidates;
        case AxisSlot::slide:
            return kSlideCandidates;
        case AxisSlot::focus:
        case AxisSlot::zoom:
            return kLensCandidates;
        case AxisSlot::jibPan:
        case AxisSlot::jibTilt:
            return kJibCandidates;
    }
    return {};
}

json axisDescriptorList(std::uint8_t axisSet, std::span<const DeviceModel> devices) {
    json list = json::array();
    for (const AxisSlot slot : kAllAxisSlots) {
        if (!hasSlot(axisSet, slot)) {
            continue;
        }
        const auto candidates = axisCandidates(slot);
        const auto device = std::find_if(devices.begin(), devices.end(), [&](DeviceModel model) {
            return std::find(candidates.begin(), candidates.end(), model) != candidates.end();
        });
        list.push_back(
            {{"axis", axisNameOf(slot)},
             {"device", device == devices.end() ? kUnknownAxisDevice : nameOf(*device)}});
    }
    return list;
}

}  // namespace kinetra::model
