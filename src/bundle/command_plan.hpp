// A bundle command as a plan: the reply to give at once, or the device messages to send with
// their send mode and the rule that turns the outcome into the reply. Pure; the bundle's command
// thread plans, performs the sends through its link handler, then builds the reply.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bundle/keypose_ids.hpp"
#include "bundle/status_snapshot.hpp"
#include "core/bytes.hpp"
#include "core/json.hpp"

namespace kinetra::bundle {

namespace reply_text {
inline constexpr std::string_view kOk = "ok";
inline constexpr std::string_view kParseError =
    "command parsing error. please check the arguments, syntax, naming etc.";
inline constexpr std::string_view kInvalidCommand = "invalid command";
inline constexpr std::string_view kInvalidSetup = "invalid setup";
inline constexpr std::string_view kFirmwareUpdateRequired = "Firmware update required!";
inline constexpr std::string_view kRealTimeAxesIncompatible =
    "Supported realtime axes and command axes are incompatible!";
inline constexpr std::string_view kMissingAxisValues = "Missing axis value(s)";
inline constexpr std::string_view kNoResponse = "could not get a response";
inline constexpr std::string_view kReadIndexDifferent = "read index different";
inline constexpr std::string_view kMessageTooLong = "device message too long";
/// With "member": the request member whose value the device message cannot carry.
inline constexpr std::string_view kValueOutOfRange = "value out of range";
/// Before the link is paired nothing can reach the devices.
inline constexpr std::string_view kPairingNotCompleted = "Pairing is not completed.";
/// A command a stop overtook (queued, or in flight and abandoned): it never moves the gear.
inline constexpr std::string_view kCancelledByStop = "cancelled by stop";
/// A command whose sender gave up waiting before its turn came: not carried out.
inline constexpr std::string_view kExpired = "request expired before it started";
/// A command refused because its client (or the bundle) has too many waiting.
inline constexpr std::string_view kNotProcessed = "request could not be processed";
}  // namespace reply_text

/// How the link handler sends one message.
enum class SendMode : std::uint8_t {
    noWait,            // write it and go on
    acknowledged,      // up to three attempts, each awaiting the message's own acknowledgement
    acknowledgedOnce,  // one attempt awaiting its acknowledgement: a message whose effect adds
                       // up (a relative move) is never written twice
    awaitAnswer,       // up to three attempts, waiting for the answer `answerId` from `address`
};

struct PlannedSend {
    core::Bytes message;
    SendMode mode = SendMode::acknowledged;
    std::uint8_t answerId = 0;
    /// The device address answers come from: the primary device's model code.
    std::uint8_t address = 0;
};

/// What one send brought back: the answer from its message identifier on, or nothing when no
/// attempt got an answer (a send without waiting brings back nothing).
using SendOutcome = std::optional<core::Bytes>;

enum class ReplyRule : std::uint8_t {
    fixed,          // `reply` whatever the sends brought
    acknowledged,   // "ok"; with "acknowledged": false when some send was not acknowledged
    keyposeRead,    // the decoded pose as "data"
    numericLimits,  // the derived limits as "data"
};

struct CommandPlan {
    std::vector<PlannedSend> sends;
    ReplyRule rule = ReplyRule::fixed;
    json reply;
    /// For keyposeRead: what to decode the answer against.
    model::DeviceModel primary = model::DeviceModel::none;
    std::uint8_t supportedAxes = 0;
    std::int32_t requestedIndex = 0;
};

/// {"result": text}.
json resultReply(std::string_view text);

/// Plans the command in the request text; malformed JSON gets the parse-error reply.
CommandPlan planCommand(std::string_view requestText, const DeviceStatusSnapshot& snapshot,
                        KeyposeIdCounters& ids);
/// Plans one request object against the command-local copy of the status snapshot. Errors of
/// the JSON library (a wrong type, a missing argument) become the parse-error reply.
CommandPlan planCommand(const json& request, const DeviceStatusSnapshot& snapshot,
                        KeyposeIdCounters& ids);

/// The names of every command planCommand answers, in the order of its table.
std::vector<std::string_view> commandNames();

/// The reply to a planned command once its sends are done, one outcome per send in order
/// (missing outcomes count as unanswered).
json buildReply(const CommandPlan& plan, std::span<const SendOutcome> outcomes);

}  // namespace kinetra::bundle
