// The HTTP jog deadlines and the thread that lets them lapse; see jog_refresh.hpp.
#include "gateway/jog_refresh.hpp"

#include <algorithm>
#include <exception>
#include <utility>
#include <vector>

#include <spdlog/spdlog.h>

#include "platform/thread_name.hpp"

namespace kinetra::gateway {

JogRefresh::JogRefresh(Lapse lapse, std::chrono::milliseconds patience)
    : lapse_(std::move(lapse)), patience_(patience) {
    thread_ = std::jthread([this](std::stop_token stop) { run(std::move(stop)); });
}

JogRefresh::~JogRefresh() {
    stop();
}

void JogRefresh::arm(std::string_view path, std::string client) {
    std::lock_guard lock(mutex_);
    if (stopped_) {
        return;
    }
    const bool wasIdle = due_.empty();
    const Due due{Clock::now() + patience_, std::move(client)};
    if (const auto found = due_.find(path); found != due_.end()) {
        found->second = due;
    } else {
        due_.emplace(std::string(path), due);
    }
    // Every deadline is "now + patience" when set, so a new one is never earlier than those
    // the thread already waits for: only a thread asleep without any needs waking.
    if (wasIdle) {
        changed_.notify_one();
    }
}

void JogRefresh::stop() {
    std::map<std::string, Due, std::less<>> left;
    {
        std::lock_guard lock(mutex_);
        if (stopped_) {
            return;
        }
        stopped_ = true;
        left.swap(due_);
    }
    thread_.request_stop();
    if (thread_.joinable()) {
        thread_.join();
    }
    for (const auto& [path, due] : left) {
        lapse_(path, due.client);
    }
}

std::size_t JogRefresh::armedCount() const {
    std::lock_guard lock(mutex_);
    return due_.size();
}

void JogRefresh::run(std::stop_token stop) {
    platform::nameThisThread("jog-refresh");
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
        if (due_.empty()) {
            changed_.wait(lock, stop, [this] { return !due_.empty(); });
            continue;
        }
        const auto earliest = std::min_element(due_.begin(), due_.end(), [](auto& a, auto& b) {
                                  return a.second.deadline < b.second.deadline;
                              })->second.deadline;
        if (Clock::now() < earliest) {
            // Woken early only by stop: arming never brings the earliest deadline forward.
            changed_.wait_until(lock, stop, earliest, [] { return false; });
            continue;
        }
        std::vector<std::pair<std::string, std::string>> lapsed;
        const auto now = Clock::now();
        for (auto it = due_.begin(); it != due_.end();) {
            if (it->second.deadline <= now) {
                lapsed.emplace_back(it->first, std::move(it->second.client));
                it = due_.erase(it);
            } else {
                ++it;
            }
        }
        lock.unlock();
        for (const auto& [path, client] : lapsed) {
            try {
                lapse_(path, client);
            } catch (const std::exception& error) {
                spdlog::error("Jog refresh: the stop for {0} failed: {1}", path, error.what());
            }
        }
        lock.lock();
    }
}

}  // namespace kinetra::gateway
