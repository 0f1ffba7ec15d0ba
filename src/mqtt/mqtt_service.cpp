// The MQTT service: the "mqtt" thread sleeps in one poll over the feed, the broker connection's
// socket, its wake-up and stop signals until one is ready or the next deadline (a stick's
// dead-man, a status's turn, the connection's keep-alive or next attempt) comes.
#include "mqtt/mqtt_service.hpp"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include <spdlog/spdlog.h>
#include <zmq.hpp>

#include "bus/endpoints.hpp"
#include "bus/feed.hpp"
#include "bus/socket_registry.hpp"
#include "config/configuration_client.hpp"
#include "mqtt/home_assistant.hpp"
#include "net/trust_policy.hpp"
#include "platform/host_names.hpp"

namespace kinetra::mqtt {
namespace {

using namespace std::chrono_literals;

constexpr int kStateQos = 1;   // retained state and replies: acknowledged by the broker
constexpr int kStreamQos = 0;  // status and health: the next one follows soon
// A health topic is paced by its source (once a second); this only bounds a flood.
constexpr auto kHealthInterval = 500ms;
// Discovery documents follow a status's shape, looked at no more than once a second.
constexpr auto kShapeInterval = 1s;
constexpr std::string_view kStatusFeedPrefix = "status/";
// The device service starts after this one: until it answers, the list is asked this often.
constexpr auto kAskLinksAgain = 200ms;
// The link statistics, once a second per link, when the link publishes them.
constexpr std::string_view kHealthFeedPrefix = "health/";
// The feed is left unread while no link's status may go yet, at most this long (the list of
// links and the health figures come on it too).
constexpr auto kLongestFeedHold = 100ms;
// Holds in a row that found nothing at their end before the feed is read as it comes again.
constexpr int kHoldsInVain = 3;

MqttConfig configFrom(const std::string& configurationEndpoint) {
    const auto server = config::requestConfigurationSection(configurationEndpoint, "server");
    if (!server) {
        return MqttRefused{"no answer from the configuration service"};
    }
    return readMqttSettings(*server, platform::hostName());
}

// The password is the file's first line; the file may end with a line break.
std::optional<std::string> readPassword(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    if (!file || !std::getline(file, line)) {
        return std::nullopt;
    }
    if (line.ends_with('\r')) {
        line.pop_back();
    }
    return line;
}

bool flagOf(const json& record, const char* key) {
    const auto found = record.find(key);
    return found != record.end() && found->is_boolean() && found->get<bool>();
}

Outbox::Duration intervalOf(double rate) {
    return std::chrono::duration_cast<Outbox::Duration>(std::chrono::duration<double>(1.0 / rate));
}

}  // namespace

MqttService::MqttService(const std::string& configurationEndpoint)
    : MqttService(configFrom(configurationEndpoint)) {}

MqttService::MqttService(MqttConfig config) {
    if (const auto* refused = std::get_if<MqttRefused>(&config)) {
        spdlog::error("MQTT is off: {0}.", refused->reason);
        state_.set(Connection::off, refused->reason);
        return;
    }
    if (const auto* settings = std::get_if<MqttSettings>(&config)) {
        begin(*settings);
    }
}

bool MqttService::begin(const MqttSettings& settings) {
    BrokerClient::Options options{settings.broker, settings.clientId, settings.username,
                                  std::nullopt,    settings.caFile,   {}};
    const auto off = [this](const std::string& why) {
        spdlog::error("MQTT is off: {0}.", why);
        state_.set(Connection::off, why);
        return false;
    };
    if (!settings.passwordFile.empty()) {
        options.password = readPassword(settings.passwordFile);
        if (!options.password) {
            return off(
                fmt::format("[mqtt] passwordFile = \"{0}\" cannot be read", settings.passwordFile));
        }
    }
    const Topics& topics = topics_.emplace(settings.topicPrefix);
    options.will = {topics.online(), "false", kStateQos, true, std::nullopt};
    try {
        // The client reports inside the calls "mqtt" makes: handled once each call returns.
        client_ = std::make_unique<BrokerClient>(
            options, [this](BrokerEvent event) { brokerEvents_.push_back(std::move(event)); },
            [this] { inFlight_ = std::max(0, inFlight_ - 1); });
    } catch (const std::exception& error) {
        return off(error.what());
    }
    settings_ = settings;
    state_.configure(settings.broker.text(), settings.topicPrefix);
    state_.set(Connection::connecting);
    spdlog::info("MQTT: connecting to {0} as {1}; topics under {2}/, commands {3}.",
                 settings.broker.text(), settings.clientId, settings.topicPrefix,
                 settings.commands ? "taken" : "off");
    route_ = std::make_unique<BusRoute>(bus::SocketRegistry::instance().context());
    // Restarted after a failure: the links, the outbox, the feed and the broker connection are
    // members.
    thread_.start({.name = "mqtt", .service = "MQTT"}, [this](std::stop_token) { run(); });
    return true;
}

MqttService::~MqttService() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    thread_.stop();
    if (route_) {
        route_->stop();  // the sticks' zeros handed over on the way out still go
    }
    if (client_) {
        std::optional<Publication> last;
        if (connected_) {
            last = Publication{topics_->online(), "false", kStateQos, true, std::nullopt};
        }
        client_->stop(std::move(last));
        spdlog::info("MQTT: disconnected from {0}.", settings_->broker.text());
    }
}

