// One loop's route: its DEALERs' descriptors and its deadline timer on the loop's io_context.
// Everything here runs on that loop's thread.
#include "gateway/loop_routes.hpp"

#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <unordered_map>
#include <utility>

#include <spdlog/spdlog.h>
#include <asio/error.hpp>
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

namespace kinetra::gateway {
namespace {

using Clock = bus::Route::Clock;

class LoopRoute final : public net::LoopLocal {
public:
    LoopRoute(asio::io_context& io, std::shared_ptr<zmq::context_t> context,
              std::shared_ptr<std::atomic<std::size_t>> sockets)
        : io_(io), timer_(io), sockets_(std::move(sockets)) {
        route_.emplace(std::move(context), bus::Route::Limits{},
                       [this](zmq::socket_ref socket, bool opened) { watch(socket, opened); });
    }

    void send(bus::Route::Request request) {
        if (!route_) {
            if (request.done) {
                request.done(bus::Outcome::notQueued, {});
            }
            return;
        }
        route_->send(std::move(request));
        settle();
    }

    void close() override {
        timer_.cancel();
        route_.reset();  // closes its DEALERs, telling watch() first
    }

private:
    struct Watcher {
        asio::posix::stream_descriptor descriptor;
        std::uint64_t serial = 0;  // tells this watcher's wakes from a former one's
        bool waiting = false;
        bool broken = false;  // its descriptor failed: served by the timer's rounds only
    };

    void watch(zmq::socket_ref socket, bool opened) {
        void* const key = socket.handle();
        if (opened) {
            sockets_->fetch_add(1, std::memory_order_relaxed);
            auto watcher = std::make_unique<Watcher>(
                Watcher{asio::posix::stream_descriptor(io_), ++nextSerial_});
            asio::error_code error;
            watcher->descriptor.assign(socket.get(zmq::sockopt::fd), error);
            if (error) {
                watcher->broken = true;
                spdlog::warn("gateway: cannot wait on a bus socket: {0}", error.message());
            }
            watchers_.insert_or_assign(key, std::move(watcher));
            return;
        }
        sockets_->fetch_sub(1, std::memory_order_relaxed);
        if (const auto found = watchers_.find(key); found != watchers_.end()) {
            // Off the reactor before zmq closes the descriptor, which is zmq's, not ours.
            if (found->second->descriptor.is_open()) {
                asio::error_code ignored;
                found->second->descriptor.cancel(ignored);
                (void)found->second->descriptor.release();
            }
            watchers_.erase(found);
        }
    }

    // After anything that touched the route: ends what is due, takes every reply there is, and
    // waits again on what is left. Woken by a socket's descriptor, replies are taken at once:
    // asking first whether there are any would cost zmq one more look at its mailbox. Taking
    // receives from every DEALER until it has nothing, after which each descriptor wakes for
    // what comes next; after a send only the DEALERs sent on need asking.
    void settle(bool woken = false) {
        if (!route_) {
            return;
        }
        try {
            route_->service(Clock::now());
            if (route_ && (woken || route_->sentOnHaveReplies())) {
                route_->takeReplies();
            }
        } catch (const zmq::error_t& error) {
            spdlog::warn("gateway: bus route failed: {0}", error.what());
        }
        if (route_) {
            arm();  // unless closed by a completion (the loop stopping)
        }
    }

    void arm() {
        for (auto& [key, watcher] : watchers_) {
            if (watcher->waiting || watcher->broken) {
                continue;
            }
            watcher->waiting = true;
            watcher->descriptor.async_wait(
                asio::posix::stream_descriptor::wait_read,
                // A copy of the key: a structured binding cannot be captured by every compiler
                // we build with.
                [this, socketKey = key, serial = watcher->serial](const asio::error_code& error) {
                    if (error == asio::error::operation_aborted) {
                        return;  // let go of, or the loop is stopping
                    }
                    if (const auto found = watchers_.find(socketKey);
                        found != watchers_.end() && found->second->serial == serial) {
                        found->second->waiting = false;
                        if (error) {
                            found->second->broken = true;
                            spdlog::warn("gateway: cannot wait on a bus socket: {0}",
                                         error.message());
                        }
                    }
                    settle(true);
                });
        }
        const auto next = route_->nextDeadline();
        if (next && (!timerAt_ || *next < *timerAt_)) {
            timerAt_ = *next;
            timer_.expires_at(*next);  // cancels the later wait, if any
            timer_.async_wait([this](const asio::error_code& error) {
                if (error == asio::error::operation_aborted) {
                    return;  // moved earlier, or the loop is stopping
                }
                timerAt_.reset();
                settle();
            });
        }
    }

    asio::io_context& io_;
    asio::steady_timer timer_;
    std::optional<Clock::time_point> timerAt_;  // when the timer is set to fire, if it is
    std::shared_ptr<std::atomic<std::size_t>> sockets_;
    std::unordered_map<void*, std::unique_ptr<Watcher>> watchers_;  // by the DEALER's handle
    std::uint64_t nextSerial_ = 0;
    std::optional<bus::Route> route_;  // last: its DEALERs go before the watchers they tell
};

}  // namespace

LoopRoutes::LoopRoutes(std::shared_ptr<zmq::context_t> context)
    : context_(std::move(context)), sockets_(std::make_shared<std::atomic<std::size_t>>(0)) {}

void LoopRoutes::send(net::EventLoop& loop, bus::Route::Request request) {
    loop.local<LoopRoute>(
            this, [&] { return std::make_unique<LoopRoute>(loop.context(), context_, sockets_); })
        .send(std::move(request));
}

}  // namespace kinetra::gateway
