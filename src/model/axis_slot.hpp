// The seven axis slots: bit k of every axis set is slot k, and slot order is the order of the
// blocks in a real-time move. Pure data; read by each bundle's command thread and its link's
// reader.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/enum_table.hpp"
#include "core/json.hpp"
#include "model/device_model.hpp"

namespace kinetra::model {

enum class AxisSlot : std::uint8_t {
    headPan = 0,
    headTilt = 1,
    slide = 2,
    focus = 3,
    zoom = 4,
    jibPan = 5,
    jibTilt = 6,
};

inline constexpr std::size_t kAxisSlotCount = 7;
/// Every bit an axis set may carry; the device never sets bit 7, and we ignore it if it does.
inline constexpr std::uint8_t kAxisSetMask = 0x7F;

constexpr std::uint8_t bitOf(AxisSlot slot) {
    return static_cast<std::uint8_t>(1u << static_cast<unsigned>(slot));
}
constexpr bool hasSlot(std::uint8_t axisSet, AxisSlot slot) {
    return (axisSet & bitOf(slot)) != 0;
}

inline constexpr std::array<AxisSlot, kAxisSlotCount> kAllAxisSlots = {
    AxisSlot::headPan, AxisSlot::headTilt, AxisSlot::slide,  AxisSlot::focus,
    AxisSlot::zoom,    AxisSlot::jibPan,   AxisSlot::jibTilt};

/// The axis names of replies and axis descriptor lists.
inline constexpr auto kAxisNameTable = core::makeEnumTable<AxisSlot>({
    {AxisSlot::headPan, "headPan"},
    {AxisSlot::headTilt, "headTilt"},
    {AxisSlot::slide, "slide"},
    {AxisSlot::focus, "focus"},
    {AxisSlot::zoom, "zoom"},
    {AxisSlot::jibPan, "jibPan"},
    {AxisSlot::jibTilt, "jibTilt"},
});

/// The keys of axis values in requests. Zoom is never requested, so it has no row.
inline constexpr auto kAxisRequestKeyTable = core::makeEnumTable<AxisSlot>({
    {AxisSlot::headPan, "headPan"},
    {AxisSlot::headTilt, "headTilt"},
    {AxisSlot::slide, "slide"},
    {AxisSlot::focus, "focus"},
    {AxisSlot::jibPan, "craneMaxPan"},
    {AxisSlot::jibTilt, "craneMaxTilt"},
});

/// The keys of the status readings. Zoom has no reading.
inline constexpr auto kAxisReadingsKeyTable = core::makeEnumTable<AxisSlot>({
    {AxisSlot::headPan, "headPan"},
    {AxisSlot::headTilt, "headTilt"},
    {AxisSlot::slide, "slide"},
    {AxisSlot::focus, "focus"},
    {AxisSlot::jibPan, "jibPan"},
    {AxisSlot::jibTilt, "jibTilt"},
});

constexpr std::string_view axisNameOf(AxisSlot slot) {
    return kAxisNameTable.nameOf(slot);
}
/// The request key of `slot`, or nothing for zoom.
constexpr std::optional<std::string_view> requestKeyOf(AxisSlot slot) {
    return kAxisRequestKeyTable.find(slot);
}
/// The readings key of `slot`, or nothing for zoom.
constexpr std::optional<std::string_view> readingsKeyOf(AxisSlot slot) {
    return kAxisReadingsKeyTable.find(slot);
}

/// The models that may drive each slot, in the order they are preferred when naming the device
/// of an axis.
std::span<const DeviceModel> axisCandidates(AxisSlot slot);

/// The device name shown for an axis that no device of the list can drive.
inline constexpr std::string_view kUnknownAxisDevice = "???";

/// One {"axis", "device"} object per slot set in `axisSet`, in slot order; the device is the
/// first of `devices` among the slot's candidates, else "???". An empty set gives [].
json axisDescriptorList(std::uint8_t axisSet, std::span<const DeviceModel> devices);

}  // namespace kinetra::model
