// MQTT figures in one run: Debian's mosquitto on a free loopback port and two kinetra-server
// processes, one with MQTT off and one publishing to the broker, each with the same number of
// emulated links (this program's threads) paired and streaming status at 20 messages a second.
// Prints (a) the latency from the emulator writing a status message to this program's MQTT
// subscriber receiving it through the broker, p50 and p99, and (b) each server's CPU per link
// over the same window, MQTT on against off as a ratio.
#include <fcntl.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>

#include "core/json.hpp"
#include "e2e/running_server.hpp"
#include "sim/emulated_link.hpp"
#include "sim/registration.hpp"

extern char** environ;

namespace {

using namespace kinetra;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kLinksPerServer = 4;
constexpr auto kStepTimeout = 20s;
const std::string kPrefix = "kinetra/bench";

[[noreturn]] void giveUp(const std::string& why) {
    std::fprintf(stderr, "bench_mqtt: %s\n", why.c_str());
    std::exit(1);
}

template <typename Done>
void awaitStep(const std::string& what, Done done) {
    const auto deadline = Clock::now() + kStepTimeout;
    while (!done()) {
        if (Clock::now() > deadline) {
            giveUp(what);
        }
        std::this_thread::sleep_for(50ms);
    }
}

// What a thread has done so far (schedstat): nanoseconds on a core, times it was scheduled.
struct Run {
    long long nanos = 0;
    long long turns = 0;
};

// Each thread of a process by id, with its name up to ':'.
std::map<int, std::pair<Run, std::string>> threadRuns(int pid) {
    std::map<int, std::pair<Run, std::string>> result;
    std::error_code error;
    const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& entry : fs::directory_iterator(tasks, error)) {
        Run run;
        long long waited = 0;
        std::ifstream(entry.path() / "schedstat") >> run.nanos >> waited >> run.turns;
        std::string name;
        std::getline(std::ifstream(entry.path() / "comm") >> std::ws, name);
        result[std::stoi(entry.path().filename().string())] = {run, name.substr(0, name.find(':'))};
    }
    return result;
}

// What each thread name did between two samples.
std::map<std::string, Run> ranBetween(const std::map<int, std::pair<Run, std::string>>& before,
                                      const std::map<int, std::pair<Run, std::string>>& after) {
    std::map<std::string, Run> ran;
    for (const auto& [tid, entry] : after) {
        const auto earlier = before.find(tid);
        const Run start = earlier == before.end() ? Run{} : earlier->second.first;
        ran[entry.second].nanos += entry.first.nanos - start.nanos;
        ran[entry.second].turns += entry.first.turns - start.turns;
    }
    return ran;
}

long long total(const std::map<std::string, Run>& ran) {
    long long sum = 0;
    for (const auto& [name, run] : ran) {
        sum += run.nanos;
    }
    return sum;
}

// A child process in its own temporary tree, output to a log file there.
class Child {
public:
    Child(const std::string& name, std::vector<std::string> argv, const std::string& config,
          const std::string& configName) {
        std::string pattern = (fs::temp_directory_path() / ("kinetra-bench-" + name + "-XXXXXX"));
        if (::mkdtemp(pattern.data()) == nullptr) {
            giveUp("no temporary directory");
        }
        root_ = pattern;
        for (const char* folder : {"bin", "cfg", "res", "www", "firmware", "tmp"}) {
            fs::create_directories(root_ / folder);
        }
        std::ofstream(root_ / configName) << config;
        for (auto& argument : argv) {
            if (argument == "CONFIG") {
                argument = (root_ / configName).string();
            }
        }
        const std::string tmp = "TMPDIR=" + (root_ / "tmp").string();
        const std::string log = (root_ / "tmp/output.log").string();
        std::vector<char*> environment;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            if (std::string_view(*entry).substr(0, 7) != "TMPDIR=") {
                environment.push_back(*entry);
            }
        }
        environment.push_back(const_cast<char*>(tmp.c_str()));
        environment.push_back(nullptr);
        std::vector<char*> arguments;
        for (auto& argument : argv) {
            arguments.push_back(argument.data());
        }
        arguments.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, (root_ / "bin").c_str());
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, arguments.data(),
                        environment.data()) != 0) {
            giveUp(argv[0] + " did not start");
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() {
        ::kill(pid_, SIGTERM);
        const auto deadline = Clock::now() + 10s;
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(20ms);
        }
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    int pid() const { return pid_; }

private:
    fs::path root_;
    pid_t pid_ = -1;
};

