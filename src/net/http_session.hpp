// The HTTP/WebSocket protocol on one connection: parses requests, performs the WebSocket
// upgrade, splits frames and calls the user's handlers. Runs on the connection's worker loop
// thread; the send/shutdown/close operations may be called from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <asio/steady_timer.hpp>

#include "net/http_parser.hpp"
#include "net/http_request.hpp"
#include "net/tcp_connection.hpp"
#include "net/websocket_format.hpp"
#include "net/websocket_receiver.hpp"

namespace kinetra::net {

/// One connection's HTTP session. Owned by the connection's callbacks (so it lives as long as
/// the connection) and by any handler that keeps its Ptr; after the connection has closed the
/// operations below do nothing.
///
/// Handlers run on the connection's loop thread, one at a time per connection; they may block
/// (that loop's other connections wait meanwhile). An exception out of a handler is logged and
/// closes the connection.
///
/// Persistent connections: the request handler answers each request once with respond(), from
/// any thread and at any later time; the connection stays open for the next request when the
/// request allows it (HTTP/1.1 without `Connection: close`, HTTP/1.0 with
/// `Connection: keep-alive`), the answer does not say `Connection: close`, `keepAliveTimeout` is
/// not zero and the connection has carried fewer than `maxRequests` requests. Otherwise the
/// answer is the last: it is sent with `Connection: close` (added when missing) and the
/// connection is shut down. A kept HTTP/1.0 answer says `Connection: keep-alive`. Requests
/// sent ahead (pipelined) are handed over one at a time, each after the previous one has been
/// answered; a connection waiting for an answer holds only itself. A handler that neither
/// answers nor closes leaves its connection open.
///
/// Headers gate: runs as soon as a request's headers are complete, before its body is read, so
/// a request that will be refused is answered at once and never holds the connection while a
/// body comes (or does not).
///
/// Time bounds: a connection whose request headers are not complete `headerTimeout` after it
/// opened (on a kept connection: after the first byte of the request), or whose body is not
/// complete `bodyTimeout` after its headers, is closed without an answer; so is a kept
/// connection that sends no byte of a next request for `keepAliveTimeout` after an answer.
///
/// WebSocket: pings are answered with pongs; a client's close frame is answered with a close
/// frame echoing its status code and the connection is closed; a frame that breaks RFC 6455
/// (unmasked, reserved bits or opcodes, bad fragmentation, a close code no peer may send) gets
/// a close frame 1002, a text message or close reason that is not UTF-8 a close frame 1007.
/// Messages are passed on whole (fragments joined). A ping goes out after `pingInterval`
/// without a frame from the client; a client silent for `idleTimeout` (a hung program, a peer
/// gone without a FIN) is closed, which runs the closed handler. A client that does not read
/// (more than `maxUnsentBytes` or `maxUnsentFrames` sent to it and not written out) has what
/// waits dropped and is closed with 1008, so that it cannot make the server's memory grow.
///
/// Upgrade: a request is a WebSocket upgrade when http_parser reports an upgrade and its
/// `Upgrade` header is exactly "websocket"; without `Sec-WebSocket-Key` it is answered 400 and
/// shut down. Any other request, including an upgrade to another protocol (whose answer is the
/// connection's last), goes to the request handler. Bytes that are not HTTP are answered 400
/// with `Connection: close` and the connection is shut down; nothing after them is looked at.
///
/// Typical use, as an HTTP answer and as a WebSocket refusal after an error frame:
///
///     session->respond(HttpResponse().setBody(reply).toString());
///     session->sendWebSocketText(error, [session](const std::error_code&) { session->close(); });
///
/// Receive limit (the listener's, per connection): a request whose bytes (request line,
/// headers and body) exceed it is answered with `oversizeResponse` (with `Connection: close`)
/// and the connection is shut down; bytes pipelined behind a request being answered are held
/// up to about the limit, then the connection is not read until the answer has gone; a WebSocket
/// message (all fragments) beyond it is answered with the text frame of `oversizeMessage` and a
/// close frame 1009, then the connection is shut down.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    using Ptr = std::shared_ptr<HttpSession>;
    using FrameType = WebSocketFormat::FrameType;

