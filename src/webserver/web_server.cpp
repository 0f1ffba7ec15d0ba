// WebServer start-up and shutdown on the owner's thread; each request is answered on its
// connection's worker thread, and the connection is kept for the browser's next request.
#include "webserver/web_server.hpp"

#include <utility>

#include <spdlog/spdlog.h>

#include "core/json.hpp"
#include "core/log_text.hpp"
#include "net/http_response.hpp"
#include "net/http_session.hpp"
#include "platform/host_names.hpp"

namespace kinetra::webserver {

namespace {

std::string exposureResponse(std::string warning) {
    return net::HttpResponse()
        .addHeader("Cache-Control", "no-store")
        .addHeader("Content-Type", "application/json")
        .addHeader("X-Content-Type-Options", "nosniff")
        .setBody(core::dumpCompact(json{{"warning", std::move(warning)}}))
        .toString();
}

}  // namespace

WebServer::WebServer(const std::filesystem::path& root, config::SecuritySettings security,
                     std::string apiWarning, std::chrono::milliseconds keepAlive)
    : files_(root),
      security_(std::move(security)),
      exposure_(exposureResponse(std::move(apiWarning))),
      keepAlive_(keepAlive) {}

WebServer::~WebServer() {
    stop();
}

void WebServer::start(const std::string& address, std::uint16_t port, std::size_t workers) {
    trust_.emplace(net::startingTrustPolicy(security_, platform::localHostNames(), port));
    service_->start(workers);
    net::HttpSession::Handlers handlers;
    // Judged on the headers, so a refused client is answered without waiting for a body.
    handlers.onHeaders = [this](
                             const net::HttpRequest& head,
                             const net::HttpSession::Ptr& session) -> std::optional<std::string> {
        // A page fetched under a foreign name (DNS rebinding) would run as that name's origin.
        const auto verdict =
            trust_->check(head, session->connection()->remoteIp(), net::Door::webApplication);
        if (verdict.outcome == net::Verdict::Outcome::pass) {
            return std::nullopt;
        }
        if (const auto held = refusalLog_.admit("trust")) {
            spdlog::warn("Refused {0} from {1}: {2}.{3}", core::escapeForLog(head.path),
                         session->connection()->remoteAddress(), core::escapeForLog(verdict.reason),
                         core::heldBackNote(*held));
        }
        return net::refusalResponse(verdict);
    };
    handlers.onRequest = [this](const net::HttpRequest& request,
                                const net::HttpSession::Ptr& session) {
        const bool exposure = request.path == kExposurePath && request.method == "GET";
        session->respond(exposure ? exposure_ : files_.respond(request));
    };
    handlers.keepAliveTimeout = keepAlive_;
    // Pages never upgrade; a client that asks is turned away.
    handlers.onWsConnected = [](const net::HttpSession::Ptr& session, const net::HttpRequest&) {
        session->close();
    };
    listener_.withService(service_)
        .withAddress(address, port)
        .withNoDelay()
        .withConnectionLimit(security_.maxConnections)
        .withEnterCallback(net::HttpSession::enterCallback(std::move(handlers)));
    listener_.start();
}

void WebServer::stop() {
    listener_.stop();
    service_->stop();
}

}  // namespace kinetra::webserver
