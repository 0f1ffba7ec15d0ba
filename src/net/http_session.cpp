// HttpSession: request parsing with the receive limit, the WebSocket upgrade and the frame loop.
// Everything here runs on the connection's worker loop thread.
#include "net/http_session.hpp"

#include <algorithm>
#include <exception>
#include <utility>

#include <spdlog/spdlog.h>

#include "net/event_loop.hpp"
#include "net/http_response.hpp"
#include "net/websocket_handshake.hpp"

namespace kinetra::net {

HttpSession::HttpSession(Token, TcpConnection::Ptr connection,
                         std::shared_ptr<const Handlers> handlers)
    : connection_(std::move(connection)),
      handlers_(std::move(handlers)),
      receiver_(connection_->receiveLimit()),
      requestTimer_(connection_->loop().context()),
      keepAliveTimer_(connection_->loop().context()) {}

TcpConnection::EnterCallback HttpSession::enterCallback(Handlers handlers) {
    auto shared = std::make_shared<const Handlers>(std::move(handlers));
    return [shared](const TcpConnection::Ptr& connection) { attach(connection, shared); };
}

HttpSession::Ptr HttpSession::attach(const TcpConnection::Ptr& connection,
                                     std::shared_ptr<const Handlers> handlers) {
    auto session = std::make_shared<HttpSession>(Token{}, connection, std::move(handlers));
    // The connection's callbacks own the session; the connection drops them once closed.
    connection->setDataCallback([session](std::string_view data) { session->onData(data); });
    connection->setClosedCallback([session](const TcpConnection::Ptr&) { session->onClosed(); });
    session->armRequestTimer(session->handlers_->headerTimeout, "request headers");
    return session;
}

std::string HttpSession::defaultOversizeResponse() {
    return HttpResponse()
        .setStatus(HttpStatus::payloadTooLarge)
        .addHeader("Connection", "close")
        .setBody("")
        .toString();
}

std::string HttpSession::badRequestResponse() {
    return HttpResponse()
        .setStatus(HttpStatus::badRequest)
        .addHeader("Connection", "close")
        .setBody("")
        .toString();
}

void HttpSession::respond(std::string response) {
    connection_->loop().runInLoop(
        [self = shared_from_this(), response = std::move(response)]() mutable {
            self->onAnswer(std::move(response));
        });
}

void HttpSession::send(std::string text, TcpConnection::SendCallback done) {
    connection_->send(std::move(text), std::move(done));
}

void HttpSession::sendWebSocketText(std::string_view payload, TcpConnection::SendCallback done) {
    connection_->loop().runInLoop([self = shared_from_this(),
                                   frame = WebSocketFormat::frame(FrameType::text, payload),
                                   done = std::move(done)]() mutable {
        self->connection_->send(std::move(frame), std::move(done));
        self->limitUnsent();
    });
}

void HttpSession::closeWebSocket(WebSocketFormat::CloseCode code, std::string_view reason) {
    connection_->loop().runInLoop(
        [self = shared_from_this(), payload = WebSocketFormat::closePayload(code, reason)] {
            if (self->state_ != State::finished) {
                self->state_ = State::finished;
                self->connection_->send(WebSocketFormat::frame(FrameType::close, payload));
                self->connection_->shutdown();
            }
        });
}

void HttpSession::limitUnsent() {
    const auto& connection = *connection_;
    const bool over =
        (handlers_->maxUnsentBytes != 0 && connection.unsentBytes() > handlers_->maxUnsentBytes) ||
        (handlers_->maxUnsentFrames != 0 && connection.unsentCount() > handlers_->maxUnsentFrames);
    if (state_ != State::webSocket || !over) {
        return;
    }
    // A client that does not read would never get what waits: drop it (not the frame being
    // written, which the client may hold part of), say why, and close soon even if the close
    // frame cannot be written, so that the closed handlers (the dead-man) run.
    spdlog::warn("net: WebSocket client {0} leaves {1} frames ({2} bytes) unread; closing",
                 connection.remoteAddress(), connection.unsentCount(), connection.unsentBytes());
    state_ = State::finished;
    connection_->discardUnsent();
    connection_->send(WebSocketFormat::frame(
        FrameType::close, WebSocketFormat::closePayload(WebSocketFormat::CloseCode::policyViolation,
                                                        "frames not read")));
    connection_->shutdown(kAbandonDrainTimeout);
}

template <typename Handler, typename... Args>
void HttpSession::callHandler(const char* what, const Handler& handler, Args&&... args) {
    if (!handler) {
        return;
    }
    try {
        handler(std::forward<Args>(args)...);
    } catch (const std::exception& error) {
        spdlog::error("net: {0} handler failed for {1}: {2}", what, connection_->remoteAddress(),
                      error.what());
        connection_->close();
    }
}

void HttpSession::armRequestTimer(std::chrono::milliseconds bound, const char* what) {
    // Only the deadline moves per request; the timer is re-armed only when it would fire too
    // late, and otherwise, firing early, waits on for the deadline then current. A kept
    // connection's requests so cost no timer operations of their own.
    if (bound.count() <= 0) {
        requestDeadline_.reset();
        return;
    }
    requestDeadline_ = std::chrono::steady_clock::now() + bound;
    requestWaitedFor_ = what;
    if (!requestTimerArmed_ || requestTimer_.expiry() > *requestDeadline_) {
        waitForRequestDeadline();
    }
}

void HttpSession::waitForRequestDeadline() {
    requestTimerArmed_ = true;
    requestTimer_.expires_at(*requestDeadline_);
    // Weak: a session whose connection has gone is not kept for the timer's sake.
    requestTimer_.async_wait([weak = weak_from_this()](const std::error_code& error) {
        const auto self = weak.lock();
        if (error || !self) {
            return;  // re-armed (a wait for the new expiry is pending) or gone
        }
        self->requestTimerArmed_ = false;
        if (!self->requestDeadline_ || self->state_ != State::http) {
            return;
        }
        if (std::chrono::steady_clock::now() < *self->requestDeadline_) {
            self->waitForRequestDeadline();
            return;
        }
        spdlog::debug("net: {0} sent no complete {1} in time; closing",
                      self->connection_->remoteAddress(), self->requestWaitedFor_);
        self->state_ = State::finished;
        self->connection_->close();
    });
}

void HttpSession::armKeepAlive() {
    const auto ping = handlers_->pingInterval;
    const auto idle = handlers_->idleTimeout;
    std::optional<std::chrono::steady_clock::time_point> next;
    if (idle.count() > 0) {
        next = lastHeard_ + idle;
    }
    if (ping.count() > 0) {
        // The next ping is due one interval after whichever came last: the client or our ping.
        const auto due = std::max(lastHeard_, lastPing_) + ping;
        next = next ? std::min(*next, due) : due;
    }
    if (!next) {
        return;
    }
    keepAliveTimer_.expires_at(*next);
    keepAliveTimer_.async_wait([weak = weak_from_this()](const std::error_code& error) {
        if (const auto self = weak.lock(); self && !error) {
            self->onKeepAlive();
        }
    });
}

void HttpSession::onKeepAlive() {
    if (state_ != State::webSocket) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    const auto idle = handlers_->idleTimeout;
    if (idle.count() > 0 && now - lastHeard_ >= idle) {
        // A hung program or a peer gone without a FIN: nothing we send would be read, so close
        // now; the closed handler releases what the client held (its jogs above all).
        spdlog::info("net: WebSocket client {0} silent for {1} ms; closing",
                     connection_->remoteAddress(), idle.count());
        state_ = State::finished;
        connection_->close();
        return;
    }
    const auto ping = handlers_->pingInterval;
    if (ping.count() > 0 && now >= std::max(lastHeard_, lastPing_) + ping) {
        lastPing_ = now;
        connection_->send(WebSocketFormat::frame(FrameType::ping, {}));
    }
    armKeepAlive();
}

void HttpSession::onData(std::string_view data) {
    switch (state_) {
        case State::http:
            holdBack(data.substr(parse(data)));
            break;
        case State::answering:
            holdBack(data);
            break;
        case State::handshaking:
            // A client must wait for the 101 before sending frames; keep a little, not a flood.
            frameBytes_.append(data);
            if (frameBytes_.size() >
                2 * (connection_->receiveLimit() + WebSocketFormat::kMaxHeaderSize)) {
                spdlog::warn("net: {0} sent too much before the WebSocket handshake completed",
                             connection_->remoteAddress());
                state_ = State::finished;
                connection_->close();
            }
            break;
        case State::webSocket:
            lastHeard_ = std::chrono::steady_clock::now();  // any frame shows the client is alive
            frameBytes_.append(data);
            processFrames();
            break;
        case State::finished:
            // Bytes after a protocol switch we do not speak, or after the last answer.
            connection_->shutdown();
            break;
    }
}

std::size_t HttpSession::parse(std::string_view data) {
    const std::size_t limit = connection_->receiveLimit();
    const std::size_t total = data.size();
    parsing_ = true;
    while (!data.empty() && state_ == State::http && connection_->isActive()) {
        if (idle_) {
            // The first byte of the next request on a kept connection: its headers get a bound.
            idle_ = false;
            armRequestTimer(handlers_->headerTimeout, "request headers");
        }
        // Feed at most one byte past the limit: an oversize request is noticed without the
        // parser ever holding more than the limit of it.
        const std::size_t slice = std::min(data.size() - 1, limit - requestBytes_) + 1;
        const auto result = parser_.feed(data.substr(0, slice));
        requestBytes_ += result.consumed;
        data.remove_prefix(result.consumed);
        if (requestBytes_ > limit) {
            refuseOversizeRequest();
            break;
        }
        if (result.status == HTTPParser::Status::error) {
            // Nothing behind a request we cannot read can be trusted to start a request.
            spdlog::warn("net: bad HTTP request from {0}: {1}", connection_->remoteAddress(),
                         parser_.errorName());
            finish(badRequestResponse());
            break;
        }
        if (parser_.headersComplete() && !headersJudged_) {
            headersJudged_ = true;
            if (!passHeadersGate()) {
                break;
            }
            if (result.status != HTTPParser::Status::complete) {
                armRequestTimer(handlers_->bodyTimeout, "request body");
            }
        }
        if (result.status == HTTPParser::Status::complete) {
            requestBytes_ = 0;
            headersJudged_ = false;
            armRequestTimer(std::chrono::milliseconds::zero(), "");
            // Answered at once, the loop goes on with the next request; else it stops here.
            onRequestComplete(data);
        }
    }
    parsing_ = false;
    return total - data.size();
}

void HttpSession::holdBack(std::string_view pipelined) {
    if (state_ != State::answering || pipelined.empty()) {
        return;
    }
    inbox_.append(pipelined);
    // A client far ahead of its answers waits in TCP's flow control, not in our memory.
    if (inbox_.size() >= connection_->receiveLimit()) {
        connection_->pauseReading();
    }
}

void HttpSession::takeInbox() {
    connection_->resumeReading();
    if (inbox_.empty()) {
        return;
    }
    const std::string pending = std::exchange(inbox_, {});
    const std::size_t used = parse(pending);
    holdBack(std::string_view(pending).substr(used));
}

bool HttpSession::passHeadersGate() {
    if (!handlers_->onHeaders) {
        return true;
    }
    std::optional<std::string> refusal;
    try {
        refusal = handlers_->onHeaders(parser_.head(), shared_from_this());
    } catch (const std::exception& error) {
        // A gate that cannot decide lets nobody in.
        spdlog::error("net: headers gate failed for {0}: {1}", connection_->remoteAddress(),
                      error.what());
        state_ = State::finished;
        connection_->close();
        return false;
    }
    if (!refusal) {
        return true;
    }
    // Answered now, whatever body may follow: what still arrives is read and dropped.
    finish(std::move(*refusal));
    return false;
}

void HttpSession::onRequestComplete(std::string_view rest) {
    const bool switchesProtocol = parser_.switchesProtocol();
    HttpRequest request = parser_.takeRequest();
    if (request.isWebSocketUpgrade) {
        beginWebSocket(std::move(request), rest);
        return;
    }
    ++requestCount_;
    // What follows an upgrade to another protocol is not HTTP: its answer is the last.
    keepAfterAnswer_ = request.keepAlive && !switchesProtocol &&
                       handlers_->keepAliveTimeout.count() > 0 &&
                       requestCount_ < handlers_->maxRequests;
    http10_ = request.httpMajor == 1 && request.httpMinor == 0;
    clientEnds_ = !request.keepAlive;
    state_ = State::answering;
    callHandler("request", handlers_->onRequest, request, shared_from_this());
}

void HttpSession::onAnswer(std::string response) {
    if (state_ != State::answering) {
        return;  // the connection has ended meanwhile
    }
    if (!keepAfterAnswer_ || saysClose(response)) {
        finish(std::move(response));
        return;
    }
    if (http10_) {
        // An HTTP/1.0 client closes unless told otherwise.
        setConnectionHeader(response, "keep-alive");
    }
    connection_->send(std::move(response));
    state_ = State::http;
    idle_ = true;
    armRequestTimer(handlers_->keepAliveTimeout, "next request");
    if (!parsing_) {
        takeInbox();
    }
}

void HttpSession::finish(std::string response) {
    // A client that knows the connection ends sends nothing more on it and opens a new one.
    setConnectionHeader(response, "close");
    state_ = State::finished;
    armRequestTimer(std::chrono::milliseconds::zero(), "");
    connection_->send(std::move(response));
    if (clientEnds_) {
        connection_->closeOnceWritten();
    } else {
        // The client may have sent more, or be sending: linger so that it reads this answer.
        connection_->shutdown();
    }
}

void HttpSession::beginWebSocket(HttpRequest request, std::string_view rest) {
    const std::string_view key = request.header("Sec-WebSocket-Key");
    if (key.empty()) {
        // Without a key there is no accept value a client could check (RFC 6455 4.2.1).
        spdlog::warn("net: WebSocket upgrade from {0} without Sec-WebSocket-Key",
                     connection_->remoteAddress());
        finish(badRequestResponse());
        return;
    }
    state_ = State::handshaking;
    std::string reply = webSocketHandshakeReply(key);
    upgrade_ = std::move(request);
    // Frames sent right behind the upgrade request wait until the handshake is written.
    frameBytes_.assign(rest);
    connection_->send(std::move(reply), [self = shared_from_this()](const std::error_code& error) {
        self->onHandshakeWritten(error);
    });
}

void HttpSession::onHandshakeWritten(const std::error_code& error) {
    if (error || state_ != State::handshaking) {
        return;
    }
    state_ = State::webSocket;
    connectedReported_ = true;
    lastHeard_ = std::chrono::steady_clock::now();
    armKeepAlive();
    callHandler("WebSocket connected", handlers_->onWsConnected, shared_from_this(), upgrade_);
    processFrames();
}

void HttpSession::processFrames() {
    using Kind = WebSocketReceiver::EventKind;
    std::size_t offset = 0;
    bool needMore = false;
    while (!needMore && state_ == State::webSocket && connection_->isActive() &&
           offset < frameBytes_.size()) {
        auto event = receiver_.next(asBytes(frameBytes_).subspan(offset));
        offset += event.consumed;
        switch (event.kind) {
            case Kind::needMore:
                needMore = true;
                break;
            case Kind::message:
                callHandler("WebSocket message", handlers_->onWsMessage, shared_from_this(),
                            event.type, event.payload, upgrade_);
                break;
            case Kind::ping:
                connection_->send(WebSocketFormat::frame(FrameType::pong, event.payload));
                break;
            case Kind::pong:
                break;
            case Kind::close:
                // Echo the peer's status code (if any), then end the connection.
                endWebSocket(WebSocketFormat::CloseCode::normal, event.payload.substr(0, 2));
                break;
            case Kind::protocolError:
                spdlog::warn("net: WebSocket protocol error from {0}",
                             connection_->remoteAddress());
                endWebSocket(WebSocketFormat::CloseCode::protocolError, {});
                break;
            case Kind::invalidText:
                spdlog::warn("net: WebSocket text from {0} is not UTF-8",
                             connection_->remoteAddress());
                endWebSocket(WebSocketFormat::CloseCode::invalidPayload, {});
                break;
            case Kind::tooLarge:
                spdlog::warn("net: WebSocket message from {0} exceeds the {1}-byte receive limit",
                             connection_->remoteAddress(), connection_->receiveLimit());
                connection_->send(WebSocketFormat::frame(FrameType::text,
                                                         handlers_->oversizeMessage
                                                             ? handlers_->oversizeMessage(upgrade_)
                                                             : std::string(kOversizeMessage)));
                endWebSocket(WebSocketFormat::CloseCode::messageTooBig, {});
                break;
        }
    }
    frameBytes_.erase(0, offset);
}

void HttpSession::endWebSocket(WebSocketFormat::CloseCode code, std::string_view closePayload) {
    state_ = State::finished;
    if (code == WebSocketFormat::CloseCode::normal) {
        // The peer started the closing handshake; our reply completes it and the server closes
        // the TCP connection first (RFC 6455 7.1.1).
        connection_->send(
            WebSocketFormat::frame(FrameType::close, closePayload),
            [connection = connection_](const std::error_code&) { connection->close(); });
        return;
    }
    // We start the closing handshake: the peer answers and closes once it sees our FIN.
    connection_->send(
        WebSocketFormat::frame(FrameType::close, WebSocketFormat::closePayload(code)));
    connection_->shutdown();
}

void HttpSession::refuseOversizeRequest() {
    spdlog::warn("net: request from {0} exceeds the {1}-byte receive limit",
                 connection_->remoteAddress(), connection_->receiveLimit());
    finish(handlers_->oversizeResponse.empty() ? defaultOversizeResponse()
                                               : handlers_->oversizeResponse);
}

void HttpSession::onClosed() {
    state_ = State::finished;
    requestTimer_.cancel();
    keepAliveTimer_.cancel();
    if (connectedReported_) {
        connectedReported_ = false;
        callHandler("WebSocket closed", handlers_->onWsClosed, shared_from_this(), upgrade_);
    }
}

}  // namespace kinetra::net