    /// A complete request that is not a WebSocket upgrade.
    using RequestHandler = std::function<void(const HttpRequest& request, const Ptr& session)>;
    /// Runs when a request's headers are complete (an upgrade's too), before its body: `head`
    /// has all but the body. A response text refuses the request: it is sent at once with
    /// `Connection: close`, the body is not awaited and the connection is shut down. Nothing
    /// lets the request go on.
    using HeadersGate =
        std::function<std::optional<std::string>(const HttpRequest& head, const Ptr& session)>;
    /// The upgrade handshake reply has been written; the session speaks WebSocket from now on.
    /// Closing the session here refuses the client (the closed handler still follows).
    using WsConnectedHandler = std::function<void(const Ptr& session, const HttpRequest& upgrade)>;
    /// A complete message (fragments joined); `type` is text or binary.
    using WsMessageHandler =
        std::function<void(const Ptr& session, FrameType type, const std::string& payload,
                           const HttpRequest& upgrade)>;
    /// The connection of a session whose connected handler ran has closed; runs once, also
    /// when the connected handler itself closed the connection (to refuse it).
    using WsClosedHandler = std::function<void(const Ptr& session, const HttpRequest& upgrade)>;
    /// The text frame sent before the close 1009 for a message over the receive limit.
    using WsOversizeText = std::function<std::string(const HttpRequest& upgrade)>;

    /// What a listener installs on its sessions; shared by all of them. Empty handlers are
    /// skipped.
    struct Handlers {
        RequestHandler onRequest;
        HeadersGate onHeaders;
        WsConnectedHandler onWsConnected;
        WsMessageHandler onWsMessage;
        WsClosedHandler onWsClosed;
        /// Full response text for a request over the receive limit; empty:
        /// defaultOversizeResponse().
        std::string oversizeResponse;
        /// Text of the frame for a WebSocket message over the receive limit; empty:
        /// kOversizeMessage.
        WsOversizeText oversizeMessage;
        /// A connection whose request headers are not complete this long after it opened (or
        /// after the first byte of a request on a kept connection) is closed, so that slow
        /// clients cannot hold it; zero: no bound.
        std::chrono::milliseconds headerTimeout = kDefaultHeaderTimeout;
        /// Likewise for a request body, counted from the end of its headers; zero: no bound.
        std::chrono::milliseconds bodyTimeout = kDefaultBodyTimeout;
        /// HTTP: a connection kept after an answer is closed after this long without a byte of
        /// the next request; zero: every answer closes its connection.
        std::chrono::milliseconds keepAliveTimeout = kDefaultKeepAliveTimeout;
        /// HTTP: the answer to the connection's request number `maxRequests` is its last.
        std::size_t maxRequests = kDefaultMaxRequests;
        /// WebSocket: a ping after this long without a frame from the client; zero: none.
        std::chrono::milliseconds pingInterval = kDefaultPingInterval;
        /// WebSocket: closed after this long without a frame from the client; zero: never.
        std::chrono::milliseconds idleTimeout = kDefaultIdleTimeout;
        /// WebSocket: the bounds of what waits unwritten for a client; zero: no bound.
        std::size_t maxUnsentBytes = kDefaultMaxUnsentBytes;
        std::size_t maxUnsentFrames = kDefaultMaxUnsentFrames;
    };

    static constexpr std::chrono::milliseconds kDefaultHeaderTimeout{10000};
    static constexpr std::chrono::milliseconds kDefaultBodyTimeout{10000};
    static constexpr std::chrono::milliseconds kDefaultKeepAliveTimeout{5000};
    static constexpr std::size_t kDefaultMaxRequests = 1000;
    static constexpr std::chrono::milliseconds kDefaultPingInterval{5000};
    static constexpr std::chrono::milliseconds kDefaultIdleTimeout{10000};
    static constexpr std::size_t kDefaultMaxUnsentBytes = 1024 * 1024;
    static constexpr std::size_t kDefaultMaxUnsentFrames = 1000;
    /// After a 1008 for frames not read: how long the close frame may wait to be written.
    static constexpr std::chrono::seconds kAbandonDrainTimeout{2};

    /// Text of the frame sent for a WebSocket message over the receive limit.
    static constexpr std::string_view kOversizeMessage = R"({"result":"request too large"})";

    /// An enter callback for ListenerBuilder that attaches a session with `handlers` to every
    /// new connection.
    static TcpConnection::EnterCallback enterCallback(Handlers handlers);

    /// Attaches a session to `connection`: on its loop thread, before its first read (that is,
    /// inside an enter callback).
    static Ptr attach(const TcpConnection::Ptr& connection,
                      std::shared_ptr<const Handlers> handlers);

    /// "413 Payload Too Large" with an empty body, `Connection: close`.
    static std::string defaultOversizeResponse();

    /// "400 Bad Request" with an empty body, `Connection: close`.
    static std::string badRequestResponse();

