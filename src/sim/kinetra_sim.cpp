// kinetra-sim: one emulated link module on a pseudo-terminal, for trying the server without
// hardware. The main thread starts the emulator, prints the terminal's path and waits for
// SIGINT or SIGTERM, switching silence on each SIGUSR1; the emulator runs on its own thread.
#include <pthread.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string_view>
#include <vector>

#include <spdlog/spdlog.h>

#include "core/json.hpp"
#include "core/logging.hpp"
#include "platform/process.hpp"
#include "platform/thread_name.hpp"
#include "sim/emulated_link.hpp"
#include "sim/options.hpp"
#include "sim/registration.hpp"

namespace {
constexpr std::chrono::milliseconds kServerTimeout{3000};
// A server that has just started listens before its device service is up and answers
// "offline" meanwhile: the plug-in announcement is repeated until the service itself answers.
constexpr std::chrono::milliseconds kAnnounceRetryPause{200};
constexpr std::chrono::seconds kAnnounceDeadline{20};

bool answeredOffline(const std::string& reply) {
    const auto parsed = kinetra::json::parse(reply, nullptr, false);
    return parsed.is_object() && parsed.value("result", "") == "offline";
}

// Silence on, or off again: the line goes quiet as if its cable were pulled, while the emulator
// still takes what the host writes.
void switchSilence(kinetra::sim::EmulatedLink& link) {
    bool silent = false;
    link.updateFaults([&silent](kinetra::sim::Faults& faults) {
        faults.silent = !faults.silent;
        silent = faults.silent;
    });
    spdlog::info("{0}: {1}", link.config().linkID,
                 silent ? "silent, until the next SIGUSR1" : "talking again");
}

// Takes the signals that arrive within `pause` (or for ever, without one): SIGUSR1 switches
// silence and the wait goes on. True when SIGINT or SIGTERM came.
bool awaitShutdown(const sigset_t& signals, kinetra::sim::EmulatedLink& link,
                   std::optional<std::chrono::milliseconds> pause) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + pause.value_or(std::chrono::milliseconds(0));
    for (;;) {
        int received = -1;
        if (pause) {
            const auto left = std::chrono::ceil<std::chrono::nanoseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return false;
            }
            const timespec wait{static_cast<time_t>(left.count() / 1'000'000'000),
                                static_cast<long>(left.count() % 1'000'000'000)};
            received = sigtimedwait(&signals, nullptr, &wait);
        } else if (sigwait(&signals, &received) != 0) {
            received = -1;
        }
        if (received == SIGUSR1) {
            switchSilence(link);
        } else if (received > 0) {
            return true;
        }
    }
}
}  // namespace

int main(int argc, char** argv) {
    using namespace kinetra;

    const std::vector<std::string_view> arguments(argv + 1, argv + argc);
    const auto parsed = sim::parseOptions(arguments);
    if (!parsed.options) {
        std::fprintf(stderr, "kinetra-sim: %s\n\n%.*s", parsed.error.c_str(),
                     static_cast<int>(sim::usage().size()), sim::usage().data());
        return 2;
    }
    if (parsed.options->help) {
        std::fwrite(sim::usage().data(), 1, sim::usage().size(), stdout);
        return 0;
    }

    // Blocked before the emulator's thread exists, so only the waits below take them.
    sigset_t signals = platform::blockShutdownSignals();
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    core::initLogging([] { platform::nameThisThread("log"); });
    sim::EmulatedLink link(parsed.options->config);
    link.setFaults(parsed.options->faults);
    // The path first and alone on its line: scripts and tests read it from there.
    std::printf("%s\n", link.path().c_str());
    std::fflush(stdout);

    const auto& config = link.config();
    spdlog::info("{0}: emulated {1} on {2}, controller {3}, radio {4}, {5} device(s)",
                 config.linkID, model::kLinkTypeTable.nameOf(config.linkType), link.path(),
                 config.controllerVersion, config.radioVersion, config.devices.size());
    for (const auto& device : config.devices) {
        spdlog::info("{0}: {1} firmware {2}", config.linkID, model::nameOf(device.model),
                     device.firmwareVersion);
    }

    const auto announce = [&](const json& request) {
        const auto& server = *parsed.options->server;
        const auto reply = sim::postJson(server.host, server.port, "/v1/device",
                                         core::dumpCompact(request), kServerTimeout);
        if (!reply) {
            spdlog::warn("{0}: no server answered at {1}:{2}", config.linkID, server.host,
                         server.port);
        }
        return reply;
    };

    // The pause between announcements is a wait for the shutdown signals, so that a signal
    // ends the retries at once.
    bool signalled = false;
    bool registered = false;
    if (parsed.options->server) {
        const auto deadline = std::chrono::steady_clock::now() + kAnnounceDeadline;
        for (;;) {
            const auto reply = announce(sim::deviceFoundRequest(config, link.path()));
            registered = reply.has_value() && !answeredOffline(*reply);
            if (registered || !reply || std::chrono::steady_clock::now() >= deadline) {
                break;
            }
            if (awaitShutdown(signals, link, kAnnounceRetryPause)) {
                signalled = true;
                break;
            }
        }
        if (!registered && !signalled) {
            spdlog::warn("{0}: the server's device service did not take the link", config.linkID);
        }
    }

    if (!signalled) {
        awaitShutdown(signals, link, std::nullopt);
    }
    spdlog::info("{0}: stopping", config.linkID);
    if (registered) {
        announce(sim::deviceDisconnectedRequest(config, link.path()));
    }
    return 0;
}
