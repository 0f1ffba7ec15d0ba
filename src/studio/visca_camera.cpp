// One VISCA camera's rules: sequence numbers, ACK and Completion, the drive's keep-alive and
// timeout. Pure; called by the VISCA thread.
#include "studio/visca_camera.hpp"

#include <algorithm>

#include <fmt/format.h>

namespace kinetra::studio::visca {
namespace {

// The socket of the one command that can wait for its Completion; 0 for what holds none.
constexpr std::uint8_t kCommandSocket = 1;
constexpr std::uint8_t kNoSocket = 0;
// The longest the camera sleeps while a command waits for its status: a bundle that stops
// reporting is noticed by looking.
constexpr std::chrono::seconds kPendingLook{1};

std::string nameOf(const ViscaCamera::Endpoint& endpoint) {
    return fmt::format("{0}:{1}", endpoint.address().to_string(), endpoint.port());
}

bool isStop(const Request& request) {
    if (const auto* drive = std::get_if<PanTiltDrive>(&request)) {
        return drive->panDirection == 0 && drive->tiltDirection == 0;
    }
    if (const auto* focus = std::get_if<FocusDrive>(&request)) {
        return focus->direction == 0;
    }
    return false;
}

// Whether a message makes the camera act (and so counts against the controller's rate).
bool acts(const Request& request) {
    return std::holds_alternative<PanTiltDrive>(request) ||
           std::holds_alternative<PanTiltMove>(request) ||
           std::holds_alternative<PanTiltHome>(request) ||
           std::holds_alternative<Memory>(request) || std::holds_alternative<FocusDrive>(request);
}

}  // namespace

ViscaCamera::ViscaCamera(std::string linkId, const ViscaSettings& settings, Hooks hooks,
                         ViscaCounters& counters)
    : linkId_(std::move(linkId)),
      settings_(settings),
      hooks_(std::move(hooks)),
      counters_(counters) {}

bool ViscaCamera::owns(const Endpoint& endpoint) const {
    return (drive_ && drive_->owner == endpoint) || (focus_ && focus_->owner == endpoint);
}

ViscaCamera::Controller& ViscaCamera::controllerFor(const Endpoint& from, SteadyTime now) {
    auto found = controllers_.find(from);
    if (found != controllers_.end()) {
        if (now - found->second.heard > kControllerMemory) {
            found->second = Controller{now, {}, {}, kCommandBurst, now};
        }
        return found->second;
    }
    if (controllers_.size() >= kMaxControllers) {
        auto oldest = controllers_.end();
        for (auto it = controllers_.begin(); it != controllers_.end(); ++it) {
            if (!owns(it->first) &&
                (oldest == controllers_.end() || it->second.heard < oldest->second.heard)) {
                oldest = it;
            }
        }
        if (oldest != controllers_.end()) {
            controllers_.erase(oldest);
        }
    }
    return controllers_.emplace(from, Controller{now, {}, {}, kCommandBurst, now}).first->second;
}

bool ViscaCamera::admit(Controller& controller, SteadyTime now) {
    const double seconds = std::chrono::duration<double>(now - controller.refilled).count();
    controller.tokens = std::min(kCommandBurst, controller.tokens + seconds * kCommandsPerSecond);
    controller.refilled = now;
    if (controller.tokens < 1.0) {
        return false;
    }
    controller.tokens -= 1.0;
    return true;
}

void ViscaCamera::take(ByteView datagram, const Endpoint& from, SteadyTime now) {
    Controller& controller = controllerFor(from, now);
    controller.heard = now;
    const auto read = readDatagram(datagram);
    if (const auto* bad = std::get_if<Malformed>(&read)) {
        refuse(from, bad->sequence, kAbnormalMessage, bad->reason);
        return;
    }
    const auto& framed = std::get<Framed>(read);
    const std::uint32_t sequence = framed.header.sequence;
    if (framed.reset) {
        controller.sequence.reset();
        controller.payload.clear();
        hooks_.reply(from, resetAcknowledge(sequence));
        return;
    }
    const Message message = readMessage(framed.payload);
    // A controller resends a message whose reply it missed with the same number: an inquiry is
    // answered again, a command is not carried out twice. A number behind the last one came out
    // of order. The same number with another message is a controller that does not count.
    if (controller.sequence) {
        const std::uint32_t ahead = sequence - *controller.sequence;
        const bool same = std::equal(framed.payload.begin(), framed.payload.end(),
                                     controller.payload.begin(), controller.payload.end());
        if (ahead == 0 && same && !std::holds_alternative<Inquiry>(message.request)) {
            refuse(from, sequence, kAbnormalSequence,
                   fmt::format("sequence number {0} again from {1}", sequence, nameOf(from)));
            return;
        }
        if (ahead >= 0x80000000U) {
            refuse(from, sequence, kAbnormalSequence,
                   fmt::format("sequence number {0} from {1} after {2}", sequence, nameOf(from),
                               *controller.sequence));
            return;
        }
    }
    controller.sequence = sequence;
    controller.payload.assign(framed.payload.begin(), framed.payload.end());
    const Asker asker{from, sequence, message.address};
    if (acts(message.request) && !isStop(message.request) && !admit(controller, now)) {
        ++counters_.refused;
        hooks_.reply(from, error(sequence, message.address, kNoSocket, ErrorCode::bufferFull));
        hooks_.log("rate",
                   fmt::format("{0} sends more than {1} commands a second", nameOf(from),
                               kCommandsPerSecond),
                   true);
        return;
    }
    perform(message.request, asker, now);
}

void ViscaCamera::perform(const Request& request, const Asker& asker, SteadyTime now) {
    std::visit(
        [&](const auto& r) {
            using R = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<R, PanTiltDrive>) {
                drive(r, asker, now);
            } else if constexpr (std::is_same_v<R, PanTiltMove>) {
                plan(mapMove(r, linkId_, hooks_.view(), settings_.panTiltUnitDegrees), asker, true,
                     now);
            } else if constexpr (std::is_same_v<R, PanTiltHome>) {
                plan(mapHome(linkId_, hooks_.view()), asker, true, now);
            } else if constexpr (std::is_same_v<R, Memory>) {
                plan(mapMemory(r, linkId_, hooks_.view()), asker, r.action == MemoryAction::recall,
                     now);
            } else if constexpr (std::is_same_v<R, FocusDrive>) {
                focus(r, asker, now);
            } else if constexpr (std::is_same_v<R, Power>) {
                if (r.on) {
                    accepted(asker, Done{}, now);  // it is on: nothing to do
                } else {
                    notExecutable(asker, kCommandSocket, "the server does not switch gear off");
                }
            } else if constexpr (std::is_same_v<R, NotExecutable>) {
                notExecutable(asker, kCommandSocket, r.what);
            } else if constexpr (std::is_same_v<R, Inquiry>) {
                answer(r, asker);
            } else {
                static_assert(std::is_same_v<R, SyntaxError>);
                ++counters_.errors;
                hooks_.reply(asker.to,
                             error(asker.sequence, asker.address, kNoSocket, ErrorCode::syntax));
                hooks_.log("syntax", fmt::format("{0} from {1}", r.reason, nameOf(asker.to)), true);
            }
        },
        request);
}

