// WebServer start-up and shutdown on the owner's thread; each request is answered on its
// connection's worker thread and the connection is shut down after the response.
#include "webserver/web_server.hpp"

#include "net/http_session.hpp"

namespace kinetra::webserver {

WebServer::WebServer(const std::filesystem::path& root) : files_(root) {}

WebServer::~WebServer() {
    stop();
}

void WebServer::start(const std::string& address, std::uint16_t port, std::size_t workers) {
    service_->start(workers);
    net::HttpSession::Handlers handlers;
    handlers.onRequest = [this](const net::HttpRequest& request,
                                const net::HttpSession::Ptr& session) {
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
        .withEnterCallback(net::HttpSession::enterCallback(std::move(handlers)));
    listener_.start();
}

void WebServer::stop() {
    listener_.stop();
    service_->stop();
}

}  // namespace kinetra::webserver
