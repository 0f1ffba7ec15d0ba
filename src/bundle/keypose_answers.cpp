// Key-pose read answers per family. Values are signed 32-bit thousandths unless noted; the crane
// arm counts slide and tilt the other way round. Runs on each bundle's command thread.
#include "bundle/keypose_answers.hpp"

#include "bundle/device_units.hpp"
#include "model/axis_slot.hpp"

namespace kinetra::bundle {
namespace {

using model::AxisSlot;
using model::DeviceFamily;
using model::hasSlot;

constexpr std::size_t kIndexOffset = 1;  // signed 8, after the message identifier
constexpr float kThousandths = 1000.0f;

// Head answer: pan, tilt, (unused), slide, jib pan, jib tilt, then focus in encoder steps.
constexpr std::size_t kHeadPan = 2;
constexpr std::size_t kHeadTilt = 6;
constexpr std::size_t kHeadSlide = 14;
constexpr std::size_t kHeadJibPan = 18;
constexpr std::size_t kHeadJibTilt = 22;
constexpr std::size_t kHeadFocus = 26;
constexpr std::size_t kHeadSize = kHeadFocus + 4;

constexpr std::size_t kSlide = 2;
constexpr std::size_t kSlideSize = kSlide + 4;
constexpr std::size_t kLensFocus = 6;
constexpr std::size_t kLensSize = kLensFocus + 4;
constexpr std::size_t kCraneJibPan = 6;
constexpr std::size_t kCraneJibTilt = 10;
constexpr std::size_t kCraneJibSize = kCraneJibTilt + 4;

float thousandths(core::ByteView answer, std::size_t offset) {
    return static_cast<float>(core::readI32BE(answer, offset)) / kThousandths;
}

}  // namespace

std::optional<json> decodeKeyposeReadAnswer(model::DeviceModel primary, std::uint8_t supportedAxes,
                                            core::ByteView answer) {
    const auto family = model::familyOf(primary);
    const bool jib =
        hasSlot(supportedAxes, AxisSlot::jibPan) && hasSlot(supportedAxes, AxisSlot::jibTilt);
    std::size_t needed = 0;
    switch (family) {
        case DeviceFamily::head:
            needed = kHeadSize;
            break;
        case DeviceFamily::slider:
        case DeviceFamily::dolly:
            needed = kSlideSize;
            break;
        case DeviceFamily::lens:
            needed = kLensSize;
            break;
        case DeviceFamily::craneArm:
            needed = jib ? kCraneJibSize : kSlideSize;
            break;
        case DeviceFamily::none:
            return std::nullopt;
    }
    if (answer.size() < needed) {
        return std::nullopt;
    }

    json data = json::object();
    data["index"] = static_cast<int>(static_cast<std::int8_t>(answer[kIndexOffset]));
    switch (family) {
        case DeviceFamily::head:
            if (hasSlot(supportedAxes, AxisSlot::headPan)) {
                data["headPan"] = core::floatNumber(thousandths(answer, kHeadPan));
            }
            if (hasSlot(supportedAxes, AxisSlot::headTilt)) {
                data["headTilt"] = core::floatNumber(thousandths(answer, kHeadTilt));
            }
            if (hasSlot(supportedAxes, AxisSlot::slide)) {
                data["slide"] = core::floatNumber(thousandths(answer, kHeadSlide));
            }
            if (hasSlot(supportedAxes, AxisSlot::focus)) {
                data["focus"] = core::readI32BE(answer, kHeadFocus);
            }
            if (jib) {
                data["craneMaxPan"] = core::floatNumber(thousandths(answer, kHeadJibPan));
                data["craneMaxTilt"] = core::floatNumber(thousandths(answer, kHeadJibTilt));
            }
            break;
        case DeviceFamily::slider:
        case DeviceFamily::dolly:
            data["slide"] = core::floatNumber(thousandths(answer, kSlide));
            break;
        case DeviceFamily::lens:
            data["focus"] =
                core::floatNumber(static_cast<float>(core::readI32BE(answer, kLensFocus)) /
                                  units::kLensStepsPerFocusUnitFloat);
            break;
        case DeviceFamily::craneArm:
            if (jib) {
                data["craneMaxPan"] = core::floatNumber(thousandths(answer, kCraneJibPan));
                data["craneMaxTilt"] = core::floatNumber(-thousandths(answer, kCraneJibTilt));
            } else {
                data["slide"] = core::floatNumber(-thousandths(answer, kSlide));
            }
            break;
        case DeviceFamily::none:
            break;
    }
    return data;
}

}  // namespace kinetra::bundle
