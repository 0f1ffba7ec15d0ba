// Loading the radio firmware image into a link adapter's radio over the serial link: the start
// command (link service thread), the status reply, and the update procedure (its own thread).
#pragma once

#include <chrono>

#include <string>

#include "core/bytes.hpp"
#include "link/link_session.hpp"

namespace kinetra::link {

/// What `startLinkRadioFirmwareUpdate` answers, and whether the caller is to start the update
/// thread (which runs runRadioUpdate).
struct RadioUpdateStart {
    std::string reply;
    bool startThread = false;
};

/// `startLinkRadioFirmwareUpdate` up to the thread start. While an update runs it changes
/// nothing and answers {"result":"ok","status":<current>}. Otherwise it unpairs the link and
/// blocks re-pairing, sets `radioUpdateRunning` and the status running, takes an adapter off its
/// medium (connection none) and answers {"result":"ok"} with startThread set. A caller that then
/// cannot start the thread must end the update itself (clear `radioUpdateRunning`, status error).
RadioUpdateStart beginRadioUpdate(LinkSession& session);

/// The radio needs this long to restart into its loader, and again after the final reset.
inline constexpr std::chrono::milliseconds kRadioRestartPause{5000};

/// `linkRadioFirmwareUpdateStatus`: {"result":"ok","status":<name>}.
std::string radioUpdateStatusReply(LinkSession& session);

/// The update procedure, synchronously: up to three attempts of reset, begin and the image in
/// 1000-byte chunks, then end and reset. Leaves the status finished or error, `statusKnown` set
/// and `radioUpdateRunning` clear. `image` must outlive the call; it is not copied.
/// `restartPause` is how long the radio needs to restart (after the first reset and after the
/// last); tests shorten it.
void runRadioUpdate(LinkSession& session, core::ByteView image,
                    std::chrono::milliseconds restartPause = kRadioRestartPause);

}  // namespace kinetra::link
