// Bundles under concurrent clients and torn down under them: key-pose identifiers drawn by two
// bundles at once stay unique, and a bundle stopped and destroyed while a command waits on its
// link ends cleanly (the sanitizer builds check the lifetimes).
#include <fmt/format.h>
#include <fmt/ranges.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "bundle_rig.hpp"

namespace kinetra::bundle::test {
namespace {

TEST(BundleLifetime, KeyposeIdentifiersStayUniqueAcrossBundlesStoringAtOnce) {
    std::vector<std::unique_ptr<BundleRig>> rigs;
    for (std::uint8_t i = 0; i < 2; ++i) {
        rigs.push_back(std::make_unique<BundleRig>(gear({device(DeviceModel::turretAlpha2, 1)})));
        ASSERT_TRUE(rigs.back()->pair(Medium::canbus));
    }
    const std::vector<std::size_t> from{rigs[0]->mark(), rigs[1]->mark()};

    constexpr int kClientsPerBundle = 3;
    constexpr int kStoresPerClient = 15;
    std::mutex repliesMutex;  // guards otherReplies
    std::vector<std::string> otherReplies;
    {
        std::vector<std::jthread> clients;
        for (auto& rig : rigs) {
            for (int c = 0; c < kClientsPerBundle; ++c) {
                clients.emplace_back([&, c] {
                    for (int n = 0; n < kStoresPerClient; ++n) {
                        const int index = (c * kStoresPerClient + n) % 6;
                        // Both counters at once: each must stay unique on its own.
                        const json request =
                            n % 2 == 0
                                ? json{{"command", "keyposeStoreCurrentPose"}, {"index", index}}
                                : json{{"command", "keyposeStoreWithNumericData"},
                                       {"index", index},
                                       {"headPan", n},
                                       {"headTilt", -n}};
                        const json reply = rig->command(request);
                        if (reply != json{{"result", "ok"}}) {
                            std::lock_guard lock(repliesMutex);
                            otherReplies.push_back(request.dump() + " -> " + reply.dump());
                        }
                    }
                });
            }
        }
    }
    constexpr int kTotal = 2 * kClientsPerBundle * kStoresPerClient;
    ASSERT_TRUE(otherReplies.empty()) << fmt::format("{}", fmt::join(otherReplies, "\n"));

    // A retried store repeats its identifier; two stores never share one.
    std::set<std::uint32_t> currentPoseIds;
    std::set<std::uint32_t> numericDataIds;
    std::size_t stores = 0;
    for (std::size_t r = 0; r < rigs.size(); ++r) {
        std::set<core::Bytes> seen;  // one entry per store, retries folded
        for (const auto& message : rigs[r]->deviceMessages(from[r])) {
            if (!seen.insert(message.bytes).second) {
                continue;
            }
            if (message.opcode == 0x05) {
                currentPoseIds.insert(core::readU32BE(message.bytes, 3));
                ++stores;
            } else if (message.opcode == 0x8C) {
                numericDataIds.insert(core::readU32BE(message.bytes, 19));
                ++stores;
            }
        }
    }
    EXPECT_EQ(stores, static_cast<std::size_t>(kTotal));
    EXPECT_EQ(currentPoseIds.size() + numericDataIds.size(), static_cast<std::size_t>(kTotal))
        << "identifiers were handed out twice";
}

// The read waits up to three times on a device that never answers; the bundle goes meanwhile.
TEST(BundleLifetime, DestroyingABundleWhileACommandWaitsOnTheLinkEndsIt) {
    auto rig = std::make_unique<BundleRig>(gear({device(DeviceModel::turretAlpha2, 1)}));
    ASSERT_TRUE(rig->pair(Medium::rj45));
    rig->emulator().updateFaults([](sim::Faults& f) { f.silent = true; });
    const auto from = rig->mark();
    std::optional<std::string> reply;
    std::jthread client([&] {
        reply =
            rig->ask(bus::bundleEndpoint(rig->linkId()), R"({"command":"numericLimitValues"})", 2s);
    });
    ASSERT_TRUE(rig->emulator().waitForDeviceMessage(0xB3, kWait, from)) << "never in flight";
    rig->destroyHandler();
    client.join();
    // Whether the reply made it out before the socket closed is a race; none may come late.
    if (reply) {
        EXPECT_EQ(*reply, R"({"result":"could not get a response"})");
    }
    const auto endpoint = bus::bundleEndpoint(rig->linkId());
    EXPECT_TRUE(waitUntil([&] { return !bus::SocketRegistry::instance().isOpen(endpoint); }));
}

// Before pairing the command service holds back after each answer; stopping ends that pause.
TEST(BundleLifetime, DestroyingAnUnpairedBundleRightAfterACommandEndsIt) {
    BundleRig rig(gear({device(DeviceModel::turretAlpha2, 1)}));
    EXPECT_EQ(rig.command({{"command", "motionAbort"}}),
              (json{{"result", "Pairing is not completed."}}));
    std::jthread client(
        [&] { rig.ask(bus::bundleEndpoint(rig.linkId()), R"({"command":"status"})", 2s); });
    rig.destroyHandler();
    client.join();
    EXPECT_TRUE(rig.deviceMessages().empty());
}

// top -H and a debugger tell a link's threads apart by their names.
TEST(BundleLifetime, ItsThreadsAreNamedAfterTheirLink) {
    BundleRig rig(gear({device(DeviceModel::turretAlpha2, 1)}));
    const auto names = [] {
        std::set<std::string> found;
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
            std::string name;
            std::getline(std::ifstream(task.path() / "comm"), name);
            found.insert(name);
        }
        return found;
    };
    for (const auto* prefix : {"rd:", "link:", "bundle:", "status:"}) {
        const auto expected = (prefix + rig.linkId()).substr(0, 15);  // the kernel keeps 15
        EXPECT_TRUE(waitUntil([&] { return names().contains(expected); })) << expected;
    }
}

}  // namespace
}  // namespace kinetra::bundle::test
