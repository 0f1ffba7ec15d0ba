// The opcode tables of the emulated devices, one per family, and the parameter readers.
// Runs on the emulator's thread.
#include "sim/device_commands.hpp"

#include <span>

namespace kinetra::sim {
namespace {

using model::AxisSlot;
using model::DeviceFamily;

constexpr std::size_t kLengthOffset = 0;
constexpr std::size_t kOpcodeOffset = 1;
constexpr std::size_t kParametersOffset = 2;
constexpr std::size_t kSumSize = 2;
constexpr std::size_t kSmallestMessage = 4;  // length, opcode, sum

constexpr double kFullScale = 32000.0;
constexpr double kHeadSpeedScale = 1000.0 * 32000.0;  // key-pose speed of a head
constexpr double kDollySpeedScale = 1'000'000.0;
constexpr double kDollyStickScale = 100'000.0;
constexpr double kDynamicSpeedScale = 2'000'000.0;  // degrees a second
constexpr double kDynamicAngleToThousandths = 1000.0 / 32000.0;
constexpr double kSliderSpeedCodeOffset = 10.0;  // code = speed x 1070 + 10
constexpr double kSliderSpeedCodeScale = 1070.0;
constexpr double kLensFocusMoveScale = 100.0;
constexpr double kRealTimeFocusScale = 1000.0;  // real-time focus targets: steps x 1000

constexpr std::uint8_t kRealTimeMoveOpcode = 0x8A;
constexpr std::size_t kRealTimeHeaderSize = 7;  // length, opcode, blocks, ramp, duration
constexpr unsigned kBlockSlotShift = 3;         // block header: slot x 8 + value count
constexpr std::uint8_t kBlockCountMask = 0x07;

/// Reads the parameters in order; the caller has checked the message's exact length.
class Params {
public:
    explicit Params(core::ByteView message) : bytes_(message) {}