void MqttService::post(Event event) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return;
        }
        inbox_.push_back(std::move(event));
    }
    wake_.raise();
}

void MqttService::run() {
    if (!feed_) {  // the first run, not a restart
        // Straight from the publishers: status comes many times a second per link, and through
        // the registry's forwarder each message would wake a third thread.
        feed_.emplace(bus::makeDirectFeedSubscriber(*bus::SocketRegistry::instance().context()));
        // Subscribed before the list is asked for, so no change between the two is missed.
        bus::subscribeDirect(*feed_, bus::kLinksTopic);
        askLinks();
        client_->start(std::chrono::steady_clock::now());
        handleBroker(std::chrono::steady_clock::now());
    }
    // Plain poll, with the feed's descriptor: zmq_poll would look at every source twice per
    // wake-up, and a status is worth one.
    const int feed = feed_->get(zmq::sockopt::fd);
    std::vector<Event> events;
    for (;;) {  // a stop makes its descriptor readable: the poll returns at once
        platform::faultPoint();
        auto now = std::chrono::steady_clock::now();
        int timeout = -1;
        auto wakeAt = nextWake(now);
        const auto heldUntil = feedHeldUntil(now);
        if (heldUntil && (!wakeAt || *heldUntil < *wakeAt)) {
            wakeAt = heldUntil;
        }
        if (wakeAt) {
            timeout = static_cast<int>(std::max<long>(
                0, std::chrono::ceil<std::chrono::milliseconds>(*wakeAt - now).count()));
        }
        const int broker = client_->socket();
        pollfd items[] = {
            {heldUntil ? -1 : feed, POLLIN, 0},
            {wake_.fd(), POLLIN, 0},
            {thread_.stopSignal().fd(), POLLIN, 0},
            {broker, static_cast<short>(POLLIN | (client_->wantsWrite() ? POLLOUT : 0)), 0}};
        if (::poll(items, broker != -1 ? 4 : 3, timeout) < 0 && errno != EINTR) {
            warn("poll", fmt::format("poll failed: {0}", std::strerror(errno)), now);
        }
        if (items[2].revents != 0) {
            break;
        }
        now = std::chrono::steady_clock::now();
        const auto brokerWake = client_->nextWake(now);
        if ((broker != -1 && items[3].revents != 0) || (brokerWake && *brokerWake <= now)) {
            client_->service(now);
        }
        handleBroker(now);
        if (items[1].revents != 0) {
            wake_.clear();  // before the look, so that a post after it wakes the next poll
            std::lock_guard lock(mutex_);
            events.swap(inbox_);
        }
        for (auto& event : events) {
            try {
                handle(event, now);
            } catch (const std::exception& error) {
                spdlog::warn("MQTT: {0}", error.what());
            }
        }
        events.clear();
        // The feed's descriptor only tells that something may have come, and only once all
        // that waited was taken: any call on the socket (a subscription made for a new link)
        // may take its signal. So the feed is emptied after every wake-up, after the last
        // such call; a message that fails does not end it.
        const bool holdEnded = heldUntil && now >= *heldUntil;
        bool taken = false;
        while (auto message = bus::tryReceiveFeed(*feed_)) {
            taken = true;
            try {
                takeFeed(message->topic, message->body, now);
            } catch (const std::exception& error) {
                warn("feed", fmt::format("{0}: {1}", message->topic, error.what()), now);
            }
        }
        feedTakenAt_ = now;
        if (holdEnded) {
            // Nothing came meanwhile, again and again: holding only costs wake-ups. (Status at
            // about twice the rate makes the odd one arrive just after the hold.)
            feedHoldsInVain_ = taken ? 0 : feedHoldsInVain_ + 1;
            if (feedHoldsInVain_ >= kHoldsInVain) {
                feedHoldPays_ = false;
                feedHoldsInVain_ = 0;
            }
        }
        if (askLinksAt_ && now >= *askLinksAt_) {
            askLinks();
        }
        releaseSticks(sticks_.due(now), "no joystickMove within 500 ms");
        flush(now);
    }
    releaseSticks(sticks_.releaseAll(), "the server stops");
    // Nothing is wanted any more: the publishers stop making status for this thread.
    bus::subscribeDirect(*feed_, bus::kLinksTopic, false);
    for (const auto& [linkId, link] : links_) {
        bus::subscribeDirect(*feed_, bus::statusTopic(linkId), false);
        bus::subscribeDirect(*feed_, bus::healthTopic(linkId), false);
    }
    feed_.reset();
}