// A drive (and its stop) is done as soon as the joystickMove is on its way; the keep-alive and
// the timeout carry it from there.
void ViscaCamera::drive(const PanTiltDrive& request, const Asker& asker, SteadyTime now) {
    const Mapped mapped = mapDrive(request, linkId_, hooks_.view());
    if (const auto* refusal = std::get_if<Refusal>(&mapped)) {
        notExecutable(asker, kCommandSocket, refusal->reason);
        return;
    }
    const auto& stick = std::get<Plan>(mapped).command;
    // A drive or a stop takes the gear from a move: the move's wait is cancelled, after the
    // stick is on its way.
    if (!stick.moving) {
        drive_.reset();
        // A controller that repeats its stop costs the bundle one.
        const bool repeated = stopped_ && now - stopSentAt_ < kStopRepeat;
        if (takeOver(repeated ? Sent::ok : dispatch(stick, true, now), asker)) {
            accepted(asker, Done{}, now);
        }
        return;
    }
    if (drive_ && drive_->command.request == stick.request) {
        cancelPending();
        drive_->owner = asker.to;  // held: the keep-alive sends it again in time
        accepted(asker, Done{}, now);
        return;
    }
    if (takeOver(dispatch(stick, false, now), asker)) {
        drive_ = Drive{asker.to, stick, now};
        accepted(asker, Done{}, now);
    }
}

