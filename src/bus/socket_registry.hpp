// The bus context of the process and the table of endpoints currently served ("open").
// Services announce their endpoints on inproc://opensocket and inproc://closedsocket; the
// registry thread applies the announcements; gateway threads ask `isOpen` concurrently. The
// same thread forwards the feed (bus/feed.hpp) from its publishers to its subscribers.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include <zmq.hpp>

#include "platform/service_thread.hpp"

namespace kinetra::bus {

class SocketRegistry {
public:
    /// The one registry of the process, created on first use. The first call (made by the
    /// configuration service on the main thread) creates the context and starts the thread.
    static SocketRegistry& instance();

    SocketRegistry(const SocketRegistry&) = delete;
    SocketRegistry& operator=(const SocketRegistry&) = delete;
    ~SocketRegistry();

    /// A shared reference to the bus context. Every socket of the process is made from it, and
    /// every socket owner keeps its reference until its sockets are closed.
    std::shared_ptr<zmq::context_t> context() const { return context_; }

    /// True when `endpoint` (exact, case-sensitive) was announced open and not closed since.
    bool isOpen(std::string_view endpoint) const;

    /// The sequence number of the newest announcement of `endpoint` applied so far, 0 when none
    /// is. Announcements reach the registry through one pipe per announcing socket, so no
    /// marker sent later tells that earlier ones are applied; this does.
    std::uint64_t appliedSequence(std::string_view endpoint) const;

private:
    SocketRegistry();
    void run();
    void drain(zmq::socket_t& socket, bool open);
    void apply(const std::string& endpoint, std::uint64_t sequence, bool open);
    static void forward(zmq::socket_t& from, zmq::socket_t& to, bool subscriptions);

    std::shared_ptr<zmq::context_t> context_;
    zmq::socket_t openSocket_;    // PULL on inproc://opensocket, used by the registry thread
    zmq::socket_t closedSocket_;  // PULL on inproc://closedsocket, used by the registry thread
    zmq::socket_t feedIn_;        // XSUB on the feed's publish side, registry thread
    zmq::socket_t feedOut_;       // XPUB on the feed's subscribe side, registry thread

    mutable std::mutex mutex_;  // guards openEndpoints_ and lastSequence_
    std::unordered_map<std::string, bool> openEndpoints_;
    std::unordered_map<std::string, std::uint64_t> lastSequence_;

    platform::ServiceThread thread_;  // declared last: stopped and joined before the sockets close
};

}  // namespace kinetra::bus