void MqttService::handleBroker(Time now) {
    // Handling one may report another (a publish that finds the connection gone).
    while (!brokerEvents_.empty()) {
        auto events = std::exchange(brokerEvents_, {});
        for (auto& event : events) {
            try {
                onBroker(event, now);
            } catch (const std::exception& error) {
                spdlog::warn("MQTT: {0}", error.what());
            }
        }
    }
}

void MqttService::askLinks() {
    askLinksAt_.reset();
    route_->request(std::string(bus::kDeviceEndpoint), R"({"command":"linkStatus"})",
                    [this](RouteOutcome outcome, std::string reply) {
                        post(LinksSnapshot{outcome, std::move(reply)});
                    });
}

std::optional<MqttService::Time> MqttService::nextWake(Time now) const {
    if (!brokerEvents_.empty()) {
        return now;
    }
    std::optional<Time> next = sticks_.nextDeadline();
    const auto sooner = [&](std::optional<Time> at) {
        if (at && (!next || *at < *next)) {
            next = at;
        }
    };
    sooner(askLinksAt_);
    sooner(client_->nextWake(now));
    if (connected_ && inFlight_ < kMaxInFlight) {
        sooner(outbox_.nextDue(now));
    }
    return next;
}

// Status is newest-wins at statusRate: while no link's status may go yet, what comes meanwhile
// can wait in the feed and be read when one may, the newest winning then. So a status that
// would only be replaced wakes nobody (neither this thread nor, its queue not being empty, the
// bundle's to signal it). Only while status comes faster than it may go: otherwise the end of
// each hold would be a wake-up of its own.
std::optional<MqttService::Time> MqttService::feedHeldUntil(Time now) const {
    if (!connected_ || links_.empty() || !feedHoldPays_) {
        return std::nullopt;
    }
    Time until = feedTakenAt_ + kLongestFeedHold;
    for (const auto& [linkId, link] : links_) {
        const auto allowed = outbox_.allowedFrom(link.statusTopic);
        if (!allowed) {
            return std::nullopt;  // its first status goes at once
        }
        until = std::min(until, *allowed);
    }
    return until > now ? std::optional(until) : std::nullopt;
}

