// Stop all motion from the tray, on the tray's thread: one bounded request on the bus. The menu
// waits for it (at most a second) so that the notification tells what happened.
#include "tray/motion_stop.hpp"

#include <spdlog/spdlog.h>

#include "bus/service_loop.hpp"
#include "notify/notification_handler.hpp"

namespace kinetra::tray {
namespace {

constexpr const char* kTitle = "Stop all motion";

}  // namespace

std::string stopAllSummary(const std::optional<json>& reply) {
    if (!reply) {
        return "The device service did not answer.";
    }
    const auto data = reply->find("data");
    if (!reply->is_object() || data == reply->end() || !data->is_array()) {
        return "Unexpected reply: " + core::dumpCompact(*reply);
    }
    if (data->empty()) {
        return "No bundle to stop.";
    }
    std::string text;
    for (const json& entry : *data) {
        text += text.empty() ? "" : "\n";
        if (!entry.is_object()) {
            text += core::dumpCompact(entry);
            continue;
        }
        text += entry.value("linkID", std::string("?")) + ": " +
                entry.value("result", std::string("?"));
        if (entry.value("acknowledged", true) == false) {
            text += " (not acknowledged)";
        }
    }
    return text;
}

std::optional<json> stopAllMotion(std::string_view deviceEndpoint,
                                  std::chrono::milliseconds timeout) {
    // A device service that is going away has no peer left to take the request: the send is
    // bounded as well.
    const auto reply =
        bus::requestOnce(std::string(deviceEndpoint), R"({"command":"motionAbortAll"})", timeout);
    const std::string summary = stopAllSummary(reply);
    if (reply) {
        spdlog::info("{0}: {1}", kTitle, summary);
    } else {
        spdlog::warn("{0}: {1}", kTitle, summary);
    }
    notify::notify(kTitle, summary);
    return reply;
}

}  // namespace kinetra::tray
