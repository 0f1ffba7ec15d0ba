// A ROUTER stand-in for a bus service, driven by the test thread: it holds requests until told
// to answer one, echoing its envelope with "re:" + the body. Only the thread that made it uses it.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <zmq_addon.hpp>

#include "bus/announce.hpp"
#include "bus/request_tag.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "support/wait.hpp"

namespace kinetra::testing {

class HeldService {
public:
    explicit HeldService(std::string endpoint) : endpoint_(std::move(endpoint)) {
        router_.set(zmq::sockopt::linger, 0);
        router_.bind(endpoint_);
        bus::announceOpen(std::array{endpoint_});
        EXPECT_TRUE(waitUntil([&] { return bus::SocketRegistry::instance().isOpen(endpoint_); }));
    }
    ~HeldService() { close(); }
    HeldService(const HeldService&) = delete;
    HeldService& operator=(const HeldService&) = delete;

    /// Receives until `count` requests are held; false when they did not come in time.
    bool hold(std::size_t count) {
        using namespace std::chrono_literals;
        while (held_.size() < count) {
            std::vector<zmq::message_t> frames;
            if (!bus::waitReadable(std::array<zmq::socket_ref, 1>{router_}, 2000ms) ||
                !zmq::recv_multipart(router_, std::back_inserter(frames))) {
                return false;
            }
            held_.push_back(std::move(frames));
        }
        return true;
    }
    std::optional<bus::RequestTag> tag(std::size_t index) const {
        const auto& frame = held_[index][1];
        return bus::decodeRequestTag(
            {static_cast<const std::uint8_t*>(frame.data()), frame.size()});
    }
    /// Answers held request `index` with "re:" + its body.
    void answer(std::size_t index) {
        auto& frames = held_[index];
        for (std::size_t i = 0; i + 1 < frames.size(); ++i) {
            router_.send(zmq::buffer(frames[i].data(), frames[i].size()), zmq::send_flags::sndmore);
        }
        router_.send(zmq::buffer("re:" + frames.back().to_string()));
    }
    void close() {
        if (router_) {
            bus::announceClosed(std::array{endpoint_});
            router_.close();
        }
    }

private:
    std::string endpoint_;
    zmq::socket_t router_{*bus::SocketRegistry::instance().context(), zmq::socket_type::router};
    std::vector<std::vector<zmq::message_t>> held_;
};

}  // namespace kinetra::testing