    std::uint8_t u8() { return bytes_[at_++]; }
    std::int16_t i16() {
        const auto value = core::readI16BE(bytes_, at_);
        at_ += 2;
        return value;
    }
    std::uint16_t u16() { return static_cast<std::uint16_t>(i16()); }
    std::int32_t i32() {
        const auto value = core::readI32BE(bytes_, at_);
        at_ += 4;
        return value;
    }
    std::uint32_t u32() { return static_cast<std::uint32_t>(i32()); }
    double fullScale16() { return i16() / kFullScale; }
    void skip(std::size_t count) { at_ += count; }

private:
    core::ByteView bytes_;
    std::size_t at_ = kParametersOffset;
};

using Parser = DeviceCommand (*)(Params&);

struct Row {
    std::uint8_t opcode;
    std::uint8_t length;  // the message's length byte
    Parser parse;
};

constexpr std::size_t slot(AxisSlot axis) {
    return static_cast<std::size_t>(axis);
}

DeviceCommand stick(AxisSlot first, double a) {
    cmd::Joystick command;
    command.deflections[slot(first)] = a;
    return command;
}

DeviceCommand stick(AxisSlot first, double a, AxisSlot second, double b) {
    cmd::Joystick command;
    command.deflections[slot(first)] = a;
    command.deflections[slot(second)] = b;
    return command;
}

DeviceCommand storeCurrent(Params& p) {
    cmd::KeyposeStore store;
    store.index = p.u8();
    store.identifier = p.u32();
    return store;
}

DeviceCommand storeOne(Params& p, AxisSlot axis) {
    cmd::KeyposeStore store;
    store.index = p.u8();
    store.identifier = p.u32();
    store.values[slot(axis)] = p.i32();
    return store;
}

// Slider and crane arm moves: [loop, speed code or duration, acceleration x2, first, second].
DeviceCommand sliderMove(Params& p, bool byDuration) {
    cmd::KeyposeMove move;
    move.loop = p.u8() != 0;
    const auto value = p.i32();
    if (byDuration) {
        move.durationMs = value;
    } else {
        move.speed = (value - kSliderSpeedCodeOffset) / kSliderSpeedCodeScale;
    }
    move.acceleration = p.fullScale16();
    p.skip(2);  // deceleration, sent equal to the acceleration
    move.first = p.u8();
    move.second = p.u8();
    return move;
}

// Dolly moves: [first, second, speed or duration, acceleration, loop].
DeviceCommand dollyMove(Params& p, bool byDuration) {
    cmd::KeyposeMove move;
    move.first = p.u8();
    move.second = p.u8();
    const auto value = p.i32();
    if (byDuration) {
        move.durationMs = value;
    } else {
        move.speed = value / kDollySpeedScale;
    }
    move.acceleration = p.fullScale16();
    move.loop = p.u8() != 0;
    return move;
}

DeviceCommand dynamicMove(Params& p, bool byDuration) {
    cmd::DynamicMove move;
    move.pan = p.i32() * kDynamicAngleToThousandths;
    move.tilt = p.i32() * kDynamicAngleToThousandths;
    move.acceleration = p.i32() / kFullScale;
    const auto value = p.i32();
    if (byDuration) {
        move.durationMs = value;
    } else {
        move.speed = value / kDynamicSpeedScale;
    }
    return move;
}

DeviceCommand calibrate(cmd::Calibration what) {
    return cmd::Calibrate{what, 0, 0, 0};
}

DeviceCommand railCalibration(Params& p) {
    return cmd::Calibrate{cmd::Calibration::railUnit, p.u8(), 0, 0};
}

// Every family answers these.
constexpr Row kCommonRows[] = {
    {0xE6, 2, [](Params&) -> DeviceCommand { return cmd::StatusRequest{}; }},
    {0xB3, 2, [](Params&) -> DeviceCommand { return cmd::LimitsRequest{}; }},
};

constexpr Row kHeadRows[] = {
    {0x0A, 6,
     [](Params& p) {
         const double pan = p.fullScale16();
         return stick(AxisSlot::headPan, pan, AxisSlot::headTilt, p.fullScale16());
     }},
    {0x83, 6,
     [](Params& p) {
         const double pan = p.fullScale16();
         return stick(AxisSlot::jibPan, pan, AxisSlot::jibTilt, p.fullScale16());
     }},
    {0x0B, 4, [](Params& p) { return stick(AxisSlot::slide, p.fullScale16()); }},
    {0x05, 7, storeCurrent},
    {0x06, 3, [](Params& p) -> DeviceCommand { return cmd::KeyposeDelete{p.u8()}; }},
    {0x53, 3, [](Params& p) -> DeviceCommand { return cmd::KeyposeRead{p.u8()}; }},
    {0x09, 2, [](Params&) -> DeviceCommand { return cmd::Abort{}; }},
    {0x8C, 31,
     [](Params& p) -> DeviceCommand {
         cmd::KeyposeStore store;
         store.index = p.u8();
         store.values[slot(AxisSlot::headPan)] = p.i32();
         store.values[slot(AxisSlot::headTilt)] = p.i32();
         store.values[slot(AxisSlot::focus)] = p.i32();  // encoder steps as they are
         store.values[slot(AxisSlot::slide)] = p.i32();
         store.identifier = p.u32();
         store.values[slot(AxisSlot::jibPan)] = p.i32();
         store.values[slot(AxisSlot::jibTilt)] = p.i32();
         return store;
     }},
    {0x07, 17,
     [](Params& p) -> DeviceCommand {
         cmd::KeyposeMove move;
         move.first = p.u8();
         move.second = p.u8();
         move.loop = p.u8() != 0;
         move.acceleration = p.fullScale16();
         p.skip(2);
         move.speed = p.i32() / kHeadSpeedScale;
         move.durationMs = p.i32();
         return move;
     }},
    {0x0C, 6, [](Params& p) -> DeviceCommand { return cmd::FocusMove{double(p.i32())}; }},
    {0x04, 2, [](Params&) { return calibrate(cmd::Calibration::head); }},
    {0x28, 3, railCalibration},
    {0x71, 2, [](Params&) { return calibrate(cmd::Calibration::lens); }},
    {0x8D, 6,
     [](Params& p) -> DeviceCommand {
         const std::int32_t jib = p.i16();
         return cmd::Calibrate{cmd::Calibration::craneArm, 0, jib, p.i16()};
     }},
    {0x81, 2, [](Params&) -> DeviceCommand { return cmd::InclineConfirm{}; }},
    {0xBB, 18, [](Params& p) { return dynamicMove(p, false); }},
    {0xBC, 18, [](Params& p) { return dynamicMove(p, true); }},
};

// Sliders and crane arms share these.
constexpr Row kSliderRows[] = {
    {0x0D, 6,
     [](Params& p) {
         const double slide = p.fullScale16();
         p.skip(2);  // fixed bytes 0x70 0x7F
         return stick(AxisSlot::slide, slide);
     }},
    {0x07, 7, storeCurrent},
    {0x1D, 3, [](Params& p) -> DeviceCommand { return cmd::KeyposeDelete{p.u8()}; }},
    {0x2D, 3, [](Params& p) -> DeviceCommand { return cmd::KeyposeRead{p.u8()}; }},
    {0x0C, 2, [](Params&) -> DeviceCommand { return cmd::Abort{}; }},
    {0x2C, 11, [](Params& p) { return storeOne(p, AxisSlot::slide); }},
    {0x0B, 13, [](Params& p) { return sliderMove(p, false); }},
    {0x1E, 13, [](Params& p) { return sliderMove(p, true); }},
};

// Rail units only: their own calibration and incline sensor.
constexpr Row kRailRows[] = {
    {0x10, 3, railCalibration},
    {0x32, 2, [](Params&) -> DeviceCommand { return cmd::InclineConfirm{}; }},
};

constexpr Row kCraneRows[] = {
    {0x42, 6,
     [](Params& p) {
         const double pan = p.fullScale16();
         return stick(AxisSlot::jibPan, pan, AxisSlot::jibTilt, p.fullScale16());
     }},
    {0x3E, 15,
     [](Params& p) -> DeviceCommand {
         cmd::KeyposeStore store;
         store.index = p.u8();
         store.identifier = p.u32();
         store.values[slot(AxisSlot::jibPan)] = p.i32();
         store.values[slot(AxisSlot::jibTilt)] = p.i32();
         return store;
     }},
    {0x45, 10,
     [](Params& p) -> DeviceCommand {
         const std::int32_t jib = p.i32();
         return cmd::Calibrate{cmd::Calibration::craneArm, 0, jib, p.i32()};
     }},
};

constexpr Row kDollyRows[] = {
    {0x0B, 6, [](Params& p) { return stick(AxisSlot::slide, p.i32() / kDollyStickScale); }},
    {0x0D, 7, storeCurrent},
    {0x0E, 3, [](Params& p) -> DeviceCommand { return cmd::KeyposeDelete{p.u8()}; }},
    {0x2A, 3, [](Params& p) -> DeviceCommand { return cmd::KeyposeRead{p.u8()}; }},
    {0x02, 2, [](Params&) -> DeviceCommand { return cmd::Abort{}; }},
    {0x29, 11, [](Params& p) { return storeOne(p, AxisSlot::slide); }},
    {0x16, 11, [](Params& p) { return dollyMove(p, false); }},
    {0x10, 11, [](Params& p) { return dollyMove(p, true); }},
};

constexpr Row kLensRows[] = {
    {0x0E, 7, storeCurrent},
    {0x0F, 3, [](Params& p) -> DeviceCommand { return cmd::KeyposeDelete{p.u8()}; }},
    {0x16, 3, [](Params& p) -> DeviceCommand { return cmd::KeyposeRead{p.u8()}; }},
    {0x04, 2, [](Params&) -> DeviceCommand { return cmd::Abort{}; }},
    {0x27, 11, [](Params& p) { return storeOne(p, AxisSlot::focus); }},
    {0x0C, 17,
     [](Params& p) -> DeviceCommand {
         cmd::KeyposeMove move;
         move.second = p.u8();  // the lens takes the target first
         move.first = p.u8();
         move.loop = p.u8() != 0;
         move.acceleration = p.fullScale16();
         p.skip(2);
         move.speed = p.i32() / kFullScale;
         move.durationMs = p.i32();
         return move;
     }},
    {0x19, 6,
     [](Params& p) -> DeviceCommand { return cmd::FocusMove{p.i32() / kLensFocusMoveScale}; }},
    {0x10, 2, [](Params&) { return calibrate(cmd::Calibration::lens); }},
};

const Row* findRow(std::span<const Row> rows, std::uint8_t opcode, std::uint8_t length) {
    for (const auto& row : rows) {
        if (row.opcode == opcode && row.length == length) {
            return &row;
        }
    }
    return nullptr;
}

const Row* findFamilyRow(DeviceFamily family, std::uint8_t opcode, std::uint8_t length,
                         bool railUnit) {
    if (const auto* row = findRow(kCommonRows, opcode, length)) {
        return row;
    }
    switch (family) {
        case DeviceFamily::head:
            return findRow(kHeadRows, opcode, length);
        case DeviceFamily::slider:
            if (const auto* row = findRow(kSliderRows, opcode, length)) {
                return row;
            }
            return railUnit ? findRow(kRailRows, opcode, length) : nullptr;
        case DeviceFamily::craneArm:
            if (const auto* row = findRow(kSliderRows, opcode, length)) {
                return row;
            }
            return findRow(kCraneRows, opcode, length);
        case DeviceFamily::dolly:
            return findRow(kDollyRows, opcode, length);
        case DeviceFamily::lens:
            return findRow(kLensRows, opcode, length);
        case DeviceFamily::none:
            break;
    }
    return nullptr;
}

// [length, 0x8A, blocks, ramp (16), duration ms (16), blocks of header and 32-bit values].
std::optional<DeviceCommand> readRealTimeMove(core::ByteView message) {
    const std::size_t counted = message[kLengthOffset];
    if (counted < kRealTimeHeaderSize) {
        return std::nullopt;
    }
    Params p(message);
    const auto blocks = p.u8();
    p.skip(2);  // ramp, always 0.1 of full scale
    cmd::RealTimeMove move;
    move.durationMs = p.u16();
    std::size_t at = kRealTimeHeaderSize;
    for (unsigned block = 0; block < blocks; ++block) {
        if (at >= counted) {
            return std::nullopt;
        }
        const auto header = message[at];
        const std::size_t axis = header >> kBlockSlotShift;
        const std::size_t values = header & kBlockCountMask;
        if (axis >= model::kAxisSlotCount || values == 0 || at + 1 + 4 * values > counted) {
            return std::nullopt;
        }
        const double value = core::readI32BE(message, at + 1);
        move.targets[axis] = axis == slot(AxisSlot::focus) ? value / kRealTimeFocusScale : value;
        at += 1 + 4 * values;
    }
    if (at != counted) {
        return std::nullopt;
    }
    return move;
}

}  // namespace

MessageCheck checkDeviceMessage(core::ByteView message) {
    if (message.size() < kSmallestMessage || message[kLengthOffset] < kParametersOffset) {
        return MessageCheck::tooShort;
    }
    const std::size_t counted = message[kLengthOffset];
    if (message.size() != counted + kSumSize) {
        return MessageCheck::lengthMismatch;
    }
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < counted; ++i) {
        sum = static_cast<std::uint16_t>(sum + message[i]);
    }
    return sum == core::readU16BE(message, counted) ? MessageCheck::ok : MessageCheck::badChecksum;
}

