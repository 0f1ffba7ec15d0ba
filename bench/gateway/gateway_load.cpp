// The gateway benchmarks' bus service (on its own thread) and client load (on threads of its
// own, joined before runLoad returns).
#include "gateway_load.hpp"

#include <algorithm>
#include <array>

#include "bus/announce.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"

namespace kinetra::bench {

BusResponder::BusResponder(std::vector<std::string> endpoints, bool silent)
    : endpoints_(std::move(endpoints)),
      silent_(silent),
      socket_(*bus::SocketRegistry::instance().context(), zmq::socket_type::rep) {
    for (const auto& endpoint : endpoints_) {
        socket_.bind(endpoint);
    }
    thread_ = std::jthread([this] { serve(); });
    bus::announceOpen(endpoints_);
    while (!std::all_of(endpoints_.begin(), endpoints_.end(), [](const std::string& name) {
        return bus::SocketRegistry::instance().isOpen(name);
    })) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

BusResponder::~BusResponder() {
    bus::announceClosed(endpoints_);
    stop_.set();
    thread_.join();
}

void BusResponder::serve() {
    const std::array<zmq::socket_ref, 1> sockets{socket_};
    while (bus::waitReadable(sockets, bus::kForever, &stop_)) {
        if (bus::tryReceive(socket_) && !silent_) {
            socket_.send(zmq::str_buffer(R"({"result":"ok"})"), zmq::send_flags::none);
        }
    }
}

void runLoad(int clients, int perClient, Clock::time_point until,
             const std::function<Operation(int client)>& makeClient, Samples& samples) {
    std::vector<std::vector<double>> latencies(static_cast<std::size_t>(clients));
    std::vector<int> wrong(static_cast<std::size_t>(clients), 0);
    const auto started = Clock::now();
    {
        std::vector<std::jthread> threads;
        for (int c = 0; c < clients; ++c) {
            threads.emplace_back([&, c] {
                auto operation = makeClient(c);
                auto& mine = latencies[static_cast<std::size_t>(c)];
                for (int i = 0; i < perClient && Clock::now() < until; ++i) {
                    const auto begin = Clock::now();
                    const bool right = operation();
                    mine.push_back(
                        std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
                    wrong[static_cast<std::size_t>(c)] += right ? 0 : 1;
                }
            });
        }
    }
    samples.seconds += std::chrono::duration<double>(Clock::now() - started).count();
    for (const auto& mine : latencies) {
        samples.latencies.insert(samples.latencies.end(), mine.begin(), mine.end());
    }
    for (const int count : wrong) {
        samples.wrong += count;
    }
}

}  // namespace kinetra::bench
