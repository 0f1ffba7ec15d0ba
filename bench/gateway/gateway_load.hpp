// What both gateway benchmarks need: a bus service that answers on its own thread, and the
// client load (threads of operations with their latencies). The clients run on the threads
// runLoad starts and joins; the service's thread ends with its object.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>

#include "platform/stop_signal.hpp"

namespace kinetra::bench {

using Clock = std::chrono::steady_clock;

/// A REP socket bound and announced on every one of `endpoints`; answers each request with
/// {"result":"ok"} at once, or never when `silent`.
class BusResponder {
public:
    explicit BusResponder(std::vector<std::string> endpoints, bool silent = false);
    /// Announces the endpoints closed, stops and joins the thread.
    ~BusResponder();
    BusResponder(const BusResponder&) = delete;
    BusResponder& operator=(const BusResponder&) = delete;

private:
    void serve();

    std::vector<std::string> endpoints_;
    bool silent_;
    zmq::socket_t socket_;  // the service thread's only
    platform::StopSignal stop_;
    std::jthread thread_;  // last: joined before the socket goes
};

/// Latencies (microseconds), wall time and wrong answers of one set-up, summed over runs.
struct Samples {
    std::vector<double> latencies;
    double seconds = 0;
    int wrong = 0;
};

/// An operation of one client: true when the answer was right.
using Operation = std::function<bool()>;

/// Runs `clients` threads, client i calling `makeClient(i)`'s operation `perClient` times or
/// until `until`, whichever comes first, and adds what they measured to `samples`.
void runLoad(int clients, int perClient, Clock::time_point until,
             const std::function<Operation(int client)>& makeClient, Samples& samples);

}  // namespace kinetra::bench
