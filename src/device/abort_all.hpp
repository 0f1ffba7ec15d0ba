// One stop for everything: motionAbort sent to every bundle's command endpoint at once and the
// replies gathered within one bound. Runs on the device service's thread.
#pragma once

#include <chrono>
#include <span>
#include <string>
#include <string_view>

#include <zmq.hpp>

#include "core/json.hpp"
#include "platform/stop_signal.hpp"

namespace kinetra::device {

/// The result of a bundle that did not answer within the bound.
inline constexpr std::string_view kNoAnswerInTime = "no answer in time";
/// The result of a bundle whose request could not even be queued.
inline constexpr std::string_view kNotSent = "could not be sent";
/// The bound on the whole wait: well under the gateway's one second for the device service's
/// reply, so that the client always gets the per-bundle answer.
inline constexpr std::chrono::milliseconds kAbortAllBound{800};

/// Sends {"command":"motionAbort"} to inproc://v1/bundle/<id> of every id in `linkIds`, all
/// before waiting for any, then waits at most `bound` for the replies together (a set `stop`
/// ends the wait at once). One entry per id, in order: the bundle's reply object with "linkID"
/// added, or {"linkID": id, "result": kNoAnswerInTime (or kNotSent)}.
json abortAll(zmq::context_t& context, std::span<const std::string> linkIds,
              std::chrono::milliseconds bound = kAbortAllBound,
              const platform::StopSignal* stop = nullptr);

}  // namespace kinetra::device
