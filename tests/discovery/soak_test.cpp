// A bounded soak of the device service: emulated links found and lost over and over while
// clients send commands and read status. Nothing may crash, hang or leak; the figures are
// printed for the record. KINETRA_SOAK_SECONDS sets the length (default 45 s).
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "bus/endpoints.hpp"
#include "bus/service_loop.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "config/configuration_controller.hpp"
#include "discovery/bundle_controller.hpp"
#include "sim/emulated_link.hpp"
#include "sim/registration.hpp"
#include "support/temporary_tree.hpp"

namespace kinetra::discovery {
namespace {

using namespace std::chrono_literals;

constexpr const char* kConfiguration = "inproc://soak/configuration";

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // shadow memory and quarantine grow by design
#else
constexpr bool kSanitized = false;
#endif

std::chrono::seconds soakLength() {
    const char* text = std::getenv("KINETRA_SOAK_SECONDS");
    return std::chrono::seconds(text != nullptr ? std::atoi(text) : 45);
}

long residentKilobytes() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

/// One request with bounded send and receive; false when the service was not there or silent.
bool ask(zmq::context_t& context, const std::string& endpoint, const json& request,
         std::string* reply = nullptr) {
    auto socket = bus::makeRequestSocket(context, endpoint, {.sendTimeout = 1s});
    if (!socket.send(zmq::buffer(core::dumpCompact(request)), zmq::send_flags::none)) {
        return false;
    }
    const auto answer = bus::receiveWithin(socket, 2s);
    if (answer && reply != nullptr) {
        *reply = answer->to_string_view();
    }
    return answer.has_value();
}

TEST(Soak, LinksComeAndGoWhileClientsDriveThem) {
    testing::TemporaryTree tree;
    config::ConfigurationController configuration(tree.root().string() + "/cfg/", kConfiguration);
    ControllerOptions options;
    options.listPorts = [] { return std::optional(std::vector<serial::PortListing>{}); };
    options.linkTimings.pollerPause = 50ms;
    auto context = bus::SocketRegistry::instance().context();
    BundleController controller(kConfiguration, options);

    std::vector<std::unique_ptr<sim::EmulatedLink>> emulators;
    for (const char* id : {"KSOAK00000001", "KSOAK00000002"}) {
        sim::LinkConfig config;
        config.linkID = id;
        emulators.push_back(std::make_unique<sim::EmulatedLink>(config));
    }
    const auto device = std::string(bus::kDeviceEndpoint);

    std::atomic<bool> done{false};
    std::atomic<long> sent{0};
    std::atomic<long> answered{0};
    std::vector<std::jthread> clients;
    for (const auto& emulator : emulators) {
        const std::string bundle = bus::bundleEndpoint(emulator->config().linkID);
        clients.emplace_back([&, bundle] {
            for (int round = 0; !done; ++round) {
                const json request = {{"command", "realTimeMoveFixedDuration"},
                                      {"duration", 0.1},
                                      {"headPan", round % 90},
                                      {"headTilt", 1},
                                      {"slide", 0.5}};
                ++sent;
                answered += ask(*context, bundle, request) ? 1 : 0;
                ask(*context, bundle + "/status", json::object());
                std::this_thread::sleep_for(5ms);
            }
        });
    }

    const auto length = soakLength();
    const auto start = std::chrono::steady_clock::now();
    long cycles = 0;
    long startKilobytes = 0;
    while (std::chrono::steady_clock::now() - start < length) {
        for (const auto& emulator : emulators) {
            const auto& config = emulator->config();
            ASSERT_TRUE(ask(*context, device, sim::deviceFoundRequest(config, emulator->path())));
            // Paired half of the time, so commands reach the devices as well as the gate.
            if (cycles % 2 == 0) {
                ask(*context, bus::linkEndpoint(config.linkID),
                    {{"command", "link1PairingConnect"}});
            }
        }
        std::this_thread::sleep_for(300ms);
        std::string links;
        ASSERT_TRUE(ask(*context, device, {{"command", "linkStatus"}}, &links));
        for (const auto& emulator : emulators) {
            ASSERT_TRUE(ask(*context, device,
                            sim::deviceDisconnectedRequest(emulator->config(), emulator->path())));
        }
        ++cycles;
        if (startKilobytes == 0 && std::chrono::steady_clock::now() - start > length / 4) {
            startKilobytes = residentKilobytes();  // after the warm-up
        }
    }
    done = true;
    clients.clear();
    const long endKilobytes = residentKilobytes();

    std::printf(
        "soak: %lld s, %ld found/lost cycles of %zu links, %ld commands sent, %ld "
        "answered, resident memory %ld kB after warm-up, %ld kB at the end\n",
        static_cast<long long>(length.count()), cycles, emulators.size(), sent.load(),
        answered.load(), startKilobytes, endKilobytes);
    EXPECT_GT(cycles, 0);
    EXPECT_GT(answered.load(), 0);
    if (!kSanitized && startKilobytes > 0) {
        EXPECT_LT(endKilobytes - startKilobytes, 16 * 1024) << "resident memory kept growing";
    }
}

}  // namespace
}  // namespace kinetra::discovery