void MqttService::handle(Event& event, Time now) {
    if (auto* answered = std::get_if<Answered>(&event)) {
        onAnswered(*answered, now);
    } else {
        auto& snapshot = std::get<LinksSnapshot>(event);
        if (linksFromFeed_) {
            return;  // the feed was quicker, and is newer
        }
        if (snapshot.outcome != RouteOutcome::reply) {
            askLinksAt_ = now + kAskLinksAgain;  // the device service is not up yet
            return;
        }
        const json reply = json::parse(snapshot.reply, nullptr, false);
        if (reply.is_object() && reply.contains("data")) {
            onLinks(core::dumpCompact(reply["data"]));
        }
    }
}

void MqttService::takeFeed(const std::string& topic, std::string& body, Time now) {
    if (topic == bus::kLinksTopic) {
        linksFromFeed_ = true;
        onLinks(body);
    } else if (topic.starts_with(kStatusFeedPrefix)) {
        onStatus(topic.substr(kStatusFeedPrefix.size()), body, now);
    } else if (topic.starts_with(kHealthFeedPrefix)) {
        const auto linkId = topic.substr(kHealthFeedPrefix.size());
        if (connected_ && links_.contains(linkId)) {
            outbox_.offerLatest(
                {topics_->health(linkId), std::move(body), kStreamQos, false, std::nullopt},
                kHealthInterval);
        }
    }
}

void MqttService::onBroker(BrokerEvent& event, Time now) {
    if (std::holds_alternative<Connected>(event)) {
        onConnected(now);
    } else if (auto* lost = std::get_if<ConnectionLost>(&event)) {
        onLost(lost->reason, now);
    } else {
        onMessage(std::get<BrokerMessage>(event), now);
    }
}

void MqttService::onConnected(Time now) {
    (void)now;
    connected_ = true;
    inFlight_ = 0;
    state_.set(Connection::connected);
    spdlog::info("MQTT: connected to {0}.", settings_->broker.text());
    if (settings_->commands && !client_->subscribe(topics_->commandFilters())) {
        spdlog::warn("MQTT: could not subscribe to the command topics.");
    }
    // A fresh session: the retained state goes out again, online first (what was offered while
    // away, such as a removed discovery document, follows).
    outbox_.enqueue({topics_->online(), "true", kStateQos, true, std::nullopt});
    if (!linksBody_.empty()) {
        outbox_.offerLatest({topics_->links(), linksBody_, kStateQos, true, std::nullopt}, {});
    }
    for (const auto& [linkId, link] : links_) {
        for (const auto& [topic, document] : link.documents) {
            outbox_.offerLatest({topic, document, kStateQos, true, std::nullopt}, {});
        }
    }
}

void MqttService::onLost(const std::string& reason, Time now) {
    const bool was = connected_;
    connected_ = false;
    state_.set(Connection::retrying, reason);
    warn(was ? "lost" : "retry",
         fmt::format("{0} {1}: {2}; retrying", was ? "lost the connection to" : "cannot connect to",
                     settings_->broker.text(), reason),
         now);
    if (was) {
        // Replies and status waiting for that session go with it; retained state waits for the
        // next one, as does what is offered from now on.
        outbox_.clear();
        // Nobody holds a stick whose messages cannot arrive.
        releaseSticks(sticks_.releaseAll(), "the broker connection was lost");
    }
}

