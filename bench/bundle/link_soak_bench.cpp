// The link under faults, as a load program: a bundle on an emulated adapter (a head with pan,
// tilt and focus, status every 50 ms) is sent mixed commands one after another, once per fault
// (replies held back past one attempt's wait, every third reply lost, noise on the line). Each
// answer is held against what the emulator recorded between the command's send and its answer:
// an acknowledgement with no accepted message of its kind behind it was credited to the wrong
// message; a focus step seen twice was applied twice; an answer later than the command's
// attempts allow came past its bound. Prints those counts (all should be 0) with the link's own
// figures. `bench_link_soak [seconds per fault] [commands per fault]`; defaults 15 and 3000.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

#include "bundle/bundle_handler.hpp"
#include "core/json.hpp"
#include "support/emulated_rig.hpp"
#include "support/wait.hpp"

namespace {

using namespace kinetra;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using model::AxisSlot;

[[noreturn]] void giveUp(const std::string& why) {
    std::fprintf(stderr, "bench_link_soak: %s\n", why.c_str());
    std::exit(1);
}

struct Fault {
    const char* name;
    sim::Faults faults;
};

// One kind of command: its request for the n-th send, the device message it writes, and the
// attempts it may make (each waits up to one reply wait).
struct Kind {
    const char* name;
    std::uint8_t opcode;
    int attempts;
    bool acknowledged;  // answered from an acknowledgement (else from a device answer)
};
const Kind kKinds[] = {
    {"motionAbort", 0x09, 3, true},
    {"focusManualMove", 0x0C, 1, true},
    {"keyposeReadNumericValues", 0x53, 3, false},
    {"joystickMove", 0x0A, 3, true},
    {"keyposeMoveFixedSpeed", 0x07, 3, true},
};

// Key poses stored before the soak, so that reads and moves name poses that exist.
constexpr std::size_t kPoses = 4;

// Distinct focus step sizes before they repeat.
constexpr std::size_t kFocusSteps = 20000;

json request(const Kind& kind, std::size_t n) {
    const std::string name = kind.name;
    if (name == "focusManualMove") {
        // A step of its own size per send: a step seen twice on the line was written twice.
        return {{"command", name}, {"deltaEnc", static_cast<int>(n % kFocusSteps) + 1}};
    }
    if (name == "keyposeReadNumericValues") {
        return {{"command", name}, {"index", n % kPoses}};
    }
    if (name == "joystickMove") {
        const double stick = n % 2 == 0 ? 0.25 : 0.0;  // a push, then the stick let go
        return {{"command", name}, {"headPan", stick}, {"headTilt", -stick}};
    }
    if (name == "keyposeMoveFixedSpeed") {
        return {{"command", name}, {"index", n % kPoses}, {"speed", 0.5}, {"acceleration", 0.5}};
    }
    return {{"command", name}};
}

struct Tally {
    std::size_t commands = 0;
    std::size_t wrongCredit = 0;      // acknowledged, yet no accepted message of its kind
    std::size_t appliedTwice = 0;     // a focus step on the line more than once
    std::size_t pastBound = 0;        // answered later than its attempts allow
    std::size_t unanswered = 0;       // no reply from the bundle at all
    std::size_t notAcknowledged = 0;  // answered acknowledged:false
    std::size_t readMismatch = 0;     // a read answered "read index different"
    std::chrono::microseconds slowest{0};
    std::map<std::string, std::size_t> results;
    std::set<std::string> wrongKinds;  // the commands that were credited wrongly
};

class SoakRig : public testing::EmulatedRig {
public:
    explicit SoakRig(sim::LinkConfig config) : EmulatedRig(std::move(config), "KSOAK01") {
        const auto info = linkInfo();
        bundle_ = std::make_unique<bundle::BundleHandler>(
            linkId(), info.portName, info.initialFoundEpoch, info, testing::fastTimings());
        if (const auto failure = pair(model::LinkConnectionType::rj45); !failure.empty()) {
            giveUp(failure);
        }
        if (!testing::waitUntil([&] { return status()["data"].is_object(); })) {
            giveUp("the bundle never decoded a status message");
        }
        for (std::size_t index = 0; index < kPoses; ++index) {
            const json stored = command({{"command", "keyposeStoreCurrentPose"}, {"index", index}});
            if (stored != json{{"result", "ok"}}) {
                giveUp("key pose " + std::to_string(index) + " not stored: " + stored.dump());
            }
        }
    }
    ~SoakRig() {
        bundle_->stop();
        bundle_.reset();
    }

private:
    std::unique_ptr<bundle::BundleHandler> bundle_;
};

Tally soak(SoakRig& rig, const Fault& fault, std::chrono::seconds budget, std::size_t most) {
    auto& emulator = rig.emulator();
    emulator.setFaults(fault.faults);
    Tally tally;
    std::set<core::Bytes> focusSteps;
    const auto end = Clock::now() + budget;
    for (std::size_t n = 0; n < most && Clock::now() < end; ++n) {
        const Kind& kind = kKinds[n % std::size(kKinds)];
        if (n % kFocusSteps == 0) {
            focusSteps.clear();  // the step sizes start over: an old step is no repeat
        }
        const auto from = rig.mark();
        const auto start = Clock::now();
        const json reply = rig.command(request(kind, n));
        const auto took =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
        ++tally.commands;
        tally.slowest = std::max(tally.slowest, took);
        // Each attempt waits one reply wait; the margin covers the queue's turn and the bus.
        if (took > kind.attempts * link::LinkWire::kReplyWait + 100ms) {
            ++tally.pastBound;
        }
        if (!reply.is_object()) {
            ++tally.unanswered;
            continue;
        }
        const std::string result = reply.value("result", "");
        ++tally.results[std::string(kind.name) + " " + result];
        const bool acknowledged = result == "ok" && reply.value("acknowledged", true);
        tally.notAcknowledged += result == "ok" && !reply.value("acknowledged", true);
        tally.readMismatch += result == "read index different";
        std::size_t accepted = 0;
        for (const auto& message : rig.deviceMessages(from)) {
            if (message.opcode != kind.opcode || !message.accepted) {
                continue;
            }
            ++accepted;
            if (kind.opcode == 0x0C && !focusSteps.insert(message.bytes).second) {
                ++tally.appliedTwice;
            }
        }
        if (kind.acknowledged && acknowledged && accepted == 0) {
            ++tally.wrongCredit;
            tally.wrongKinds.insert(kind.name);
        }
    }
    emulator.setFaults({});
    return tally;
}

}  // namespace

