// The reactor thread: one zmq_poll over its wake-up, the feed and every DEALER, woken by work
// handed to it, a reply, a feed message or the next deadline; nothing else runs on it.
#include "gateway/bus_reactor.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <utility>

#include <spdlog/spdlog.h>

#include "bus/feed.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "platform/thread_name.hpp"

namespace kinetra::gateway {
namespace {

using Clock = std::chrono::steady_clock;

// Runs a user's callback; an exception out of it is logged, never ends the reactor.
template <typename Callback, typename... Args>
void runCallback(const Callback& callback, Args&&... args) {
    try {
        callback(std::forward<Args>(args)...);
    } catch (const std::exception& error) {
        spdlog::warn("gateway: a bus completion failed: {0}", error.what());
    }
}

}  // namespace

BusReactor::BusReactor(std::shared_ptr<zmq::context_t> context) : context_(std::move(context)) {
    thread_ = std::jthread([this] { run(); });
}

BusReactor::~BusReactor() {
    stop();
}

void BusReactor::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stop_.set();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void BusReactor::post(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return;
        }
        inbox_.push_back(std::move(work));
    }
    wake_.raise();
}

void BusReactor::submit(Request request) {
    post([this, request = std::move(request)]() mutable { handleRequest(std::move(request)); });
}

std::uint64_t BusReactor::subscribe(std::string topic, FeedCallback callback,
                                    std::optional<Snapshot> snapshot) {
    std::uint64_t token = 0;
    {
        std::lock_guard lock(mutex_);
        token = ++nextToken_;
    }
    post([this, token, topic = std::move(topic), callback = std::move(callback),
          snapshot = std::move(snapshot)]() mutable {
        addSubscriber(token, std::move(topic), std::move(callback), std::move(snapshot));
    });
    return token;
}

void BusReactor::unsubscribe(std::uint64_t token) {
    post([this, token] { removeSubscriber(token); });
}

std::uint64_t BusReactor::newClientKey() {
    static std::atomic<std::uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

std::size_t BusReactor::socketCount() const {
    std::lock_guard lock(mutex_);
    return socketCount_;
}

void BusReactor::run() {
    platform::nameThisThread("reactor");
    route_.emplace(context_);
    std::vector<zmq::pollitem_t> items;
    for (;;) {
        items.clear();
        items.push_back({nullptr, wake_.fd(), ZMQ_POLLIN, 0});
        items.push_back({nullptr, stop_.fd(), ZMQ_POLLIN, 0});
        if (feed_) {
            items.push_back({feed_->handle(), 0, ZMQ_POLLIN, 0});
        }
        for (auto socket : route_->sockets()) {
            items.push_back({socket.handle(), 0, ZMQ_POLLIN, 0});
        }
        try {
            zmq::poll(items.data(), items.size(), nextTimeout());
        } catch (const zmq::error_t& error) {
            spdlog::warn("gateway: bus poll failed: {0}", error.what());
        }
        if ((items[1].revents & ZMQ_POLLIN) != 0) {
            takeInbox();  // what was handed over before the stop still goes out
            break;
        }
        if ((items[0].revents & ZMQ_POLLIN) != 0) {
            wake_.clear();
            takeInbox();
        }
        if (feed_ && items.size() > 2 && items[2].socket == feed_->handle() &&
            (items[2].revents & ZMQ_POLLIN) != 0) {
            takeFeed();
        }
        try {
            route_->takeReplies();
            route_->service(Clock::now());
        } catch (const zmq::error_t& error) {
            spdlog::warn("gateway: bus route failed: {0}", error.what());
        }
        countSockets();
    }
    route_.reset();
    feed_.reset();
    std::lock_guard lock(mutex_);
    socketCount_ = 0;
}

void BusReactor::countSockets() {
    const std::size_t count = route_->socketCount() + (feed_ ? 1 : 0);
    std::lock_guard lock(mutex_);
    socketCount_ = count;
}

void BusReactor::takeInbox() {
    std::vector<std::function<void()>> work;
    {
        std::lock_guard lock(mutex_);
        work.swap(inbox_);
    }
    for (auto& item : work) {
        runCallback(item);
    }
}

BusReactor::Milliseconds BusReactor::nextTimeout() const {
    const auto next = route_->nextDeadline();
    if (!next) {
        return bus::kForever;
    }
    return std::max(std::chrono::ceil<Milliseconds>(*next - Clock::now()), Milliseconds(0));
}

void BusReactor::handleRequest(Request request) {
    route_->send(bus::Route::Request{
        .endpoint = std::move(request.endpoint),
        .body = std::move(request.body),
        .client = request.client,
        .patience = request.timeout,
        .stop = request.stop,
        .offlineWhenClosed = request.offlineWhenClosed,
        .done = std::move(request.done),
    });
}

void BusReactor::takeFeed() {
    while (auto message = bus::tryReceiveFeed(*feed_)) {
        const auto found = topics_.find(message->topic);
        if (found == topics_.end()) {
            continue;  // a longer topic with the same prefix, or one just left
        }
        Topic& topic = found->second;
        if (topic.stateful) {
            topic.latest = message->body;
            topic.unprimed.clear();  // the newest state reaches them below
        }
        for (const auto& [token, callback] : topic.subscribers) {
            runCallback(callback, message->body);
        }
    }
}

void BusReactor::addSubscriber(std::uint64_t token, std::string name, FeedCallback callback,
                               std::optional<Snapshot> snapshot) {
    if (!feed_) {
        feed_.emplace(bus::makeFeedSubscriber(*context_));
    }
    auto [found, added] = topics_.try_emplace(name);
    Topic& topic = found->second;
    if (added) {
        feed_->set(zmq::sockopt::subscribe, name);
    }
    topicOf_[token] = name;
    auto& stored = topic.subscribers.emplace(token, std::move(callback)).first->second;
    if (!snapshot) {
        return;
    }
    topic.stateful = true;
    if (topic.latest) {
        runCallback(stored, *topic.latest);
        return;
    }
    topic.unprimed.push_back(token);
    if (topic.querying) {
        return;
    }
    topic.querying = true;
    auto extract = std::move(snapshot->extract);
    handleRequest(
        Request{std::move(snapshot->endpoint), std::move(snapshot->body), Milliseconds(1000), true,
                [this, name, extract = std::move(extract)](Outcome outcome, std::string reply) {
                    primeTopic(name, extract(outcome, reply));
                }});
}

void BusReactor::primeTopic(const std::string& name, std::optional<std::string> state) {
    const auto found = topics_.find(name);
    if (found == topics_.end()) {
        return;  // everyone left meanwhile
    }
    Topic& topic = found->second;
    topic.querying = false;
    if (topic.latest || !state) {
        return;  // the feed was quicker (and newer), or there is nothing to tell
    }
    topic.latest = std::move(state);
    for (const auto token : std::exchange(topic.unprimed, {})) {
        if (const auto subscriber = topic.subscribers.find(token);
            subscriber != topic.subscribers.end()) {
            runCallback(subscriber->second, *topic.latest);
        }
    }
}

void BusReactor::removeSubscriber(std::uint64_t token) {
    const auto found = topicOf_.find(token);
    if (found == topicOf_.end()) {
        return;
    }
    const auto topic = topics_.find(found->second);
    topicOf_.erase(found);
    if (topic == topics_.end()) {
        return;
    }
    topic->second.subscribers.erase(token);
    if (topic->second.subscribers.empty()) {
        // Nobody wants it: the feed stops sending it, and its state may go stale.
        feed_->set(zmq::sockopt::unsubscribe, topic->first);
        topics_.erase(topic);
    }
}

}  // namespace kinetra::gateway
