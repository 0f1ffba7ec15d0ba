// motionAbort to many bundles in parallel on the device service's thread: one request socket
// per bundle, all sent first, then one bounded wait on all of them.
#include "device/abort_all.hpp"

#include <spdlog/spdlog.h>

#include <optional>
#include <vector>

#include "bus/endpoints.hpp"
#include "bus/service_loop.hpp"
#include "bus/wait.hpp"

namespace kinetra::device {
namespace {

constexpr std::string_view kAbortRequest = R"({"command":"motionAbort"})";

json entry(const std::string& linkId, std::string_view result) {
    return json{{"linkID", linkId}, {"result", result}};
}

// The bundle's own reply with its link named; a reply that is no object is passed on as text.
json entryFromReply(const std::string& linkId, std::string_view text) {
    json reply = json::parse(text, nullptr, false);
    if (!reply.is_object()) {
        return entry(linkId, text);
    }
    reply["linkID"] = linkId;
    return reply;
}

}  // namespace

json abortAll(zmq::context_t& context, std::span<const std::string> linkIds,
              std::chrono::milliseconds bound, const platform::StopSignal* stop) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    json data = json::array();
    std::vector<zmq::socket_t> sockets;
    std::vector<std::size_t> waiting;  // indices into linkIds and sockets still awaiting a reply
    for (std::size_t i = 0; i < linkIds.size(); ++i) {
        sockets.push_back(bus::makeRequestSocket(context, bus::bundleEndpoint(linkIds[i])));
        const bool sent = bus::trySend(sockets.back(), kAbortRequest);
        data.push_back(entry(linkIds[i], sent ? kNoAnswerInTime : kNotSent));
        if (sent) {
            waiting.push_back(i);
        }
    }
    while (!waiting.empty()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        std::vector<zmq::socket_ref> refs;
        for (const std::size_t i : waiting) {
            refs.emplace_back(sockets[i]);
        }
        const auto ready = bus::waitReadable(refs, left, stop);
        if (!ready) {
            break;  // the bound ran out or the service stops
        }
        const std::size_t i = waiting[*ready];
        if (const auto reply = bus::tryReceive(sockets[i])) {
            data[i] = entryFromReply(linkIds[i], reply->to_string_view());
            waiting.erase(waiting.begin() + static_cast<std::ptrdiff_t>(*ready));
        }
    }
    for (const std::size_t i : waiting) {
        spdlog::warn("motionAbortAll: bundle {0} did not answer within {1} ms", linkIds[i],
                     bound.count());
    }
    return data;
}

}  // namespace kinetra::device