int main(int argc, char** argv) {
    const std::chrono::seconds budget(argc > 1 ? std::atoi(argv[1]) : 15);
    const std::size_t most = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 3000;
    spdlog::set_level(spdlog::level::off);

    auto head = testing::device(model::DeviceModel::turretAlpha2, 1);
    head.axes = model::bitOf(AxisSlot::headPan) | model::bitOf(AxisSlot::headTilt) |
                model::bitOf(AxisSlot::focus);
    auto config = testing::gear({head});
    config.timings.statusInterval = 50ms;  // 20 status messages a second
    SoakRig rig(config);

    sim::Faults delayed;
    delayed.replyDelay = link::LinkWire::kReplyWait + 40ms;
    sim::Faults dropping;
    dropping.dropEveryNthReply = 3;
    sim::Faults noisy;
    noisy.noise = true;
    const Fault faults[] = {
        {"reply delay 165 ms", delayed}, {"every 3rd reply lost", dropping}, {"noise", noisy}};

    std::printf("fault soak: %lld s or %zu commands per fault, status every 50 ms\n",
                static_cast<long long>(budget.count()), most);
    std::printf("%-22s %8s %6s %6s %6s %6s %8s %8s %8s %8s %9s %9s %8s\n", "fault", "commands",
                "wrong", "twice", "late", "none", "ack:no", "retries", "timeouts", "lateRepl",
                "rtt p50", "rtt p99", "slowest");
    bool clean = true;
    for (const auto& fault : faults) {
        const json before = rig.link("linkStatistics")["data"];
        const auto tally = soak(rig, fault, budget, most);
        const json after = rig.link("linkStatistics")["data"];
        const auto delta = [&](const char* name) {
            return after.value(name, std::uint64_t{0}) - before.value(name, std::uint64_t{0});
        };
        const auto quantile = [&](const char* name) {
            const auto& value = after["ackRoundTrip"][name];
            return value.is_number() ? value.get<double>() : -1.0;
        };
        std::printf(
            "%-22s %8zu %6zu %6zu %6zu %6zu %8zu %8llu %8llu %8llu %7.1fms %7.1fms %6.0fms\n",
            fault.name, tally.commands, tally.wrongCredit, tally.appliedTwice, tally.pastBound,
            tally.unanswered, tally.notAcknowledged,
            static_cast<unsigned long long>(delta("retries")),
            static_cast<unsigned long long>(delta("timeouts")),
            static_cast<unsigned long long>(delta("lateReplies")), quantile("p50"), quantile("p99"),
            static_cast<double>(tally.slowest.count()) / 1000.0);
        std::printf("%-22s discarded frames %llu, read index different %zu;", "",
                    static_cast<unsigned long long>(delta("discarded")), tally.readMismatch);
        for (const auto& kind : tally.wrongKinds) {
            std::printf(" credited wrongly: %s,", kind.c_str());
        }
        for (const auto& [what, count] : tally.results) {
            std::printf(" %s: %zu,", what.c_str(), count);
        }
        std::printf("\n");
        clean = clean && tally.wrongCredit == 0 && tally.appliedTwice == 0 &&
                tally.pastBound == 0 && tally.unanswered == 0;
    }
    std::printf("targets (wrong credit, applied twice, past bound, unanswered all 0): %s\n",
                clean ? "met" : "MISSED");
    return clean ? 0 : 2;
}
