// The HTTP doors against nginx on loopback: wrk -t1 -c8 against the gateway (a bus service that
// answers at once), the web application's file server, and nginx serving the same JSON from a
// file, with persistent connections and with `Connection: close`. Prints requests per second
// and the ratios to nginx, all from this one run (`bench_gateway_nginx [seconds] [rounds]`). nginx
// and wrk are the Debian packages' (tools/setup.sh); nginx runs on a free loopback port with a
// configuration written here and is stopped before the program ends. Everything runs on the main
// thread but the servers' own.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>

#include "bus/endpoints.hpp"
#include "gateway/server.hpp"
#include "gateway_load.hpp"
#include "webserver/web_server.hpp"

namespace {

using namespace kinetra;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::string_view kReply = R"({"result":"ok"})";
constexpr std::string_view kApiPath = "/v1/bench/http";
constexpr std::string_view kFilePath = "/reply.json";

// A port the system just handed out and released; free unless someone takes it in between.
std::uint16_t freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    ::close(fd);
    if (!bound) {
        throw std::runtime_error("no free loopback port");
    }
    return ntohs(address.sin_port);
}

bool accepts(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

void writeFile(const fs::path& path, std::string_view text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// A temporary folder holding the served files and nginx's configuration, logs and temp paths.
struct Scratch {
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "kinetra-nginx-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot make a temporary folder");
        }
        root = pattern;
        // Readable by nginx's workers, which drop root for an unprivileged user.
        fs::permissions(root,
                        fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
        writeFile(root / "www" / std::string(kApiPath).substr(1), kReply);
        writeFile(root / "www" / std::string(kFilePath).substr(1), kReply);
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    fs::path root;
};

// nginx on 127.0.0.1:`port`, two worker processes (the gateway's worker count on this machine),
// keep-alive as the gateway's: 5 s idle, 1000 requests. Stopped (SIGQUIT, then SIGKILL) when
// the object goes; should this program die first, the kernel ends the master.
class Nginx {
public:
    Nginx(const fs::path& root, std::uint16_t port, std::size_t workers) {
        const auto config = root / "nginx.conf";
        std::string temps;
        for (const char* kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
            temps += std::string("    ") + kind + "_temp_path " + (root / kind).string() + ";\n";
        }
        writeFile(config, "daemon off;\nmaster_process on;\nworker_processes " +
                              std::to_string(workers) + ";\npid " + (root / "nginx.pid").string() +
                              ";\nerror_log " + (root / "error.log").string() +
                              " warn;\nevents { worker_connections 1024; }\nhttp {\n" + temps +
                              "    access_log off;\n    keepalive_timeout 5s;\n"
                              "    keepalive_requests 1000;\n    server {\n"
                              "        listen 127.0.0.1:" +
                              std::to_string(port) + ";\n        root " + (root / "www").string() +
                              ";\n        default_type application/json;\n    }\n}\n");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::execlp("nginx", "nginx", "-q", "-p", root.c_str(), "-c", config.c_str(),
                     static_cast<char*>(nullptr));
            std::perror("nginx");
            ::_exit(127);
        }
        for (int i = 0; i < 500 && !accepts(port); ++i) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                throw std::runtime_error("nginx did not start (is nginx-light installed?)");
            }
            std::this_thread::sleep_for(10ms);
        }
    }
    ~Nginx() {
        if (pid_ <= 0) {
            return;
        }
        ::kill(pid_, SIGQUIT);
        for (int i = 0; i < 500; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                return;
            }
            std::this_thread::sleep_for(10ms);
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    Nginx(const Nginx&) = delete;
    Nginx& operator=(const Nginx&) = delete;

private:
    pid_t pid_ = -1;
};

struct Figures {
    double requestsPerSecond = 0;
    long errors = 0;  // socket errors and answers other than 2xx, as wrk counts them
};

long sumOf(const std::string& text, const std::regex& pattern) {
    long sum = 0;
    for (std::sregex_iterator match(text.begin(), text.end(), pattern), end; match != end;
         ++match) {
        for (std::size_t group = 1; group < match->size(); ++group) {
            sum += std::stol((*match)[group].str());
        }
    }
    return sum;
}

