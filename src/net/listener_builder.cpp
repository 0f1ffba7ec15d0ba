// ListenerBuilder: the listening socket is opened on the owner's thread; each worker loop then
// accepts on it through a duplicate descriptor of its own (a Door, kept by the loop). Every
// loop's epoll sees a new connection; the first to take it serves it, the others find nothing
// and wait again.
#include "net/listener_builder.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <exception>
#include <future>
#include <stdexcept>
#include <string>
#include <system_error>

#include <spdlog/spdlog.h>
#include <asio/ip/address_v4.hpp>
#include <asio/steady_timer.hpp>

#include "core/log_limiter.hpp"

namespace kinetra::net {

namespace {

// Pause after a failed accept (for example out of descriptors) so the loop does not spin.
constexpr std::chrono::milliseconds kAcceptRetryDelay{50};
// How long stop() waits for a loop to take its door's close; a loop runs a handler at a time
// and none of them blocks, so this is only a guard.
constexpr std::chrono::seconds kDoorCloseWait{5};
// How long the kernel holds a connection whose client has sent nothing yet.
constexpr int kDeferAcceptSeconds = 1;

// The acceptor of a duplicate descriptor; the descriptor is closed if it cannot be made.
asio::ip::tcp::acceptor acceptorOf(asio::io_context& context, int descriptor) {
    try {
        return asio::ip::tcp::acceptor(context, asio::ip::tcp::v4(), descriptor);
    } catch (...) {
        ::close(descriptor);
        throw;
    }
}

}  // namespace

struct ListenerBuilder::Accepting {
    std::uint16_t port = 0;
    std::vector<SocketSetup> setup;
    std::size_t receiveLimit = kDefaultReceiveLimit;
    std::shared_ptr<const TcpConnection::EnterCallback> enter;
    std::size_t connectionLimit = 0;  // 0: none
    std::shared_ptr<std::atomic<std::size_t>> live;
    core::LogLimiter limitLog;  // the refusals beyond the limit, from every loop
};

// Lives in its loop (EventLoop::keep) and is used only there, so handlers may hold `this`: the
// loop ends their wait before it lets the door go.
class ListenerBuilder::Door final : public LoopLocal {
public:
    Door(EventLoop& loop, int descriptor, std::shared_ptr<Accepting> accepting)
        : loop_(loop),
          acceptor_(acceptorOf(loop.context(), descriptor)),
          retryTimer_(loop.context()),
          accepting_(std::move(accepting)) {}

    void accept() {
        if (!acceptor_.is_open()) {
            return;
        }
        // The peer's address comes with the accept itself, not from a call of its own later.
        // It is copied out before anything else: the next accept, armed at once, reuses peer_.
        acceptor_.async_accept(
            peer_, [this](const std::error_code& error, asio::ip::tcp::socket socket) {
                onAccepted(error, std::move(socket), asio::ip::tcp::endpoint(peer_));
            });
    }

    void close() override {
        std::error_code ignored;
        acceptor_.close(ignored);
        retryTimer_.cancel();
        accepting_.reset();  // what the connections' set-up holds goes with the listener
    }

private:
    void onAccepted(const std::error_code& error, asio::ip::tcp::socket socket,
                    const asio::ip::tcp::endpoint& peer) {
        if (error == asio::error::operation_aborted || !acceptor_.is_open()) {
            return;
        }
        const auto accepting = accepting_;
        if (error) {
            spdlog::warn("net: accept failed on port {0}: {1}", accepting->port, error.message());
            retryTimer_.expires_after(kAcceptRetryDelay);
            retryTimer_.async_wait([this](const std::error_code& timerError) {
                if (!timerError) {
                    accept();
                }
            });
            return;
        }
        // The next accept is armed before anything here can throw, so the port never goes deaf.
        accept();
        // Counted from here until the connection closes; one beyond the limit is undone.
        const std::size_t before = accepting->live->fetch_add(1);
        std::shared_ptr<void> slot(nullptr, [live = accepting->live](void*) { --*live; });
        if (accepting->connectionLimit != 0 && before >= accepting->connectionLimit) {
            std::error_code ignored;
            socket.close(ignored);
            // A flood of them is one line a second.
            if (const auto held = accepting->limitLog.admit("limit")) {
                spdlog::warn("net: port {0} holds {1} connections, its limit; refusing new ones{2}",
                             accepting->port, accepting->connectionLimit,
                             core::heldBackNote(*held));
            }
            return;
        }
        try {
            for (const auto& step : accepting->setup) {
                step(socket);
            }
        } catch (const std::exception& failure) {
            spdlog::warn("net: socket set-up failed on port {0}: {1}", accepting->port,
                         failure.what());
            return;
        }
        static const TcpConnection::EnterCallback none;
        loop_.adopt(std::move(socket), peer, accepting->receiveLimit,
                    accepting->enter ? *accepting->enter : none, std::move(slot));
    }

