#include "mqtt/topics.hpp"

namespace kinetra::mqtt {
namespace {

constexpr std::string_view kCommand = "/command";
constexpr std::string_view kLinkLevel = "link/";
constexpr std::string_view kDeviceLevel = "device";

}  // namespace

bool isTopicLevel(std::string_view linkId) {
    return !linkId.empty() && linkId.find_first_of(std::string_view("/+#\0", 4)) == linkId.npos;
}

Topics::Topics(std::string prefix) : prefix_(std::move(prefix)) {}

std::string Topics::level(std::string_view linkId) const {
    return prefix_ + "/" + std::string(linkId);
}

std::vector<std::string> Topics::commandFilters() const {
    return {prefix_ + "/+/command", prefix_ + "/link/+/command", abortAll()};
}

std::optional<CommandTarget> Topics::commandTarget(std::string_view topic) const {
    if (!topic.starts_with(prefix_) || !topic.substr(prefix_.size()).starts_with('/')) {
        return std::nullopt;
    }
    auto rest = topic.substr(prefix_.size() + 1);
    if (rest == "abortAll") {
        return CommandTarget{TargetKind::abortAll, {}};
    }
    if (!rest.ends_with(kCommand)) {
        return std::nullopt;
    }
    rest.remove_suffix(kCommand.size());
    if (rest == kDeviceLevel) {
        return CommandTarget{TargetKind::device, {}};
    }
    TargetKind kind = TargetKind::bundle;
    if (rest.starts_with(kLinkLevel) && isTopicLevel(rest.substr(kLinkLevel.size()))) {
        kind = TargetKind::link;
        rest.remove_prefix(kLinkLevel.size());
    }
    if (!isTopicLevel(rest)) {
        return std::nullopt;
    }
    return CommandTarget{kind, std::string(rest)};
}

}  // namespace kinetra::mqtt