void ViscaCamera::plan(const Mapped& mapped, const Asker& asker, bool takesGear, SteadyTime now) {
    if (const auto* refusal = std::get_if<Refusal>(&mapped)) {
        notExecutable(asker, kCommandSocket, refusal->reason);
        return;
    }
    const auto& plan = std::get<Plan>(mapped);
    if (takesGear) {
        drive_.reset();  // the move takes over from the stick
    }
    // The command goes to the bus before any reply: each reply datagram is a trip through the
    // network stack, which the gear need not wait for. The controllers still see the cancel
    // of the command waiting before this one's ACK or error.
    if (takeOver(dispatch(plan.command, false, now), asker)) {
        accepted(asker, plan.done, now);
    }
}

void ViscaCamera::focus(const FocusDrive& request, const Asker& asker, SteadyTime now) {
    if (request.direction == 0) {
        focus_.reset();
        accepted(asker, Done{}, now);
        return;
    }
    const std::uint8_t speed = request.speed.value_or(kStandardFocusSpeed);
    const Mapped mapped = mapFocusStep(request.direction, speed, linkId_, hooks_.view());
    if (const auto* refusal = std::get_if<Refusal>(&mapped)) {
        notExecutable(asker, kCommandSocket, refusal->reason);
        return;
    }
    if (send(std::get<Plan>(mapped).command, false, asker, now)) {
        focus_ = FocusRun{asker.to, request.direction, speed, now + kFocusStepInterval};
        accepted(asker, Done{}, now);
    }
}

void ViscaCamera::answer(const Inquiry& inquiry, const Asker& asker) {
    std::variant<Bytes, Refusal> data = Bytes{};
    switch (inquiry.kind) {
        case InquiryKind::panTiltPosition:
            data = panTiltPosition(hooks_.view(), settings_.panTiltUnitDegrees);
            break;
        case InquiryKind::focusPosition:
            data = focusPosition(hooks_.view());
            break;
        case InquiryKind::zoomPosition:
            data = Bytes{0, 0, 0, 0};  // a lens without zoom stays at its one focal length
            break;
        case InquiryKind::power:
            data = Bytes{0x02};  // on
            break;
        case InquiryKind::version: {
            Bytes version;
            core::appendU16BE(version, kVendorId);
            core::appendU16BE(version, kModelId);
            core::appendU16BE(version, kRomVersion);
            version.push_back(kSockets);
            data = version;
            break;
        }
    }
    if (const auto* refusal = std::get_if<Refusal>(&data)) {
        notExecutable(asker, kNoSocket, refusal->reason);
        return;
    }
    hooks_.reply(asker.to, inquiryReply(asker.sequence, asker.address, std::get<Bytes>(data)));
}

ViscaCamera::Sent ViscaCamera::dispatch(const BundleCommand& command, bool stop, SteadyTime now) {
    const Sent sent = hooks_.send(command, stop);
    if (sent == Sent::ok) {
        stopped_ = stop;
        stopSentAt_ = stop ? now : stopSentAt_;
    }
    return sent;
}

bool ViscaCamera::send(const BundleCommand& command, bool stop, const Asker& asker,
                       SteadyTime now) {
    return delivered(dispatch(command, stop, now), asker);
}

bool ViscaCamera::takeOver(Sent sent, const Asker& asker) {
    cancelPending();
    return delivered(sent, asker);
}

bool ViscaCamera::delivered(Sent sent, const Asker& asker) {
    switch (sent) {
        case Sent::ok:
            return true;
        case Sent::busy:
            ++counters_.errors;
            hooks_.reply(asker.to,
                         error(asker.sequence, asker.address, kNoSocket, ErrorCode::bufferFull));
            return false;
        case Sent::closed:
            notExecutable(asker, kCommandSocket, fmt::format("{0} is not present", linkId_));
            return false;
    }
    return false;
}

void ViscaCamera::accepted(const Asker& asker, const Done& done, SteadyTime now) {
    hooks_.reply(asker.to, acknowledge(asker.sequence, asker.address));
    if (done.kind == Done::Kind::atOnce) {
        hooks_.reply(asker.to, completion(asker.sequence, asker.address));
        return;
    }
    pending_ = Pending{asker, done, now, false};
}

void ViscaCamera::cancelPending() {
    if (pending_) {
        const auto& asker = pending_->asker;
        hooks_.reply(asker.to,
                     error(asker.sequence, asker.address, kCommandSocket, ErrorCode::canceled));
        pending_.reset();
    }
}

void ViscaCamera::statusArrived(SteadyTime now) {
    if (pending_) {
        evaluate(now);
    }
}