void MqttService::onMessage(BrokerMessage& message, Time now) {
    state_.commands.fetch_add(1, std::memory_order_relaxed);
    const auto target = topics_->commandTarget(message.topic);
    if (!target) {
        return;
    }
    if (message.retained) {
        warn("retained", "a retained message on " + message.topic + " is not a command; ignored",
             now);
        return;
    }
    if (message.expiresAt && *message.expiresAt <= now) {
        warn("expired", "a command on " + message.topic + " expired before it could be carried out",
             now);
        return;
    }
    ReplyTo to{message.responseTopic.value_or(topics_->reply()), message.correlation};
    if (message.responseTopic &&
        (topics_->commandTarget(*message.responseTopic) ||
         message.responseTopic->find_first_of("+#") != std::string::npos)) {
        // Its reply would land on a command topic (or nowhere): nothing is carried out.
        warn("responseTopic",
             "a command on " + message.topic + " asked its reply on " + *message.responseTopic +
                 "; refused",
             now);
        reply({topics_->reply(), message.correlation}, std::string(net::kForbiddenReply));
        return;
    }
    auto plan = planCommand(*target, message.payload);
    if (const auto* refusal = std::get_if<Refusal>(&plan)) {
        // The reasons are a handful of fixed texts: each is limited on its own.
        warn(refusal->reason,
             fmt::format("{0} on {1}: not carried out", refusal->reason, message.topic), now);
        reply(to, refusal->reply);
        return;
    }
    auto& forward = std::get<Forward>(plan);
    if (target->kind == TargetKind::bundle) {
        sticks_.observe(target->linkId, jogOf(forward.body), now);
    }
    auto done = [this, to, endpoint = forward.endpoint](RouteOutcome outcome, std::string text) {
        post(Answered{to, endpoint, outcome, std::move(text)});
    };
    if (target->kind == TargetKind::abortAll) {
        sticks_.releaseAll();  // the abort stops them all; no zero is owed any more
        route_->requestStop(std::move(forward.endpoint), std::move(forward.body), std::move(done));
    } else {
        route_->request(std::move(forward.endpoint), std::move(forward.body), std::move(done));
    }
}

void MqttService::onAnswered(Answered& answered, Time now) {
    if (answered.outcome == RouteOutcome::offline) {
        warn("offline", answered.endpoint + " is offline.", now);
    } else if (answered.outcome == RouteOutcome::notQueued) {
        warn("notQueued", "could not send a request to " + answered.endpoint, now);
    }
    reply(answered.replyTo, replyText(answered.outcome, std::move(answered.reply)));
}

void MqttService::reply(const ReplyTo& to, std::string text) {
    // A requester whose connection went has given up; the next session starts afresh.
    if (!connected_ ||
        !outbox_.enqueue({to.topic, std::move(text), kStateQos, false, to.correlation})) {
        state_.dropped.fetch_add(1, std::memory_order_relaxed);
    }
}

void MqttService::onLinks(const std::string& body) {
    linksBody_ = body;
    outbox_.offerLatest({topics_->links(), body, kStateQos, true, std::nullopt}, {});
    const json list = json::parse(body, nullptr, false);
    if (!list.is_array()) {
        return;
    }
    std::vector<std::string> listed;
    for (const auto& record : list) {
        if (!record.is_object() || !record.contains("linkID") || !record["linkID"].is_string() ||
            !flagOf(record, "isValid")) {
            continue;
        }
        const auto& linkId = record["linkID"].get_ref<const std::string&>();
        if (!isTopicLevel(linkId)) {
            warn("linkId", "the link \"" + linkId + "\" cannot be a topic level; not published",
                 std::chrono::steady_clock::now());
            continue;
        }
        listed.push_back(linkId);
        auto [found, added] = links_.try_emplace(linkId);
        Link& link = found->second;
        if (added) {
            link.statusTopic = topics_->status(linkId);
            // Prefixes on the feed: "status/K1" also brings "status/K10", which takeFeed drops
            // unless K10 is listed too.
            bus::subscribeDirect(*feed_, bus::statusTopic(linkId));
            bus::subscribeDirect(*feed_, bus::healthTopic(linkId));
        }
        link.paired = flagOf(record, "isPairingDone");
        if (!link.paired && !link.documents.empty()) {
            publishDocuments(link, {});  // an unpaired bundle is no Home Assistant device
            link.shape.clear();
        }
    }
    for (auto it = links_.begin(); it != links_.end();) {
        if (std::find(listed.begin(), listed.end(), it->first) != listed.end()) {
            ++it;
            continue;
        }
        dropLink(it->first);
        it = links_.erase(it);
    }
}

