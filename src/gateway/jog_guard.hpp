// The dead-man of the jog: which bundles each client connection has left moving with a
// joystickMove, so that the gateway can stop them the moment that connection is gone. A jog is
// the one motion that only runs while someone holds it; everything else a client starts is meant
// to run unattended. Called from the network threads of the connections it tracks.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kinetra::gateway {

/// Per client (any stable identity, typically the connection's address in memory), the zero
/// joystickMove owed to each bundle path it jogs. Thread-safe; holds no reference to the client.
class JogGuard {
public:
    /// A (path, body) request to send on the client's behalf.
    using Request = std::pair<std::string, std::string>;

    /// Notes a request `body` that `client` sent to `path`. Only a joystickMove to a bundle's
    /// command path ("/v1/bundle/<linkID>") counts: a non-zero one makes the client owe that
    /// bundle a stop; a zero one or a motionAbort settles it. Anything else costs a prefix test.
    void observe(const void* client, std::string_view path, std::string_view body);

    /// The zero joystickMove requests owed by `client` (same axes as its last non-zero one), in
    /// path order, and forgets the client.
    std::vector<Request> release(const void* client);

    /// Number of clients that owe a stop (tests and logs).
    std::size_t clientCount() const;

private:
    mutable std::mutex mutex_;  // guards owed_
    std::unordered_map<const void*, std::map<std::string, std::string>> owed_;
};

}  // namespace kinetra::gateway