// A status that came after the command shows it done: a move seen moving and then idle (or, if
// it was too short to be seen moving, idle at its target once its time is up); a key pose
// stored or deleted.
void ViscaCamera::evaluate(SteadyTime now) {
    Pending& p = *pending_;
    const auto view = hooks_.view();
    if (!view) {
        failPending(fmt::format("{0} stopped reporting its status", linkId_));
        return;
    }
    if (view->statusAt > p.sentAt) {
        bool done = false;
        switch (p.done.kind) {
            case Done::Kind::moveEnds:
                if (view->state != "idle") {
                    p.moving = true;
                } else {
                    done =
                        p.moving || (now >= p.sentAt + p.done.duration && reached(p.done, *view));
                }
                break;
            case Done::Kind::slotFilled:
            case Done::Kind::slotEmpty: {
                const auto slot = static_cast<std::size_t>(p.done.slot);
                done = slot < view->keyposeSlots.size() &&
                       view->keyposeSlots[slot] == (p.done.kind == Done::Kind::slotFilled);
                break;
            }
            case Done::Kind::atOnce:
                done = true;
                break;
        }
        if (done) {
            hooks_.reply(p.asker.to, completion(p.asker.sequence, p.asker.address));
            pending_.reset();
            return;
        }
    }
    if (!p.moving && now >= p.sentAt + p.done.duration + kStartPatience) {
        failPending(fmt::format("{0} did not carry out the command", linkId_));
    }
}

void ViscaCamera::failPending(const std::string& reason) {
    const Asker asker = pending_->asker;
    pending_.reset();
    notExecutable(asker, kCommandSocket, reason);
}

void ViscaCamera::tick(SteadyTime now) {
    if (drive_) {
        const auto heard = controllers_.at(drive_->owner).heard;  // owners are never dropped
        if (now - heard >= settings_.driveTimeout) {
            hooks_.log("released",
                       fmt::format("no message from {0} for {1} ms; its drive of {2} is stopped",
                                   nameOf(drive_->owner), settings_.driveTimeout.count(), linkId_),
                       false);
            const BundleCommand zero = zeroJoystick(drive_->command);
            drive_.reset();
            dispatch(zero, true, now);
        } else if (now - drive_->sentAt >= kDriveRepeat) {
            dispatch(drive_->command, false, now);
            drive_->sentAt = now;
        }
    }
    if (focus_) {
        const auto heard = controllers_.at(focus_->owner).heard;
        const Mapped step = mapFocusStep(focus_->direction, focus_->speed, linkId_, hooks_.view());
        if (now - heard >= settings_.driveTimeout || std::holds_alternative<Refusal>(step)) {
            hooks_.log("released",
                       fmt::format("the focus drive of {0} from {1} is stopped", linkId_,
                                   nameOf(focus_->owner)),
                       false);
            focus_.reset();
        } else if (now >= focus_->nextStep) {
            dispatch(std::get<Plan>(step).command, false, now);
            focus_->nextStep = std::max(focus_->nextStep + kFocusStepInterval, now);
        }
    }
    if (pending_) {
        evaluate(now);
    }
}

std::optional<SteadyTime> ViscaCamera::nextDeadline(SteadyTime now) const {
    std::optional<SteadyTime> next;
    const auto sooner = [&](SteadyTime at) { next = next ? std::min(*next, at) : at; };
    if (drive_) {
        sooner(controllers_.at(drive_->owner).heard + settings_.driveTimeout);
        sooner(drive_->sentAt + kDriveRepeat);
    }
    if (focus_) {
        sooner(controllers_.at(focus_->owner).heard + settings_.driveTimeout);
        sooner(focus_->nextStep);
    }
    if (pending_) {
        if (!pending_->moving) {
            sooner(pending_->sentAt + pending_->done.duration + kStartPatience);
        }
        sooner(now + kPendingLook);
    }
    return next;
}

void ViscaCamera::notExecutable(const Asker& asker, std::uint8_t socket,
                                const std::string& reason) {
    ++counters_.errors;
    hooks_.reply(asker.to, error(asker.sequence, asker.address, socket, ErrorCode::notExecutable));
    hooks_.log("not executable", reason, true);
}

void ViscaCamera::refuse(const Endpoint& to, std::uint32_t sequence, std::uint8_t what,
                         const std::string& reason) {
    ++counters_.refused;
    hooks_.reply(to, abnormal(sequence, what));
    hooks_.log(what == kAbnormalSequence ? "sequence" : "malformed", reason, true);
}

}  // namespace kinetra::studio::visca
