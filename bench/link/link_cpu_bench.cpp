// The server's CPU per link: kinetra-server in a temporary tree on loopback ports, ten emulated
// link adapters (this program's own threads) announced to it, measured first idle (versions
// known, not paired: no status messages) and then paired and streaming status at 20 messages a
// second each; once with the link statistics switched off (the baseline) and once on. Reads the
// server's /proc/<pid>/stat and task list; prints % of a core per link, threads per link, where
// the CPU goes by thread role, streaming against idle and statistics on against off as ratios.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
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

constexpr int kLinks = 10;
constexpr auto kStepTimeout = 20s;

[[noreturn]] void giveUp(const std::string& why) {
    std::fprintf(stderr, "bench_link_cpu: %s\n", why.c_str());
    std::exit(1);
}

std::string readFile(const fs::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// utime + stime of a process or one of its tasks, in clock ticks, and its name.
struct Ticks {
    long long cpu = 0;
    std::string name;
    long long nanoseconds = 0;  // run time from schedstat: finer than clock ticks
};

// The first field of /proc/<pid>/task/<tid>/schedstat: nanoseconds the task has run.
long long runNanoseconds(const fs::path& schedstat) {
    std::ifstream file(schedstat);
    long long nanoseconds = 0;
    file >> nanoseconds;
    return nanoseconds;
}

Ticks ticksOf(const fs::path& stat) {
    const auto text = readFile(stat);
    const auto open = text.find('(');
    const auto close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos) {
        return {};
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long long utime = 0;
    long long stime = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14) {
            utime = std::stoll(field);
        } else if (index == 15) {
            stime = std::stoll(field);
        }
    }
    return {utime + stime, text.substr(open + 1, close - open - 1)};
}

// The role of a thread: its name up to the link id ("rd:KB0001" -> "rd").
std::string roleOf(const std::string& name) {
    const auto colon = name.find(':');
    return colon == std::string::npos ? name : name.substr(0, colon);
}

struct Sample {
    long long process = 0;
    std::map<int, Ticks> tasks;
};

Sample sample(int pid) {
    Sample result;
    const fs::path proc = "/proc/" + std::to_string(pid);
    result.process = ticksOf(proc / "stat").cpu;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(proc / "task", error)) {
        auto& task = result.tasks[std::stoi(entry.path().filename().string())];
        task = ticksOf(entry.path() / "stat");
        task.nanoseconds = runNanoseconds(entry.path() / "schedstat");
    }
    return result;
}

class Server {
public:
    /// `statistics` false: the server skips the links' per-frame counting and health feed.
    explicit Server(bool statistics = true) {
        std::string pattern = (fs::temp_directory_path() / "kinetra-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            giveUp("no temporary directory");
        }
        root_ = pattern;
        for (const char* folder : {"bin", "cfg", "res", "www", "firmware", "tmp"}) {
            fs::create_directories(root_ / folder);
        }
        std::ofstream(root_ / "cfg/config.ini")
            << "[httpserver]\naddress=127.0.0.1\nport=" << httpPort_
            << "\n[webserver]\naddress=127.0.0.1\nport=" << freePort()
            << "\n[websocket]\naddress=127.0.0.1\nport=" << freePort() << "\n";

        const std::string program = KINETRA_SERVER_PATH;
        const std::string tmp = "TMPDIR=" + (root_ / "tmp").string();
        const std::string log = (root_ / "tmp/server.log").string();
        std::vector<char*> environment;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string_view variable(*entry);
            if (!variable.starts_with("TMPDIR=") &&
                !variable.starts_with("KINETRA_LINK_STATISTICS=")) {
                environment.push_back(*entry);
            }
        }
        environment.push_back(const_cast<char*>(tmp.c_str()));
        static char countersOff[] = "KINETRA_LINK_STATISTICS=off";
        if (!statistics) {
            environment.push_back(countersOff);
        }
        environment.push_back(nullptr);
        char* arguments[] = {const_cast<char*>(program.c_str()), nullptr};

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, (root_ / "bin").c_str());
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        const int error =
            posix_spawn(&pid_, program.c_str(), &actions, nullptr, arguments, environment.data());
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0) {
            giveUp("kinetra-server did not start");
        }
    }
    ~Server() {
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
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    int pid() const { return pid_; }

    std::optional<json> post(const std::string& path, const json& body) const {
        const auto reply =
            sim::postJson("127.0.0.1", httpPort_, path, core::dumpCompact(body), 3000ms);
        if (!reply) {
            return std::nullopt;
        }
        return json::parse(*reply, nullptr, false);
    }

private:
    fs::path root_;
    std::uint16_t httpPort_ = freePort();
    pid_t pid_ = -1;
};

