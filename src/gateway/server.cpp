// Server start-up and shutdown, on the owner's thread. The handlers it installs run on the
// network service's worker threads and reach the Server through the forwarder and the bridge.
#include "gateway/server.hpp"

#include <exception>
#include <stdexcept>
#include <thread>
#include <utility>

#include <spdlog/spdlog.h>

#include "bus/endpoints.hpp"
#include "bus/socket_registry.hpp"
#include "config/configuration_client.hpp"
#include "core/json.hpp"
#include "core/log_text.hpp"
#include "core/logging.hpp"
#include "gateway/gateway_texts.hpp"
#include "gateway/trust_gate.hpp"
#include "net/open_door.hpp"
#include "notify/notification_handler.hpp"
#include "platform/host_names.hpp"
#include "platform/shell.hpp"

namespace kinetra::gateway {

Server::Server(std::string configurationEndpoint) : Server(readSettings(configurationEndpoint)) {}

Server::Server(std::pair<config::ServerSettings, config::SecuritySettings> settings)
    : Server(std::move(settings.first), std::move(settings.second)) {}

Server::Server(config::ServerSettings settings, config::SecuritySettings security)
    : settings_(std::move(settings)),
      security_(std::move(security)),
      context_(bus::SocketRegistry::instance().context()),
      reactor_(context_),
      routes_(context_),
      forwarder_(routes_, reactor_, jogGuard_),
      bridge_(routes_, jogGuard_),
      rpc_(routes_, reactor_, jogGuard_, refusalLog_),
      metrics_(reactor_) {}

Server::~Server() {
    stop();
}

std::size_t Server::defaultWorkerCount() {
    return std::max(1U, std::thread::hardware_concurrency());
}

std::pair<config::ServerSettings, config::SecuritySettings> Server::readSettings(
    const std::string& configurationEndpoint) {
    const auto server = config::requestConfigurationSection(configurationEndpoint, "server");
    if (!server) {
        spdlog::warn("No answer from the configuration service; using the built-in settings.");
        return {};
    }
    if (server->is_object() && server->contains("httpserver")) {
        spdlog::info("{0}", core::dumpCompact(server->at("httpserver")));
    }
    return {config::readServerSettings(*server), config::readSecuritySettings(*server)};
}

net::Verdict Server::trustOf(const net::HttpRequest& request, const net::HttpSession::Ptr& session,
                             net::Door door) const {
    auto verdict = trust_->check(request, session->connection()->remoteIp(), door);
    if (!verdict.reason.empty()) {
        if (const auto held = refusalLog_.admit("trust")) {
            spdlog::warn("Refused {0} {1} from {2}: {3}.{4}", core::escapeForLog(request.method),
                         core::escapeForLog(request.path), session->connection()->remoteAddress(),
                         core::escapeForLog(verdict.reason), core::heldBackNote(*held));
        }
    }
    return verdict;
}

std::optional<std::string> Server::refusalOf(const net::HttpRequest& head,
                                             const net::HttpSession::Ptr& session,
                                             net::Door door) const {
    const auto verdict = trustOf(head, session, door);
    if (verdict.outcome == net::Verdict::Outcome::pass) {
        return std::nullopt;
    }
    return net::refusalResponse(verdict);  // says Connection: close
}

void Server::logPrivilegedRefusal(std::string_view what, std::string_view target,
                                  const net::HttpSession::Ptr& session) const {
    if (const auto held = refusalLog_.admit("privileged")) {
        spdlog::warn(
            "Refused {0} {1} from {2}: a port or firmware command from a client outside the "
            "trusted networks without the key.{3}",
            what, core::escapeForLog(target), session->connection()->remoteAddress(),
            core::heldBackNote(*held));
    }
}

void Server::start(std::size_t workers) {
    if (started_) {
        throw std::logic_error("gateway Server started twice");
    }
    started_ = true;
    // The web application's own pages are the one origin allowed without configuration.
    trust_.emplace(net::startingTrustPolicy(security_, platform::localHostNames(),
                                            config::portNumber(settings_.webPort).value_or(0)));
    if (trust_->allowsAnyOrigin()) {
        spdlog::warn(
            "security.allowedOrigins is *: every web page the user opens may drive the "
            "gear.");
    }
    service_ = std::make_shared<net::TcpService>();
    service_->start(workers);

    // Every request and upgrade is judged on its headers, before its body is read: a refused
    // client is answered at once and cannot hold the connection with a body that never comes.
    // (An upgrade on the HTTP port that passes is then closed.)
    net::HttpSession::Handlers http;
    http.onHeaders = [this](const net::HttpRequest& head, const net::HttpSession::Ptr& session) {
        return refusalOf(head, session,
                         head.isWebSocketUpgrade ? net::Door::webSocket : net::Door::api);
    };
    http.onRequest = [this](const net::HttpRequest& request, const net::HttpSession::Ptr& session) {
        // The headers passed; the command, read from the body, may still be one for trusted
        // clients only. Judged again (the same answer, not logged) for its privilege and CORS.
        const auto verdict =
            trust_->check(request, session->connection()->remoteIp(), net::Door::api);
        if (auto refusal = httpRefusal(verdict, request.body)) {
            logPrivilegedRefusal("request to", request.path, session);
            session->respond(std::move(*refusal));  // says Connection: close
            return;
        }
        if (request.path == kMetricsPath) {
            answerMetrics(verdict, session);
            return;
        }
        // Methods are not checked and the query is not looked at: the path names the service.
        // The reply comes later, on this connection's loop; the worker goes on meanwhile, and
        // the connection's next request waits for this answer. A kept connection is one client
        // of the bus for all its requests, so that the bundle serves its clients in turn.
        if (session->tag() == 0) {
            session->setTag(BusReactor::newClientKey());
        }
        forwarder_.forward(request.path, request.body, session->connection()->remoteAddress(),
                           session->tag(), session->connection()->loop(),
                           [session, cors = verdict.headers](std::string body) {
                               session->respond(httpResponseText(std::move(body), cors));
                           });
    };
    http.keepAliveTimeout = settings_.keepAlive;
    http.oversizeResponse = httpResponseText(std::string(kTooLargeReply));
    // WebSocket is served on its own port only; here an upgraded client would wait for ever.
    http.onWsConnected = [](const net::HttpSession::Ptr& session, const net::HttpRequest&) {
        session->close();
    };

    // /v2 is the JSON-RPC endpoint; every other path is a /v1 bridge to the service of that path.
    net::HttpSession::Handlers webSocket;
    webSocket.onHeaders = [this](
                              const net::HttpRequest& head,
                              const net::HttpSession::Ptr& session) -> std::optional<std::string> {
        if (!head.isWebSocketUpgrade) {
            return std::nullopt;  // shut down unanswered once complete (below)
        }
        return refusalOf(head, session, net::Door::webSocket);
    };
    webSocket.onWsConnected = [this](const net::HttpSession::Ptr& session,
                                     const net::HttpRequest& upgrade) {
        if (upgrade.path == RpcGateway::kPath) {
            // Decided once per connection: may its calls carry the port and firmware commands?
            rpc_.onConnected(
                session,
                trust_->check(upgrade, session->connection()->remoteIp(), net::Door::webSocket)
                    .privileged);
        } else {
            bridge_.onConnected(session, upgrade);
        }
    };
    webSocket.onWsMessage = [this](const net::HttpSession::Ptr& session,
                                   net::HttpSession::FrameType, const std::string& payload,
                                   const net::HttpRequest& upgrade) {
        if (upgrade.path == RpcGateway::kPath) {
            rpc_.onMessage(session, payload);
            return;
        }
        if (isPrivilegedCommand(payload) &&
            !trust_->check(upgrade, session->connection()->remoteIp(), net::Door::webSocket)
                 .privileged) {
            logPrivilegedRefusal("a message on", upgrade.path, session);
            session->sendWebSocketText(net::kForbiddenReply);
            return;
        }
        bridge_.onMessage(session, payload, upgrade);
    };
    webSocket.onWsClosed = [this](const net::HttpSession::Ptr& session,
                                  const net::HttpRequest& upgrade) {
        if (upgrade.path == RpcGateway::kPath) {
            rpc_.onClosed(session);
        } else {
            bridge_.onClosed(session, upgrade);
        }
        stopJogs(session);
    };
    webSocket.oversizeResponse = http.oversizeResponse;
    // /v2 clients read JSON-RPC: the too-large answer is an error response like any other.
    webSocket.oversizeMessage = [](const net::HttpRequest& upgrade) {
        return upgrade.path == RpcGateway::kPath ? std::string(RpcGateway::kTooLargeError)
                                                 : std::string(net::HttpSession::kOversizeMessage);
    };
    // A plain request on the WebSocket port has no answer; end it instead of leaving it open.
    webSocket.onRequest = [](const net::HttpRequest&, const net::HttpSession::Ptr& session) {
        session->shutdown();
    };

    // The HTTP listener first; a listener that fails leaves the ones after it unstarted.
    if (startListener(http_, settings_.httpAddress, settings_.httpPort, std::move(http))) {
        startListener(webSocket_, settings_.webSocketAddress, settings_.webSocketPort,
                      std::move(webSocket));
    }
    warnWhenOpen();
}

void Server::warnWhenOpen() const {
    std::vector<net::ListenAddress> listening;
    if (http_.port() != 0) {
        listening.push_back({settings_.httpAddress, http_.port()});
    }
    if (webSocket_.port() != 0) {
        listening.push_back({settings_.webSocketAddress, webSocket_.port()});
    }
    if (const auto warning = net::openDoorWarning(listening, !security_.apiKey.empty());
        !warning.empty()) {
        spdlog::warn("{0}", warning);
    }
}

bool Server::startListener(net::ListenerBuilder& listener, const std::string& address,
                           const std::string& port, net::HttpSession::Handlers handlers) {
    try {
        const auto number = config::portNumber(port);
        if (!number) {
            throw std::runtime_error("not a port number: " + port);
        }
        listener.withService(service_)
            .withAddress(address, *number)
            .withNoDelay()
            .withReceiveLimit(kReceiveLimit)
            .withConnectionLimit(security_.maxConnections)
            .withEnterCallback(net::HttpSession::enterCallback(std::move(handlers)));
        listener.start();
        spdlog::info("Listening on {0}:{1}.", address, listener.port());
        return true;
    } catch (const std::exception& error) {
        spdlog::warn("{0}", kBindErrorText);
        spdlog::warn("Could not listen on {0}:{1}: {2}", address, port, error.what());
        // The port shown is the one that could not be bound.
        notify::ask(std::string(kBindErrorText), port, std::string(kOpenConfigurationQuestion),
                    {"Yes", "Exit"});
        return false;
    }
}

void Server::stop() {
    http_.stop();
    webSocket_.stop();
    stop_.set();
    if (service_) {
        service_->stop();  // closing connections still send their jog stops, then the routes close
    }
    forwarder_.stopJogs();  // and so do jogs over HTTP that nobody refreshes any more
    reactor_.stop();        // sends those, then ends
}

// The figures say how the gear's links behave: the same clients as the port and firmware
// commands may read them.
void Server::answerMetrics(const net::Verdict& verdict, const net::HttpSession::Ptr& session) {
    if (!verdict.privileged) {
        if (const auto held = refusalLog_.admit("privileged")) {
            spdlog::warn("Refused {0} from {1}: outside the trusted networks without the key.{2}",
                         kMetricsPath, session->connection()->remoteAddress(),
                         core::heldBackNote(*held));
        }
        net::Verdict refused = verdict;
        refused.outcome = net::Verdict::Outcome::unauthorized;
        session->send(net::refusalResponse(refused));
    } else {
        // The first scrape starts the links' health feed for the board: from the next scrape on
        // (a second later) every link is in it.
        metrics_.follow();
        session->send(metricsResponse(metricsText(
            metrics_.latest(),
            {http_.connectionCount() + webSocket_.connectionCount(), core::logMessagesDropped()})));
    }
    session->shutdown();
}

void Server::stopJogs(const net::HttpSession::Ptr& session) {
    // The dead-man: a connection that goes (closed, reset, timed out) while it holds a bundle
    // jogging must not leave the gear moving until the device's own time-out.
    for (auto& stop : jogGuard_.release(session.get())) {
        sendJogStop(routes_, session->connection()->loop(), session->connection()->remoteAddress(),
                    std::move(stop));
    }
}

void Server::launchWebApplication(WebApplicationOptions options) {
    if (webApplication_) {
        throw std::logic_error("web application launched twice");
    }
    webApplication_.emplace(settings_, std::move(options));
}

void Server::openWebApplication(std::chrono::milliseconds delay) {
    // Gives the web application time to listen before the browser asks it for the page.
    if (!stop_.waitFor(delay)) {
        return;
    }
    platform::openUrl(webApplicationAddress(settings_));
}

std::uint16_t Server::httpPort() const {
    return http_.port();
}

std::uint16_t Server::webSocketPort() const {
    return webSocket_.port();
}

}  // namespace kinetra::gateway
