// The route's DEALERs, its waiting requests and their deadlines; runs on the owning thread.
#include "bus/route.hpp"

#include <algorithm>
#include <array>

#include <spdlog/spdlog.h>

#include "bus/request_tag.hpp"
#include "bus/socket_registry.hpp"

namespace kinetra::bus {
namespace {

// Ids of fire-and-forget requests carry this bit: their replies are expected and dropped
// without being counted as late.
constexpr std::uint64_t kUnwatched = std::uint64_t{1} << 63;

}  // namespace

Route::Route(std::shared_ptr<zmq::context_t> context, Limits limits, SocketWatch watch)
    : context_(std::move(context)), limits_(limits), watch_(std::move(watch)) {}

Route::~Route() {
    for (auto& [name, endpoint] : endpoints_) {
        tell(*endpoint, false);
    }
}

void Route::tell(Endpoint& endpoint, bool opened) {
    if (watch_) {
        watch_(endpoint.dealer, opened);
    }
}

void Route::refuse(Completion& done, Outcome outcome) {
    if (done) {
        ready_.push_back({std::move(done), outcome, {}});
    }
}

bool Route::withinBounds(const Request& request, const std::string& name) const {
    if (request.stop || !request.done) {
        return true;  // stops always go; fire-and-forget requests wait for nothing
    }
    if (waiting_.size() >= limits_.waiting) {
        return false;
    }
    const auto found = endpoints_.find(name);
    if (found == endpoints_.end()) {
        return true;
    }
    const Endpoint& endpoint = *found->second;
    const auto client = endpoint.boundedPerClient.find(request.client);
    return endpoint.bounded < limits_.perEndpoint &&
           (client == endpoint.boundedPerClient.end() || client->second < limits_.perClient);
}

void Route::send(Request request) {
    // No socket is ever made for an endpoint no service has announced.
    if (!SocketRegistry::instance().isOpen(request.endpoint)) {
        refuse(request.done, Outcome::offline);
    } else if (!withinBounds(request, request.endpoint)) {
        refuse(request.done, Outcome::notQueued);
    } else {
        const std::uint64_t id = ++nextId_ | (request.done ? 0 : kUnwatched);
        Endpoint* endpoint = nullptr;
        try {
            endpoint = endpointFor(request.endpoint);
            if (endpoint != nullptr && !sendOn(*endpoint, id, request)) {
                // A DEALER whose service went away has no peer left (inproc does not
                // reconnect, even when the service binds the name again): once more on a new
                // one. What waited on the old one waits out its patience.
                endpoint = openEndpoint(request.endpoint);
                if (!sendOn(*endpoint, id, request)) {
                    endpoint = nullptr;
                }
            }
        } catch (const zmq::error_t& error) {
            // No socket to be had (the process is out of them): this request is refused.
            spdlog::warn("bus: could not send to {0}: {1}", request.endpoint, error.what());
            endpoint = nullptr;
        }
        if (endpoint == nullptr) {
            refuse(request.done, Outcome::notQueued);
        } else if (request.done) {
            ++endpoint->pending;
            if (!request.stop) {
                ++endpoint->bounded;
                ++endpoint->boundedPerClient[request.client];
            }
            const auto deadline = deadlines_.emplace(Clock::now() + request.patience, id);
            waiting_.emplace(
                id, Waiting{std::move(request.done), std::move(request.endpoint), request.client,
                            request.offlineWhenClosed, !request.stop, deadline});
        }
    }
    runReady();
}

Route::Endpoint* Route::endpointFor(const std::string& name) {
    const auto found = endpoints_.find(name);
    if (found != endpoints_.end()) {
        return found->second.get();
    }
    if (endpoints_.size() >= limits_.endpoints) {
        checkClosed(false);
        if (endpoints_.size() >= limits_.endpoints) {
            return nullptr;
        }
    }
    return openEndpoint(name);
}

Route::Endpoint* Route::openEndpoint(const std::string& name) {
    auto endpoint = std::make_unique<Endpoint>();
    endpoint->dealer = zmq::socket_t(*context_, zmq::socket_type::dealer);
    endpoint->dealer.set(zmq::sockopt::linger, 0);
    endpoint->dealer.connect(name);
    auto& slot = endpoints_[name];
    if (slot) {
        // The replaced DEALER's waiting requests stay counted until they end.
        endpoint->pending = slot->pending;
        endpoint->bounded = slot->bounded;
        endpoint->boundedPerClient = std::move(slot->boundedPerClient);
        tell(*slot, false);
    }
    slot = std::move(endpoint);
    tell(*slot, true);
    return slot.get();
}

bool Route::sendOn(Endpoint& endpoint, std::uint64_t id, const Request& request) {
    const auto tag = encodeRequestTag(RequestTag{
        .id = id,
        .client = request.client,
        .patience = request.done ? request.patience : Milliseconds(0),
        .stop = request.stop,
    });
    endpoint.sentOn = true;
    // Only the first frame can be refused: the rest of a message always follows it.
    if (!endpoint.dealer.send(zmq::buffer(tag),
                              zmq::send_flags::sndmore | zmq::send_flags::dontwait)) {
        return false;
    }
    endpoint.dealer.send(zmq::const_buffer(), zmq::send_flags::sndmore);
    endpoint.dealer.send(zmq::buffer(request.body), zmq::send_flags::none);
    return true;
}

std::vector<zmq::socket_ref> Route::sockets() const {
    std::vector<zmq::socket_ref> result;
    result.reserve(endpoints_.size());
    for (const auto& [name, endpoint] : endpoints_) {
        result.emplace_back(endpoint->dealer);
    }
    return result;
}

void Route::takeReplies() {
    for (auto& [name, endpoint] : endpoints_) {
        takeRepliesOf(*endpoint);
    }
    runReady();
}

bool Route::sentOnHaveReplies() {
    bool replies = false;
    for (auto& [name, endpoint] : endpoints_) {
        if (endpoint->sentOn) {
            endpoint->sentOn = false;
            if ((endpoint->dealer.get(zmq::sockopt::events) & ZMQ_POLLIN) != 0) {
                replies = true;
            }
        }
    }
    return replies;
}

// A reply is [tag, "", body] as the service echoed it. Anything else is no reply of ours.
void Route::takeRepliesOf(Endpoint& endpoint) {
    std::array<zmq::message_t, 3> frames;
    for (;;) {
        std::size_t count = 0;
        zmq::message_t extra;
        if (!endpoint.dealer.recv(frames[0], zmq::recv_flags::dontwait)) {
            endpoint.sentOn = false;  // that receive looked at everything zmq had for it
            return;
        }
        count = 1;
        bool more = frames[0].more();
        while (more) {
            auto& into = count < frames.size() ? frames[count] : extra;
            (void)endpoint.dealer.recv(into, zmq::recv_flags::none);
            more = into.more();
            ++count;
        }
        const auto tag = decodeRequestTag(
            {static_cast<const std::uint8_t*>(frames[0].data()), frames[0].size()});
        if (count != 3 || frames[1].size() != 0 || !tag) {
            ++lateReplies_;
            continue;
        }
        if ((tag->id & kUnwatched) != 0) {
            continue;
        }
        if (!waiting_.contains(tag->id)) {
            ++lateReplies_;  // given up before it came
            continue;
        }
        complete(tag->id, Outcome::reply, frames[2].to_string());
    }
}

void Route::complete(std::uint64_t id, Outcome outcome, std::string reply) {
    const auto found = waiting_.find(id);
    if (found == waiting_.end()) {
        return;
    }
    Waiting waiting = std::move(found->second);
    waiting_.erase(found);
    deadlines_.erase(waiting.deadline);
    if (const auto entry = endpoints_.find(waiting.endpoint); entry != endpoints_.end()) {
        Endpoint& endpoint = *entry->second;
        --endpoint.pending;
        if (waiting.bounded) {
            --endpoint.bounded;
            if (const auto client = endpoint.boundedPerClient.find(waiting.client);
                client != endpoint.boundedPerClient.end() && --client->second == 0) {
                endpoint.boundedPerClient.erase(client);
            }
        }
    }
    ready_.push_back({std::move(waiting.done), outcome, std::move(reply)});
}

void Route::service(Clock::time_point now) {
    while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
        const auto id = deadlines_.begin()->second;
        if (waiting_.contains(id)) {
            complete(id, Outcome::noReply, {});  // takes its entry out
        } else {
            deadlines_.erase(deadlines_.begin());  // never left behind, but never looped on
        }
    }
    if (now - lastSweep_ >= kSweepInterval) {
        lastSweep_ = lastCheck_ = now;
        checkClosed(false);
    } else if (!waiting_.empty() && now - lastCheck_ >= kClosedCheckInterval) {
        lastCheck_ = now;
        checkClosed(true);
    }
    runReady();
}