    EventLoop& loop_;  // holds this door
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer retryTimer_;
    asio::ip::tcp::endpoint peer_;          // filled by the accept in flight (one at a time)
    std::shared_ptr<Accepting> accepting_;  // null once closed
};

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

ListenerBuilder& ListenerBuilder::withNoDelay() {
    noDelay_ = true;
    return *this;
}

void ListenerBuilder::start() {
    if (started_) {
        throw std::logic_error("listener already started");
    }
    const auto loops = service_ ? service_->loops() : std::vector<std::shared_ptr<EventLoop>>{};
    if (loops.empty()) {
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
    if (noDelay_) {
        acceptor_->set_option(asio::ip::tcp::no_delay(true), error);
        if (error) {
            fail(error);
        }
    }
    acceptor_->listen(kBacklog, error);
    if (error) {
        fail(error);
    }
    // Every client of these ports speaks first, so the kernel may hold a connection until its
    // first bytes have come: a loop then accepts and reads the request in one turn instead of
    // waking twice. A client that stays silent is handed over after about a second anyway and
    // meets the header time-out. Only an optimisation: a kernel without it accepts as before.
    const int deferSeconds = kDeferAcceptSeconds;
    (void)::setsockopt(acceptor_->native_handle(), IPPROTO_TCP, TCP_DEFER_ACCEPT, &deferSeconds,
                       sizeof deferSeconds);
    boundPort_ = acceptor_->local_endpoint(error).port();

    auto accepting = std::make_shared<Accepting>();
    accepting->port = boundPort_;
    accepting->setup = setup_;
    accepting->receiveLimit = receiveLimit_;
    accepting->enter = enter_;
    accepting->connectionLimit = connectionLimit_;
    accepting->live = live_;
    try {
        for (const auto& loop : loops) {
            // Each loop's own descriptor of the one listening socket: closing one leaves the rest.
            const int descriptor = ::dup(acceptor_->native_handle());
            if (descriptor < 0) {
                throw std::system_error(errno, std::system_category());
            }
            // Made here (the descriptor is the door's from now on), handed to the loop, used
            // only there from then on.
            auto door = std::make_unique<Door>(*loop, descriptor, accepting);
            Door* const kept = door.get();
            if (loop->post([target = loop.get(), door = std::move(door)]() mutable {
                    target->keep(std::move(door)).accept();
                })) {
                doors_.emplace_back(loop, kept);
            }
        }
    } catch (const std::system_error& failure) {
        stop();
        throw std::runtime_error("listen error of:" + std::to_string(failure.code().value()));
    }
    started_ = true;
}

void ListenerBuilder::stop() {
    // Each door is closed on its loop (after the post that gave it to the loop), and waited
    // for, so that no loop accepts after this.
    for (const auto& [loop, door] : doors_) {
        auto closed = std::make_shared<std::promise<void>>();
        auto done = closed->get_future();
        if (loop->post([door = door, closed] {
                door->close();
                closed->set_value();
            })) {
            (void)done.wait_for(kDoorCloseWait);
        }
    }
    doors_.clear();
    started_ = false;
    if (acceptor_) {
        std::error_code ignored;
        acceptor_->close(ignored);
        acceptor_.reset();
    }
}

}  // namespace kinetra::net
