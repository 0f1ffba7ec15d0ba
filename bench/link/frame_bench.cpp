// Frame encode and decode speed against a plain copy of the same bytes, measured in the same
// run: the figures to watch are the ratios, not the absolute times. Single-threaded.
#include <chrono>
#include <cstring>
#include <vector>

#include <benchmark/benchmark.h>

#include "link/adapter_commands.hpp"
#include "link/classify.hpp"
#include "link/frame_codec.hpp"
#include "link/link_statistics.hpp"
#include "link/radio_image.hpp"

namespace {

using namespace kinetra;
using namespace kinetra::link;

core::Bytes statusPayload() {
    core::Bytes payload{0x01, 0x02};
    payload.resize(2 + kStatusMessageSize, 0x00);
    for (std::size_t i = 2; i < payload.size(); ++i) {
        payload[i] = static_cast<std::uint8_t>(i * 37);  // some escapes, as real positions have
    }
    payload[2] = kStatusMessageId;
    return payload;
}

core::Bytes framed(const core::Bytes& payload) {
    FrameEncoder encoder;
    if (!encodeFrame(encoder, payload)) {
        std::abort();
    }
    return {encoder.encoded().begin(), encoder.encoded().end()};
}

// Baseline: copying the encoded bytes of a radio chunk frame.
void copyChunkFrame(benchmark::State& state) {
    const RadioImageChunks chunks(radioFirmwareImage());
    FrameEncoder encoder;
    frames::updateChunk(encoder, chunks.chunk(3));
    const auto wire = encoder.encoded();
    std::vector<std::uint8_t> out(wire.size());
    for (auto _ : state) {
        std::memcpy(out.data(), wire.data(), wire.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * wire.size()));
}
BENCHMARK(copyChunkFrame);

// Baseline: the least per-byte work any codec does, one pass summing the same bytes.
void sumChunkFrame(benchmark::State& state) {
    const RadioImageChunks chunks(radioFirmwareImage());
    FrameEncoder encoder;
    frames::updateChunk(encoder, chunks.chunk(3));
    const core::Bytes wire(encoder.encoded().begin(), encoder.encoded().end());
    for (auto _ : state) {
        benchmark::DoNotOptimize(wire.data());
        auto sum = frameChecksum(wire);
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * wire.size()));
}
BENCHMARK(sumChunkFrame);

void encodeChunkFrame(benchmark::State& state) {
    const RadioImageChunks chunks(radioFirmwareImage());
    FrameEncoder encoder;
    std::size_t index = 0;
    std::int64_t bytes = 0;
    for (auto _ : state) {
        frames::updateChunk(encoder, chunks.chunk(index));
        benchmark::DoNotOptimize(encoder.encoded().data());
        bytes += encoder.size();
        index = (index + 1) % chunks.count();
    }
    state.SetBytesProcessed(bytes);
}
BENCHMARK(encodeChunkFrame);

void encodeDeviceMessage(benchmark::State& state) {
    const core::Bytes message{0x0A, 0x21, 0x00, 0x00, 0x03, 0xE8,
                              0xFF, 0xFF, 0xFC, 0x18, 0x04, 0x3B};
    FrameEncoder encoder;
    std::int64_t bytes = 0;
    for (auto _ : state) {
        const auto wrapped =
            wrapForConnection(encoder, message, model::LinkConnectionType::wireless);
        benchmark::DoNotOptimize(wrapped.bytes.data());
        bytes += static_cast<std::int64_t>(wrapped.bytes.size());
    }
    state.SetBytesProcessed(bytes);
}
BENCHMARK(encodeDeviceMessage);

void decodeChunkFrame(benchmark::State& state) {
    const RadioImageChunks chunks(radioFirmwareImage());
    FrameEncoder encoder;
    frames::updateChunk(encoder, chunks.chunk(3));
    const core::Bytes wire(encoder.encoded().begin(), encoder.encoded().end());
    FrameDecoder decoder;
    std::size_t frames = 0;
    for (auto _ : state) {
        decoder.feed(wire, [&](core::ByteView payload) { frames += payload.size() > 0; });
    }
    benchmark::DoNotOptimize(frames);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * wire.size()));
}
BENCHMARK(decodeChunkFrame);

// A stream of radio status frames, each decoded and routed as the reader thread does; `kCounted`
// adds the link statistics the reader keeps per read, frame and status message. The ratio of
// the two bounds what the counting adds to a link's CPU, as the reader does all of this and more
// (the status hook, the wake-ups) for every status message.
template <bool kCounted>
void decodeAndRouteStatusFrames(benchmark::State& state) {
    const auto wire = framed(statusPayload());
    FrameDecoder decoder;
    LinkState link{.linkType = model::LinkType::linkAdapter, .paired = true};
    LinkStatistics statistics;
    std::size_t actions = 0;
    for (auto _ : state) {
        decoder.feed(wire, [&](core::ByteView payload) {
            if constexpr (kCounted) {
                statistics.noteFrame();
            }
            for (const auto& action : classify(payload, link)) {
                if (kCounted && action.kind == ActionKind::pushStatus) {
                    statistics.noteStatus(std::chrono::steady_clock::now());
                }
                ++actions;
            }
        });
        if constexpr (kCounted) {
            statistics.noteRead(wire.size(), decoder.discardedFrames(), decoder.discardedBytes());
        }
    }
    benchmark::DoNotOptimize(actions);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * wire.size()));
}
BENCHMARK(decodeAndRouteStatusFrames<false>)->Name("decodeAndRouteStatusFrames");
BENCHMARK(decodeAndRouteStatusFrames<true>)->Name("decodeAndRouteStatusFramesCounted");

}  // namespace

BENCHMARK_MAIN();