ReadMessage readDeviceMessage(core::ByteView message, model::DeviceModel primary) {
    ReadMessage read;
    read.check = checkDeviceMessage(message);
    if (message.size() > kOpcodeOffset) {
        read.opcode = message[kOpcodeOffset];
    }
    if (read.check != MessageCheck::ok) {
        return read;
    }
    if (read.opcode == kRealTimeMoveOpcode) {
        read.command = readRealTimeMove(message);
    } else if (const auto* row =
                   findFamilyRow(model::familyOf(primary), read.opcode, message[kLengthOffset],
                                 model::isRailUnit(primary))) {
        Params params(message);
        read.command = row->parse(params);
    }
    if (!read.command) {
        read.check = MessageCheck::unknownOpcode;
    }
    return read;
}

std::optional<std::size_t> announcedDeviceMessageSize(core::ByteView bytes) {
    if (bytes.empty() || bytes[kLengthOffset] < kParametersOffset) {
        return std::nullopt;
    }
    return bytes[kLengthOffset] + kSumSize;
}

std::optional<std::size_t> wholeDeviceMessageAt(core::ByteView bytes, model::DeviceModel primary) {
    const auto size = announcedDeviceMessageSize(bytes);
    if (!size || bytes.size() < *size) {
        return std::nullopt;
    }
    const auto read = readDeviceMessage(bytes.first(*size), primary);
    return read.check == MessageCheck::ok ? size : std::nullopt;
}

}  // namespace kinetra::sim
