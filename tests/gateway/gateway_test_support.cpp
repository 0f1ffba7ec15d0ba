// Gateway test doubles. FakeService runs its own thread; everything else runs on the test
// thread (the log sink is called from whichever thread logs).
#include "gateway_test_support.hpp"

#include <algorithm>
#include <array>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include "bus/announce.hpp"
#include "bus/socket_registry.hpp"
#include "bus/wait.hpp"
#include "gateway/gateway_texts.hpp"

namespace kinetra::gateway::test {

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

FakeService::FakeService(std::string endpoint, Answer answer, bool announce)
    : endpoint_(std::move(endpoint)),
      answer_(std::move(answer)),
      announced_(announce),
      context_(bus::SocketRegistry::instance().context()),
      socket_(*context_, zmq::socket_type::rep) {
    socket_.set(zmq::sockopt::linger, 0);
    socket_.bind(endpoint_);
    thread_ = std::jthread([this] { serve(); });
    if (announced_) {
        const std::array<std::string, 1> names{endpoint_};
        bus::announceOpen(names);
        waitUntil([this] { return bus::SocketRegistry::instance().isOpen(endpoint_); });
    }
}

FakeService::~FakeService() {
    stop();
}

void FakeService::stop(bool announce) {
    stop_.set();
    if (thread_.joinable()) {
        thread_.join();
    }
    if (socket_.handle() != nullptr) {
        socket_.close();
    }
    if (announced_ && announce) {
        announced_ = false;
        const std::array<std::string, 1> names{endpoint_};
        bus::announceClosed(names);
        waitUntil([this] { return !bus::SocketRegistry::instance().isOpen(endpoint_); });
    }
}

void FakeService::serve() {
    const std::array<zmq::socket_ref, 1> sockets{socket_};
    while (bus::waitReadable(sockets, bus::kForever, &stop_)) {
        const auto request = bus::tryReceive(socket_);
        if (!request) {
            continue;
        }
        std::string text(request->to_string_view());
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(text);
        }
        arrived_.notify_all();
        if (const auto reply = answer_(text)) {
            socket_.send(zmq::buffer(*reply), zmq::send_flags::none);
        }
    }
}

std::vector<std::string> FakeService::waitForRequests(std::size_t count,
                                                      std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
    return requests_;
}

std::vector<std::string> FakeService::requests() {
    std::lock_guard lock(mutex_);
    return requests_;
}

void Gate::open() {
    {
        std::lock_guard lock(mutex_);
        open_ = true;
    }
    changed_.notify_all();
}

bool Gate::waitOpen(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return open_; });
}

struct LogCapture::Sink : spdlog::sinks::base_sink<std::mutex> {
    std::vector<std::pair<std::string, std::string>> lines;  // guarded by the base's mutex

    std::vector<std::pair<std::string, std::string>> copy() {
        std::lock_guard lock(mutex_);
        return lines;
    }

protected:
    void sink_it_(const spdlog::details::log_msg& message) override {
        const auto level = spdlog::level::to_string_view(message.level);
        lines.emplace_back(std::string(level.data(), level.size()),
                           std::string(message.payload.data(), message.payload.size()));
    }
    void flush_() override {}
};

LogCapture::LogCapture() : sink_(std::make_shared<Sink>()) {
    spdlog::default_logger()->sinks().push_back(sink_);
}

LogCapture::~LogCapture() {
    auto& sinks = spdlog::default_logger()->sinks();
    sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
}

bool LogCapture::has(const std::string& level, const std::string& text) const {
    const auto lines = sink_->copy();
    return std::find(lines.begin(), lines.end(), std::pair{level, text}) != lines.end();
}

bool LogCapture::hasPart(const std::string& level, const std::string& part) const {
    const auto lines = sink_->copy();
    return std::any_of(lines.begin(), lines.end(), [&](const auto& line) {
        return line.first == level && line.second.find(part) != std::string::npos;
    });
}