// Polls `done` every 50 ms for at most kStepTimeout; set-up, not a measurement.
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

std::string linkPath(const sim::EmulatedLink& link) {
    return "/v1/link/" + link.config().linkID;
}

std::optional<json> linkStatus(const Server& server, const sim::EmulatedLink& link) {
    auto reply = server.post(linkPath(link), json{{"command", "status"}});
    // Empty until the adapter's status is known, then the link record.
    if (!reply || !reply->is_object() || !reply->contains("linkID")) {
        return std::nullopt;
    }
    return reply;
}

bool linkField(const Server& server, const sim::EmulatedLink& link, const char* field) {
    const auto status = linkStatus(server, link);
    if (!status) {
        return false;
    }
    return status->value(field, false);
}

struct Window {
    double percentPerLink = 0;
    double precisePercentPerLink = 0;  // from the tasks' run time in nanoseconds
    // The run time of each link's own threads (named "<role>:<link id>"), lowest first. On a
    // virtual machine a thread is charged for the time its processor was taken away while it
    // ran: the same work with the same wake-ups was seen cost 20 to 800 us a wake-up from one
    // link to the next. That only ever adds, so the lower quartile over the links is the
    // figure to compare.
    std::vector<double> linkPercents;
    double linkLowerQuartile() const {
        return linkPercents.empty() ? 0.0 : linkPercents[linkPercents.size() / 4];
    }
    double threadsPerLink = 0;
    std::map<std::string, double> percentByRole;  // per link
    std::size_t statusMessages = 0;
};

Window measure(int pid, std::size_t baseThreads, std::chrono::seconds length,
               const std::vector<std::unique_ptr<sim::EmulatedLink>>& links) {
    const auto sent = [&] {
        std::size_t count = 0;
        for (const auto& link : links) {
            count += link->state().statusMessagesSent;
        }
        return count;
    };
    const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
    const auto sentBefore = sent();
    const auto before = sample(pid);
    const auto start = Clock::now();
    std::this_thread::sleep_for(length);
    const auto after = sample(pid);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    Window window;
    window.statusMessages = sent() - sentBefore;
    const auto percent = [&](long long ticks) {
        return 100.0 * static_cast<double>(ticks) / tick / seconds / kLinks;
    };
    window.percentPerLink = percent(after.process - before.process);
    window.threadsPerLink =
        (static_cast<double>(after.tasks.size()) - static_cast<double>(baseThreads)) / kLinks;
    std::map<std::string, double> byLink;
    for (const auto& [tid, ticks] : after.tasks) {
        const auto earlier = before.tasks.find(tid);
        const long long used =
            ticks.cpu - (earlier == before.tasks.end() ? 0 : earlier->second.cpu);
        window.percentByRole[roleOf(ticks.name)] += percent(used);
        const long long ran =
            ticks.nanoseconds - (earlier == before.tasks.end() ? 0 : earlier->second.nanoseconds);
        window.precisePercentPerLink += 100.0 * static_cast<double>(ran) / 1e9 / seconds / kLinks;
        if (const auto colon = ticks.name.find(':'); colon != std::string::npos) {
            byLink[ticks.name.substr(colon + 1)] +=
                100.0 * static_cast<double>(ran) / 1e9 / seconds;
        }
    }
    for (const auto& [link, share] : byLink) {
        window.linkPercents.push_back(share);
    }
    std::sort(window.linkPercents.begin(), window.linkPercents.end());
    return window;
}

void print(const char* label, const Window& window) {
    std::printf("%-10s %7.3f %% of a core per link, %4.1f threads per link, %zu status messages\n",
                label, window.percentPerLink, window.threadsPerLink, window.statusMessages);
    for (const auto& [role, percent] : window.percentByRole) {
        if (percent >= 0.0005) {
            std::printf("           %-16s %7.3f %%\n", role.c_str(), percent);
        }
    }
}

struct Run {
    Window idle;
    Window streaming;
};

