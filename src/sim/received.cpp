// Log lines for what the emulated link received. Runs on the emulator's thread.
#include "sim/received.hpp"

#include <fmt/format.h>

namespace kinetra::sim {
namespace {

constexpr std::size_t kShownBytes = 24;

constexpr auto kCheckNames = core::makeEnumTable<MessageCheck>({
    {MessageCheck::ok, "ok"},
    {MessageCheck::tooShort, "too short"},
    {MessageCheck::lengthMismatch, "length mismatch"},
    {MessageCheck::badChecksum, "bad checksum"},
    {MessageCheck::unknownOpcode, "unknown opcode"},
});

std::string hex(core::ByteView bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size() && i < kShownBytes; ++i) {
        text += fmt::format("{}{:02X}", i == 0 ? "" : " ", bytes[i]);
    }
    if (bytes.size() > kShownBytes) {
        text += fmt::format(" ... ({} bytes)", bytes.size());
    }
    return text;
}

}  // namespace

std::string describe(const Received& received) {
    switch (received.kind) {
        case ReceivedKind::hostCommand: {
            std::string name(kAdapterCommandNames.nameOf(*received.command));
            if (received.radio) {
                name += fmt::format(" {}", kRadioCommandNames.nameOf(*received.radio));
            }
            return fmt::format("{}{}: {}", name, received.delivered ? "" : " (ignored)",
                               hex(received.bytes));
        }
        case ReceivedKind::deviceMessage: {
            const auto outcome = !received.delivered ? "not delivered"
                                 : received.accepted ? "accepted"
                                                     : "refused";
            return fmt::format("device message {:02X} over {} ({}, {}): {}", received.opcode,
                               model::kLinkConnectionTypeTable.nameOf(received.medium),
                               kCheckNames.nameOf(received.check), outcome, hex(received.bytes));
        }
        case ReceivedKind::unreadable:
            break;
    }
    return fmt::format("unreadable frame: {}", hex(received.bytes));
}

}  // namespace kinetra::sim
