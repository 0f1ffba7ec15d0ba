// Replies from the outcome of a planned command's sends; runs on each bundle's command thread.
#include "bundle/command_plan.hpp"

#include <spdlog/spdlog.h>

#include "bundle/keypose_answers.hpp"
#include "model/numeric_limits.hpp"

namespace kinetra::bundle {
namespace {

const SendOutcome* firstOutcome(std::span<const SendOutcome> outcomes) {
    return outcomes.empty() || !outcomes.front() ? nullptr : &outcomes.front();
}

json noResponse() {
    spdlog::info("could not get response");
    return resultReply(reply_text::kNoResponse);
}

json keyposeReadReply(const CommandPlan& plan, std::span<const SendOutcome> outcomes) {
    const SendOutcome* answer = firstOutcome(outcomes);
    if (answer == nullptr) {
        return noResponse();
    }
    auto data = decodeKeyposeReadAnswer(plan.primary, plan.supportedAxes, **answer);
    if (!data) {
        spdlog::warn("Key-pose answer of {0} bytes is too short", (*answer)->size());
        return noResponse();
    }
    const bool sameIndex = (*data)["index"] == plan.requestedIndex;
    json reply{{"data", std::move(*data)}};
    if (sameIndex) {
        reply["result"] = reply_text::kOk;
    } else {
        // The device answered for another pose; the caller must not take these values.
        spdlog::info("read index different?");
        reply["result"] = reply_text::kReadIndexDifferent;
    }
    return reply;
}

json numericLimitsReply(std::span<const SendOutcome> outcomes) {
    const SendOutcome* answer = firstOutcome(outcomes);
    if (answer == nullptr) {
        return noResponse();
    }
    const auto limits = model::deriveNumericLimits(**answer);
    if (!limits) {
        spdlog::warn("Numeric limits answer of {0} bytes is too short", (*answer)->size());
        return noResponse();
    }
    return json{{"data", model::toJson(*limits)}, {"result", reply_text::kOk}};
}

}  // namespace

json resultReply(std::string_view text) {
    return json{{"result", text}};
}

CommandPlan planCommand(std::string_view requestText, const DeviceStatusSnapshot& snapshot,
                        KeyposeIdCounters& ids) {
    json request;
    try {
        request = json::parse(requestText);
    } catch (const json::exception& error) {
        spdlog::error("{0}", error.what());
        CommandPlan plan;
        plan.reply = resultReply(reply_text::kParseError);
        return plan;
    }
    return planCommand(request, snapshot, ids);
}

json buildReply(const CommandPlan& plan, std::span<const SendOutcome> outcomes) {
    switch (plan.rule) {
        case ReplyRule::fixed:
            return plan.reply;
        case ReplyRule::acknowledged: {
            bool answered = outcomes.size() >= plan.sends.size();
            for (const SendOutcome& outcome : outcomes) {
                answered = answered && outcome.has_value();
            }
            json reply = resultReply(reply_text::kOk);
            if (!answered) {
                reply["acknowledged"] = false;
            }
            return reply;
        }
        case ReplyRule::keyposeRead:
            return keyposeReadReply(plan, outcomes);
        case ReplyRule::numericLimits:
            return numericLimitsReply(outcomes);
    }
    return resultReply(reply_text::kOk);
}

}  // namespace kinetra::bundle