// One server with kLinks emulated adapters: idle (versions known, not paired), then paired and
// streaming. Links get names of their own per run (`tag`), as bus names are not reused.
Run measureServer(bool statistics, std::chrono::seconds length, const std::string& tag) {
    Server server(statistics);
    awaitStep("kinetra-server never answered", [&] {
        return server.post("/v1/device", json{{"command", "linkStatus"}}).has_value();
    });
    std::this_thread::sleep_for(1s);  // let start-up work settle before counting threads
    const auto baseThreads = sample(server.pid()).tasks.size();

    std::vector<std::unique_ptr<sim::EmulatedLink>> links;
    for (int index = 0; index < kLinks; ++index) {
        sim::LinkConfig config;
        config.linkID = "KBCPU" + tag + std::to_string(index);
        links.push_back(std::make_unique<sim::EmulatedLink>(config));
        const auto request = sim::deviceFoundRequest(config, links.back()->path());
        awaitStep("the device service did not take " + config.linkID, [&] {
            const auto reply = server.post("/v1/device", request);
            // Until its device service is up, the gateway answers "offline".
            return reply && reply->is_object() && reply->value("result", "") != "offline";
        });
    }
    for (const auto& link : links) {
        awaitStep("the status of " + link->config().linkID + " never became known",
                  [&] { return linkStatus(server, *link).has_value(); });
    }
    std::this_thread::sleep_for(1s);
    Run run;
    run.idle = measure(server.pid(), baseThreads, length, links);

    for (const auto& link : links) {
        const auto reply = server.post(linkPath(*link), json{{"command", "link1PairingConnect"}});
        if (!reply || reply->value("result", "") != "ok") {
            giveUp("link1PairingConnect was not answered ok");
        }
    }
    for (const auto& link : links) {
        awaitStep(link->config().linkID + " never paired",
                  [&] { return linkField(server, *link, "isPairingDone"); });
    }
    std::this_thread::sleep_for(1s);
    run.streaming = measure(server.pid(), baseThreads, length, links);
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    const std::chrono::seconds length(argc > 1 ? std::atoi(argv[1]) : 10);
    const int pairs = std::max(1, argc > 2 ? std::atoi(argv[2]) : 3);
    spdlog::set_level(spdlog::level::warn);
    // Pairs of servers, the baseline (the link statistics switched off) and the same server
    // with them on; the ratio is the median of the pairs' ratios, as a single
    // window of a few milliseconds of run time is at the mercy of whatever else the machine did.
    std::vector<double> ratios;
    Run baseline;
    Run run;
    for (int pair = 0; pair < pairs; ++pair) {
        const auto tag = std::to_string(pair);
        // Which goes first alternates, so that neither is always the one on a warm machine.
        if (pair % 2 == 0) {
            baseline = measureServer(false, length, "B" + tag);
            run = measureServer(true, length, "S" + tag);
        } else {
            run = measureServer(true, length, "S" + tag);
            baseline = measureServer(false, length, "B" + tag);
        }
        const double on = run.streaming.linkLowerQuartile();
        const double off = baseline.streaming.linkLowerQuartile();
        if (off > 0) {
            ratios.push_back(on / off);
            std::printf(
                "pair %d: a link's own threads, lower quartile over the links, statistics on / "
                "off: %.4f / %.4f %% = %.3f (all threads per link: %.4f / %.4f %%)\n",
                pair + 1, on, off, ratios.back(), run.streaming.precisePercentPerLink,
                baseline.streaming.precisePercentPerLink);
        }
    }
    const auto& idle = run.idle;
    const auto& streaming = run.streaming;

    std::printf("kinetra-server, %d emulated links, windows of %lld s\n", kLinks,
                static_cast<long long>(length.count()));
    print("idle", idle);
    print("streaming", streaming);
    print("baseline", baseline.streaming);
    std::printf(
        "(baseline: streaming with KINETRA_LINK_STATISTICS=off, no counting, no health feed)\n");
    const double ratio =
        idle.percentPerLink > 0 ? streaming.percentPerLink / idle.percentPerLink : 0.0;
    std::printf("streaming / idle CPU per link: %.1f%s\n", ratio,
                idle.percentPerLink > 0 ? "" : " (idle too small to measure)");
    if (!ratios.empty()) {
        std::sort(ratios.begin(), ratios.end());
        std::printf(
            "streaming with statistics / without, median of %zu pairs: %.3f (target: within "
            "1.10)\n",
            ratios.size(), ratios[ratios.size() / 2]);
    }
    if (streaming.statusMessages > 0) {
        std::printf("server CPU per status message: %.1f us\n",
                    streaming.percentPerLink * kLinks / 100.0 *
                        static_cast<double>(length.count()) * 1e6 /
                        static_cast<double>(streaming.statusMessages));
    }
    return 0;
}
