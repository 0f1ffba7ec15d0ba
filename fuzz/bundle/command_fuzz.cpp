// Fuzzes the command planner with arbitrary request texts against a few bundle shapes, and the
// reply rules with the same bytes as a device answer. Single-threaded.
#include <spdlog/spdlog.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "bundle/command_plan.hpp"
#include "core/json.hpp"

namespace {

kinetra::bundle::DeviceStatusSnapshot bundleOf(kinetra::model::DeviceModel model,
                                               std::uint8_t axes) {
    kinetra::bundle::DeviceStatusSnapshot s;
    s.deviceCount = 1;
    s.devices[0].model = model;
    s.devices[0].firmwareVersion = 200;
    s.supportedAxes = axes;
    s.realTimeSupportedAxes = axes;
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using kinetra::model::DeviceModel;
    static const bool quiet = [] {
        spdlog::set_level(spdlog::level::off);
        return true;
    }();
    (void)quiet;
    static kinetra::bundle::KeyposeIdCounters ids;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const kinetra::core::Bytes answer(data, data + size);
    for (const auto& snapshot :
         {bundleOf(DeviceModel::turretAlpha, 0x6F), bundleOf(DeviceModel::craneArm, 0x64),
          bundleOf(DeviceModel::lensDriveMax, 0x08), bundleOf(DeviceModel::rollerBase, 0x04)}) {
        const auto plan = kinetra::bundle::planCommand(text, snapshot, ids);
        for (const auto& send : plan.sends) {
            if (send.message.size() < 4 || send.message.size() != send.message[0] + 2u) {
                __builtin_trap();
            }
        }
        const std::vector<kinetra::bundle::SendOutcome> outcomes(plan.sends.size(), answer);
        const auto reply = kinetra::bundle::buildReply(plan, outcomes);
        if (!reply.is_object() || !reply.contains("result")) {
            __builtin_trap();
        }
        (void)kinetra::core::dumpCompact(reply);
    }
    return 0;
}
