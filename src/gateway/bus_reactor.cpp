// The reactor thread: one zmq_poll over its wake-up, the feed and every DEALER, woken by work
// handed to it, a reply, a feed message or the next deadline; nothing else runs on it.
#include "gateway/bus_reactor.hpp"

#include <algorithm>
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

std::size_t BusReactor::socketCount() const {
    std::lock_guard lock(mutex_);
    return socketCount_;
}

void BusReactor::run() {
    platform::nameThisThread("reactor");
    std::vector<zmq::pollitem_t> items;
    std::vector<Endpoint*> polled;
    for (;;) {
        items.clear();
        polled.clear();
        items.push_back({nullptr, wake_.fd(), ZMQ_POLLIN, 0});
        items.push_back({nullptr, stop_.fd(), ZMQ_POLLIN, 0});
        if (feed_) {
            items.push_back({feed_->handle(), 0, ZMQ_POLLIN, 0});
        }
        for (auto& [name, endpoint] : endpoints_) {
            items.push_back({endpoint->dealer.handle(), 0, ZMQ_POLLIN, 0});
            polled.push_back(endpoint.get());
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
        const std::size_t first =
            feed_ && items.size() > 2 && items[2].socket == feed_->handle() ? 3 : 2;
        if (first == 3 && (items[2].revents & ZMQ_POLLIN) != 0) {
            takeFeed();
        }
        for (std::size_t i = 0; i < polled.size(); ++i) {
            // An endpoint may have been closed by work taken above: it is no longer listed.
            if ((items[first + i].revents & ZMQ_POLLIN) != 0 &&
                std::any_of(endpoints_.begin(), endpoints_.end(),
                            [&](const auto& entry) { return entry.second.get() == polled[i]; })) {
                takeReplies(*polled[i]);
            }
        }
        expireTimers();
        const auto now = Clock::now();
        if (now - lastSweep_ >= kSweepInterval) {
            lastSweep_ = lastCheck_ = now;
            checkClosed(false);
        } else if (!waiting_.empty() && now - lastCheck_ >= kClosedCheckInterval) {
            lastCheck_ = now;
            checkClosed(true);
        }
    }
    endpoints_.clear();
    feed_.reset();
    std::lock_guard lock(mutex_);
    socketCount_ = 0;
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
    auto timeout = bus::kForever;
    if (!endpoints_.empty()) {
        timeout = kSweepInterval;
    }
    if (!waiting_.empty()) {
        timeout = kClosedCheckInterval;
    }
    if (!timers_.empty()) {
        const auto left = std::chrono::ceil<Milliseconds>(timers_.begin()->first - Clock::now());
        const auto bounded = std::max(left, Milliseconds(0));
        timeout = timeout == bus::kForever ? bounded : std::min(timeout, bounded);
    }
    return timeout;
}

void BusReactor::handleRequest(Request request) {
    const auto refuse = [&](Outcome outcome) {
        if (request.done) {
            runCallback(request.done, outcome, std::string());
        }
    };
    // No socket is ever made for an endpoint no service has announced.
    if (!bus::SocketRegistry::instance().isOpen(request.endpoint)) {
        refuse(Outcome::offline);
        return;
    }
    if (request.done && waiting_.size() >= kMaxWaiting) {
        refuse(Outcome::notQueued);
        return;
    }
    Endpoint* endpoint = endpointFor(request.endpoint);
    if (endpoint != nullptr && !sendOn(*endpoint, request.body)) {
        // A DEALER whose service went away has no peer left (inproc does not reconnect, even
        // when the service binds the name again): once more on a new one.
        endpoint = openEndpoint(request.endpoint);
        if (!sendOn(*endpoint, request.body)) {
            endpoint = nullptr;
        }
    }
    if (endpoint == nullptr) {
        refuse(Outcome::notQueued);
        return;
    }
    const auto id = ++nextId_;
    if (!request.done) {
        endpoint->sent.push_back(0);  // nobody waits: the reply is dropped when it comes
        return;
    }
    endpoint->sent.push_back(id);
    timers_.emplace(Clock::now() + request.timeout, id);
    waiting_.emplace(id, Waiting{std::move(request.done), std::move(request.endpoint),
                                 request.offlineWhenClosed});
}

BusReactor::Endpoint* BusReactor::endpointFor(const std::string& name) {
    const auto found = endpoints_.find(name);
    if (found == endpoints_.end()) {
        if (endpoints_.size() >= kMaxEndpoints) {
            checkClosed(false);
            if (endpoints_.size() >= kMaxEndpoints) {
                return nullptr;
            }
        }
        return openEndpoint(name);
    }
    Endpoint& endpoint = *found->second;
    if (endpoint.sent.size() < kMaxQueued) {
        return &endpoint;
    }
    // Full. When every entry was given up, the service has not answered anything for a long
    // while: start over on a new DEALER (the REP drops replies to the closed one) rather than
    // refusing every later request. While anyone still waits, refuse.
    if (hasWaiting(endpoint)) {
        return nullptr;
    }
    return openEndpoint(name);
}

BusReactor::Endpoint* BusReactor::openEndpoint(const std::string& name) {
    auto endpoint = std::make_unique<Endpoint>(
        Endpoint{zmq::socket_t(*context_, zmq::socket_type::dealer), {}});
    endpoint->dealer.set(zmq::sockopt::linger, 0);
    endpoint->dealer.connect(name);
    auto& slot = endpoints_[name];
    const bool added = slot == nullptr;
    slot = std::move(endpoint);
    if (added) {
        std::lock_guard lock(mutex_);
        ++socketCount_;
    }
    return slot.get();
}

bool BusReactor::sendOn(Endpoint& endpoint, const std::string& body) {
    // The empty delimiter frame makes the DEALER look like a REQ to the REP service.
    if (!endpoint.dealer.send(zmq::const_buffer(),
                              zmq::send_flags::sndmore | zmq::send_flags::dontwait)) {
        return false;
    }
    endpoint.dealer.send(zmq::buffer(body), zmq::send_flags::dontwait);
    return true;
}

bool BusReactor::hasWaiting(const Endpoint& endpoint) const {
    return std::any_of(endpoint.sent.begin(), endpoint.sent.end(),
                       [this](std::uint64_t id) { return waiting_.contains(id); });
}

void BusReactor::takeReplies(Endpoint& endpoint) {
    for (;;) {
        zmq::message_t delimiter;
        if (!endpoint.dealer.recv(delimiter, zmq::recv_flags::dontwait)) {
            return;
        }
        std::string reply;
        while (endpoint.dealer.get(zmq::sockopt::rcvmore)) {
            zmq::message_t part;
            (void)endpoint.dealer.recv(part, zmq::recv_flags::none);
            reply.assign(part.to_string_view());
        }
        if (endpoint.sent.empty()) {
            continue;  // nothing was asked on this DEALER: not a reply of ours
        }
        const auto id = endpoint.sent.front();
        endpoint.sent.pop_front();
        complete(id, Outcome::reply, std::move(reply));
    }
}

void BusReactor::complete(std::uint64_t id, Outcome outcome, std::string reply) {
    const auto found = waiting_.find(id);
    if (found == waiting_.end()) {
        return;  // abandoned, or fire and forget
    }
    auto done = std::move(found->second.done);
    waiting_.erase(found);
    runCallback(done, outcome, std::move(reply));
}

void BusReactor::expireTimers() {
    const auto now = Clock::now();
    while (!timers_.empty() && timers_.begin()->first <= now) {
        const auto id = timers_.begin()->second;
        timers_.erase(timers_.begin());
        complete(id, Outcome::noReply, {});  // its FIFO entry stays until the late reply
    }
}

void BusReactor::checkClosed(bool waitingOnly) {
    const auto& registry = bus::SocketRegistry::instance();
    for (auto entry = endpoints_.begin(); entry != endpoints_.end();) {
        Endpoint& endpoint = *entry->second;
        const bool waiting = hasWaiting(endpoint);
        if ((waitingOnly && !waiting) || registry.isOpen(entry->first)) {
            ++entry;
            continue;
        }
        for (const auto id : endpoint.sent) {
            const auto found = waiting_.find(id);
            if (found != waiting_.end() && found->second.offlineWhenClosed) {
                complete(id, Outcome::offline, {});
            }
        }
        if (hasWaiting(endpoint)) {
            ++entry;  // kept until those time out
            continue;
        }
        entry = endpoints_.erase(entry);
        std::lock_guard lock(mutex_);
        --socketCount_;
    }
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
        std::lock_guard lock(mutex_);
        ++socketCount_;
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