void MqttService::dropLink(const std::string& linkId) {
    Link& link = links_.at(linkId);
    bus::subscribeDirect(*feed_, bus::statusTopic(linkId), false);
    bus::subscribeDirect(*feed_, bus::healthTopic(linkId), false);
    outbox_.forget(topics_->status(linkId));
    outbox_.forget(topics_->health(linkId));
    publishDocuments(link, {});
}

void MqttService::onStatus(const std::string& linkId, const std::string& body, Time now) {
    const auto found = links_.find(linkId);
    if (found == links_.end() || !connected_) {
        return;
    }
    Link& link = found->second;
    if (outbox_.offerLatest({link.statusTopic, body, kStreamQos, false, std::nullopt},
                            intervalOf(settings_->statusRate))) {
        feedHoldPays_ = true;  // one was replaced: status comes faster than it may go
    }
    if (!settings_->homeAssistant || !link.paired ||
        (link.shapeCheckedAt && now - *link.shapeCheckedAt < kShapeInterval)) {
        return;
    }
    link.shapeCheckedAt = now;
    const json status = json::parse(body, nullptr, false);
    auto shape = discoveryShape(status);
    if (shape != link.shape) {
        link.shape = std::move(shape);
        publishDocuments(link, discoveryDocuments(*topics_, linkId, status, settings_->commands));
    }
}

void MqttService::publishDocuments(Link& link, std::map<std::string, std::string> documents) {
    for (const auto& [topic, document] : link.documents) {
        if (!documents.contains(topic)) {
            // An empty retained message removes the config, and the broker's copy of it.
            outbox_.offerLatest({topic, "", kStateQos, true, std::nullopt}, {});
        }
    }
    for (const auto& [topic, document] : documents) {
        const auto old = link.documents.find(topic);
        if (old == link.documents.end() || old->second != document) {
            outbox_.offerLatest({topic, document, kStateQos, true, std::nullopt}, {});
        }
    }
    link.documents = std::move(documents);
}

void MqttService::releaseSticks(const std::vector<JogWatch::Release>& sticks, const char* why) {
    for (const auto& [linkId, zero] : sticks) {
        spdlog::info("MQTT: {0}: the stick of {1} is let go.", why, linkId);
        route_->requestStop(bus::bundleEndpoint(linkId), zero, [](RouteOutcome, std::string) {});
    }
}

void MqttService::flush(Time now) {
    // A message handed over is written at once; QoS 1 stays in flight until the broker's
    // acknowledgement, which the connection's socket brings.
    while (connected_ && inFlight_ < kMaxInFlight) {
        auto next = outbox_.take(now);
        if (!next) {
            break;
        }
        ++inFlight_;  // before the hand-over, whose delivery is reported inside it
        if (client_->publish(*next)) {
            state_.published.fetch_add(1, std::memory_order_relaxed);
        } else {
            inFlight_ = std::max(0, inFlight_ - 1);
            state_.dropped.fetch_add(1, std::memory_order_relaxed);
        }
    }
    const auto dropped = outbox_.dropped();
    state_.dropped.fetch_add(dropped - lastDropped_, std::memory_order_relaxed);
    lastDropped_ = dropped;
}

void MqttService::warn(const std::string& kind, const std::string& text, Time now) {
    if (const auto held = logLimiter_.admit(kind, now)) {
        spdlog::warn("MQTT: {0}{1}", text, core::heldBackNote(*held));
    }
}

}  // namespace kinetra::mqtt
