// Bundles under concurrent clients and torn down under them: key-pose identifiers drawn by two
// bundles at once stay unique, and a bundle stopped and destroyed while a command waits on its
// link ends cleanly (the sanitizer builds check the lifetimes).
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "bundle_rig.hpp"

namespace kinetra::bundle::test {
namespace {

// Every bundle of the process draws from one counter: two storing at once never share one.
TEST(BundleLifetime, KeyposeIdentifiersStayUniqueAcrossBundlesStoringAtOnce) {
    constexpr int kStores = 15;
    std::vector<std::unique_ptr<BundleRig>> rigs;
    std::vector<std::size_t> from;
    for (int i = 0; i < 2; ++i) {
        rigs.push_back(std::make_unique<BundleRig>(gear({device(DeviceModel::turretAlpha2, 1)})));
        ASSERT_TRUE(rigs.back()->pair(Medium::canbus));
        from.push_back(rigs.back()->mark());
    }
    {
        std::vector<std::jthread> clients;
        for (auto& rig : rigs) {
            clients.emplace_back([&rig] {
                for (int n = 0; n < kStores; ++n) {
                    EXPECT_EQ(
                        rig->command({{"command", "keyposeStoreCurrentPose"}, {"index", n % 6}}),
                        (json{{"result", "ok"}}));
                }
            });
        }
    }
    // A retried store repeats its message; two stores never share an identifier.
    std::set<core::Bytes> stores;
    std::set<std::uint32_t> identifiers;
    for (std::size_t r = 0; r < rigs.size(); ++r) {
        for (const auto& message : rigs[r]->deviceMessages(from[r])) {
            if (message.opcode == 0x05 && stores.insert(message.bytes).second) {
                identifiers.insert(core::readU32BE(message.bytes, 3));
            }
        }
    }
    EXPECT_EQ(stores.size(), 2u * kStores);
    EXPECT_EQ(identifiers.size(), 2u * kStores) << "identifiers were handed out twice";
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
            try {
                std::getline(std::ifstream(task.path() / "comm"), name);
            } catch (const std::exception&) {
                continue;  // a thread that ended while the list was read
            }
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
