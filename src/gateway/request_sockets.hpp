// REQ sockets of the HTTP gateway, kept per worker thread and endpoint between requests. A
// fresh socket per request costs a connect that wakes the service, and a close that wakes the
// bus's reaper and the service again; reuse leaves one wake-up each way per request.
// Every function acts on the calling thread's own sockets only.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include <zmq.hpp>

namespace kinetra::gateway {

/// One request's socket: the calling thread's kept socket for the endpoint, or a socket of its
/// own when the process already keeps kMaxKept sockets. Use on the acquiring thread only, and
/// only until that thread's next acquire() (which may sweep kept sockets away).
class RequestSocket {
public:
    /// At most this many sockets are kept across all threads, well inside the bus's limit of
    /// open sockets; requests beyond it get a socket for themselves, as without reuse.
    static constexpr std::size_t kMaxKept = 128;

    /// The calling thread's socket for `endpoint`, connected, with a receive time-out of
    /// `receiveTimeoutMs`, linger 0, and relaxed, correlated requests (a reply to an earlier
    /// request that was given up is dropped, never taken for the next one's).
    static RequestSocket acquire(zmq::context_t& context, const std::string& endpoint,
                                 int receiveTimeoutMs);

    /// Closes and forgets the calling thread's kept socket for `endpoint`, if any.
    static void forget(const std::string& endpoint);

    /// Number of sockets kept by all threads.
    static std::size_t keptCount();

    RequestSocket(RequestSocket&&) = default;
    RequestSocket& operator=(RequestSocket&&) = default;
    ~RequestSocket() = default;

    zmq::socket_t& socket() { return own_ ? *own_ : *kept_; }

    /// Closes the socket after a request that did not end with its reply, so that no state of
    /// it (a request in flight, a peer that has gone) reaches the next request.
    void discard();

private:
    RequestSocket(std::string endpoint, zmq::socket_t* kept, std::optional<zmq::socket_t> own)
        : endpoint_(std::move(endpoint)), kept_(kept), own_(std::move(own)) {}

    std::string endpoint_;
    zmq::socket_t* kept_;               // in the thread's table (see above)
    std::optional<zmq::socket_t> own_;  // when not kept: closed with this object
};

}  // namespace kinetra::gateway
