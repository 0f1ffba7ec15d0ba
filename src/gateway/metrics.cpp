// The Prometheus exposition of the links' health and the board it is rendered from. The text is
// built on the network thread that answers the scrape; the board is fed on the reactor thread.
#include "gateway/metrics.hpp"

#include <cmath>
#include <functional>
#include <set>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "bus/feed.hpp"
#include "gateway/rpc_gateway.hpp"
#include "net/http_response.hpp"

namespace kinetra::gateway {
namespace {

// A link id comes from outside (a port's serial number): escaped as a label value must be.
std::string labelValue(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            escaped += '\\';
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string number(const json& value) {
    if (value.is_number_unsigned()) {
        return std::to_string(value.get<std::uint64_t>());
    }
    if (value.is_number_integer()) {
        return std::to_string(value.get<std::int64_t>());
    }
    if (value.is_number() && std::isfinite(value.get<double>())) {
        return fmt::format("{}", value.get<double>());
    }
    return "NaN";
}

// A member at `path` in a link's data; nullptr when it is not there.
const json* member(const json& data, std::initializer_list<const char*> path) {
    const json* value = &data;
    for (const char* name : path) {
        if (!value->is_object() || !value->contains(name)) {
            return nullptr;
        }
        value = &(*value)[name];
    }
    return value;
}

struct Family {
    const char* name;
    const char* type;
    const char* help;
    std::initializer_list<const char*> path;  // in the link's data
    double scale = 1;                         // data unit -> metric unit
};

const Family kLinkFamilies[] = {
    {"kinetra_link_frames_received_total",
     "counter",
     "Whole frames read from the link.",
     {"framesIn"}},
    {"kinetra_link_frames_sent_total", "counter", "Frames written to the link.", {"framesOut"}},
    {"kinetra_link_frames_discarded_total",
     "counter",
     "Runs of bytes the frame decoder dropped: bad sum, too short, too long, noise.",
     {"discarded"}},
    {"kinetra_link_bytes_received_total", "counter", "Bytes read from the link.", {"bytesIn"}},
    {"kinetra_link_bytes_sent_total", "counter", "Bytes written to the link.", {"bytesOut"}},
    {"kinetra_link_bytes_discarded_total",
     "counter",
     "Bytes in the discarded runs.",
     {"discardedBytes"}},
    {"kinetra_link_retries_total",
     "counter",
     "Attempts written again because the one before got no reply in time.",
     {"retries"}},
    {"kinetra_link_timeouts_total",
     "counter",
     "Transactions that ran out of attempts.",
     {"timeouts"}},
    {"kinetra_link_late_replies_total",
     "counter",
     "Replies that came after their transaction had given up, dropped.",
     {"lateReplies"}},
    {"kinetra_link_unacknowledged_total",
     "counter",
     "Sends answered acknowledged:false: no acknowledgement could be credited to them.",
     {"unacknowledged"}},
    {"kinetra_link_status_messages_total",
     "counter",
     "Status messages received.",
     {"statusMessages"}},
    {"kinetra_link_status_age_seconds",
     "gauge",
     "Time since the last status message.",
     {"statusAgeMs"},
     1e-3},
};

}  // namespace

std::string metricsText(const std::map<std::string, json>& links, const ProcessFigures& process) {
    std::string text;
    const auto header = [&](const char* name, const char* type, const char* help) {
        text += fmt::format("# HELP {0} {2}\n# TYPE {0} {1}\n", name, type, help);
    };
    for (const Family& family : kLinkFamilies) {
        bool first = true;
        for (const auto& [linkId, data] : links) {
            const json* value = member(data, family.path);
            if (value == nullptr || !value->is_number()) {
                continue;
            }
            if (std::exchange(first, false)) {
                header(family.name, family.type, family.help);
            }
            const json scaled =
                family.scale == 1 ? *value : json(value->get<double>() * family.scale);
            text += fmt::format("{}{{link=\"{}\"}} {}\n", family.name, labelValue(linkId),
                                number(scaled));
        }
    }
    // The round trip: quantiles of the last round trips kept, sum and count of all of them.
    bool first = true;
    for (const auto& [linkId, data] : links) {
        const json* roundTrip = member(data, {"ackRoundTrip"});
        if (roundTrip == nullptr || !roundTrip->is_object()) {
            continue;
        }
        if (std::exchange(first, false)) {
            header("kinetra_link_ack_seconds", "summary",
                   "Acknowledgement round trip: quantiles of the last 1000, sum and count of all.");
        }
        const auto link = labelValue(linkId);
        const auto seconds = [&](const char* name) {
            const json* value = member(*roundTrip, {name});
            return value != nullptr && value->is_number() ? json(value->get<double>() / 1000.0)
                                                          : json(nullptr);
        };
        for (const auto& [quantile, name] : {std::pair{"0.5", "p50"}, std::pair{"0.99", "p99"}}) {
            text += fmt::format("kinetra_link_ack_seconds{{link=\"{}\",quantile=\"{}\"}} {}\n",
                                link, quantile, number(seconds(name)));
        }
        const json* count = member(*roundTrip, {"count"});
        if (count != nullptr && count->is_number() && member(*roundTrip, {"sumMs"}) != nullptr) {
            text += fmt::format("kinetra_link_ack_seconds_sum{{link=\"{}\"}} {}\n", link,
                                number(seconds("sumMs")));
            text += fmt::format("kinetra_link_ack_seconds_count{{link=\"{}\"}} {}\n", link,
                                number(*count));
        }
    }
    header("kinetra_gateway_connections", "gauge", "Open HTTP and WebSocket connections.");
    text += fmt::format("kinetra_gateway_connections {}\n", process.connections);
    header("kinetra_log_messages_dropped_total", "counter",
           "Log lines dropped because the logger's queue was full.");
    text += fmt::format("kinetra_log_messages_dropped_total {}\n", process.logMessagesDropped);
    return text;
}

std::string metricsResponse(std::string text) {
    return net::HttpResponse()
        .addHeader("Content-Type", "text/plain; version=0.0.4; charset=utf-8")
        .setBody(std::move(text))
        .toString();
}

void MetricsBoard::follow() {
    std::call_once(following_, [this] {
        reactor_.subscribe(
            std::string(bus::kLinksTopic), [this](const std::string& body) { onLinks(body); },
            linksSnapshot());
    });
}

// Parsed here, on the scrape's thread, so that the reactor only keeps the text.
std::map<std::string, json> MetricsBoard::latest() const {
    std::map<std::string, std::string> texts;
    {
        std::lock_guard lock(mutex_);
        texts = figures_;
    }
    std::map<std::string, json> parsed;
    for (const auto& [linkId, text] : texts) {
        json data = json::parse(text, nullptr, false);
        if (data.is_object()) {
            parsed.emplace(linkId, std::move(data));
        }
    }
    return parsed;
}

void MetricsBoard::onLinks(const std::string& body) {
    const json list = json::parse(body, nullptr, false);
    if (!list.is_array()) {
        return;
    }
    std::set<std::string> listed;
    for (const auto& link : list) {
        if (link.is_object() && link.contains("linkID") && link["linkID"].is_string()) {
            listed.insert(link["linkID"].get<std::string>());
        }
    }
    for (auto entry = subscribed_.begin(); entry != subscribed_.end();) {
        if (listed.contains(entry->first)) {
            ++entry;
            continue;
        }
        // A link that went is no longer reported.
        reactor_.unsubscribe(entry->second);
        {
            std::lock_guard lock(mutex_);
            figures_.erase(entry->first);
        }
        entry = subscribed_.erase(entry);
    }
    for (const auto& linkId : listed) {
        if (subscribed_.contains(linkId)) {
            continue;
        }
        subscribed_[linkId] =
            reactor_.subscribe(bus::healthTopic(linkId), [this, linkId](const std::string& data) {
                // One that came after the link left the list is not its any more.
                if (subscribed_.contains(linkId)) {
                    std::lock_guard lock(mutex_);
                    figures_[linkId] = data;
                }
            });
    }
}

}  // namespace kinetra::gateway
