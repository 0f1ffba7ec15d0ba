// EventLoop: the worker thread and the connection set of one loop. The thread runs the context
// until stop() withdraws its work guard and every connection has wound down.
#include "net/event_loop.hpp"

#include <atomic>
#include <string>

#include <spdlog/spdlog.h>

#include "net/run_context.hpp"

namespace kinetra::net {

EventLoop::EventLoop() : work_(asio::make_work_guard(context_)) {}

EventLoop::~EventLoop() {
    stop();
}

void EventLoop::start() {
    // Worker loops are numbered in the order they start: net-1, net-2...
    static std::atomic<int> started{0};
    const int number = ++started;
    started_ = true;
    startContextThread(thread_, "net-" + std::to_string(number), context_);
}

void EventLoop::stop() {
    {
        std::lock_guard lock(postMutex_);
        if (!accepting_) {
            return;
        }
        accepting_ = false;
    }
    asio::post(context_, [this] { closeAll(); });
    work_.reset();
    if (started_) {
        // Not asked to stop: the thread ends once the connections have wound down.
        thread_.join();
    } else {
        // Never started: wind the connections down on this thread.
        context_.restart();
        context_.run();
    }
}

void EventLoop::adopt(asio::ip::tcp::socket socket, const asio::ip::tcp::endpoint& peer,
                      std::size_t receiveLimit, const TcpConnection::EnterCallback& enter,
                      std::shared_ptr<void> slot) {
    if (closing_) {
        std::error_code ignored;
        socket.close(ignored);
        return;
    }
    auto connection = std::make_shared<TcpConnection>(shared_from_this(), std::move(socket), peer,
                                                      receiveLimit, std::move(slot));
    connections_.insert(connection);
    try {
        if (enter) {
            enter(connection);
        }
    } catch (const std::exception& error) {
        spdlog::error("net: enter callback failed for {0}: {1}", connection->remoteAddress(),
                      error.what());
        connection->close();
    }
    connection->start();
}

void EventLoop::closeAll() {
    closing_ = true;
    // close() only schedules the removal, so iterating a copy is not needed for safety, but
    // user callbacks may run in between; a copy keeps the iteration independent of them.
    const auto connections = connections_;
    for (const auto& connection : connections) {
        connection->close();
    }
    if (connections_.empty()) {
        closeLocals();
    }
}

void EventLoop::remove(const TcpConnection::Ptr& connection) {
    connections_.erase(connection);
    if (closing_ && connections_.empty()) {
        closeLocals();
    }
}

// What the connections' handlers shared: its work ends now, so the thread can wind down.
void EventLoop::closeLocals() {
    if (localsClosed_) {
        return;
    }
    localsClosed_ = true;
    for (auto& [key, local] : locals_) {
        local->close();
    }
    for (auto& kept : kept_) {
        kept->close();
    }
}

}  // namespace kinetra::net
