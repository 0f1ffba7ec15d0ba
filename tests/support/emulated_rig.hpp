// One emulated link module on a pseudo-terminal and the client side of the services a link and
// its bundle serve on the bus, reached as the gateway reaches them. The link and bundle tests
// and the bundle benchmark build on it. It knows no test framework: a step that did not happen
// in time comes back as a text. Used from the caller's threads; the emulator runs its own.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.hpp"
#include "link/link_handler.hpp"
#include "model/device_model.hpp"
#include "model/link_info.hpp"
#include "sim/emulated_link.hpp"
#include "support/hex.hpp"
#include "support/wait.hpp"

namespace kinetra::testing {

/// A link id no other rig of this process has used: bus names must not be reused.
std::string freshLinkId(std::string_view prefix);

/// Pollers that ask after 100 ms instead of 2 s.
link::LinkTimings fastTimings();

/// One device of `model` with its own MAC (pairing finds devices by MAC).
sim::DeviceConfig device(model::DeviceModel model, std::uint8_t macTail,
                         std::uint16_t firmware = 200);

/// An adapter with `devices` behind it, pairing in 100 ms and reporting every 20 ms.
sim::LinkConfig gear(std::vector<sim::DeviceConfig> devices);

class EmulatedRig {
public:
    /// Starts the emulator with `config`, named `linkId` (a fresh one when empty).
    explicit EmulatedRig(sim::LinkConfig config, std::string linkId = {});

    const std::string& linkId() const { return linkId_; }
    sim::EmulatedLink& emulator() const { return *emulator_; }
    /// The link as the scanner reports it: valid, on the emulator's port.
    model::LinkInfo linkInfo() const;

    /// One request text to `endpoint`; nothing when no reply came in time or nobody serves it.
    std::optional<std::string> ask(const std::string& endpoint, std::string_view text,
                                   std::chrono::milliseconds timeout = kWait) const;
    /// The link service's reply to command `name` (null when none came or it was no JSON).
    json link(const std::string& name, json request = json::object()) const;
    /// The bundle command service's reply to `request`, as link().
    json command(const json& request) const;
    /// The bundle status service's reply, as link().
    json status() const;

    /// Waits until the link service knows the adapter's versions; false when it never did.
    bool awaitLinkStatus() const;
    /// Pairs over `medium` with the commands a client sends and waits until the emulator has
    /// paired; what went wrong, or an empty text.
    std::string pair(model::LinkConnectionType medium) const;

    /// How many messages the emulator has received: a mark to read from.
    std::size_t mark() const { return emulator_->receivedCount(); }
    /// The device messages received from index `from` on.
    std::vector<sim::Received> deviceMessages(std::size_t from = 0) const;
    /// The first device message with `opcode` from index `from` on in hex ("" when none came).
    std::string sent(std::uint8_t opcode, std::size_t from) const;

private:
    std::string linkId_;
    std::unique_ptr<sim::EmulatedLink> emulator_;
};

}  // namespace kinetra::testing
