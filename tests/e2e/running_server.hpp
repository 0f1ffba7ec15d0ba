// The real kinetra-server in a temporary install tree on free loopback ports, for end-to-end
// tests, with the client steps every such test repeats: ask until an answer is taken, wait for
// a link or a paired bundle, plug in a kinetra-sim. Started by the test thread; stopped with
// SIGTERM when the object goes, if it has not ended.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/json.hpp"
#include "e2e/post_json.hpp"
#include "support/child_process.hpp"
#include "support/temporary_tree.hpp"

namespace kinetra {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::TemporaryTree;

// A port the system just handed out and released; free unless someone takes it in between.
inline std::uint16_t freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ::close(fd);
        throw std::runtime_error("no free port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

/// True when a linkStatus reply lists `linkId` with `isValid` equal to `valid`.
inline bool listsLink(const json& status, const std::string& linkId, bool valid = true) {
    return status.is_object() && status.contains("data") && status["data"].is_array() &&
           std::any_of(status["data"].begin(), status["data"].end(), [&](const json& link) {
               return link.value("linkID", "") == linkId && link.value("isValid", !valid) == valid;
           });
}

/// True when a bundle's status reply carries its data (the bundle is paired).
inline bool hasStatus(const json& reply) {
    return reply.is_object() && reply.contains("data") && reply["data"].is_object();
}

struct RunningServer {
    TemporaryTree tree;
    std::uint16_t httpPort = freePort();
    std::uint16_t webSocketPort = freePort();
    std::unique_ptr<ChildProcess> process;

    /// `moreConfiguration`: further config.ini sections, appended to the listeners'.
    explicit RunningServer(std::vector<std::string> arguments = {},
                           const std::string& moreConfiguration = "") {
        tree.write("cfg/config.ini",
                   "[httpserver]\naddress=127.0.0.1\nport=" + std::to_string(httpPort) +
                       "\n[webserver]\naddress=127.0.0.1\nport=" + std::to_string(freePort()) +
                       "\n[websocket]\naddress=127.0.0.1\nport=" + std::to_string(webSocketPort) +
                       "\n" + moreConfiguration);
        arguments.insert(arguments.begin(), KINETRA_SERVER_PATH);
        process = std::make_unique<ChildProcess>(
            std::move(arguments), tree.bin().string(),
            std::map<std::string, std::string>{{"TMPDIR", tree.tmp().string()}});
    }
    // Stopped as a user stops it, so that a coverage build's server writes its counters.
    ~RunningServer() {
        if (process) {
            process->signal(SIGTERM);
            process->waitForExit(10s);
        }
    }

    // The WebSocket listener starts last; the device service announces itself on its own
    // thread, so a request in between is answered "offline".
    bool listening() {
        if (!process->waitForOutput("Listening on 127.0.0.1:" + std::to_string(webSocketPort) + ".",
                                    10s)) {
            return false;
        }
        const auto announced = [](const json& reply) {
            return reply.is_object() && reply.value("result", "") == "ok";
        };
        return announced(postUntil("/v1/device", {{"command", "linkStatus"}}, announced, 10s));
    }

    /// The JSON reply to a POST of `body` to `path`; null when none came.
    json post(const std::string& path, const json& body = json::object()) const {
        return testing::postJson(httpPort, path, body);
    }
    /// Asks again, as a client polling a few times a second would, until `accept` takes the
    /// reply (the services have no event a client can wait on); the last reply either way.
    json postUntil(const std::string& path, const json& body,
                   const std::function<bool(const json&)>& accept,
                   std::chrono::milliseconds timeout = 15s) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            json reply = post(path, body);
            if (accept(reply) || std::chrono::steady_clock::now() >= deadline) {
                return reply;
            }
            std::this_thread::sleep_for(50ms);
        }
    }
    /// True once linkStatus lists `linkId` as valid (or, with `valid` false, as gone).
    bool linkIs(const std::string& linkId, bool valid = true) const {
        const auto accept = [&](const json& status) { return listsLink(status, linkId, valid); };
        return accept(postUntil("/v1/device", {{"command", "linkStatus"}}, accept));
    }
    /// True once the bundle of `linkId` answers its status with data.
    bool paired(const std::string& linkId) const {
        return hasStatus(postUntil("/v1/bundle/" + linkId + "/status", json::object(), hasStatus));
    }
    /// Asks the link to pair over RJ45 until it answers "ok"; true once its bundle is paired.
    bool pairOverRj45(const std::string& linkId) const {
        const auto ok = [](const json& reply) { return reply == json{{"result", "ok"}}; };
        return ok(postUntil("/v1/link/" + linkId, {{"command", "link1PairingConnect"}}, ok)) &&
               paired(linkId);
    }
#ifdef KINETRA_SIM_PATH  // only tests that build kinetra-sim know where it is
    /// A kinetra-sim with the link id `linkId` that announces itself to this server.
    std::unique_ptr<ChildProcess> plugIn(const std::string& linkId,
                                         std::vector<std::string> more = {}) const {
        std::vector<std::string> argv{KINETRA_SIM_PATH, "--link-id", linkId, "--server",
                                      "http://127.0.0.1:" + std::to_string(httpPort)};
        argv.insert(argv.end(), more.begin(), more.end());
        return std::make_unique<ChildProcess>(std::move(argv), tree.bin().string());
    }
#endif
};

}  // namespace kinetra