std::string LogCapture::all() const {
    std::string text;
    for (const auto& [level, line] : sink_->copy()) {
        text += level + ": " + line + "\n";
    }
    return text;
}

HttpAnswer httpExchange(std::uint16_t port, const std::string& request,
                        std::chrono::milliseconds timeout) {
    TestClient client(port);
    client.send(request);
    HttpAnswer answer;
    answer.raw = client.readToEnd(timeout);
    answer.closedByServer = client.closedByServer();
    const auto headEnd = answer.raw.find("\r\n\r\n");
    if (headEnd == std::string::npos) {
        return answer;
    }
    answer.body = answer.raw.substr(headEnd + 4);
    std::size_t lineStart = 0;
    while (lineStart < headEnd) {
        const auto lineEnd = answer.raw.find("\r\n", lineStart);
        const std::string line = answer.raw.substr(lineStart, lineEnd - lineStart);
        if (lineStart == 0) {
            answer.statusLine = line;
        } else {
            const auto colon = line.find(": ");
            answer.headers.emplace_back(line.substr(0, colon), line.substr(colon + 2));
        }
        lineStart = lineEnd + 2;
    }
    return answer;
}

std::string httpRequest(const std::string& method, const std::string& target,
                        const std::string& body) {
    std::string text = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!body.empty()) {
        text += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\n";
    }
    return text + "\r\n" + body;
}

std::string expectedResponse(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: " +
           std::to_string(body.size()) +
           "\r\nContent-Type: application/json\r\nallow: GET, POST, HEAD\r\n\r\n" + body;
}

namespace {

// Size of the first complete server frame in `bytes`, if there is one.
std::optional<std::size_t> frameSize(std::string_view bytes) {
    if (bytes.size() < 2) {
        return std::nullopt;
    }
    std::size_t header = 2;
    std::uint64_t length = static_cast<std::uint8_t>(bytes[1]) & 0x7F;
    const std::size_t extra = length == 126 ? 2 : length == 127 ? 8 : 0;
    if (bytes.size() < header + extra) {
        return std::nullopt;
    }
    if (extra > 0) {
        length = 0;
        for (std::size_t i = 0; i < extra; ++i) {
            length = (length << 8) | static_cast<std::uint8_t>(bytes[header + i]);
        }
        header += extra;
    }
    if (bytes.size() - header < length) {
        return std::nullopt;
    }
    return header + static_cast<std::size_t>(length);
}

}  // namespace

WsClient::WsClient(std::uint16_t port, const std::string& path) : client_(port) {
    client_.send(net::test::upgradeRequest(path));
    const std::string received = client_.readUntilContains("\r\n\r\n");
    const auto end = received.find("\r\n\r\n");
    if (end != std::string::npos) {
        upgraded_ = received.starts_with("HTTP/1.1 101 ");
        consumed_ = end + 4;
    }
}

void WsClient::sendText(const std::string& payload) {
    client_.send(net::test::clientFrame(0x81, payload));
}

std::optional<net::test::ServerFrame> WsClient::nextFrame(std::chrono::milliseconds timeout) {
    const std::string received = client_.readUntil(
        [this](const std::string& all) {
            return frameSize(std::string_view(all).substr(consumed_)).has_value();
        },
        timeout);
    const auto rest = std::string_view(received).substr(consumed_);
    const auto size = frameSize(rest);
    if (!size) {
        return std::nullopt;
    }
    consumed_ += *size;
    return net::test::serverFrames(rest.substr(0, *size)).front();
}

bool WsClient::waitClosed(std::chrono::milliseconds timeout) {
    client_.readToEnd(timeout);
    return client_.closedByServer();
}

bool WsClient::close(std::chrono::milliseconds timeout) {
    client_.send(net::test::clientFrame(0x88, std::string("\x03\xe8", 2)));
    return waitClosed(timeout);
}

}  // namespace kinetra::gateway::test