std::optional<Route::Clock::time_point> Route::nextDeadline() const {
    std::optional<Clock::time_point> next;
    const auto consider = [&](Clock::time_point at) {
        if (!next || at < *next) {
            next = at;
        }
    };
    if (!endpoints_.empty()) {
        consider(lastSweep_ + kSweepInterval);
    }
    if (!waiting_.empty()) {
        consider(lastCheck_ + kClosedCheckInterval);
    }
    if (!deadlines_.empty()) {
        consider(deadlines_.begin()->first);
    }
    return next;
}

void Route::checkClosed(bool waitingOnly) {
    const auto& registry = SocketRegistry::instance();
    for (auto entry = endpoints_.begin(); entry != endpoints_.end();) {
        Endpoint& endpoint = *entry->second;
        if ((waitingOnly && endpoint.pending == 0) || registry.isOpen(entry->first)) {
            ++entry;
            continue;
        }
        std::vector<std::uint64_t> offline;
        for (const auto& [id, waiting] : waiting_) {
            if (waiting.endpoint == entry->first && waiting.offlineWhenClosed) {
                offline.push_back(id);
            }
        }
        for (const auto id : offline) {
            complete(id, Outcome::offline, {});
        }
        if (endpoint.pending > 0) {
            ++entry;  // kept until those run out of patience
            continue;
        }
        tell(endpoint, false);
        entry = endpoints_.erase(entry);
    }
}

void Route::runReady() {
    if (running_) {
        return;
    }
    running_ = true;
    while (!ready_.empty()) {
        for (auto& item : std::exchange(ready_, {})) {
            try {
                item.done(item.outcome, std::move(item.reply));
            } catch (const std::exception& error) {
                spdlog::warn("bus: a request's completion failed: {0}", error.what());
            }
        }
    }
    running_ = false;
}

}  // namespace kinetra::bus