struct Server {
    std::uint16_t httpPort = freePort();
    std::unique_ptr<Child> process;
    std::vector<std::unique_ptr<sim::EmulatedLink>> links;

    Server(const std::string& name, const std::string& more) {
        std::ostringstream config;
        config << "[httpserver]\naddress=127.0.0.1\nport=" << httpPort
               << "\n[webserver]\naddress=127.0.0.1\nport=" << freePort()
               << "\n[websocket]\naddress=127.0.0.1\nport=" << freePort() << "\n"
               << more;
        process = std::make_unique<Child>(name, std::vector<std::string>{KINETRA_SERVER_PATH},
                                          config.str(), "cfg/config.ini");
    }
    std::optional<json> post(const std::string& path, const json& body) const {
        const auto reply =
            sim::postJson("127.0.0.1", httpPort, path, core::dumpCompact(body), 3000ms);
        return reply ? std::optional(json::parse(*reply, nullptr, false)) : std::nullopt;
    }
    void plugInAndPair(const std::string& name) {
        awaitStep(name + " never answered", [&] {
            return post("/v1/device", {{"command", "linkStatus"}}).has_value();
        });
        for (int index = 0; index < kLinksPerServer; ++index) {
            sim::LinkConfig config;
            config.linkID = name + std::to_string(index);
            links.push_back(std::make_unique<sim::EmulatedLink>(config));
            const auto request = sim::deviceFoundRequest(config, links.back()->path());
            awaitStep("the device service did not take " + config.linkID, [&] {
                const auto reply = post("/v1/device", request);
                return reply && reply->is_object() && reply->value("result", "") != "offline";
            });
        }
        for (const auto& link : links) {
            const std::string path = "/v1/link/" + link->config().linkID;
            awaitStep(link->config().linkID + " never paired", [&] {
                const auto status = post(path, {{"command", "status"}});
                if (status && status->is_object() && status->value("isPairingDone", false)) {
                    return true;
                }
                post(path, {{"command", "link1PairingConnect"}});
                return false;
            });
        }
    }
};

// Every status write of one emulated link, as (steady time) in order, from a watcher thread.
class WriteLog {
public:
    explicit WriteLog(const sim::EmulatedLink& link) : link_(link) {
        thread_ = std::jthread([this](std::stop_token stop) {
            std::size_t seen = link_.state().statusMessagesSent;
            while (!stop.stop_requested()) {
                sim::EmulatorState state;
                if (!link_.waitForState(
                        [&](const sim::EmulatorState& s) {
                            state = s;
                            return s.statusMessagesSent > seen;
                        },
                        200ms)) {
                    continue;
                }
                // Two writes within one wake-up of this thread: only the later one is known.
                std::lock_guard lock(mutex_);
                writes_.push_back(state.lastStatusSentAt);
                seen = state.statusMessagesSent;
            }
        });
    }
    std::vector<Clock::time_point> writes() {
        std::lock_guard lock(mutex_);
        return writes_;
    }

private:
    const sim::EmulatedLink& link_;
    std::mutex mutex_;  // guards writes_
    std::vector<Clock::time_point> writes_;
    std::jthread thread_;
};

// The subscriber: every status of `topic` with the time it arrived and its device timestamp.
class Subscriber {
public:
    struct Arrival {
        Clock::time_point at;
        std::uint32_t deviceMs;
    };
    static constexpr const char* kPing = "bench/ping";

