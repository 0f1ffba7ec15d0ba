// A LinkSession for tests: it records every write with the send operation used and answers from
// a script instead of a serial port. Also a capture of the log lines. Run on the test thread.
#pragma once

#include "support/log_capture.hpp"

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "link/link_session.hpp"
#include "link_test_support.hpp"

namespace kinetra::link::test {

enum class Operation { adapterCommand, adapterCommandLong, withRetry, plain };

/// One write: the bytes as handed over, the operation and the header it waited for.
struct Sent {
    Operation operation = Operation::plain;
    Bytes bytes;
    ReplyHeader header;  // empty for withRetry (any reply) and plain (no wait)

    /// "adapter 1A 03 @00 00", "retry 11 06", "plain 12 02 E6 00 E8": the frame's payload.
    std::string describe() const {
        static const char* const kNames[] = {"adapter", "long", "retry", "plain"};
        std::string text =
            kNames[static_cast<int>(operation)] + std::string(" ") + framePayload(bytes);
        if (header.size > 0) {
            text += " @" + hex(header.view());
        }
        return text;
    }
};

class ScriptedSession : public LinkSession {
public:
    /// Replies by awaited header ("01 00" -> bytes; "" for sendWithRetry); others get silence.
    std::map<std::string, Bytes> replies;
    /// When set, decides every reply instead of the two above.
    std::function<std::optional<Bytes>(const Sent&)> responder;
    /// The sleep (counted from 0) during which the handler starts stopping; -1: never.
    int stopDuringSleep = -1;

    model::LinkType type = model::LinkType::linkAdapter;
    model::LinkConnectionType connection = model::LinkConnectionType::none;
    std::vector<Sent> sent;
    std::vector<LinkFirmwareFlags> applied;
    std::vector<std::chrono::milliseconds> sleeps;
    bool isStopping = false;

    /// Every write described, joined by " | ".
    std::string described() const {
        std::string out;
        for (const auto& s : sent) {
            out += (out.empty() ? "" : " | ") + s.describe();
        }
        return out;
    }

    model::LinkType linkType() const override { return type; }
    model::LinkConnectionType connectionType() const override { return connection; }
    void setConnectionType(model::LinkConnectionType value) override { connection = value; }
    void applyFirmwareFlags(const LinkFirmwareFlags& value) override { applied.push_back(value); }
    const model::FirmwareCatalog& catalog() const override { return catalog_; }
    LinkFlags& flags() override { return flags_; }
    void unpair() override { flags_.paired = false; }
    bool stopping() const override { return isStopping; }
    bool sleepUnlessStopping(std::chrono::milliseconds duration) override {
        if (static_cast<int>(sleeps.size()) == stopDuringSleep) {
            isStopping = true;
        }
        sleeps.push_back(duration);
        return !isStopping;
    }

    std::optional<Reply> sendAdapterCommand(core::ByteView frame,
                                            const ReplyHeader& header) override {
        return record({Operation::adapterCommand, Bytes(frame.begin(), frame.end()), header});
    }
    std::optional<Reply> sendAdapterCommandLong(core::ByteView frame,
                                                const ReplyHeader& header) override {
        return record({Operation::adapterCommandLong, Bytes(frame.begin(), frame.end()), header});
    }
    std::optional<Reply> sendWithRetry(core::ByteView message) override {
        return record({Operation::withRetry, Bytes(message.begin(), message.end()), {}});
    }
    void sendPlain(core::ByteView message) override {
        record({Operation::plain, Bytes(message.begin(), message.end()), {}});
    }

private:
    std::optional<Reply> record(Sent s) {
        sent.push_back(std::move(s));
        const auto& last = sent.back();
        if (isStopping || last.operation == Operation::plain) {
            return std::nullopt;
        }
        std::optional<Bytes> answer;
        if (responder) {
            answer = responder(last);
        } else if (const auto found = replies.find(hex(last.header.view()));
                   found != replies.end()) {
            answer = found->second;
        }
        if (!answer) {
            return std::nullopt;
        }
        return Reply(*answer);
    }

    LinkFlags flags_;
    model::FirmwareCatalog catalog_;
};

using kinetra::testing::LogCapture;

}  // namespace kinetra::link::test
