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
#include "gateway/gateway_texts.hpp"
#include "gateway/trust_gate.hpp"
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
      forwarder_(reactor_),
      bridge_(reactor_, jogGuard_),
      rpc_(reactor_, jogGuard_) {}

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
        spdlog::warn("Refused {0} {1} from {2}: {3}.", request.method, request.path,
                     session->connection()->remoteAddress(), verdict.reason);
    }
    return verdict;
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

    // Upgrades are judged like requests, before the 101 (on the HTTP port they are then closed).
    const auto gate = [this](const net::HttpRequest& upgrade,
                             const net::HttpSession::Ptr& session) -> std::optional<std::string> {
        const auto verdict = trustOf(upgrade, session, net::Door::webSocket);
        if (verdict.outcome == net::Verdict::Outcome::pass) {
            return std::nullopt;
        }
        return net::refusalResponse(verdict);
    };
    net::HttpSession::Handlers http;
    http.onUpgrade = gate;
    http.onRequest = [this](const net::HttpRequest& request, const net::HttpSession::Ptr& session) {
        const auto verdict = trustOf(request, session, net::Door::api);
        if (auto refusal = httpRefusal(verdict, request.body)) {
            if (verdict.outcome == net::Verdict::Outcome::pass) {
                spdlog::warn(
                    "Refused {0} from {1}: a port or firmware command from a client "
                    "outside the trusted networks without the key.",
                    request.path, session->connection()->remoteAddress());
            }
            session->send(std::move(*refusal));
            session->shutdown();
            return;
        }
        // Methods are not checked and the query is not looked at: the path names the service.
        // The reply comes later, on this connection's loop; the worker goes on meanwhile.
        forwarder_.forward(request.path, request.body, session->connection()->loop(),
                           [session, cors = verdict.headers](std::string body) {
                               session->send(httpResponseText(std::move(body), cors));
                               session->shutdown();  // one request per connection
                           });
    };
    http.oversizeResponse = httpResponseText(std::string(kTooLargeReply));
    // WebSocket is served on its own port only; here an upgraded client would wait for ever.
    http.onWsConnected = [](const net::HttpSession::Ptr& session, const net::HttpRequest&) {
        session->close();
    };

    // /v2 is the JSON-RPC endpoint; every other path is a /v1 bridge to the service of that path.
    net::HttpSession::Handlers webSocket;
    webSocket.onUpgrade = gate;
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
            spdlog::warn(
                "Refused a message on {0} from {1}: a port or firmware command from a "
                "client outside the trusted networks without the key.",
                upgrade.path, session->connection()->remoteAddress());
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
    // A plain request on the WebSocket port has no answer; end it instead of leaving it open.
    webSocket.onRequest = [](const net::HttpRequest&, const net::HttpSession::Ptr& session) {
        session->shutdown();
    };

    // The HTTP listener first; a listener that fails leaves the ones after it unstarted.
    if (startListener(http_, settings_.httpAddress, settings_.httpPort, std::move(http))) {
        startListener(webSocket_, settings_.webSocketAddress, settings_.webSocketPort,
                      std::move(webSocket));
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
            .withSocketSetup(net::ListenerBuilder::tcpNoDelay())
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
        service_->stop();  // closing connections still hands their jog stops to the reactor
    }
    reactor_.stop();  // sends those, then ends
}

void Server::stopJogs(const net::HttpSession::Ptr& session) {
    // The dead-man: a connection that goes (closed, reset, timed out) while it holds a bundle
    // jogging must not leave the gear moving until the device's own time-out.
    for (auto& [path, body] : jogGuard_.release(session.get())) {
        spdlog::info(kJogStopLog, session->connection()->remoteAddress(),
                     std::string_view(path).substr(path.rfind('/') + 1));
        // A stop of the server's own: ahead of everything queued for the bundle, and what was
        // queued before it (by anyone) is cancelled.
        reactor_.submit(BusReactor::Request{.endpoint = bus::endpointForPath(path),
                                            .body = std::move(body),
                                            .offlineWhenClosed = false,
                                            .stop = true});
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