    Subscriber(std::uint16_t port, std::string topic) : topic_(std::move(topic)) {
        mosquitto_lib_init();
        client_ = mosquitto_new(nullptr, true, this);
        mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        mosquitto_connect_v5_callback_set(
            client_, [](struct mosquitto* m, void* self, int, int, const mosquitto_property*) {
                mosquitto_subscribe_v5(m, nullptr, static_cast<Subscriber*>(self)->topic_.c_str(),
                                       0, 0, nullptr);
                mosquitto_subscribe_v5(m, nullptr, kPing, 0, 0, nullptr);
            });
        mosquitto_message_v5_callback_set(
            client_, [](struct mosquitto*, void* self, const mosquitto_message* message,
                        const mosquitto_property*) {
                const auto at = Clock::now();
                auto& self_ = *static_cast<Subscriber*>(self);
                if (std::string_view(message->topic) == kPing) {
                    const auto sent = Clock::time_point(Clock::duration(
                        std::stoll(std::string(static_cast<const char*>(message->payload),
                                               static_cast<std::size_t>(message->payloadlen)))));
                    std::lock_guard lock(self_.mutex_);
                    self_.pings_.push_back(
                        std::chrono::duration<double, std::micro>(at - sent).count());
                    return;
                }
                const auto status =
                    json::parse(std::string_view(static_cast<const char*>(message->payload),
                                                 static_cast<std::size_t>(message->payloadlen)),
                                nullptr, false);
                if (!status.is_object() || !status["timestampDevice"].is_number()) {
                    return;
                }
                std::lock_guard lock(self_.mutex_);
                self_.arrivals_.push_back({at, status["timestampDevice"].get<std::uint32_t>()});
            });
        mosquitto_connect_bind_v5(client_, "127.0.0.1", port, 30, nullptr, nullptr);
        mosquitto_loop_start(client_);
    }
    ~Subscriber() {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, false);
        mosquitto_destroy(client_);
    }
    std::vector<Arrival> arrivals() {
        std::lock_guard lock(mutex_);
        return arrivals_;
    }
    /// Sends one message through the broker to itself, stamped with the time.
    void ping() {
        const auto text = std::to_string(Clock::now().time_since_epoch().count());
        mosquitto_publish_v5(client_, nullptr, kPing, static_cast<int>(text.size()), text.data(), 0,
                             false, nullptr);
    }
    /// The pings' latencies in microseconds, sorted.
    std::vector<double> pings() {
        std::lock_guard lock(mutex_);
        auto sorted = pings_;
        std::sort(sorted.begin(), sorted.end());
        return sorted;
    }

private:
    std::string topic_;
    struct mosquitto* client_ = nullptr;
    std::mutex mutex_;  // guards arrivals_, pings_
    std::vector<Arrival> arrivals_;
    std::vector<double> pings_;
};