// One wrk run of `seconds` against `url`; with `close`, every request asks for its own connection.
Figures wrk(const std::string& url, bool close, int seconds) {
    const std::string command = "wrk -t1 -c8 -d" + std::to_string(seconds) + "s " +
                                (close ? "-H 'Connection: close' " : "") + url + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error("cannot run wrk");
    }
    std::string output;
    std::array<char, 4096> chunk{};
    while (const auto size = std::fread(chunk.data(), 1, chunk.size(), pipe)) {
        output.append(chunk.data(), size);
    }
    if (::pclose(pipe) != 0) {
        throw std::runtime_error("wrk failed (is wrk installed?):\n" + output);
    }
    std::smatch rate;
    if (!std::regex_search(output, rate, std::regex(R"(Requests/sec:\s+([0-9.]+))"))) {
        throw std::runtime_error("no rate in wrk's output:\n" + output);
    }
    return {std::stod(rate[1].str()),
            sumOf(output, std::regex(R"(connect (\d+), read (\d+), write (\d+), timeout (\d+))")) +
                sumOf(output, std::regex(R"(Non-2xx or 3xx responses: (\d+))"))};
}

std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// The middle of `values` (the lower middle for an even count).
double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[(values.size() - 1) / 2];
}

}  // namespace

// Each round runs every set-up once, one after the other, so a server and nginx are measured
// side by side; the ratio printed is the median of the rounds' ratios, with their range, since
// on a shared machine a single pair of runs moves by a tenth either way.
int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const std::size_t workers = gateway::Server::defaultWorkerCount();
    spdlog::set_level(spdlog::level::warn);  // the servers' start-up lines are not results
    try {
        const Scratch scratch;
        bench::BusResponder echo({bus::endpointForPath(kApiPath)});
        gateway::Server server(
            config::ServerSettings{"127.0.0.1", "0", "127.0.0.1", "0", "127.0.0.1", "0"});
        server.start(workers);
        webserver::WebServer files(scratch.root / "www");
        files.start("127.0.0.1", 0, workers);
        const std::uint16_t nginxPort = freePort();
        const Nginx nginx(scratch.root, nginxPort, workers);

        const auto url = [](std::uint16_t port, std::string_view path) {
            return "http://127.0.0.1:" + std::to_string(port) + std::string(path);
        };
        struct Setup {
            const char* name;
            std::string url;
        };
        const Setup setups[] = {
            {"gateway, API reply", url(server.httpPort(), kApiPath)},
            {"nginx, the same JSON", url(nginxPort, kApiPath)},
            {"web application server, file", url(files.port(), kFilePath)},
            {"nginx, the same file", url(nginxPort, kFilePath)},
        };
        constexpr std::size_t kSetups = std::size(setups);
        std::printf(
            "HTTP against nginx: wrk -t1 -c8, %d s per run, %d rounds, %zu worker threads; load "
            "%s\n",
            seconds, rounds, workers, loadAverage().c_str());
        for (const bool close : {false, true}) {
            std::printf("%s:\n", close ? "Connection: close" : "persistent connections");
            std::array<std::vector<double>, kSetups> rates;
            std::vector<double> apiRatios, webRatios;
            long apiErrors = 0;
            for (int round = 0; round < rounds; ++round) {
                std::array<Figures, kSetups> figures;
                for (std::size_t i = 0; i < kSetups; ++i) {
                    figures[i] = wrk(setups[i].url, close, seconds);
                    rates[i].push_back(figures[i].requestsPerSecond);
                }
                apiErrors += figures[0].errors;
                apiRatios.push_back(figures[0].requestsPerSecond / figures[1].requestsPerSecond);
                webRatios.push_back(figures[2].requestsPerSecond / figures[3].requestsPerSecond);
            }
            for (std::size_t i = 0; i < kSetups; ++i) {
                std::printf("  %-32s %10.0f req/s (median)\n", setups[i].name, median(rates[i]));
            }
            if (apiErrors > 0) {
                std::printf("  gateway: %ld errors\n", apiErrors);
            }
            const double api = median(apiRatios);
            const double target = close ? 0.7 : 0.4;
            std::printf(
                "  gateway/nginx %.2f (rounds %.2f-%.2f; target >= %.1f: %s), web "
                "application/nginx %.2f\n",
                api, *std::min_element(apiRatios.begin(), apiRatios.end()),
                *std::max_element(apiRatios.begin(), apiRatios.end()), target,
                api >= target && apiErrors == 0 ? "met" : "MISSED", median(webRatios));
        }
        std::printf("load afterwards %s\n", loadAverage().c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_gateway_nginx: %s\n", error.what());
        return 1;
    }
    return 0;
}
