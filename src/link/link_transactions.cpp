// The send operations of a link's wire: flush the response queue, write one frame, wait for the
// reply the reader routes back, retry. Each operation is one transaction under transaction_, so
// two senders on one link (the service thread, the radio update, the bundle's command thread)
// never interleave frames on the wire and never take each other's replies. Runs on the sender's
// thread.
#include <spdlog/spdlog.h>

#include "link/adapter_commands.hpp"
#include "link/link_wire.hpp"

namespace kinetra::link {
namespace {

constexpr std::string_view kResponseReceived = "Response received.";

bool isModule(model::LinkType linkType) {
    return linkType == model::LinkType::stopMotionModule;
}

void logRetry(int attempt) {
    spdlog::info("Command response time out,  retrying : {0}", attempt);
}

}  // namespace

// --- Building blocks (the caller holds transaction_) -------------------------------------------

void LinkWire::flushResponses() {
    mailbox_.clear();
    // Every send flushes; at info level this line would drown the log at joystick rates.
    spdlog::debug("Socket flushed.");
}

// One wait of kReplyWait that ends as soon as the reader routes a reply (or the link stops, or
// the command is preempted).
std::optional<Reply> LinkWire::awaitResponse(const Preemption* preemption) {
    if (auto message = mailbox_.take(std::chrono::steady_clock::now() + kReplyWait,
                                     [&] { return abandoned(preemption); })) {
        return Reply(*message);
    }
    return std::nullopt;
}

// A message that does not begin with the header is somebody else's business (a late reply to an
// earlier attempt, an acknowledgement) and is dropped; the wait goes on to the same deadline.
std::optional<Reply> LinkWire::awaitMatchingResponse(const ReplyHeader& header,
                                                     const Preemption* preemption) {
    const auto deadline = std::chrono::steady_clock::now() + kReplyWait;
    while (auto message = mailbox_.take(deadline, [&] { return abandoned(preemption); })) {
        if (matchesHeader(*message, header)) {
            return Reply(*message);
        }
    }
    return std::nullopt;
}

void LinkWire::write(core::ByteView bytes, std::chrono::milliseconds timeout) {
    // Short writes are not looked at: the wait for the reply covers them.
    port_->write(bytes, timeout);
}

void LinkWire::writeWrapped(core::ByteView message, Delivery delivery,
                            std::chrono::milliseconds timeout) {
    const auto wrapped = wrapForLink(encoder_, message, linkType_, hooks_.connection(), delivery);
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

// --- Operations ----------------------------------------------------------------------------------

void LinkWire::sendPlain(core::ByteView message) {
    std::lock_guard lock(transaction_);
    flushResponses();
    writeWrapped(message, Delivery::acknowledged, kWriteTimeout);
}

void LinkWire::sendUnacknowledged(core::ByteView message, const Preemption* preemption) {
    std::lock_guard lock(transaction_);
    if (preempted(preemption)) {
        return;
    }
    flushResponses();
    writeWrapped(message, Delivery::unacknowledged, kUnacknowledgedWriteTimeout);
}

std::optional<Reply> LinkWire::sendAdapterCommand(core::ByteView frame, const ReplyHeader& header) {
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

std::optional<Reply> LinkWire::sendAdapterCommandLong(core::ByteView frame,
                                                      const ReplyHeader& header) {
    std::lock_guard lock(transaction_);
    flushResponses();
    write(frame, kLongWriteTimeout);
    if (isModule(linkType_)) {
        return awaitResponse();
    }
    for (int round = 0; round < longReplyRounds_ && !stop_.isSet(); ++round) {
        if (auto reply = awaitMatchingResponse(header)) {
            spdlog::info(kResponseReceived);
            return reply;
        }
        stop_.waitFor(kLongRoundPause);
    }
    return std::nullopt;
}

std::optional<Reply> LinkWire::sendWithRetry(core::ByteView message, const Preemption* preemption) {
    std::lock_guard lock(transaction_);
    const int attempts = isModule(linkType_) ? 1 : kAttempts;
    for (int attempt = 1; attempt <= attempts && !abandoned(preemption); ++attempt) {
        flushResponses();
        writeWrapped(message, Delivery::acknowledged, kWriteTimeout);
        if (auto reply = awaitResponse(preemption)) {
            spdlog::info(kResponseReceived);
            return reply;
        }
        if (!isModule(linkType_) && !abandoned(preemption)) {
            logRetry(attempt);
        }
    }
    return std::nullopt;
}

std::optional<Reply> LinkWire::sendAndMatch(core::ByteView message, std::uint8_t messageId,
                                            std::uint8_t deviceAddress,
                                            const Preemption* preemption) {
    std::lock_guard lock(transaction_);
    if (preempted(preemption)) {
        return std::nullopt;
    }
    if (isModule(linkType_)) {
        flushResponses();
        write(message, kWriteTimeout);
        auto reply = awaitResponse(preemption);
        if (reply && reply->received() > 0 && (*reply)[0] == messageId) {
            return reply;
        }
        return std::nullopt;
    }
    const auto rule = deviceReplyRule(linkType_, hooks_.connection(), messageId, deviceAddress);
    for (int attempt = 1; attempt <= kAttempts && !abandoned(preemption); ++attempt) {
        flushResponses();
        writeWrapped(message, Delivery::acknowledged, kWriteTimeout);
        // Without a medium no device can answer: the message goes out as it is and nothing is
        // awaited.
        if (rule) {
            if (auto reply = awaitMatchingResponse(rule->header, preemption)) {
                spdlog::info(kResponseReceived);
                return acceptDeviceReply(reply->message(), *rule);
            }
        }
        if (!abandoned(preemption)) {
            logRetry(attempt);
        }
    }
    return std::nullopt;
}

}  // namespace kinetra::link
