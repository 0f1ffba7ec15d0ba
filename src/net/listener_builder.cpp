// ListenerBuilder: socket set-up in the caller's thread, then an accept loop on the listener's
// own thread. Handlers capture `this`: the thread that runs them is joined by stop().
#include "net/listener_builder.hpp"

#include <chrono>
#include <exception>
#include <stdexcept>
#include <string>

#include <spdlog/spdlog.h>
#include <asio/ip/address_v4.hpp>
#include <asio/post.hpp>

#include "net/run_context.hpp"

namespace kinetra::net {

namespace {

// Pause after a failed accept (for example out of descriptors) so the loop does not spin.
constexpr std::chrono::milliseconds kAcceptRetryDelay{50};

}  // namespace

ListenerBuilder::~ListenerBuilder() {
    stop();
}

ListenerBuilder& ListenerBuilder::withService(std::shared_ptr<TcpService> service) {
    service_ = std::move(service);
    return *this;
}

ListenerBuilder& ListenerBuilder::withAddress(std::string address, std::uint16_t port) {
    address_ = std::move(address);
    port_ = port;
    return *this;
}

ListenerBuilder& ListenerBuilder::withSocketSetup(SocketSetup step) {
    setup_.push_back(std::move(step));
    return *this;
}

ListenerBuilder& ListenerBuilder::withReceiveLimit(std::size_t bytes) {
    receiveLimit_ = bytes;
    return *this;
}

ListenerBuilder& ListenerBuilder::withConnectionLimit(std::size_t count) {
    connectionLimit_ = count;
    return *this;
}

ListenerBuilder& ListenerBuilder::withEnterCallback(TcpConnection::EnterCallback enter) {
    enter_ = std::make_shared<const TcpConnection::EnterCallback>(std::move(enter));
    return *this;
}

ListenerBuilder::SocketSetup ListenerBuilder::tcpNoDelay() {
    return [](asio::ip::tcp::socket& socket) { socket.set_option(asio::ip::tcp::no_delay(true)); };
}

void ListenerBuilder::start() {
    if (started_) {
        throw std::logic_error("listener already started");
    }
    if (!service_ || service_->workerCount() == 0) {
        throw std::logic_error("listener needs a running TcpService");
    }
    acceptor_.emplace(context_);
    const auto fail = [this](const std::error_code& error) {
        std::error_code ignored;
        acceptor_->close(ignored);
        acceptor_.reset();
        throw std::runtime_error("listen error of:" + std::to_string(error.value()));
    };
    std::error_code error;
    acceptor_->open(asio::ip::tcp::v4(), error);
    if (error) {
        fail(error);
    }
    // inet_pton underneath: dotted text only, a host name is an error, never a lookup.
    const auto address = asio::ip::make_address_v4(address_, error);
    if (error) {
        fail(error);
    }
    acceptor_->set_option(asio::socket_base::reuse_address(true), error);
    if (error) {
        fail(error);
    }
    acceptor_->bind(asio::ip::tcp::endpoint(address, port_), error);
    if (error) {
        fail(error);
    }
    acceptor_->listen(kBacklog, error);
    if (error) {
        fail(error);
    }
    boundPort_ = acceptor_->local_endpoint(error).port();

    context_.restart();
    accept();
    started_ = true;
    // A handler that threw may have left no accept armed: without one the restarted thread
    // would have no work and end, and the port would go deaf while still bound.
    startContextThread(thread_, "listen:" + std::to_string(boundPort_), context_, [this] {
        if (!acceptArmed_ && acceptor_->is_open()) {
            context_.restart();  // out of work when the handler threw, it stopped itself
            accept();
        }
    });
}

void ListenerBuilder::stop() {
    if (!started_) {
        return;
    }
    started_ = false;
    asio::post(context_, [this] {
        std::error_code ignored;
        acceptor_->close(ignored);
        retryTimer_.cancel();
    });
    // With the acceptor closed the pending accept ends and the context runs out of work: the
    // thread ends on its own, and a later start() may run it again.
    thread_.join();
    // The thread may have ended before taking the close (its service stopped first): run it
    // here so nothing stale is left for a later start().
    context_.restart();
    context_.poll();
    acceptor_.reset();
}

void ListenerBuilder::accept() {
    auto loop = service_->nextLoop();
    if (!loop) {
        spdlog::warn("net: listener on port {0}: the service has stopped, not accepting",
                     boundPort_);
        return;
    }
    // The new socket belongs to the chosen worker loop from the start.
    acceptor_->async_accept(
        loop->context(), [this, loop](const std::error_code& error, asio::ip::tcp::socket socket) {
            acceptArmed_ = false;
            onAccepted(error, std::move(socket), loop);
        });
    acceptArmed_ = true;
}

void ListenerBuilder::onAccepted(const std::error_code& error, asio::ip::tcp::socket socket,
                                 const std::shared_ptr<EventLoop>& loop) {
    if (error == asio::error::operation_aborted || !acceptor_->is_open()) {
        return;
    }
    if (error) {
        spdlog::warn("net: accept failed on port {0}: {1}", boundPort_, error.message());
        retryTimer_.expires_after(kAcceptRetryDelay);
        retryTimer_.async_wait([this](const std::error_code& timerError) {
            acceptArmed_ = false;
            if (!timerError) {
                accept();
            }
        });
        acceptArmed_ = true;
        return;
    }
    if (connectionLimit_ != 0 && *live_ >= connectionLimit_) {
        std::error_code ignored;
        socket.close(ignored);
        // A flood of them is one line a second.
        if (const auto held = limitLog_.admit("limit")) {
            spdlog::warn("net: port {0} holds {1} connections, its limit; refusing new ones{2}",
                         boundPort_, connectionLimit_, core::heldBackNote(*held));
        }
        accept();
        return;
    }
    try {
        for (const auto& step : setup_) {
            step(socket);
        }
    } catch (const std::exception& failure) {
        spdlog::warn("net: socket set-up failed on port {0}: {1}", boundPort_, failure.what());
        accept();
        return;
    }
    // If the loop is stopping the handler is dropped and the socket closes with it here,
    // while `loop` still keeps its context alive.
    // Counted from here until the connection closes (or is dropped with a stopping loop).
    ++*live_;
    std::shared_ptr<void> slot(nullptr, [live = live_](void*) { --*live; });
    loop->post([target = loop.get(), socket = std::move(socket), limit = receiveLimit_,
                enter = enter_, slot = std::move(slot)]() mutable {
        static const TcpConnection::EnterCallback none;
        target->adopt(std::move(socket), limit, enter ? *enter : none, std::move(slot));
    });
    accept();
}

}  // namespace kinetra::net
