// The send operations of a link's wire, all through one transaction routine: write one attempt,
// wait for what this transaction awaits, retry. Each runs under transaction_, so two senders on
// one link (the service thread, the radio update, the bundle's sender) never interleave frames
// on the wire, and what arrives is credited by the mailbox to the transaction that caused it
// (docs/protocol.md, "Whose reply is it"). Runs on the sender's thread.
#include <spdlog/spdlog.h>

#include "link/adapter_commands.hpp"
#include "link/link_wire.hpp"

namespace kinetra::link {
namespace {

constexpr std::string_view kResponseReceived = "Response received.";

void logRetry(int attempt) {
    spdlog::info("Command response time out,  retrying : {0}", attempt);
}

}  // namespace

void LinkWire::writeAttempt(const Transaction& transaction) {
    if (transaction.framing == Framing::asIs) {
        // A module takes its device messages as they are; an adapter's frames move no byte.
        mailbox_.writing(transaction.deviceMessage && isModule());
        // Short writes are not looked at: the wait for the reply covers them.
        countWritten(port_->write(transaction.bytes, transaction.writeTimeout));
        return;
    }
    const auto connection = hooks_.connection();
    const auto delivery = transaction.framing == Framing::wrappedUnacknowledged
                              ? Delivery::unacknowledged
                              : Delivery::acknowledged;
    const auto wrapped = wrapForLink(encoder_, transaction.bytes, linkType_, connection, delivery);
    switch (wrapped.status) {
        case WrapStatus::framed:
        case WrapStatus::unframed:
            // Without a medium an adapter's devices cannot report: no change will be seen.
            mailbox_.writing(transaction.deviceMessage &&
                             (isModule() || connection != model::LinkConnectionType::none));
            countWritten(port_->write(wrapped.bytes, transaction.writeTimeout));
            break;
        case WrapStatus::refused:
            mailbox_.writing(false);
            spdlog::warn("Link id: {0} message of {1} bytes does not fit a frame; not sent.",
                         linkId_, transaction.bytes.size());
            break;
        case WrapStatus::nothing:
            mailbox_.writing(false);
            break;
    }
}

void LinkWire::countWritten(std::size_t written) {
    if (counting_ && written > 0) {
        statistics_.framesOut.fetch_add(1, std::memory_order_relaxed);
        statistics_.bytesOut.fetch_add(written, std::memory_order_relaxed);
    }
}

std::optional<Reply> LinkWire::transact(const Transaction& transaction) {
    std::lock_guard lock(transaction_);
    mailbox_.begin(++transactions_);
    const auto giveUp = [&] { return abandoned(transaction.preemption); };
    std::optional<Reply> reply;
    for (int attempt = 1; attempt <= transaction.attempts && !giveUp(); ++attempt) {
        if (attempt > 1) {
            // What came for an earlier attempt after its wait ended is still this one's.
            reply = mailbox_.take(std::chrono::steady_clock::now(), transaction.awaited,
                                  transaction.header, giveUp);
            if (reply) {
                break;
            }
            statistics_.retries.fetch_add(1, std::memory_order_relaxed);
        }
        writeAttempt(transaction);
        if (transaction.awaited != Awaited::nothing) {
            reply = mailbox_.take(std::chrono::steady_clock::now() + transaction.wait,
                                  transaction.awaited, transaction.header, giveUp);
            if (reply) {
                break;
            }
        }
        if (transaction.logRetries && !giveUp()) {
            logRetry(attempt);
        }
    }
    // A transaction that awaited nothing leaves nobody to whom a change would come late.
    mailbox_.end(reply.has_value() || transaction.awaited == Awaited::nothing);
    if (reply) {
        spdlog::debug(kResponseReceived);
    } else if (transaction.awaited != Awaited::nothing && !giveUp()) {
        statistics_.timeouts.fetch_add(1, std::memory_order_relaxed);
        if (transaction.awaited == Awaited::acknowledgement) {
            statistics_.unacknowledged.fetch_add(1, std::memory_order_relaxed);
        }
    }
    return reply;
}

// --- Operations ----------------------------------------------------------------------------------

void LinkWire::sendPlain(core::ByteView message) {
    transact({.bytes = message});
}

void LinkWire::sendUnacknowledged(core::ByteView message, const Preemption* preemption) {
    transact({.bytes = message,
              .framing = Framing::wrappedUnacknowledged,
              .writeTimeout = kUnacknowledgedWriteTimeout,
              .preemption = preemption});
}

std::optional<Reply> LinkWire::sendAdapterCommand(core::ByteView frame, const ReplyHeader& header) {
    if (isModule()) {
        // A module answers what it understands in its own form: any reply will do.
        return transact({.bytes = frame,
                         .framing = Framing::asIs,
                         .deviceMessage = false,
                         .awaited = Awaited::anyReply});
    }
    return transact({.bytes = frame,
                     .framing = Framing::asIs,
                     .deviceMessage = false,
                     .awaited = Awaited::header,
                     .header = header,
                     .attempts = kAttempts,
                     .logRetries = true});
}

std::optional<Reply> LinkWire::sendAdapterCommandLong(core::ByteView frame,
                                                      const ReplyHeader& header) {
    if (isModule()) {
        return transact({.bytes = frame,
                         .framing = Framing::asIs,
                         .deviceMessage = false,
                         .awaited = Awaited::anyReply,
                         .writeTimeout = kLongWriteTimeout});
    }
    // The rounds of a long wait, each a reply wait and a short pause, as one wait.
    return transact({.bytes = frame,
                     .framing = Framing::asIs,
                     .deviceMessage = false,
                     .awaited = Awaited::header,
                     .header = header,
                     .writeTimeout = kLongWriteTimeout,
                     .wait = longReplyRounds_ * (kReplyWait + kLongRoundPause)});
}

std::optional<Reply> LinkWire::sendWithRetry(core::ByteView message, const Preemption* preemption) {
    return transact({.bytes = message,
                     .awaited = Awaited::anyReply,
                     .attempts = isModule() ? 1 : kAttempts,
                     .logRetries = !isModule(),
                     .preemption = preemption});
}

std::optional<Reply> LinkWire::sendAcknowledged(core::ByteView message, int attempts,
                                                const Preemption* preemption) {
    return transact({.bytes = message,
                     .awaited = Awaited::acknowledgement,
                     .attempts = isModule() ? 1 : attempts,
                     .logRetries = !isModule(),
                     .preemption = preemption});
}

std::optional<Reply> LinkWire::sendAndMatch(core::ByteView message, std::uint8_t messageId,
                                            std::uint8_t deviceAddress,
                                            const Preemption* preemption) {
    const auto rule = deviceReplyRule(linkType_, hooks_.connection(), messageId, deviceAddress);
    if (isModule()) {
        // The module's reply is its message, from the message id on.
        return transact({.bytes = message,
                         .framing = Framing::asIs,
                         .awaited = Awaited::header,
                         .header = rule ? rule->header : ReplyHeader{{messageId}, 1},
                         .preemption = preemption});
    }
    if (!rule) {
        // Without a medium no device can answer: the message goes out as it is on each attempt
        // and nothing is awaited.
        transact({.bytes = message,
                  .attempts = kAttempts,
                  .logRetries = true,
                  .preemption = preemption});
        return std::nullopt;
    }
    const auto reply = transact({.bytes = message,
                                 .awaited = Awaited::header,
                                 .header = rule->header,
                                 .attempts = kAttempts,
                                 .logRetries = true,
                                 .preemption = preemption});
    return reply ? acceptDeviceReply(reply->message(), *rule) : std::nullopt;
}

}  // namespace kinetra::link