// Latencies in microseconds: each arrival matched to the write its device timestamp names. The
// timestamp counts whole milliseconds since the emulator's power-on, so write time minus
// timestamp is the same for every message within 1 ms; its smallest value is learnt from the
// arrivals matched to the nearest earlier write (right while latencies stay well under the
// 50 ms between messages), then every arrival is matched to the one write in its window.
std::vector<double> latencies(const std::vector<Subscriber::Arrival>& arrivals,
                              const std::vector<Clock::time_point>& writes) {
    const auto before = [&](Clock::time_point at) {
        auto it = std::upper_bound(writes.begin(), writes.end(), at);
        return it == writes.begin() ? std::optional<Clock::time_point>() : *std::prev(it);
    };
    std::vector<Clock::duration> offsets;
    for (const auto& arrival : arrivals) {
        if (const auto write = before(arrival.at)) {
            offsets.push_back(*write - std::chrono::milliseconds(arrival.deviceMs) -
                              Clock::time_point());
        }
    }
    if (offsets.empty()) {
        return {};
    }
    std::sort(offsets.begin(), offsets.end());
    const auto powerOn = offsets[offsets.size() / 10];  // low, but not the odd mismatch
    std::vector<double> result;
    for (const auto& arrival : arrivals) {
        const auto named =
            Clock::time_point() + powerOn + std::chrono::milliseconds(arrival.deviceMs);
        const auto write = std::lower_bound(writes.begin(), writes.end(), named - 1ms);
        if (write != writes.end() && *write < named + 2ms && *write <= arrival.at) {
            result.push_back(
                std::chrono::duration<double, std::micro>(arrival.at - *write).count());
        }
    }
    std::sort(result.begin(), result.end());
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    const std::chrono::seconds window(argc > 1 ? std::atoi(argv[1]) : 10);
    spdlog::set_level(spdlog::level::warn);
    const std::uint16_t brokerPort = freePort();
    Child broker("broker", {"/usr/sbin/mosquitto", "-c", "CONFIG"},
                 std::string(::geteuid() == 0 ? "user root\n" : "") + "listener " +
                     std::to_string(brokerPort) +
                     // Without it the broker holds each small message behind the subscriber's
                     // delayed acknowledgement of the one before (Nagle's algorithm, 40 ms).
                     " 127.0.0.1\nallow_anonymous true\nset_tcp_nodelay true\n",
                 "mosquitto.conf");
    Server off("off", "");
    Server on("on", "[mqtt]\nurl=mqtt://127.0.0.1:" + std::to_string(brokerPort) +
                        "\ntopicPrefix=" + kPrefix + "\nstatusRate=50\n");
    off.plugInAndPair("KBOFF");
    on.plugInAndPair("KBON");
    const auto& measured = *on.links.front();
    Subscriber subscriber(brokerPort, kPrefix + "/" + measured.config().linkID + "/status");
    WriteLog writes(measured);
    std::this_thread::sleep_for(1s);

    const auto offBefore = threadRuns(off.process->pid());
    const auto onBefore = threadRuns(on.process->pid());
    const auto start = Clock::now();
    // The baseline: a message through the broker alone, at the status rate, meanwhile.
    while (Clock::now() - start < window) {
        subscriber.ping();
        std::this_thread::sleep_for(50ms);
    }
    const auto offRan = ranBetween(offBefore, threadRuns(off.process->pid()));
    const auto onRan = ranBetween(onBefore, threadRuns(on.process->pid()));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const auto percentPerLink = [&](long long nanos) {
        return 100.0 * static_cast<double>(nanos) / 1e9 / seconds / kLinksPerServer;
    };

    const auto arrivals = subscriber.arrivals();
    const auto samples = latencies(arrivals, writes.writes());
    if (samples.empty()) {
        giveUp("no status reached the subscriber");
    }
    const auto percentile = [](const std::vector<double>& sorted, std::size_t p) {
        return sorted.empty()
                   ? 0.0
                   : sorted[std::min(sorted.size() - 1, sorted.size() * p / 100)] / 1000.0;
    };
    const double p50 = percentile(samples, 50);
    const double p99 = percentile(samples, 99);
    const auto pings = subscriber.pings();
    double load = 0;
    std::ifstream("/proc/loadavg") >> load;
    std::printf(
        "bench_mqtt: mosquitto on loopback, %d emulated links per server at 20 status/s, "
        "statusRate 50 (above the status rate: no message waits for its turn), a window of %lld "
        "s; load average %.1f on %u cores\n",
        kLinksPerServer, static_cast<long long>(window.count()), load,
        std::thread::hardware_concurrency());
    std::printf(
        "(a) emulator write -> MQTT subscriber: p50 %.3f ms, p99 %.3f ms (%zu of %zu "
        "messages matched)\n",
        p50, p99, samples.size(), arrivals.size());
    const double base50 = percentile(pings, 50);
    const double base99 = percentile(pings, 99);
    std::printf(
        "    baseline, this program -> broker -> this program: p50 %.3f ms, p99 %.3f ms; "
        "status / baseline p50 %.1f, p99 %.1f\n",
        base50, base99, base50 > 0 ? p50 / base50 : 0.0, base99 > 0 ? p99 / base99 : 0.0);
    const double cpuOff = percentPerLink(total(offRan));
    const double cpuOn = percentPerLink(total(onRan));
    const double added = cpuOff > 0 ? (cpuOn / cpuOff - 1) * 100 : 0;
    std::printf(
        "(b) server CPU per link: MQTT off %.3f %%, on %.3f %% of a core; on / off %.2f "
        "(MQTT adds %.1f %%)\n",
        cpuOff, cpuOn, cpuOff > 0 ? cpuOn / cpuOff : 0.0, added);
    // Status messages the "on" server took in the window, for the turns per message.
    const double messages = 20.0 * seconds * kLinksPerServer;
    for (const auto& [label, ran] : {std::pair{"off", &offRan}, {"on", &onRan}}) {
        std::printf("    MQTT %-3s by thread, %% of a core per link (turns per status message):",
                    label);
        for (const auto& [name, run] : *ran) {
            if (percentPerLink(run.nanos) >= 0.0005) {
                std::printf(" %s %.3f (%.1f)", name.c_str(), percentPerLink(run.nanos),
                            static_cast<double>(run.turns) / messages);
            }
        }
        std::printf("\n");
    }
    std::printf("targets: p50 under 2 ms: %s; MQTT adds under 20 %% CPU per link: %s\n",
                p50 < 2.0 ? "met" : "MISSED", added < 20.0 ? "met" : "MISSED");
    return 0;
}
