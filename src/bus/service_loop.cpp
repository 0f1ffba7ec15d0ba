// The service loop and the request-socket maker; the loop runs on its service's thread.
#include "bus/service_loop.hpp"

#include <algorithm>
#include <cerrno>
#include <exception>

#include <spdlog/spdlog.h>

#include "bus/envelope.hpp"
#include "bus/socket_registry.hpp"

namespace kinetra::bus {
namespace {

// The context is being terminated or the socket closed under us: the service is going away.
bool socketGone(const zmq::error_t& error) {
    return error.num() == ETERM || error.num() == ENOTSOCK;
}

}  // namespace

zmq::socket_t makeRequestSocket(zmq::context_t& context, const std::string& endpoint,
                                const RequestSocketOptions& options) {
    zmq::socket_t socket(context, zmq::socket_type::req);
    socket.set(zmq::sockopt::linger, 0);
    if (options.receiveTimeout >= Milliseconds(0)) {
        socket.set(zmq::sockopt::rcvtimeo, static_cast<int>(options.receiveTimeout.count()));
    }
    if (options.sendTimeout >= Milliseconds(0)) {
        socket.set(zmq::sockopt::sndtimeo, static_cast<int>(options.sendTimeout.count()));
    }
    if (options.relaxed) {
        socket.set(zmq::sockopt::req_relaxed, 1);
    }
    socket.connect(endpoint);
    return socket;
}

std::optional<json> requestOnce(const std::string& endpoint, std::string_view request,
                                Milliseconds timeout) {
    auto context = SocketRegistry::instance().context();
    // The send is bounded too: a socket that connects while the service's socket is being torn
    // down has no peer left, and an unbounded send would wait for ever.
    auto socket = makeRequestSocket(*context, endpoint, {.sendTimeout = timeout});
    if (!socket.send(zmq::buffer(request), zmq::send_flags::none)) {
        return std::nullopt;
    }
    const auto reply = receiveWithin(socket, timeout);
    if (!reply) {
        return std::nullopt;
    }
    return parseRequest(reply->to_string_view());
}

ServiceLoop::ServiceLoop(std::string name, const platform::StopSignal& stop, ErrorReply errorReply)
    : name_(std::move(name)), stop_(stop), errorReply_(std::move(errorReply)) {
    if (!errorReply_) {
        errorReply_ = [](std::string_view what) { return resultText(what); };
    }
}

void ServiceLoop::answer(zmq::socket_ref socket, Handler handler,
                         std::function<void()> afterReply) {
    entries_.push_back(Entry{socket, std::move(handler), std::move(afterReply), {}});
}

void ServiceLoop::take(zmq::socket_ref socket, Drain drain) {
    entries_.push_back(Entry{socket, {}, {}, std::move(drain)});
}

void ServiceLoop::watch(int fd, std::function<void()> onReadable) {
    watched_.push_back(Watched{fd, std::move(onReadable)});
}

void ServiceLoop::at(Due due, std::function<void()> task) {
    timed_.push_back(Timed{std::move(due), std::move(task)});
}

Milliseconds ServiceLoop::nextWait() const {
    std::optional<TimePoint> earliest;
    for (const auto& timed : timed_) {
        const auto due = timed.due();
        if (due && (!earliest || *due < *earliest)) {
            earliest = due;
        }
    }
    if (!earliest) {
        return kForever;
    }
    return std::max(std::chrono::ceil<Milliseconds>(*earliest - std::chrono::steady_clock::now()),
                    Milliseconds(0));
}

void ServiceLoop::runDueTasks() {
    for (const auto& timed : timed_) {
        const auto due = timed.due();
        if (due && *due <= std::chrono::steady_clock::now() && !stop_.isSet()) {
            timed.task();
        }
    }
}

void ServiceLoop::run() {
    std::vector<zmq::pollitem_t> items;
    for (auto& entry : entries_) {
        items.push_back(zmq::pollitem_t{entry.socket.handle(), 0, ZMQ_POLLIN, 0});
    }
    for (const auto& watched : watched_) {
        items.push_back(zmq::pollitem_t{nullptr, watched.fd, ZMQ_POLLIN, 0});
    }
    items.push_back(zmq::pollitem_t{nullptr, stop_.fd(), ZMQ_POLLIN, 0});
    while (!stop_.isSet()) {
        try {
            if (zmq::poll(items.data(), items.size(), nextWait()) > 0 && !stop_.isSet()) {
                for (const auto& entry : entries_) {
                    if (entry.drain) {
                        entry.drain(entry.socket);
                    } else {
                        answerOne(entry);
                    }
                }
                for (std::size_t i = 0; i < watched_.size(); ++i) {
                    if ((items[entries_.size() + i].revents & ZMQ_POLLIN) != 0) {
                        watched_[i].onReadable();
                    }
                }
                if (afterEachWake_) {
                    afterEachWake_();
                }
            }
            runDueTasks();
        } catch (const zmq::error_t& error) {
            if (socketGone(error)) {
                return;
            }
            spdlog::warn("{0}: {1}", name_, error.what());
        } catch (const std::exception& error) {
            // Only a drain or a timed task gets here; neither has anyone to answer.
            spdlog::warn("{0}: {1}", name_, error.what());
        }
    }
}

void ServiceLoop::answerOne(const Entry& entry) {
    const auto request = tryReceive(entry.socket);
    if (!request) {
        return;
    }
    // Requests are one frame; further frames of a multi-part request are read and dropped, as
    // a REP socket may answer only once the whole request is in.
    for (bool more = request->more(); more;) {
        const auto part = tryReceive(entry.socket);
        more = part && part->more();
    }
    std::string reply;
    try {
        reply = entry.handler(request->to_string_view());
    } catch (const zmq::error_t& error) {
        if (socketGone(error)) {
            throw;
        }
        logFailure(error.what());
        reply = errorReply_(error.what());
    } catch (const std::exception& error) {
        // A REP socket that sends nothing back takes no further request: whatever went wrong,
        // the client gets an answer and the service goes on.
        logFailure(error.what());
        reply = errorReply_(error.what());
    }
    // A full queue drops the reply: the client has gone.
    trySend(entry.socket, reply);
    if (entry.afterReply) {
        entry.afterReply();
    }
}

void ServiceLoop::logFailure(std::string_view what) const {
    // A request cut short by the service stopping failed because of the stop: not worth a line.
    if (!stop_.isSet()) {
        spdlog::warn("{0}: {1}", name_, what);
    }
}

}  // namespace kinetra::bus
