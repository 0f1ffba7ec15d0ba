// WebServer start-up and shutdown on the owner's thread; each request is answered on its
// connection's worker thread and the connection is shut down after the response.
#include "webserver/web_server.hpp"

#include <utility>

#include <spdlog/spdlog.h>

#include "net/http_session.hpp"
#include "platform/host_names.hpp"

namespace kinetra::webserver {

WebServer::WebServer(const std::filesystem::path& root, config::SecuritySettings security)
    : files_(root), security_(std::move(security)) {}

WebServer::~WebServer() {
    stop();
}

void WebServer::start(const std::string& address, std::uint16_t port, std::size_t workers) {
    trust_.emplace(net::startingTrustPolicy(security_, platform::localHostNames(), port));
    service_->start(workers);
    net::HttpSession::Handlers handlers;
    handlers.onRequest = [this](const net::HttpRequest& request,
                                const net::HttpSession::Ptr& session) {
        // A page fetched under a foreign name (DNS rebinding) would run as that name's origin.
        const auto verdict =
            trust_->check(request, session->connection()->remoteIp(), net::Door::webApplication);
        if (verdict.outcome != net::Verdict::Outcome::pass) {
            spdlog::warn("Refused {0} from {1}: {2}.", request.path,
                         session->connection()->remoteAddress(), verdict.reason);
            session->send(net::refusalResponse(verdict));
            session->shutdown();
            return;
        }
        session->send(files_.respond(request));
        session->shutdown();  // one request per connection
    };
    // Pages never upgrade; a client that asks is turned away.
    handlers.onWsConnected = [](const net::HttpSession::Ptr& session, const net::HttpRequest&) {
        session->close();
    };
    listener_.withService(service_)
        .withAddress(address, port)
        .withSocketSetup(net::ListenerBuilder::tcpNoDelay())
        .withConnectionLimit(security_.maxConnections)
        .withEnterCallback(net::HttpSession::enterCallback(std::move(handlers)));
    listener_.start();
}

void WebServer::stop() {
    listener_.stop();
    service_->stop();
}

}  // namespace kinetra::webserver
