// The studio inputs' receive loop, on the OSC or VISCA thread.
#include "studio/datagram_loop.hpp"

#include <algorithm>

#include <spdlog/spdlog.h>
#include <zmq.hpp>

namespace kinetra::studio {

DatagramLoop::DatagramLoop(Options options, const SourceFilter& filter, StudioCounters& counters)
    : options_(std::move(options)),
      filter_(filter),
      counters_(counters),
      buffer_(options_.datagramSize) {}

int DatagramLoop::pollTimeout(const CommandDispatch& dispatch, const Input& input,
                              SteadyTime now) const {
    std::optional<SteadyTime> next = input.nextDeadline ? input.nextDeadline(now) : std::nullopt;
    // Waiting requests have deadlines, and routes to closed endpoints are dropped.
    if (const auto due = dispatch.nextDeadline()) {
        next = next ? std::min(*next, *due) : *due;
    }
    if (!next) {
        return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
    return static_cast<int>(std::clamp<std::int64_t>(left, 0, kExpiryCheck.count()));
}

void DatagramLoop::run(platform::ServiceThread& thread,
                       std::span<asio::ip::udp::socket* const> sockets, CommandDispatch& dispatch,
                       const Input& input) {
    constexpr std::size_t kFirstSocket = 2;  // after the stop signal and the wake
    while (!thread.stopRequested()) {
        platform::faultPoint();
        try {
            std::vector<zmq::pollitem_t> items{
                {nullptr, thread.stopSignal().fd(), ZMQ_POLLIN, 0},
                {nullptr, input.wakeFd, input.wakeFd >= 0 ? short{ZMQ_POLLIN} : short{0}, 0},
            };
            for (auto* socket : sockets) {
                items.push_back({nullptr, socket->native_handle(), ZMQ_POLLIN, 0});
            }
            for (auto& dealer : dispatch.sockets()) {
                items.push_back(zmq::pollitem_t{dealer.handle(), 0, ZMQ_POLLIN, 0});
            }
            zmq::poll(items, std::chrono::milliseconds(
                                 pollTimeout(dispatch, input, std::chrono::steady_clock::now())));
            if (thread.stopRequested()) {
                return;
            }
            const auto now = std::chrono::steady_clock::now();
            if ((items[1].revents & ZMQ_POLLIN) != 0 && input.onWake) {
                input.onWake(now);
            }
            for (std::size_t i = 0; i < sockets.size(); ++i) {
                if ((items[kFirstSocket + i].revents & ZMQ_POLLIN) != 0) {
                    receive(*sockets[i], i, input, now);
                }
            }
            dispatch.takeReplies(now);
            if (input.afterWake) {
                input.afterWake(now);
            }
            dispatch.expire(now);
        } catch (const zmq::error_t& error) {
            if (error.num() == ETERM) {
                return;
            }
            spdlog::warn("{0}: {1}", options_.name, error.what());
        } catch (const std::exception& error) {
            spdlog::warn("{0}: {1}", options_.name, error.what());
        }
    }
}

// The source is judged before a byte of the datagram is read.
void DatagramLoop::receive(asio::ip::udp::socket& socket, std::size_t index, const Input& input,
                           SteadyTime now) {
    for (int i = 0; i < kDatagramsPerTurn; ++i) {
        asio::ip::udp::endpoint sender;
        std::error_code error;
        const auto size = socket.receive_from(asio::buffer(buffer_), sender, 0, error);
        if (error == asio::error::would_block || error == asio::error::try_again) {
            return;
        }
        if (error) {
            log("socket", "receive: " + error.message(), true, now);
            return;
        }
        options_.received->fetch_add(1, std::memory_order_relaxed);
        if (!filter_.allows(sender.address())) {
            options_.untrusted->fetch_add(1, std::memory_order_relaxed);
            log("untrusted", "dropped a datagram from untrusted " + sender.address().to_string(),
                true, now);
            continue;
        }
        input.take(index, std::span(buffer_.data(), size), sender, now);
    }
}

void DatagramLoop::log(std::string_view kind, const std::string& text, bool problem,
                       SteadyTime now) {
    if (problem) {
        counters_.setError(options_.name + ": " + text);
    }
    if (const auto held = logLimiter_.admit(kind, now)) {
        const auto more = core::heldBackNote(*held);
        if (problem) {
            spdlog::warn("{0}: {1}{2}", options_.name, text, more);
        } else {
            spdlog::info("{0}: {1}{2}", options_.name, text, more);
        }
    }
}

}  // namespace kinetra::studio
