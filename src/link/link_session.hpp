// What the link service's commands need of their link: its record, its flags and its send
// operations. The LinkHandler implements it; the pairing commands run on it from the service
// thread and the radio firmware update from its own thread. Tests implement it with a script.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>

#include "core/bytes.hpp"
#include "link/link_states.hpp"
#include "link/pairing_codec.hpp"
#include "link/reply.hpp"
#include "model/firmware_catalog.hpp"
#include "model/link_types.hpp"

namespace kinetra::link {

/// The link's flags. Every thread of a link reads and writes them, so each is atomic.
struct LinkFlags {
    std::atomic<bool> pairingBlocked{false};  ///< status messages may not pair the link
    std::atomic<bool> statusKnown{false};     ///< the link status was asked at least once
    std::atomic<bool> radioUpdateRunning{false};
    std::atomic<bool> firmwareUpdateRequired{false};  ///< link commands past the fifth refused
    std::atomic<bool> paired{false};
    std::atomic<RadioUpdateStatus> radioUpdateStatus{RadioUpdateStatus::none};
};

class LinkSession {
public:
    virtual ~LinkSession() = default;

    // --- The link record ----------------------------------------------------------------------
    virtual model::LinkType linkType() const = 0;
    virtual model::LinkConnectionType connectionType() const = 0;
    virtual void setConnectionType(model::LinkConnectionType connection) = 0;
    /// Sets the record's firmware flags and changelogs that `flags` sets; clears nothing.
    virtual void applyFirmwareFlags(const LinkFirmwareFlags& flags) = 0;
    virtual const model::FirmwareCatalog& catalog() const = 0;

    // --- Flags --------------------------------------------------------------------------------
    virtual LinkFlags& flags() = 0;
    /// Clears `paired` (atomic exchange), calls the pairing callback with false and clears the
    /// record's isPairingDone.
    virtual void unpair() = 0;
    /// True once the handler is stopping: waits end without a reply, no attempt starts.
    virtual bool stopping() const = 0;
    /// Sleeps `duration`, ending early when the handler stops; false when it stopped.
    virtual bool sleepUnlessStopping(std::chrono::milliseconds duration) = 0;

    // --- Send operations (each one link transaction: no other frame or reply interleaves) -----
    /// Up to 3 attempts: write `frame` as it is, wait for a reply beginning with `header`.
    virtual std::optional<Reply> sendAdapterCommand(core::ByteView frame,
                                                    const ReplyHeader& header) = 0;
    /// One write (500 ms), then up to 200 waits for a reply beginning with `header`.
    virtual std::optional<Reply> sendAdapterCommandLong(core::ByteView frame,
                                                        const ReplyHeader& header) = 0;
    /// Up to 3 attempts: write `message` wrapped for the current connection, wait for any reply.
    virtual std::optional<Reply> sendWithRetry(core::ByteView message) = 0;
    /// Writes `message` wrapped for the current connection; waits for nothing.
    virtual void sendPlain(core::ByteView message) = 0;
};

}  // namespace kinetra::link
