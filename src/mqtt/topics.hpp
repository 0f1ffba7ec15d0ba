// The topic space under one prefix: what the server publishes and which command topics it
// takes, and the reverse mapping of a command topic to its target. Pure; used by the MQTT
// service thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kinetra::mqtt {

/// Who a command topic addresses.
enum class TargetKind {
    bundle,    ///< <prefix>/<linkID>/command: inproc://v1/bundle/<linkID>
    link,      ///< <prefix>/link/<linkID>/command: inproc://v1/link/<linkID>
    device,    ///< <prefix>/device/command: inproc://v1/device (two commands only)
    abortAll,  ///< <prefix>/abortAll: motionAbortAll, whatever the payload
};

struct CommandTarget {
    TargetKind kind = TargetKind::bundle;
    std::string linkId;  // bundle and link only
    bool operator==(const CommandTarget&) const = default;
};

/// True when `linkId` can stand as one topic level (USB serial numbers always can): not empty,
/// no '/', '+', '#' or NUL.
bool isTopicLevel(std::string_view linkId);

class Topics {
public:
    /// `prefix`: a topic name without a trailing '/' (see isTopicName).
    explicit Topics(std::string prefix);

    const std::string& prefix() const { return prefix_; }
    std::string online() const { return prefix_ + "/online"; }
    std::string links() const { return prefix_ + "/links"; }
    std::string reply() const { return prefix_ + "/reply"; }
    std::string abortAll() const { return prefix_ + "/abortAll"; }
    std::string status(std::string_view linkId) const { return level(linkId) + "/status"; }
    std::string health(std::string_view linkId) const { return level(linkId) + "/health"; }

    /// The subscriptions that bring every command topic (and, through the single-level
    /// wildcard, the device topic).
    std::vector<std::string> commandFilters() const;

    /// The target of a command topic; nothing for any other topic.
    std::optional<CommandTarget> commandTarget(std::string_view topic) const;

private:
    std::string level(std::string_view linkId) const;
    std::string prefix_;
};

}  // namespace kinetra::mqtt
