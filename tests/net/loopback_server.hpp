// A TcpService with one listener on an ephemeral 127.0.0.1 port, for the tests over real
// sockets. Built and torn down on the test thread; its callbacks run on the service's loops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "net/listener_builder.hpp"
#include "net/tcp_service.hpp"

namespace kinetra::net::test {

struct LoopbackServer {
    explicit LoopbackServer(TcpConnection::EnterCallback enter, std::size_t workers = 2,
                            std::size_t receiveLimit = 8192,
                            ListenerBuilder::SocketSetup setup = {}) {
        service->start(workers);
        listener.withService(service)
            .withAddress("127.0.0.1", 0)
            .withNoDelay()
            .withReceiveLimit(receiveLimit)
            .withEnterCallback(std::move(enter));
        if (setup) {
            listener.withSocketSetup(std::move(setup));
        }
        listener.start();
    }
    std::uint16_t port() const { return listener.port(); }

    std::shared_ptr<TcpService> service = std::make_shared<TcpService>();
    ListenerBuilder listener;  // after the service: stopped first
};

}  // namespace kinetra::net::test
