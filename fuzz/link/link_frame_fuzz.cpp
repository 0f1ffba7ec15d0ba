// Serial bytes as a peer might send them: through the frame decoder, the routing of every
// payload, the reply rules, the pairing decoders and the adapter's reading of host commands.
// Single-threaded libFuzzer target.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <spdlog/spdlog.h>

#include "core/json.hpp"
#include "link/adapter_side.hpp"
#include "link/classify.hpp"
#include "link/frame_codec.hpp"
#include "link/pairing_codec.hpp"
#include "link/reply.hpp"

namespace {

using namespace kinetra;
using namespace kinetra::link;

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool within(core::ByteView inner, core::ByteView outer) {
    return inner.data() >= outer.data() &&
           inner.data() + inner.size() <= outer.data() + outer.size();
}

// Performs the routing as a link would and checks that it only points into the payload.
void route(core::ByteView payload, LinkState& state) {
    const auto routing = classify(payload, state);
    check(routing.size() > 0);
    for (const auto& action : routing) {
        switch (action.kind) {
            case ActionKind::pushResponse:
                check(within(action.bytes, payload));
                break;
            case ActionKind::pushStatus:
                check(within(action.bytes, payload) && action.bytes.size() >= kStatusMessageSize &&
                      action.bytes[0] == kStatusMessageId);
                break;
            case ActionKind::acknowledge:
                check(action.acknowledge != state.lastAcknowledge);
                state.lastAcknowledge = action.acknowledge;
                break;
            case ActionKind::becomePaired:
                check(!state.paired);
                state.paired = true;
                break;
            case ActionKind::log:
            case ActionKind::drop:
                break;
        }
    }
}

// Every decoder that reads replies, given the payload as if it were one.
void decodeAsReply(core::ByteView payload) {
    static const model::FirmwareCatalog catalog;
    const auto wireless = wirelessScanJson(payload, catalog);
    check(wireless.size() <= kScanEntryLimit);
    const auto can = canScanJson(payload, catalog);
    check(can.size() <= kScanEntryLimit);
    (void)core::dumpCompact(wireless);
    (void)core::dumpCompact(can);
    (void)core::dumpCompact(wirelessPairStatusJson(payload));
    (void)core::dumpCompact(canbusPairStatusJson(payload));
    (void)linkFirmwareFlags(decodeLinkVersions(payload));

    const Reply reply(payload);
    check(reply.received() == payload.size() && reply.padded().size() >= kReplyMinimumSize);
    for (const auto connection :
         {model::LinkConnectionType::wireless, model::LinkConnectionType::canbus,
          model::LinkConnectionType::rj45}) {
        const auto messageId = payload.empty() ? std::uint8_t{0} : payload.back();
        const auto rule =
            deviceReplyRule(model::LinkType::linkAdapter, connection, messageId, 0x05);
        if (const auto accepted = acceptDeviceReply(payload, *rule)) {
            check(accepted->received() + rule->strip == payload.size());
        }
    }
}

// What came in must go out the same way, wherever it fits an outbound frame.
void roundTrip(core::ByteView payload) {
    if (payload.size() > kMaxFramePayload) {
        return;
    }
    static FrameEncoder encoder;
    check(encodeFrame(encoder, payload));
    FrameDecoder decoder;
    int frames = 0;
    decoder.feed(encoder.encoded(), [&](core::ByteView again) {
        check(again.size() == payload.size() &&
              std::equal(again.begin(), again.end(), payload.begin()));
        ++frames;
    });
    check(frames == 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    spdlog::set_level(spdlog::level::off);  // the catalogue logs unknown models
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const core::ByteView input{data, size};
    // The first byte, when there is one, picks the link's state; the rest is the serial stream.
    LinkState state;
    if (!input.empty()) {
        const auto bits = input[0];
        state.linkType = model::LinkType{bits & 0x03};
        state.paired = (bits & 0x04) != 0;
        state.pairingBlocked = (bits & 0x08) != 0;
        state.statusKnown = (bits & 0x10) != 0;
        state.lastAcknowledge = static_cast<std::uint8_t>(bits & 0xE0);
    }
    const auto stream = input.empty() ? input : input.subspan(1);

    FrameDecoder decoder;
    decoder.feed(stream, [&](core::ByteView payload) {
        check(!payload.empty() && payload.size() + kChecksumSize <= FrameDecoder::kBound);
        route(payload, state);
        decodeAsReply(payload);
        roundTrip(payload);
        if (const auto command = readHostCommand(payload)) {
            check(within(command->argument, payload));
        }
    });
    check(decoder.collected() <= FrameDecoder::kBound);

    // The same bytes as the MAC texts of pairing requests.
    const std::string_view text{reinterpret_cast<const char*>(data), size};
    if (const auto mac = parseAttachMac(text)) {
        check(parseAttachMac(macText(*mac)) == mac);
    }
    (void)parseBundleMac(text);
    return 0;
}
