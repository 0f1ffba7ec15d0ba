// The radio firmware update: start, status and the procedure the update thread runs. The radio
// takes the image only after a reset into its loader; every frame is acknowledged with 01 00.
#include "link/radio_update.hpp"

#include <chrono>

#include <spdlog/spdlog.h>

#include "bus/envelope.hpp"
#include "link/adapter_commands.hpp"
#include "link/frame_codec.hpp"
#include "link/pairing_commands.hpp"
#include "link/radio_image.hpp"
#include "platform/service_thread.hpp"

namespace kinetra::link {
namespace {

using namespace std::chrono_literals;

constexpr int kAttempts = 3;

// Sends with one long wait for the radio's 01 00; true when it answered.
template <typename Build>
bool acknowledged(LinkSession& session, FrameEncoder& encoder, Build build) {
    build(encoder);
    return session.sendAdapterCommandLong(encoder.encoded(), kRadioReply).has_value();
}

void endWithError(LinkSession& session) {
    auto& flags = session.flags();
    flags.radioUpdateRunning = false;
    flags.statusKnown = true;
    flags.radioUpdateStatus = RadioUpdateStatus::error;
}

// Every chunk once, in order; the first unanswered one fails the whole image.
bool sendImage(LinkSession& session, FrameEncoder& encoder, const RadioImageChunks& chunks) {
    for (std::size_t i = 0; i < chunks.count(); ++i) {
        const auto chunk = chunks.chunk(i);
        if (!acknowledged(session, encoder,
                          [&](FrameEncoder& e) { frames::updateChunk(e, chunk); })) {
            spdlog::error("Could not send to part of fw");
            return false;
        }
    }
    return true;
}

enum class Attempt { loaded, notBegun, failed, aborted };

// One attempt: reset into the loader, wait for it, begin, send the image.
Attempt attemptUpdate(LinkSession& session, FrameEncoder& encoder, const RadioImageChunks& chunks,
                      std::chrono::milliseconds restartPause) {
    if (!acknowledged(session, encoder, frames::radioReset)) {
        spdlog::error("Could not reset to ESP");
        return Attempt::aborted;
    }
    if (!session.sleepUnlessStopping(restartPause)) {
        spdlog::warn("Radio firmware update stopped: the link is closing");
        return Attempt::aborted;
    }
    if (!acknowledged(session, encoder, frames::updateBegin)) {
        return Attempt::notBegun;
    }
    return sendImage(session, encoder, chunks) ? Attempt::loaded : Attempt::failed;
}

}  // namespace

RadioUpdateStart beginRadioUpdate(LinkSession& session) {
    auto& flags = session.flags();
    if (flags.radioUpdateRunning) {
        return {radioUpdateStatusReply(session), false};
    }
    flags.pairingBlocked = true;
    session.unpair();
    flags.radioUpdateRunning = true;
    flags.radioUpdateStatus = RadioUpdateStatus::running;

    // While the radio loads its firmware it relays nothing: take the adapter off its medium.
    leaveMedium(session);
    return {bus::resultText(bus::kOk), true};
}

std::string radioUpdateStatusReply(LinkSession& session) {
    const auto status = session.flags().radioUpdateStatus.load();
    return core::dumpCompact(
        json{{"result", bus::kOk}, {"status", kRadioUpdateStatusTable.nameOf(status)}});
}

void runRadioUpdate(LinkSession& session, core::ByteView image,
                    std::chrono::milliseconds restartPause) {
    session.setConnectionType(model::LinkConnectionType::none);
    const RadioImageChunks chunks(image);
    FrameEncoder encoder;  // one frame at a time, the largest a 1000-byte chunk

    auto outcome = Attempt::failed;
    for (int attempt = 0; attempt < kAttempts && outcome == Attempt::failed; ++attempt) {
        platform::faultPoint();
        outcome = attemptUpdate(session, encoder, chunks, restartPause);
    }
    if (outcome == Attempt::aborted || outcome == Attempt::failed) {
        endWithError(session);
        return;
    }
    // Even without an image the radio is told the update is over and restarted, so that it
    // leaves its loader; it is then running its old firmware.
    if (!acknowledged(session, encoder, frames::updateEnd)) {
        spdlog::error("Could not finish the update");
        endWithError(session);
        return;
    }
    if (!acknowledged(session, encoder, frames::radioReset)) {
        spdlog::error("Could not reset to ESP");
        endWithError(session);
        return;
    }
    if (outcome == Attempt::notBegun) {
        // The radio never took the image: reporting "finished" would claim new firmware.
        spdlog::error("Could not begin the update");
        endWithError(session);
        return;
    }
    spdlog::info("Update has finished");
    auto& flags = session.flags();
    flags.statusKnown = true;
    flags.radioUpdateStatus = RadioUpdateStatus::finished;
    session.sleepUnlessStopping(restartPause);
    flags.radioUpdateRunning = false;
}

}  // namespace kinetra::link
