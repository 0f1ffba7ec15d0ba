// The emulator's thread: poll the pseudo-terminal, hand what arrives to the core, write what the
// core has due, sleep until its next timed event. Observers wait on a condition variable that
// every turn signals.
#include "sim/emulated_link.hpp"

#include <poll.h>

#include <algorithm>
#include <array>

#include <spdlog/spdlog.h>

#include "link/frame_codec.hpp"

namespace kinetra::sim {
namespace {

// Without a watch on the slave path, a closed line is looked at this often for a new opener.
constexpr Milliseconds kReopenCheck{100};
constexpr std::size_t kReadSize = 4096;

int pollTimeout(std::optional<Clock::time_point> deadline, Clock::time_point now) {
    if (!deadline) {
        return -1;
    }
    if (*deadline <= now) {
        return 0;
    }
    // Rounded up: waking a little early would only turn the loop once more for nothing.
    const auto wait = std::chrono::ceil<Milliseconds>(*deadline - now).count();
    return static_cast<int>(std::min<long long>(wait, 60'000));
}

}  // namespace

EmulatedLink::EmulatedLink(LinkConfig config)
    : path_(terminal_.slavePath()),
      core_(std::move(config), Clock::now()),
      splitter_(core_.config().timings.unframedGap) {
    // Its state lives in this object, not in the loop: after a failure the loop simply turns on.
    thread_.start({.name = "sim:" + core_.config().linkID,
                   .service = "Emulated link " + core_.config().linkID},
                  [this](std::stop_token) { run(); });
}

EmulatedLink::~EmulatedLink() {
    thread_.stop();
}

Faults EmulatedLink::faults() const {
    std::lock_guard lock(mutex_);
    return core_.faults();
}

void EmulatedLink::setFaults(const Faults& faults) {
    {
        std::lock_guard lock(mutex_);
        core_.setFaults(faults);
    }
    wake_.set();
}

void EmulatedLink::updateFaults(const std::function<void(Faults&)>& change) {
    {
        std::lock_guard lock(mutex_);
        auto faults = core_.faults();
        change(faults);
        core_.setFaults(faults);
    }
    wake_.set();
}

void EmulatedLink::disappear() {
    {
        std::lock_guard lock(mutex_);
        disappearRequested_ = true;
    }
    wake_.set();
}

void EmulatedLink::inject(core::ByteView bytes) {
    {
        std::lock_guard lock(mutex_);
        injected_.insert(injected_.end(), bytes.begin(), bytes.end());
    }
    wake_.set();
}

EmulatorState EmulatedLink::snapshot(Clock::time_point now) const {
    EmulatorState state;
    static_cast<LinkModuleState&>(state) = core_.state(now);
    state.terminalOpen = terminalOpen_;
    state.disappeared = disappeared_;
    state.statusMessagesSent = statusMessagesSent_;
    state.lastStatusSentAt = lastStatusSentAt_;
    state.repliesSent = repliesSent_;
    state.framesDiscarded = splitter_.framesDiscarded();
    state.wakeUps = wakeUps_;
    return state;
}

EmulatorState EmulatedLink::state() const {
    std::lock_guard lock(mutex_);
    return snapshot(Clock::now());
}

std::vector<Received> EmulatedLink::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::size_t EmulatedLink::receivedCount() const {
    std::lock_guard lock(mutex_);
    return received_.size();
}

bool EmulatedLink::waitFor(const ViewPredicate& predicate, Milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        const auto state = snapshot(Clock::now());
        return predicate(View{received_, state});
    });
}

std::optional<Received> EmulatedLink::waitForReceived(const ReceivedPredicate& predicate,
                                                      Milliseconds timeout,
                                                      std::size_t from) const {
    std::optional<Received> found;
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] {
        for (std::size_t i = from; i < received_.size(); ++i) {
            if (predicate(received_[i])) {
                found = received_[i];
                return true;
            }
        }
        return false;
    });
    return found;
}

bool EmulatedLink::waitForState(const StatePredicate& predicate, Milliseconds timeout) const {
    return waitFor([&](const View& view) { return predicate(view.state); }, timeout);
}

std::optional<Received> EmulatedLink::waitForCommand(link::AdapterCommand command,
                                                     std::optional<link::RadioCommand> radio,
                                                     Milliseconds timeout, std::size_t from) const {
    return waitForReceived(
        [&](const Received& r) {
            return r.kind == ReceivedKind::hostCommand && r.isCommand(command) &&
                   (!radio || r.isRadio(*radio));
        },
        timeout, from);
}

std::optional<Received> EmulatedLink::waitForDeviceMessage(std::uint8_t opcode,
                                                           Milliseconds timeout,
                                                           std::size_t from) const {
    return waitForReceived(
        [&](const Received& r) {
            return r.kind == ReceivedKind::deviceMessage && r.opcode == opcode;
        },
        timeout, from);
}

bool EmulatedLink::waitForPairing(model::LinkConnectionType medium, Milliseconds timeout) const {
    return waitForState([&](const EmulatorState& s) { return s.pairedMedium == medium; }, timeout);
}

void EmulatedLink::appendFrame(core::Bytes& out, core::ByteView payload) {
    link::FrameEncoder encoder;
    if (!link::encodeFrame(encoder, payload)) {
        spdlog::warn("{0}: a payload of {1} bytes does not fit a frame", core_.config().linkID,
                     payload.size());
        return;
    }
    if (core_.faults().noise) {
        noise_.appendBefore(out, payload);
    }
    const auto frame = encoder.encoded();
    out.insert(out.end(), frame.begin(), frame.end());
}