    /// Answers the request handed to the request handler with the full response text
    /// `response`, once; whether the connection stays open is decided here (see above). Any
    /// thread; an answer after the connection has closed is dropped.
    void respond(std::string response);

    /// Sends raw text (frames already built, or bytes of the caller's own protocol). Any thread.
    void send(std::string text, TcpConnection::SendCallback done = {});
    /// Sends `payload` as one final, unmasked text frame; a client that leaves too much unread
    /// is closed (see maxUnsentBytes). Any thread.
    void sendWebSocketText(std::string_view payload, TcpConnection::SendCallback done = {});
    /// Shuts the connection down once pending data is written. Any thread.
    void shutdown() { connection_->shutdown(); }
    /// Closes the connection now. Any thread.
    void close() { connection_->close(); }
    /// WebSocket only: sends a close frame with `code` and `reason`, then shuts the connection
    /// down (the peer answers and closes). Any thread.
    void closeWebSocket(WebSocketFormat::CloseCode code, std::string_view reason);

    /// The connection under this session.
    const TcpConnection::Ptr& connection() const { return connection_; }
    /// A number the owner gives this connection (the gateway: its bus client key); 0 until
    /// set. Loop thread only.
    std::uint64_t tag() const { return tag_; }
    void setTag(std::uint64_t tag) { tag_ = tag; }

    struct Token {};  // restricts construction to attach()
    HttpSession(Token, TcpConnection::Ptr connection, std::shared_ptr<const Handlers> handlers);

private:
    enum class State {
        http,         // parsing requests
        answering,    // a request is with the request handler; what follows waits in inbox_
        handshaking,  // 101 queued, waiting until it is written
        webSocket,    // exchanging frames
        finished,     // answered for the last time; further bytes are not looked at
    };

    void onData(std::string_view data);
    std::size_t parse(std::string_view data);
    void holdBack(std::string_view pipelined);
    void takeInbox();
    bool passHeadersGate();
    void onRequestComplete(std::string_view rest);
    void onAnswer(std::string response);
    void finish(std::string response);
    void beginWebSocket(HttpRequest request, std::string_view rest);
    void onHandshakeWritten(const std::error_code& error);
    void processFrames();
    void refuseOversizeRequest();
    void endWebSocket(WebSocketFormat::CloseCode code, std::string_view closePayload);
    void onClosed();
    void armRequestTimer(std::chrono::milliseconds bound, const char* what);
    void waitForRequestDeadline();
    void armKeepAlive();
    void onKeepAlive();
    void limitUnsent();

    template <typename Handler, typename... Args>
    void callHandler(const char* what, const Handler& handler, Args&&... args);

    const TcpConnection::Ptr connection_;
    const std::shared_ptr<const Handlers> handlers_;

    // Touched on the loop thread only.
    State state_ = State::http;
    HTTPParser parser_;
    std::size_t requestBytes_ = 0;  // bytes of the request being parsed
    bool headersJudged_ = false;    // the gate has passed the request being parsed
    bool parsing_ = false;          // inside parse(): an answer given there does not parse again
    bool idle_ = false;             // kept after an answer, no byte of the next request yet
    std::string inbox_;             // bytes behind the request being answered, not parsed yet
    std::size_t requestCount_ = 0;  // requests handed to the request handler
    bool keepAfterAnswer_ = false;  // the request being answered lets the connection stay
    bool http10_ = false;           // the request being answered is HTTP/1.0
    bool clientEnds_ = false;       // ... asked for the connection to end: it sends nothing more
    HttpRequest upgrade_;           // the request that opened the WebSocket
    WebSocketReceiver receiver_;
    std::string frameBytes_;  // received bytes not yet taken by receiver_
    bool connectedReported_ = false;
    std::uint64_t tag_ = 0;
    // Bounds the wait for a request's headers, then its body, and a kept connection's quiet.
    asio::steady_timer requestTimer_;
    std::optional<std::chrono::steady_clock::time_point> requestDeadline_;  // none: no bound
    const char* requestWaitedFor_ = "";  // what the deadline waits for, for the log
    bool requestTimerArmed_ = false;     // a wait on requestTimer_ is pending
    asio::steady_timer keepAliveTimer_;  // WebSocket: the next ping or the idle close
    std::chrono::steady_clock::time_point lastHeard_{};  // WebSocket: the client's last bytes
    std::chrono::steady_clock::time_point lastPing_{};   // WebSocket: our last ping
};

}  // namespace kinetra::net
