// One /v2 subscription's delivery: the reactor thread offers each feed message, the connection's
// loop thread sends the newest one when the client has taken the previous and maxRate allows.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <asio/steady_timer.hpp>

#include "net/http_session.hpp"

namespace kinetra::gateway {

/// Newest wins: a message offered while an earlier one waits replaces it, so a slow client (or
/// a low maxRate) gets the latest state, never a growing backlog. Owned by shared_ptr (the
/// reactor's callback, the client's table, posted work); cancel() ends deliveries.
class Subscription : public std::enable_shared_from_this<Subscription> {
public:
    /// Turns a feed body into the notification text.
    using Format = std::function<std::string(const std::string& body)>;

    /// `maxRate` in messages per second (none: as fast as the client reads).
    Subscription(net::HttpSession::Ptr session, Format format, std::optional<double> maxRate);

    /// Reactor thread: `body` is the newest state.
    void offer(const std::string& body);

    /// Loop thread: nothing is sent after this.
    void cancel();

private:
    void pump();
    void deliver();

    const net::HttpSession::Ptr session_;
    const Format format_;
    const std::chrono::steady_clock::duration interval_;  // zero: no rate limit

    std::mutex mutex_;  // guards latest_, posted_
    std::optional<std::string> latest_;
    bool posted_ = false;  // a pump() is queued on the loop

    // Loop thread only. The timer is made when first needed and let go by cancel(), so it is
    // destroyed on the loop thread even when the reactor holds the last reference to this.
    std::shared_ptr<asio::steady_timer> timer_;
    bool timerArmed_ = false;
    bool writing_ = false;  // the last notification is not written out yet
    bool cancelled_ = false;
    std::chrono::steady_clock::time_point next_{};  // earliest time of the next notification
};

}  // namespace kinetra::gateway
