// One way to serve bus endpoints: a loop on the service's own thread that sleeps until a socket
// has a message or the service stops, and answers every request on a REP socket exactly once.
// Also the one way to make a REQ socket, and to ask a service once. Used by every service thread
// that owns REP sockets.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <zmq.hpp>

#include "bus/wait.hpp"
#include "core/json.hpp"
#include "platform/stop_signal.hpp"

namespace kinetra::bus {

/// How a REQ socket behaves. Linger is always 0: a request whose answer nobody waits for any
/// more is dropped with its socket instead of holding up shutdown.
struct RequestSocketOptions {
    Milliseconds receiveTimeout = kForever;  ///< bound on a blocking receive
    Milliseconds sendTimeout = kForever;     ///< bound on a blocking send (no peer yet or left)
    bool relaxed = false;  ///< may send again without having read the previous reply
};

/// Makes a REQ socket on `context` connected to `endpoint`. Throws zmq::error_t.
zmq::socket_t makeRequestSocket(zmq::context_t& context, const std::string& endpoint,
                                const RequestSocketOptions& options = {});

/// One request and its reply on a REQ socket of its own to `endpoint`, the send and the wait for
/// the reply each bounded by `timeout`. The reply parsed as JSON, or nothing when the request
/// could not go out (no peer), no reply came in time, or the reply was not JSON. For a thread
/// that asks a service now and then (a start-up, a menu action); throws zmq::error_t.
std::optional<json> requestOnce(const std::string& endpoint, std::string_view request,
                                Milliseconds timeout);

/// Runs the loop of one service thread over the sockets it was given, until `stop` is set or
/// the bus is torn down. Not thread-safe: built, filled and run by the thread that owns the
/// sockets, which must outlive the loop.
class ServiceLoop {
public:
    /// Answers one request; what it returns is sent as the reply.
    using Handler = std::function<std::string(std::string_view request)>;
    /// Turns the text of an exception a handler threw into the service's error reply.
    using ErrorReply = std::function<std::string(std::string_view what)>;
    /// Takes the messages waiting on a socket that is not answered (PULL, SUB...).
    using Drain = std::function<void(zmq::socket_ref socket)>;

    /// `name` starts every log line of the loop ("Bundle KSIM0001"). Without `errorReply` a
    /// failed request is answered {"result": <what>}.
    ServiceLoop(std::string name, const platform::StopSignal& stop, ErrorReply errorReply = {});

    /// Serves requests on the REP socket `socket` with `handler`. `afterReply`, when given, runs
    /// after each reply has gone out (to hold back a client that retries in a loop).
    void answer(zmq::socket_ref socket, Handler handler, std::function<void()> afterReply = {});
    /// Calls `drain` whenever `socket` has messages.
    void take(zmq::socket_ref socket, Drain drain);
    /// Calls `onReadable` whenever the descriptor `fd` is readable (a platform::WakeSignal
    /// another thread raises when it has handed this one work); it must make `fd` unreadable.
    void watch(int fd, std::function<void()> onReadable);

    using TimePoint = std::chrono::steady_clock::time_point;
    /// When a timed task is next due; nothing while it has nothing to do.
    using Due = std::function<std::optional<TimePoint>()>;
    /// Runs `task` between requests once the time `due` names has passed. `due` is asked before
    /// every wait, so the loop sleeps until the earliest deadline and not longer; a task that
    /// has nothing to do costs no wake.
    void at(Due due, std::function<void()> task);

    /// Runs `then` after every wake, once all sockets have been visited.
    void afterEachWake(std::function<void()> then) { afterEachWake_ = std::move(then); }

    /// Serves until stopped. On each wake every socket is visited in the order it was given:
    /// waiting messages are drained, and at most one request per REP socket is answered; then
    /// the timed tasks that are due run.
    void run();

private:
    struct Entry {
        zmq::socket_ref socket;
        Handler handler;  // empty for a drained socket
        std::function<void()> afterReply;
        Drain drain;
    };

    struct Timed {
        Due due;
        std::function<void()> task;
    };

    /// How long the next wait may last: until the earliest deadline, or for ever.
    Milliseconds nextWait() const;
    void runDueTasks();
    /// Receives and answers one request on `entry`, if one waits.
    void answerOne(const Entry& entry);
    /// Logs a request that failed, unless the service is stopping.
    void logFailure(std::string_view what) const;

    std::string name_;
    const platform::StopSignal& stop_;
    ErrorReply errorReply_;
    struct Watched {
        int fd;
        std::function<void()> onReadable;
    };

    std::vector<Entry> entries_;
    std::vector<Watched> watched_;
    std::vector<Timed> timed_;
    std::function<void()> afterEachWake_;
};

}  // namespace kinetra::bus