void EmulatedLink::takeUnits(std::vector<InboundUnit>& units, Clock::time_point now,
                             std::vector<Received>& fresh) {
    for (const auto& unit : units) {
        const auto first = fresh.size();
        if (unit.kind == InboundUnit::Kind::frame) {
            core_.receiveFrame(unit.bytes, now, fresh);
        } else {
            core_.receiveUnframed(unit.bytes, now, fresh);
        }
        for (auto record = fresh.begin() + static_cast<std::ptrdiff_t>(first);
             record != fresh.end(); ++record) {
            record->at = now;
        }
        received_.insert(received_.end(), fresh.begin() + static_cast<std::ptrdiff_t>(first),
                         fresh.end());
    }
    units.clear();
}

void EmulatedLink::takeBytes(core::ByteView bytes, Clock::time_point now,
                             std::vector<Received>& fresh) {
    std::lock_guard lock(mutex_);
    if (disappeared_) {
        return;
    }
    const auto primary = core_.primary();
    const auto messageAt = [primary](core::ByteView view) {
        return wholeDeviceMessageAt(view, primary);
    };
    std::vector<InboundUnit> units;
    splitter_.feed(bytes, core_.acceptsUnframed(), messageAt, now, units);
    takeUnits(units, now, fresh);
}

core::Bytes EmulatedLink::collectOutput(Clock::time_point now, std::vector<Received>& fresh) {
    core::Bytes out;
    if (disappeared_) {
        return out;
    }
    const auto primary = core_.primary();
    std::vector<InboundUnit> units;
    splitter_.expire(
        now, [primary](core::ByteView view) { return wholeDeviceMessageAt(view, primary); }, units);
    takeUnits(units, now, fresh);
    core_.advance(now);
    for (const auto& item : core_.takeDue(now)) {
        if (core_.faults().silent || !terminalOpen_) {
            continue;  // nobody hears it: like a serial line, it is lost
        }
        appendFrame(out, item.payload);
        if (item.kind == OutgoingKind::status) {
            ++statusMessagesSent_;
            lastStatusSentAt_ = now;
        } else {
            ++repliesSent_;
        }
    }
    out.insert(out.end(), injected_.begin(), injected_.end());
    injected_.clear();
    return out;
}

void EmulatedLink::logTraffic(const std::vector<Received>& fresh) const {
    if (!core_.config().logTraffic) {
        return;
    }
    for (const auto& record : fresh) {
        spdlog::info("{0} received {1}", core_.config().linkID, describe(record));
    }
}

void EmulatedLink::run() {
    std::array<std::uint8_t, kReadSize> buffer{};
    while (!thread_.stopRequested()) {
        platform::faultPoint();
        std::vector<Received> fresh;
        core::Bytes out;
        std::optional<Clock::time_point> deadline;
        bool closing = false;
        bool open = false;
        {
            std::lock_guard lock(mutex_);
            ++wakeUps_;
            const auto now = Clock::now();
            out = collectOutput(now, fresh);
            closing = disappearRequested_ && !disappeared_;
            if (!disappeared_ && !closing) {
                deadline = core_.nextDeadline(now);
                const auto held = splitter_.deadline();
                if (held && (!deadline || *held < *deadline)) {
                    deadline = held;
                }
            }
            open = terminalOpen_;
        }
        changed_.notify_all();
        logTraffic(fresh);
        if (closing) {
            terminal_.close();
            std::lock_guard lock(mutex_);
            disappeared_ = true;
            terminalOpen_ = false;
            continue;
        }
        if (!out.empty() && open) {
            terminal_.write(out);
        }

        // Sleep until the host writes, someone opens the line again, a caller wakes us, or the
        // next timed event. A closed line is left out of the poll: it would report its hang-up
        // at once, again and again.
        const bool live = terminal_.masterFd() >= 0;
        if (live && !open && terminal_.watchFd() < 0) {
            const auto recheck = Clock::now() + kReopenCheck;
            deadline = deadline ? std::min(*deadline, recheck) : recheck;
        }
        std::array<pollfd, 4> items{{{thread_.stopSignal().fd(), POLLIN, 0},
                                     {wake_.fd(), POLLIN, 0},
                                     {live && !open ? terminal_.watchFd() : -1, POLLIN, 0},
                                     {live && open ? terminal_.masterFd() : -1, POLLIN, 0}}};
        ::poll(items.data(), items.size(), pollTimeout(deadline, Clock::now()));
        if (items[1].revents != 0) {
            wake_.clear();
        }
        if (items[2].revents != 0) {
            terminal_.drainWatch();
        }
        if (live && !open && !terminal_.hungUp()) {
            std::lock_guard lock(mutex_);
            terminalOpen_ = true;  // someone opened the slave side again
            continue;
        }
        if (items[3].revents == 0) {
            continue;
        }
        auto read = terminal_.read(buffer);
        while (read.status == PseudoTerminal::ReadStatus::bytes) {
            std::vector<Received> arrived;
            takeBytes({buffer.data(), read.count}, Clock::now(), arrived);
            logTraffic(arrived);
            read = terminal_.read(buffer);
        }
        const bool hangUp = (items[3].revents & (POLLHUP | POLLERR)) != 0;
        if (read.status == PseudoTerminal::ReadStatus::hungUp || hangUp) {
            // The last holder of the slave closed it: what is queued will never be read.
            terminal_.discardQueued();
            std::lock_guard lock(mutex_);
            terminalOpen_ = false;
        }
    }
}

}  // namespace kinetra::sim
