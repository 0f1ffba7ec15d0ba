// One I/O worker loop: an asio::io_context run by a thread of its own. The connections on a
// loop are kept here and touched only by that thread, so no lock guards them.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>

#include "net/tcp_connection.hpp"
#include "platform/service_thread.hpp"

namespace kinetra::net {

/// Something of a loop's own that the handlers on it share (the gateway's way to the bus): made
/// on the loop thread on first use, closed there when the loop stops, after its connections.
class LoopLocal {
public:
    virtual ~LoopLocal() = default;
    /// Loop thread, once: lets go of everything that keeps the loop busy (descriptors, timers).
    /// Later calls of the object must still be safe (they find it closed).
    virtual void close() = 0;
};

/// A worker loop, owned by TcpService and shared with its connections (which keep its context
/// alive). Call start() once; stop() closes the connections and joins the thread.
class EventLoop : public std::enable_shared_from_this<EventLoop> {
public:
    EventLoop();
    /// Stops the loop if still running.
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    /// Starts the worker thread.
    void start();

    /// Closes every connection of the loop, lets their handlers finish, joins the thread.
    /// Later posts are dropped. Idempotent. Must not be called from the loop's own thread.
    void stop();

    /// True on the loop's own thread.
    bool isInLoopThread() const { return executor_.running_in_this_thread(); }

    /// Queues `handler` to run on the loop; returns false (and drops it) once stop() has begun.
    template <typename Handler>
    bool post(Handler&& handler) {
        std::lock_guard lock(postMutex_);
        if (!accepting_) {
            return false;
        }
        asio::post(context_, std::forward<Handler>(handler));
        return true;
    }

    /// Runs `handler` now when on the loop thread, else posts it.
    template <typename Handler>
    void runInLoop(Handler&& handler) {
        if (isInLoopThread()) {
            handler();
        } else {
            post(std::forward<Handler>(handler));
        }
    }

    /// The context whose sockets and timers belong to this loop.
    asio::io_context& context() { return context_; }

    /// Loop thread: makes a connection of `socket` from `peer` (holding `slot` until it
    /// closes), runs `enter` on it, starts reading.
    void adopt(asio::ip::tcp::socket socket, const asio::ip::tcp::endpoint& peer,
               std::size_t receiveLimit, const TcpConnection::EnterCallback& enter,
               std::shared_ptr<void> slot = {});

    /// Loop thread: forgets a closed connection (its closed handlers have run).
    void remove(const TcpConnection::Ptr& connection);

    /// Loop thread: number of open connections.
    std::size_t connectionCount() const { return connections_.size(); }

    /// Loop thread: the object kept under `key` (its owner's address), made by `make()` on
    /// first use. Objects are closed once the loop stops and its last connection is gone, so
    /// the closed handlers of the connections may still use them; one made after that is
    /// closed at once.
    template <typename T, typename Make>
    T& local(const void* key, Make&& make) {
        auto& slot = locals_[key];
        if (!slot) {
            slot = std::forward<Make>(make)();
            if (localsClosed_) {
                slot->close();
            }
        }
        return static_cast<T&>(*slot);
    }

    /// Loop thread: keeps `object` until the loop is destroyed and closes it with the objects
    /// of local() (at once when they are closed already). For an object of no one key.
    template <typename T>
    T& keep(std::unique_ptr<T> object) {
        T& kept = *object;
        kept_.push_back(std::move(object));
        if (localsClosed_) {
            kept.close();
        }
        return kept;
    }

private:
    void closeAll();
    void closeLocals();

    asio::io_context context_{1};
    const asio::io_context::executor_type executor_ = context_.get_executor();
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::mutex postMutex_;  // guards accepting_, held while posting so nothing lands after stop
    bool accepting_ = true;
    bool closing_ = false;                                                // loop thread only
    std::unordered_set<TcpConnection::Ptr> connections_;                  // loop thread only
    std::unordered_map<const void*, std::unique_ptr<LoopLocal>> locals_;  // loop thread only
    std::vector<std::unique_ptr<LoopLocal>> kept_;                        // loop thread only
    bool localsClosed_ = false;                                           // loop thread only
    bool started_ = false;                                                // owner's thread
    platform::ServiceThread thread_;  // last: joined before the members it uses go
};

}  // namespace kinetra::net
