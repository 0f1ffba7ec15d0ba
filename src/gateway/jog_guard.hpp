// The dead-man of the jog: which axes of which bundles each client has left moving with a
// joystickMove, so that the gateway can stop exactly those the moment the client is gone. A jog
// is the one motion that only runs while someone holds it; everything else a client starts is
// meant to run unattended. Called from the network threads (when a request goes out) and the
// bus reactor (when its answer comes back).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/json.hpp"
#include "gateway/bus_reactor.hpp"
#include "gateway/loop_routes.hpp"

namespace kinetra::gateway {

/// Per client (any stable identity: a connection's address in memory, or one key for all of
/// HTTP) and bundle command path ("/v1/bundle/<linkID>"), the axes owed a zero joystickMove.
///
/// The bundle reads a joystickMove as axis groups, one device message each: pan with tilt, the
/// jib's pan with its tilt, and the slide. A group becomes owed when a joystickMove deflecting it
/// is sent (before its answer, so a client that vanishes meanwhile is still covered) and stays
/// owed unless that request is refused. It is settled only when a joystickMove that zeros it is
/// accepted ("ok", acknowledged by the gear), or a motionAbort of the bundle is. Requests are
/// read with the bundle's own JSON parser, so escaped names count exactly as the bundle counts
/// them. Usage, on any thread:
///
///     auto ticket = guard.observe(client, path, body);   // as the request is queued
///     ... when the reply comes back:
///     if (ticket) guard.settle(*ticket, JogGuard::answerOf(outcome, reply));
///     ... when the client is gone:
///     for (auto& stop : guard.release(client)) send(stop);
///
/// Thread-safe; holds no reference to any client.
class JogGuard {
public:
    using Client = const void*;
    /// A (path, body) request to send on the client's behalf.
    using Request = std::pair<std::string, std::string>;

    /// What the bundle made of a request.
    enum class Answer {
        accepted,     ///< "ok", and the gear acknowledged every message
        unconfirmed,  ///< "ok", but the gear acknowledged none or not all of it
        refused,      ///< any other result, or the request never reached the bundle
        unknown,      ///< no answer in time: it may have been carried out
    };

    /// A request the guard follows until its answer comes back; hand it to settle().
    struct Ticket {
        Client client;
        std::string path;
        std::uint64_t epoch = 0;    ///< of the client's record for `path` when it was sent
        bool abort = false;         ///< a motionAbort (the masks below are then empty)
        std::uint8_t deflects = 0;  ///< axis groups the request moves, one bit each
        std::uint8_t zeros = 0;     ///< axis groups the request stops
        std::uint8_t keys = 0;      ///< axis keys it named, one bit each
    };

    /// Notes `body` as it is sent by `client` to `path`. A ticket for a joystickMove that names
    /// at least one axis with numbers or booleans, or a motionAbort, on a bundle command path;
    /// nothing for a stop of what the client does not hold, nor for anything else (which costs
    /// a path test and, where the body could name one of those commands, a parse).
    std::optional<Ticket> observe(Client client, std::string_view path, std::string_view body);
    /// The same for a request already parsed.
    std::optional<Ticket> observeParsed(Client client, std::string_view path, const json& request);

    /// Applies the bundle's answer to a ticket. A ticket whose client was released since it was
    /// sent changes nothing (the stop is already out).
    void settle(const Ticket& ticket, Answer answer);

    /// The zero joystickMove requests owed by `client`, in path order, each naming the owed
    /// axes as the client last named them; forgets the client.
    std::vector<Request> release(Client client);
    /// The same for one path of `client`; nothing when nothing is owed there.
    std::optional<Request> release(Client client, std::string_view path);

    /// Clients that owe a stop or have a followed request in flight (tests and logs).
    std::size_t clientCount() const;

    /// Reads a bundle reply as the guard needs it.
    static Answer answerOf(Outcome outcome, std::string_view reply);

private:
    struct Group {
        std::size_t inFlight = 0;   // deflections sent, not answered yet
        bool moving = false;        // a deflection was carried out and nothing stopped it since
        std::uint8_t keys = 0;      // keys named by the last deflection carried out
        std::uint8_t sentKeys = 0;  // keys named by the last deflection sent
        bool owed() const { return moving || inFlight > 0; }
    };
    struct Record {
        std::uint64_t epoch = 0;  // tells a ticket sent before a release from a later one
        std::size_t pending = 0;  // tickets not settled yet
        std::array<Group, 3> groups;
        bool idle() const;
    };

    static std::optional<std::string> zeroFor(const Record& record);

    mutable std::mutex mutex_;  // guards records_, nextEpoch_
    std::unordered_map<Client, std::map<std::string, Record, std::less<>>> records_;
    std::uint64_t nextEpoch_ = 0;
};

/// Sends a stop owed to a client that is gone through `reactor` (fire and forget, carried ahead
/// of ordinary commands) and logs it with the client's address.
void sendJogStop(BusReactor& reactor, std::string_view clientAddress, JogGuard::Request stop);
/// The same through the route of `loop` (its thread only): the loop the client's own requests
/// went out on, so that the stop follows them on the same socket and no jog of the client can
/// reach the bundle after it.
void sendJogStop(LoopRoutes& routes, net::EventLoop& loop, std::string_view clientAddress,
                 JogGuard::Request stop);

}  // namespace kinetra::gateway
