// The jog guard's bookkeeping; see jog_guard.hpp. Runs on the network threads and the bus
// reactor, under the guard's one mutex.
#include "gateway/jog_guard.hpp"

#include <algorithm>

#include <spdlog/spdlog.h>

#include "bus/endpoints.hpp"
#include "gateway/gateway_texts.hpp"

namespace kinetra::gateway {
namespace {

constexpr std::string_view kBundlePrefix = "/v1/bundle/";
constexpr std::string_view kJog = "joystickMove";
constexpr std::string_view kAbort = "motionAbort";

// The groups of axes that travel in one device message of a joystickMove. A bundle that drives
// both pan and tilt refuses a jog naming only one of them, so a stop must name the pair.
enum AxisGroup : std::uint8_t { kPanTilt, kJib, kSlide, kGroupCount };

struct AxisKey {
    std::string_view name;
    AxisGroup group;
};
// The members a joystickMove moves by. "focus" is read (a bad value fails the whole request)
// but moves nothing: the bundle refuses a jog naming it.
constexpr std::array<AxisKey, 5> kAxisKeys = {{{"headPan", kPanTilt},
                                               {"headTilt", kPanTilt},
                                               {"craneMaxPan", kJib},
                                               {"craneMaxTilt", kJib},
                                               {"slide", kSlide}}};
constexpr std::string_view kFocusKey = "focus";

constexpr std::uint8_t bit(std::size_t index) {
    return static_cast<std::uint8_t>(1U << index);
}

std::uint8_t keysOf(AxisGroup group) {
    std::uint8_t keys = 0;
    for (std::size_t k = 0; k < kAxisKeys.size(); ++k) {
        if (kAxisKeys[k].group == group) {
            keys |= bit(k);
        }
    }
    return keys;
}

bool isBundleCommandPath(std::string_view path) {
    if (!path.starts_with(kBundlePrefix)) {
        return false;
    }
    const auto linkId = path.substr(kBundlePrefix.size());
    return !linkId.empty() && linkId.find('/') == std::string_view::npos;
}

// Without a backslash no JSON string can spell a command name other than as its plain text, so
// a body holding neither name needs no parse; with one, only a parse can tell.
bool mayNameAJogOrAbort(std::string_view body) {
    return body.find('\\') != std::string_view::npos || body.find(kJog) != std::string_view::npos ||
           body.find(kAbort) != std::string_view::npos;
}

// How a joystickMove's members read, as the bundle reads them: booleans and numbers are values
// (true is 1), anything else for an axis key fails the request.
struct JogAxes {
    std::uint8_t deflects = 0;
    std::uint8_t zeros = 0;
    std::uint8_t keys = 0;
};
std::optional<JogAxes> readJogAxes(const json& request) {
    std::array<bool, kGroupCount> named{};
    std::array<bool, kGroupCount> moving{};
    JogAxes axes;
    for (auto member = request.begin(); member != request.end(); ++member) {
        const std::string& key = member.key();
        const json& value = member.value();
        const bool number = value.is_number() || value.is_boolean();
        if (key == kFocusKey && !number) {
            return std::nullopt;
        }
        const auto found = std::find_if(kAxisKeys.begin(), kAxisKeys.end(),
                                        [&](const AxisKey& axis) { return axis.name == key; });
        if (found == kAxisKeys.end()) {
            continue;
        }
        if (!number) {
            return std::nullopt;
        }
        const bool moves = value.is_boolean() ? value.get<bool>() : value.get<double>() != 0.0;
        axes.keys |= bit(static_cast<std::size_t>(found - kAxisKeys.begin()));
        named[found->group] = true;
        moving[found->group] = moving[found->group] || moves;
    }
    for (std::size_t g = 0; g < kGroupCount; ++g) {
        if (named[g]) {
            (moving[g] ? axes.deflects : axes.zeros) |= bit(g);
        }
    }
    // A crane arm given a slide moves the slide and ignores the jib: a jib zero beside a slide
    // may never have reached the gear.
    if (named[kSlide]) {
        axes.zeros &= static_cast<std::uint8_t>(~bit(kJib));
    }
    return axes;
}

}  // namespace

bool JogGuard::Record::idle() const {
    return pending == 0 &&
           std::none_of(groups.begin(), groups.end(), [](const Group& g) { return g.owed(); });
}

std::optional<JogGuard::Ticket> JogGuard::observe(Client client, std::string_view path,
                                                  std::string_view body) {
    if (!isBundleCommandPath(path) || !mayNameAJogOrAbort(body)) {
        return std::nullopt;
    }
    return observeParsed(client, path, json::parse(body, nullptr, false));
}

std::optional<JogGuard::Ticket> JogGuard::observeParsed(Client client, std::string_view path,
                                                        const json& request) {
    if (!isBundleCommandPath(path) || !request.is_object()) {
        return std::nullopt;
    }
    const auto command = request.find("command");
    if (command == request.end() || !command->is_string()) {
        return std::nullopt;
    }
    Ticket ticket{client, std::string(path)};
    const auto& name = command->get_ref<const std::string&>();
    if (name == kAbort) {
        ticket.abort = true;
    } else if (name == kJog) {
        const auto axes = readJogAxes(request);
        if (!axes || axes->keys == 0) {
            return std::nullopt;  // refused, or moves nothing: changes nothing owed
        }
        ticket.deflects = axes->deflects;
        ticket.zeros = axes->zeros;
        ticket.keys = axes->keys;
    } else {
        return std::nullopt;
    }

    std::lock_guard lock(mutex_);
    auto& paths = records_[client];
    auto found = paths.find(path);
    if (found == paths.end()) {
        if (ticket.deflects == 0) {
            if (paths.empty()) {
                records_.erase(client);
            }
            return std::nullopt;  // a stop for what this client does not hold
        }
        found = paths.emplace(std::string(path), Record{}).first;
        found->second.epoch = ++nextEpoch_;
    }
    Record& record = found->second;
    ++record.pending;
    for (std::size_t g = 0; g < kGroupCount; ++g) {
        if ((ticket.deflects & bit(g)) != 0) {
            auto& group = record.groups[g];
            ++group.inFlight;
            group.sentKeys = ticket.keys & keysOf(static_cast<AxisGroup>(g));
        }
    }
    ticket.epoch = record.epoch;
    return ticket;
}

void JogGuard::settle(const Ticket& ticket, Answer answer) {
    std::lock_guard lock(mutex_);
    const auto owner = records_.find(ticket.client);
    if (owner == records_.end()) {
        return;
    }
    const auto found = owner->second.find(ticket.path);
    if (found == owner->second.end() || found->second.epoch != ticket.epoch) {
        return;  // released since: its stop is already out
    }
    Record& record = found->second;
    --record.pending;
    for (std::size_t g = 0; g < kGroupCount; ++g) {
        auto& group = record.groups[g];
        if ((ticket.deflects & bit(g)) != 0) {
            --group.inFlight;
            if (answer != Answer::refused) {
                group.moving = true;
                group.keys = ticket.keys & keysOf(static_cast<AxisGroup>(g));
            }
        }
        if (answer == Answer::accepted && (ticket.abort || (ticket.zeros & bit(g)) != 0)) {
            group.moving = false;
        }
    }
    if (record.idle()) {
        owner->second.erase(found);
        if (owner->second.empty()) {
            records_.erase(owner);
        }
    }
}

std::optional<std::string> JogGuard::zeroFor(const Record& record) {
    json stop = json::object();
    for (const auto& group : record.groups) {
        if (!group.owed()) {
            continue;
        }
        const std::uint8_t keys = group.moving ? group.keys : group.sentKeys;
        for (std::size_t k = 0; k < kAxisKeys.size(); ++k) {
            if ((keys & bit(k)) != 0) {
                stop[std::string(kAxisKeys[k].name)] = 0;
            }
        }
    }
    if (stop.empty()) {
        return std::nullopt;
    }
    stop["command"] = kJog;
    return core::dumpCompact(stop);
}

std::vector<JogGuard::Request> JogGuard::release(Client client) {
    std::vector<Request> requests;
    std::lock_guard lock(mutex_);
    const auto owner = records_.find(client);
    if (owner == records_.end()) {
        return requests;
    }
    for (const auto& [path, record] : owner->second) {
        if (auto body = zeroFor(record)) {
            requests.emplace_back(path, std::move(*body));
        }
    }
    records_.erase(owner);
    return requests;
}

std::optional<JogGuard::Request> JogGuard::release(Client client, std::string_view path) {
    std::lock_guard lock(mutex_);
    const auto owner = records_.find(client);
    if (owner == records_.end()) {
        return std::nullopt;
    }
    const auto found = owner->second.find(path);
    if (found == owner->second.end()) {
        return std::nullopt;
    }
    auto body = zeroFor(found->second);
    owner->second.erase(found);
    if (owner->second.empty()) {
        records_.erase(owner);
    }
    if (!body) {
        return std::nullopt;
    }
    return Request{std::string(path), std::move(*body)};
}

std::size_t JogGuard::clientCount() const {
    std::lock_guard lock(mutex_);
    return records_.size();
}

JogGuard::Answer JogGuard::answerOf(Outcome outcome, std::string_view reply) {
    switch (outcome) {
        case Outcome::reply:
            break;
        case Outcome::notQueued:
            return Answer::refused;  // never sent
        case Outcome::noReply:
        case Outcome::offline:  // the bundle went while it had the request
            return Answer::unknown;
    }
    const json parsed = json::parse(reply, nullptr, false);
    if (!parsed.is_object() || parsed.value("result", json()) != "ok") {
        return Answer::refused;
    }
    const auto acknowledged = parsed.find("acknowledged");
    return acknowledged != parsed.end() && *acknowledged == false ? Answer::unconfirmed
                                                                  : Answer::accepted;
}

void sendJogStop(BusReactor& reactor, std::string_view clientAddress, JogGuard::Request stop) {
    auto& [path, body] = stop;
    spdlog::info(kJogStopLog, clientAddress, std::string_view(path).substr(path.rfind('/') + 1));
    reactor.submit(BusReactor::Request{.endpoint = bus::endpointForPath(path),
                                       .body = std::move(body),
                                       .timeout = BusReactor::Milliseconds(1000),
                                       .offlineWhenClosed = false,
                                       .done = {},
                                       .stop = true});
}

void sendJogStop(LoopRoutes& routes, net::EventLoop& loop, std::string_view clientAddress,
                 JogGuard::Request stop) {
    auto& [path, body] = stop;
    spdlog::info(kJogStopLog, clientAddress, std::string_view(path).substr(path.rfind('/') + 1));
    routes.send(loop, bus::Route::Request{.endpoint = bus::endpointForPath(path),
                                          .body = std::move(body),
                                          .patience = std::chrono::milliseconds(1000),
                                          .stop = true,
                                          .offlineWhenClosed = false});
}

}  // namespace kinetra::gateway
