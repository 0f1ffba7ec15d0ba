// TcpConnection: the read loop, the send queue and the two ways to end (shutdown after the
// queue drains, or close now). Every handler runs on the connection's worker loop thread and
// holds the connection through shared_from_this().
#include "net/tcp_connection.hpp"

#include <exception>
#include <iterator>
#include <utility>

#include <spdlog/spdlog.h>
#include <asio/buffer.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>

#include "net/event_loop.hpp"

namespace kinetra::net {

namespace {

// User callbacks run inside asio handlers: nothing they throw may cross into the loop.
template <typename Callback, typename... Args>
void callSafely(const char* what, const Callback& callback, Args&&... args) {
    try {
        callback(std::forward<Args>(args)...);
    } catch (const std::exception& error) {
        spdlog::error("net: {0} callback threw: {1}", what, error.what());
    }
}

std::string describe(const asio::ip::tcp::endpoint& peer) {
    if (peer.port() == 0) {
        return "unknown peer";
    }
    return peer.address().to_string() + ":" + std::to_string(peer.port());
}

}  // namespace

TcpConnection::TcpConnection(std::shared_ptr<EventLoop> loop, asio::ip::tcp::socket socket,
                             const asio::ip::tcp::endpoint& peer, std::size_t receiveLimit,
                             std::shared_ptr<void> slot)
    : loop_(std::move(loop)),
      socket_(std::move(socket)),
      lingerTimer_(loop_->context()),
      receiveLimit_(receiveLimit),
      remoteAddress_(describe(peer)),
      remoteIp_(peer.address()),
      slot_(std::move(slot)) {}

void TcpConnection::setDataCallback(DataCallback callback) {
    onData_ = std::move(callback);
}

void TcpConnection::setClosedCallback(ClosedCallback callback) {
    onClosed_ = std::move(callback);
}

void TcpConnection::start() {
    if (!closed_) {
        read();
    }
}

void TcpConnection::send(std::string text, SendCallback done) {
    loop_->runInLoop(
        [self = shared_from_this(), text = std::move(text), done = std::move(done)]() mutable {
            self->enqueue(std::move(text), std::move(done));
        });
}

void TcpConnection::shutdown(std::chrono::seconds drain) {
    endSending(drain, false);
}

void TcpConnection::closeOnceWritten() {
    endSending(kDrainTimeout, true);
}

void TcpConnection::endSending(std::chrono::seconds drain, bool peerSendsNoMore) {
    loop_->runInLoop([self = shared_from_this(), drain, peerSendsNoMore] {
        if (self->closed_ || self->shutdownRequested_) {
            return;
        }
        self->shutdownRequested_ = true;
        self->peerSendsNoMore_ = peerSendsNoMore;
        self->resumeReading();  // to see the peer's close; what it still sends is dropped
        if (self->writing_) {
            self->closeAfter(drain);
        } else {
            self->shutdownNow();
        }
    });
}

void TcpConnection::close() {
    loop_->runInLoop([self = shared_from_this()] { self->closeNow(); });
}

void TcpConnection::enqueue(std::string text, SendCallback done) {
    if (!isActive()) {
        if (done) {
            completeLater(std::move(done), asio::error::not_connected);
        }
        return;
    }
    unsentBytes_ += text.size();
    sendQueue_.push_back({std::move(text), std::move(done)});
    if (!writing_) {
        writeNext();
    }
}

void TcpConnection::writeNext() {
    writing_ = true;
    // The deque keeps the front element in place while later sends are appended.
    asio::async_write(socket_, asio::buffer(sendQueue_.front().text),
                      [self = shared_from_this()](const std::error_code& error, std::size_t) {
                          self->onWritten(error);
                      });
}

void TcpConnection::onWritten(const std::error_code& error) {
    writing_ = false;
    SendCallback done = std::move(sendQueue_.front().done);
    unsentBytes_ -= sendQueue_.front().text.size();
    sendQueue_.pop_front();
    // Start the next write before the callback, so a send made inside it only queues.
    if (!error && !closed_ && !sendQueue_.empty()) {
        writeNext();
    }
    if (done) {
        callSafely("send", done, error);
    }
    if (error || closed_) {
        // Whatever is still queued will not be written: report it (unless a write started
        // above is in flight; its own completion does that).
        closeNow();
        failPending();
    } else if (!writing_ && shutdownRequested_) {
        shutdownNow();
    }
}

void TcpConnection::resumeReading() {
    readPaused_ = false;
    if (!closed_ && !reading_) {
        read();
    }
}

void TcpConnection::read() {
    reading_ = true;
    socket_.async_read_some(
        asio::buffer(readBuffer_),
        [self = shared_from_this()](const std::error_code& error, std::size_t size) {
            self->onRead(error, size);
        });
}

void TcpConnection::onRead(const std::error_code& error, std::size_t size) {
    reading_ = false;
    if (closed_) {
        return;
    }
    if (error == asio::error::eof && (writing_ || !sendQueue_.empty())) {
        // The peer only half-closed: what it asked for is still being written; close after.
        peerClosed_ = true;
        shutdownRequested_ = true;
        closeAfter(kDrainTimeout);
        return;
    }
    if (error) {
        closeNow();
        return;
    }
    // After shutdown() incoming bytes have no one to answer them: read and drop.
    if (!shutdownRequested_ && onData_) {
        callSafely("data", onData_, std::string_view(readBuffer_.data(), size));
    }
    if (!closed_ && !reading_ && !readPaused_) {
        read();
    }
}

void TcpConnection::shutdownNow() {
    if (closed_ || sendSideShut_) {
        return;
    }
    sendSideShut_ = true;
    std::error_code error;
    if (peerClosed_ || (peerSendsNoMore_ && socket_.available(error) == 0 && !error)) {
        closeNow();
        return;
    }
    socket_.shutdown(asio::ip::tcp::socket::shutdown_send, error);
    if (error) {
        closeNow();
        return;
    }
    closeAfter(kLingerTimeout);
}

void TcpConnection::closeAfter(std::chrono::seconds delay) {
    // Re-arming cancels the earlier wait, whose handler then sees operation_aborted.
    lingerTimer_.expires_after(delay);
    lingerTimer_.async_wait([self = shared_from_this()](const std::error_code& timerError) {
        if (!timerError) {
            self->closeNow();
        }
    });
}

void TcpConnection::closeNow() {
    if (closed_) {
        return;
    }
    closed_ = true;
    lingerTimer_.cancel();
    std::error_code ignored;
    socket_.close(ignored);
    if (!writing_) {
        failPending();
    }
    // Reported from a fresh handler so the closed callback never runs inside the caller's
    // own callback (a data handler that closes, for example).
    asio::post(loop_->context(), [self = shared_from_this()] { self->finishClose(); });
}

void TcpConnection::failPending() {
    // The front entry stays while its write is in flight: asio still refers to its text.
    while (!writing_ && !sendQueue_.empty()) {
        SendCallback done = std::move(sendQueue_.front().done);
        unsentBytes_ -= sendQueue_.front().text.size();
        sendQueue_.pop_front();
        if (done) {
            callSafely("send", done, asio::error::operation_aborted);
        }
    }
}

void TcpConnection::discardUnsent() {
    // The one being written stays: asio refers to its text, and the peer may hold part of it.
    const std::size_t keep = writing_ ? 1 : 0;
    std::deque<PendingSend> dropped(std::make_move_iterator(sendQueue_.begin() + keep),
                                    std::make_move_iterator(sendQueue_.end()));
    sendQueue_.erase(sendQueue_.begin() + keep, sendQueue_.end());
    for (auto& entry : dropped) {
        unsentBytes_ -= entry.text.size();
        if (entry.done) {
            callSafely("send", entry.done, asio::error::operation_aborted);
        }
    }
}

void TcpConnection::finishClose() {
    // Dropping the callbacks releases what they hold (the session above, typically), which
    // otherwise would keep this connection alive through a cycle.
    ClosedCallback closed = std::move(onClosed_);
    onClosed_ = nullptr;
    onData_ = nullptr;
    slot_.reset();
    if (closed) {
        callSafely("closed", closed, shared_from_this());
    }
    loop_->remove(shared_from_this());
}

void TcpConnection::completeLater(SendCallback done, std::error_code error) {
    asio::post(loop_->context(),
               [done = std::move(done), error] { callSafely("send", done, error); });
}

}  // namespace kinetra::net
