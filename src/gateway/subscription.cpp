// Conflation of one subscription. offer() runs on the reactor thread and only swaps the newest
// body in; everything else runs on the connection's loop thread.
#include "gateway/subscription.hpp"

#include <utility>

#include "net/event_loop.hpp"

namespace kinetra::gateway {
namespace {

using Clock = std::chrono::steady_clock;

Clock::duration intervalOf(std::optional<double> maxRate) {
    if (!maxRate) {
        return Clock::duration::zero();
    }
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / *maxRate));
}

}  // namespace

Subscription::Subscription(net::HttpSession::Ptr session, Format format,
                           std::optional<double> maxRate)
    : session_(std::move(session)), format_(std::move(format)), interval_(intervalOf(maxRate)) {}

void Subscription::offer(const std::string& body) {
    {
        std::lock_guard lock(mutex_);
        latest_ = body;
        if (posted_) {
            return;  // the queued pump() will take the newest
        }
        posted_ = true;
    }
    session_->connection()->loop().post([self = shared_from_this()] { self->pump(); });
}

void Subscription::cancel() {
    cancelled_ = true;
    if (timer_) {
        timer_->cancel();
        timer_.reset();  // the pending wait keeps it until its handler has run here
    }
}

void Subscription::pump() {
    {
        std::lock_guard lock(mutex_);
        posted_ = false;
    }
    deliver();
}

void Subscription::deliver() {
    if (cancelled_ || writing_ || timerArmed_ || !session_->connection()->isActive()) {
        return;  // the write's completion or the timer calls again
    }
    const auto now = Clock::now();
    std::optional<std::string> body;
    {
        std::lock_guard lock(mutex_);
        if (!latest_) {
            return;
        }
        if (now >= next_) {
            body = std::exchange(latest_, std::nullopt);
        }
    }
    if (!body) {
        if (!timer_) {
            timer_ = std::make_shared<asio::steady_timer>(session_->connection()->loop().context());
        }
        timerArmed_ = true;
        timer_->expires_at(next_);
        timer_->async_wait(
            [self = shared_from_this(), timer = timer_](const std::error_code& error) {
                self->timerArmed_ = false;
                if (!error) {
                    self->deliver();
                }
            });
        return;
    }
    next_ = now + interval_;
    writing_ = true;
    session_->sendWebSocketText(format_(*body),
                                [self = shared_from_this()](const std::error_code& error) {
                                    self->writing_ = false;
                                    if (!error) {
                                        self->deliver();
                                    }
                                });
}

}  // namespace kinetra::gateway
