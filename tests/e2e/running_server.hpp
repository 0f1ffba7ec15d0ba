// The real kinetra-server in a temporary install tree on free loopback ports, for end-to-end
// tests. Started by the test thread; killed when the object goes, if it has not ended.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

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

inline std::vector<std::string> withProgram(std::string program,
                                            std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), std::move(program));
    return arguments;
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
        process = std::make_unique<ChildProcess>(
            withProgram(KINETRA_SERVER_PATH, std::move(arguments)), tree.bin().string(),
            std::map<std::string, std::string>{{"TMPDIR", tree.tmp().string()}});
    }
    // The WebSocket listener starts last.
    bool listening() {
        return process->waitForOutput(
            "Listening on 127.0.0.1:" + std::to_string(webSocketPort) + ".", 10s);
    }
};

}  // namespace kinetra
