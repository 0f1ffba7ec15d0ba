// The send operations of a link: flush the response queue, write one frame, wait for the reply
// the reader routes back, retry. Each operation is one transaction under transaction_, so two
// senders on one link (the service thread, the radio update, the bundle's command thread) never
// interleave frames on the wire and never take each other's replies.
#include <spdlog/spdlog.h>

#include "bus/wait.hpp"
#include "link/adapter_commands.hpp"
#include "link/link_handler.hpp"

namespace kinetra::link {
namespace {

constexpr std::string_view kResponseReceived = "Response received.";

bool isModule(model::LinkType linkType) {
    return linkType == model::LinkType::stopMotionModule;
}

}  // namespace

// --- Building blocks (the caller holds transaction_) -------------------------------------------

void LinkHandler::flushResponses() {
    while (bus::tryReceive(responsePull_)) {
    }
    // Every send flushes; at info level this line would drown the log at joystick rates.
    spdlog::debug("Socket flushed.");
}

std::optional<Reply> LinkHandler::awaitResponse() {
    if (auto message = bus::receiveWithRetries(responsePull_, kReplyRounds, kRound, {}, &stop_)) {
        return Reply({static_cast<const std::uint8_t*>(message->data()), message->size()});
    }
    return std::nullopt;
}

// A message that does not begin with the header is somebody else's business (a late reply to an
// earlier attempt, an acknowledgement) and is dropped; it uses up its round like a silent one.
std::optional<Reply> LinkHandler::awaitMatchingResponse(const ReplyHeader& header) {
    for (int round = 0; round < kReplyRounds && !stop_.isSet(); ++round) {
        const auto message = bus::receiveWithin(responsePull_, kRound, &stop_);
        if (!message) {
            continue;
        }
        const core::ByteView bytes{static_cast<const std::uint8_t*>(message->data()),
                                   message->size()};
        if (matchesHeader(bytes, header)) {
            return Reply(bytes);
        }
    }
    return std::nullopt;
}

void LinkHandler::write(core::ByteView bytes, std::chrono::milliseconds timeout) {
    // Short writes are not looked at: the wait for the reply covers them.
    port_->write(bytes, timeout);
}

void LinkHandler::writeWrapped(core::ByteView message, Delivery delivery,
                               std::chrono::milliseconds timeout) {
    const auto wrapped = wrapForLink(encoder_, message, linkType_, connectionType(), delivery);
    switch (wrapped.status) {
        case WrapStatus::framed:
        case WrapStatus::unframed:
            write(wrapped.bytes, timeout);
            break;
        case WrapStatus::refused:
            spdlog::warn("Link id: {0} message of {1} bytes does not fit a frame; not sent.",
                         linkId_, message.size());
            break;
        case WrapStatus::nothing:
            break;
    }
}

void LinkHandler::logRetry(int attempt) const {
    spdlog::info("Command response time out,  retrying : {0}", attempt);
}

// --- Operations ----------------------------------------------------------------------------------

void LinkHandler::sendPlain(core::ByteView message) {
    std::lock_guard lock(transaction_);
    flushResponses();
    writeWrapped(message, Delivery::acknowledged, kWriteTimeout);
}

void LinkHandler::sendUnacknowledged(core::ByteView message) {
    std::lock_guard lock(transaction_);
    flushResponses();
    writeWrapped(message, Delivery::unacknowledged, kUnacknowledgedWriteTimeout);
}

std::optional<Reply> LinkHandler::sendAdapterCommand(core::ByteView frame,
                                                     const ReplyHeader& header) {
    std::lock_guard lock(transaction_);
    if (isModule(linkType_)) {
        flushResponses();
        write(frame, kWriteTimeout);
        return awaitResponse();
    }
    for (int attempt = 1; attempt <= kAttempts && !stop_.isSet(); ++attempt) {
        flushResponses();
        write(frame, kWriteTimeout);
        if (auto reply = awaitMatchingResponse(header)) {
            spdlog::info(kResponseReceived);
            return reply;
        }
        logRetry(attempt);
    }
    return std::nullopt;
}

std::optional<Reply> LinkHandler::sendAdapterCommandLong(core::ByteView frame,
                                                         const ReplyHeader& header) {
    std::lock_guard lock(transaction_);
    flushResponses();
    write(frame, kLongWriteTimeout);
    if (isModule(linkType_)) {
        return awaitResponse();
    }
    for (int round = 0; round < timings_.longReplyRounds && !stop_.isSet(); ++round) {
        if (auto reply = awaitMatchingResponse(header)) {
            spdlog::info(kResponseReceived);
            return reply;
        }
        sleepUnlessStopping(kLongRoundPause);
    }
    return std::nullopt;
}

std::optional<Reply> LinkHandler::sendWithRetry(core::ByteView message) {
    std::lock_guard lock(transaction_);
    const int attempts = isModule(linkType_) ? 1 : kAttempts;
    for (int attempt = 1; attempt <= attempts && !stop_.isSet(); ++attempt) {
        flushResponses();
        writeWrapped(message, Delivery::acknowledged, kWriteTimeout);
        if (auto reply = awaitResponse()) {
            spdlog::info(kResponseReceived);
            return reply;
        }
        if (!isModule(linkType_)) {
            logRetry(attempt);
        }
    }
    return std::nullopt;
}

std::optional<Reply> LinkHandler::sendAndMatch(core::ByteView message, std::uint8_t messageId,
                                               std::uint8_t deviceAddress) {
    std::lock_guard lock(transaction_);
    if (isModule(linkType_)) {
        flushResponses();
        write(message, kWriteTimeout);
        auto reply = awaitResponse();
        if (reply && reply->received() > 0 && (*reply)[0] == messageId) {
            return reply;
        }
        return std::nullopt;
    }
    const auto rule = deviceReplyRule(linkType_, connectionType(), messageId, deviceAddress);
    for (int attempt = 1; attempt <= kAttempts && !stop_.isSet(); ++attempt) {
        flushResponses();
        writeWrapped(message, Delivery::acknowledged, kWriteTimeout);
        // Without a medium no device can answer: the message goes out as it is and nothing is
        // awaited.
        if (rule) {
            if (auto reply = awaitMatchingResponse(rule->header)) {
                spdlog::info(kResponseReceived);
                return acceptDeviceReply(reply->message(), *rule);
            }
        }
        logRetry(attempt);
    }
    return std::nullopt;
}

}  // namespace kinetra::link
