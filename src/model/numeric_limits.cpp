// Numeric limit derivation: the setup code says which axes exist, each device of the list says
// how far and how finely its axis moves. Runs on each bundle's command thread.
#include "model/numeric_limits.hpp"

#include <bit>

#include "model/device_model.hpp"

namespace kinetra::model {
namespace {

// The devices' limits as the firmware documents them, bit for bit.
constexpr float floatBits(std::uint32_t bits) {
    return std::bit_cast<float>(bits);
}
constexpr float kHeadPanRange = 36000.0f;
constexpr float kHeadStep = floatBits(0x3A1FE868);       // 0.00061
constexpr float kSwivelPanStep = floatBits(0x3CB43958);  // 0.022
constexpr float kHeadTiltMax = floatBits(0x42B23333);    // 89.1
constexpr float kHeadTiltMin = floatBits(0xC2B23333);    // -89.1
constexpr float kGlideTrackMax = 20.0f;
constexpr float kGlideTrackStep = floatBits(0x37BA3A23);  // 0.0000222
constexpr float kRailUnitRange = 100.0f;
constexpr float kRailUnitFineStep = floatBits(0x3A92CCF7);   // 0.00112
constexpr float kRailUnitStep = floatBits(0x3B12CCF7);       // 0.00224
constexpr float kCraneArmSlideStep = floatBits(0x3C23D70A);  // 0.01
constexpr float kDollyRange = 5000.0f;
constexpr float kDollyStep = floatBits(0x3A47C0F4);  // 0.000762
constexpr float kLensRange = 5000000.0f;
constexpr float kLensStep = 1.0f;
constexpr float kJibPanRange = 36000.0f;
constexpr float kJibPanStep = floatBits(0x3CB43958);   // 0.022
constexpr float kJibTiltMax = floatBits(0x422F3333);   // 43.8
constexpr float kJibTiltMin = floatBits(0xC22F3333);   // -43.8
constexpr float kJibTiltStep = floatBits(0x3C23D70A);  // 0.01

static_assert(kHeadStep == 0.00061f && kSwivelPanStep == 0.022f && kHeadTiltMax == 89.1f &&
              kGlideTrackStep == 0.0000222f && kRailUnitFineStep == 0.00112f &&
              kRailUnitStep == 0.00224f && kCraneArmSlideStep == 0.01f && kDollyStep == 0.000762f &&
              kJibTiltMax == 43.8f);

// Bit s set: setup code s has a pan axis (respectively a tilt axis); codes 0..19.
constexpr std::uint32_t kPanSetups = 0xAAD4A;
constexpr std::uint32_t kTiltSetups = 0xCCE8C;

bool carriesNoLimits(std::uint8_t setup) {
    switch (SetupKind{setup}) {
        case SetupKind::none:
        case SetupKind::groupMember:
        case SetupKind::possibleCanbusMaster:
        case SetupKind::bootingUp:
        case SetupKind::firmwareError:
        case SetupKind::ignore:
            return true;
        default:
            return false;
    }
}

void set(AxisLimits& axis, float max, float min, float step) {
    axis.known = true;
    axis.max = max;
    axis.min = min;
    axis.step = step;
}

bool isTurret(DeviceModel model) {
    return model == DeviceModel::turretAlpha || model == DeviceModel::turretBeta ||
           model == DeviceModel::turretGamma || model == DeviceModel::turretAlpha2 ||
           model == DeviceModel::turretBeta2;
}

void applyDevice(NumericLimits& limits, DeviceModel model, std::uint8_t flags,
                 std::int16_t armLength) {
    if (limits[AxisSlot::headPan].present) {
        if (isTurret(model)) {
            set(limits[AxisSlot::headPan], kHeadPanRange, -kHeadPanRange, kHeadStep);
        } else if (model == DeviceModel::swivelMax) {
            set(limits[AxisSlot::headPan], kHeadPanRange, -kHeadPanRange, kSwivelPanStep);
        }
    }
    if (limits[AxisSlot::headTilt].present && isTurret(model)) {
        set(limits[AxisSlot::headTilt], kHeadTiltMax, kHeadTiltMin, kHeadStep);
    }
    if (limits[AxisSlot::slide].present) {
        AxisLimits& slide = limits[AxisSlot::slide];
        switch (model) {
            case DeviceModel::glideTrackMax:
            case DeviceModel::glideTrack:
                set(slide, kGlideTrackMax, 0.0f, kGlideTrackStep);
                break;
            case DeviceModel::railUnitGen1:
            case DeviceModel::railUnitGen3:
                set(slide, kRailUnitRange, -kRailUnitRange,
                    (flags & limits_answer::kFlagRailFineStep) ? kRailUnitFineStep : kRailUnitStep);
                // An uncalibrated rail unit does not know its travel yet.
                if (!(flags & limits_answer::kFlagRailCalibrated)) {
                    limits.dataReady = false;
                }
                break;
            case DeviceModel::craneArm: {
                const float limit = craneArmSlideLimit(armLength);
                set(slide, limit, -limit, kCraneArmSlideStep);
                break;
            }
            case DeviceModel::rollerBaseX:
            case DeviceModel::rollerBase:
            case DeviceModel::rollerBaseMax:
                set(slide, kDollyRange, -kDollyRange, kDollyStep);
                break;
            default:
                break;
        }
    }
    if (limits[AxisSlot::focus].present && model == DeviceModel::lensDriveMax) {
        set(limits[AxisSlot::focus], kLensRange, -kLensRange, kLensStep);
    }
    if (limits[AxisSlot::jibPan].present) {
        set(limits[AxisSlot::jibPan], kJibPanRange, -kJibPanRange, kJibPanStep);
    }
    if (limits[AxisSlot::jibTilt].present) {
        set(limits[AxisSlot::jibTilt], kJibTiltMax, kJibTiltMin, kJibTiltStep);
    }
}

void putAxis(json& out, const AxisLimits& axis, const char* prefix, bool withStep) {
    if (!axis.present || !axis.known) {
        return;
    }
    const std::string name(prefix);
    if (withStep) {
        out[name + "Step"] = core::floatNumber(axis.step);
    }
    out[name + "MinLimit"] = core::floatNumber(axis.min);
    out[name + "MaxLimit"] = core::floatNumber(axis.max);
}

}  // namespace

float craneArmSlideLimit(std::int16_t armLength) {
    // The firmware's own mix of precisions: each intermediate is rounded to float where it
    // stores one, so the limit matches what the arm enforces to the last bit.
    const float a = static_cast<float>(armLength / 10.0);
    const float b = static_cast<float>((static_cast<double>(a) * 10.0 + 74.0) / 10.0);
    const float k = static_cast<float>(static_cast<double>(b) * 0.0003834952076431364);
    return k * 2000.0f;
}

std::optional<NumericLimits> deriveNumericLimits(core::ByteView answer) {
    using namespace limits_answer;
    if (answer.size() < kModelsOffset ||
        answer.size() < kModelsOffset + answer[kDeviceCountOffset]) {
        return std::nullopt;
    }
    NumericLimits limits;
    const std::uint8_t setup = answer[kSetupOffset];
    const std::uint8_t flags = answer[kFlagsOffset];
    limits.setup = SetupKind{setup};
    limits.dataReady = (flags & kFlagDataReady) != 0;
    if (!limits.dataReady || carriesNoLimits(setup)) {
        return limits;
    }
    limits[AxisSlot::headPan].present = setup < 20 && ((kPanSetups >> setup) & 1u);
    limits[AxisSlot::headTilt].present = setup < 20 && ((kTiltSetups >> setup) & 1u);
    limits[AxisSlot::slide].present = (setup >= 4 && setup <= 11) || (setup >= 13 && setup <= 16);
    limits[AxisSlot::focus].present =
        setup == static_cast<std::uint8_t>(SetupKind::followFocusOnly) ||
        (flags & kFlagLensPresent) != 0;
    limits[AxisSlot::jibPan].present = setup >= 17 && setup <= 20;
    limits[AxisSlot::jibTilt].present = limits[AxisSlot::jibPan].present;

    const std::int16_t armLength = core::readI16BE(answer, kArmLengthOffset);
    const std::size_t count = answer[kDeviceCountOffset];
    for (std::size_t i = 0; i < count; ++i) {
        applyDevice(limits, deviceModelFromCode(answer[kModelsOffset + i]), flags, armLength);
    }
    return limits;
}

json toJson(const NumericLimits& limits) {
    if (!limits.dataReady) {
        return json{{"isDataReady", false}};
    }
    json out;  // stays null when no axis is reported
    putAxis(out, limits[AxisSlot::headPan], "pan", true);
    putAxis(out, limits[AxisSlot::headTilt], "tilt", true);
    putAxis(out, limits[AxisSlot::slide], "slide", true);
    putAxis(out, limits[AxisSlot::focus], "focus", true);
    putAxis(out, limits[AxisSlot::jibPan], "jibPan", true);
    putAxis(out, limits[AxisSlot::jibTilt], "jibTilt", false);
    return out;
}

}  // namespace kinetra::model
