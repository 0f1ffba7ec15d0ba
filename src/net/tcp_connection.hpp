// One accepted TCP socket, bound to one worker loop for its whole life. Its callbacks run on
// that loop's thread, one at a time; send, shutdown and close may be called from any thread.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

namespace kinetra::net {

class EventLoop;

/// A connection, shared between its worker loop (which keeps it until it closes) and any user
/// that holds a Ptr. Every operation is safe after the peer has gone or the connection has
/// closed: it does nothing (a send's callback then reports an error), never throws.
class TcpConnection : public std::enable_shared_from_this<TcpConnection> {
public:
    using Ptr = std::shared_ptr<TcpConnection>;
    /// Receives each chunk read from the socket (loop thread). The view lives for the call only.
    using DataCallback = std::function<void(std::string_view data)>;
    /// Runs once when the connection has closed, for whatever reason (loop thread).
    using ClosedCallback = std::function<void(const Ptr& connection)>;
    /// Runs at most once per send on the loop thread: no error once the text has been written,
    /// or the error (for example asio::error::operation_aborted) when the connection failed or
    /// closed first. Never runs for a send made after the service has stopped.
    using SendCallback = std::function<void(const std::error_code& error)>;
    /// Installs the callbacks on a new connection (loop thread, before its first read).
    using EnterCallback = std::function<void(const Ptr& connection)>;

    /// After the sending side is shut, how long to wait for the peer to close before closing.
    static constexpr std::chrono::seconds kLingerTimeout{3};
    /// After shutdown(), how long queued texts may take to be written to a peer that does not
    /// read before the connection is closed anyway.
    static constexpr std::chrono::seconds kDrainTimeout{30};
    /// Bytes asked of the socket per read.
    static constexpr std::size_t kReadChunk = 8192;

    /// Made by EventLoop::adopt for a socket of `loop`'s context connected to `peer` (as the
    /// accept reported it). `slot` is held until the connection has closed (a listener counts
    /// its connections so).
    TcpConnection(std::shared_ptr<EventLoop> loop, asio::ip::tcp::socket socket,
                  const asio::ip::tcp::endpoint& peer, std::size_t receiveLimit,
                  std::shared_ptr<void> slot = {});
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    /// Sets the data callback. Loop thread only (the enter callback is the place).
    void setDataCallback(DataCallback callback);
    /// Sets the closed callback. Loop thread only (the enter callback is the place).
    void setClosedCallback(ClosedCallback callback);

    /// Queues `text` for writing after everything sent before it. From another thread the send
    /// is posted to the connection's loop. Refused (callback with an error) once shutdown() or
    /// close() was requested.
    void send(std::string text, SendCallback done = {});

    /// Shuts the sending side down once every queued text has been written (within `drain`).
    /// Bytes still arriving are read and dropped (so the peer sees our last data, not a reset)
    /// until the peer closes or kLingerTimeout passes; then the connection closes. A peer that
    /// half-closes first gets what was queued, then the connection closes.
    void shutdown(std::chrono::seconds drain = kDrainTimeout);

    /// As shutdown(), for a peer that has said it sends nothing more (an HTTP client that asked
    /// for the connection to end): once the queue is written the connection closes without
    /// waiting for the peer's close, a wake-up less per connection. With bytes waiting unread
    /// it lingers as shutdown() does, since closing on them would reset the connection, and a
    /// reset can destroy our last data before the peer has read it.
    void closeOnceWritten();

    /// Closes now: queued texts are dropped (their callbacks get operation_aborted), the closed
    /// callback follows on the loop thread.
    void close();

    /// Loop thread: drops the queued texts whose writing has not begun (their callbacks get
    /// operation_aborted), for a peer that does not read and so would never get them. The
    /// connection stays as it is; a text sent afterwards is queued as usual.
    void discardUnsent();

    /// Loop thread: stops asking the socket for bytes until resumeReading(), so that a peer that
    /// sends ahead of what the protocol on top can take waits in TCP's flow control instead of
    /// in our memory. A read already under way still delivers its bytes. shutdown() resumes
    /// reading (what arrives then is dropped).
    void pauseReading() { readPaused_ = true; }
    /// Loop thread: reads again after pauseReading().
    void resumeReading();

    /// Loop thread: texts accepted by send() and not written out yet (the one being written
    /// among them), and their bytes.
    std::size_t unsentCount() const { return sendQueue_.size(); }
    std::size_t unsentBytes() const { return unsentBytes_; }

    /// The receive limit set by the listener, in bytes; the protocol on top enforces it.
    std::size_t receiveLimit() const { return receiveLimit_; }
    /// "address:port" of the peer, for logs.
    const std::string& remoteAddress() const { return remoteAddress_; }
    /// The peer's IP address (unspecified when it could not be read); any thread.
    const asio::ip::address& remoteIp() const { return remoteIp_; }
    /// The worker loop this connection lives on.
    EventLoop& loop() const { return *loop_; }

    /// Loop thread only: not closed and no shutdown requested, so sends are still accepted.
    bool isActive() const { return !closed_ && !shutdownRequested_; }

    /// Starts reading. Called once by the event loop after the enter callback.
    void start();

private:
    struct PendingSend {
        std::string text;
        SendCallback done;
    };

    void enqueue(std::string text, SendCallback done);
    void writeNext();
    void onWritten(const std::error_code& error);
    void read();
    void onRead(const std::error_code& error, std::size_t size);
    void endSending(std::chrono::seconds drain, bool peerSendsNoMore);
    void shutdownNow();
    void closeAfter(std::chrono::seconds delay);
    void closeNow();
    void failPending();
    void finishClose();
    void completeLater(SendCallback done, std::error_code error);

    std::shared_ptr<EventLoop> loop_;  // keeps the context alive as long as the socket
    asio::ip::tcp::socket socket_;
    asio::steady_timer lingerTimer_;
    const std::size_t receiveLimit_;
    std::string remoteAddress_;
    asio::ip::address remoteIp_;
    std::shared_ptr<void> slot_;  // released once closed (loop thread)

    // Touched on the loop thread only.
    DataCallback onData_;
    ClosedCallback onClosed_;
    std::deque<PendingSend> sendQueue_;  // front is being written while writing_
    std::size_t unsentBytes_ = 0;        // the texts' sizes in sendQueue_
    bool writing_ = false;
    bool reading_ = false;     // a read is under way
    bool readPaused_ = false;  // pauseReading() without resumeReading() since
    bool shutdownRequested_ = false;
    bool sendSideShut_ = false;  // shutdownNow() ran
    bool peerClosed_ = false;
    bool peerSendsNoMore_ = false;  // closeOnceWritten(): no need to wait for the peer's close
    bool closed_ = false;
    std::array<char, kReadChunk> readBuffer_{};
};

}  // namespace kinetra::net
