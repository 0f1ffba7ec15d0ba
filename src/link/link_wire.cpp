// The wire's set-up and its reader thread: sleeps on the port until bytes or the stop signal
// arrive, cuts frames and routes them. The send operations are in link_transactions.cpp.
#include "link/link_wire.hpp"

#include <array>
#include <stdexcept>

#include <spdlog/spdlog.h>

#include "bus/endpoints.hpp"
#include "bus/wait.hpp"
#include "link/classify.hpp"
#include "notify/notification_handler.hpp"

namespace kinetra::link {
namespace {

// A status message is about a hundred bytes: one read takes a whole frame and what follows it.
constexpr std::size_t kReadChunk = 512;

}  // namespace

LinkWire::LinkWire(const model::LinkInfo& info, LinkFlags& flags, const platform::StopSignal& stop,
                   WireHooks hooks, int longReplyRounds)
    : linkType_(info.linkType),
      linkId_(info.linkID),
      longReplyRounds_(longReplyRounds),
      flags_(flags),
      stop_(stop),
      hooks_(std::move(hooks)) {
    port_ = serial::openSerialPort(info.portName);
    if (!port_) {
        notify::notify("Link connection could not open.");
        throw std::runtime_error("Serial Port could not open.");
    }
    // Flow control is deliberately not applied: link modules run without it.
    const serial::PortSettings settings{info.portInfo.baudrate, info.portInfo.bitCount,
                                        info.portInfo.stopBits};
    if (!port_->configure(settings)) {
        spdlog::warn("Link id: {0} serial port {1} refused its settings.", linkId_, info.portName);
    }
}

LinkWire::~LinkWire() {
    joinReader();
    statusOutlet_.close();
    // Leave the module at the rate it starts in, with nothing half-sent or half-read.
    port_->setBaudrate(serial::kTeardownBaudrate);
    port_->flush();
}

void LinkWire::setUpSockets(zmq::context_t& context) {
    if (!hooks_.status) {
        statusOutlet_ = zmq::socket_t(context, zmq::socket_type::push);
        statusOutlet_.set(zmq::sockopt::linger, 0);
        statusOutlet_.connect(bus::bundleUpdateStatusEndpoint(linkId_));
    }
}

void LinkWire::startReader() {
    readerThread_.start({.name = "rd:" + linkId_,
                         .service = "Link " + linkId_ + " reader",
                         .onFailure = platform::OnFailure::end,
                         .afterEnd = [this] { closeLine(); }},
                        [this](std::stop_token) {
                            try {
                                readSerial();
                            } catch (...) {
                                // Failing while the link stops is part of stopping.
                                if (stop_.isSet()) {
                                    return;
                                }
                                throw;
                            }
                        });
}

void LinkWire::joinReader() {
    readerThread_.stop();
}

void LinkWire::closeLine() {
    if (!lineClosed_.exchange(true) && hooks_.lineClosed) {
        hooks_.lineClosed();
    }
}

// Sleeps on the port until bytes or the stop signal arrive, so an idle link costs nothing and a
// frame is routed as soon as its end byte is read.
void LinkWire::readSerial() {
    std::array<std::uint8_t, kReadChunk> buffer{};
    while (!stop_.isSet()) {
        platform::faultPoint();
        const auto result = port_->read(buffer, std::chrono::milliseconds(-1), &stop_);
        if (result.status == serial::ReadStatus::closed) {
            // Unplugged, or the far side of a pseudo-terminal closed: the owner is told, so that
            // the link is taken down even where no scanner sees the port go. Until then there
            // is nothing to read.
            spdlog::warn("Link id: {0} serial line closed.", linkId_);
            closeLine();
            stop_.waitFor(std::chrono::hours(24 * 365));
            return;
        }
        if (result.status != serial::ReadStatus::data) {
            continue;
        }
        decoder_.feed({buffer.data(), result.count},
                      [this](core::ByteView payload) { route(payload); });
        if (counting_) {
            statistics_.noteRead(result.count, decoder_.discardedFrames(),
                                 decoder_.discardedBytes());
        }
    }
}

void LinkWire::route(core::ByteView payload) {
    if (counting_) {
        statistics_.noteFrame();
    }
    const LinkState state{linkType_, lastAcknowledge_, flags_.paired.load(),
                          flags_.pairingBlocked.load(), flags_.statusKnown.load()};
    try {
        for (const Action& action : classify(payload, state)) {
            switch (action.kind) {
                case ActionKind::pushResponse:
                    mailbox_.postReply(action.bytes);
                    break;
                case ActionKind::pushStatus:
                    if (counting_) {
                        statistics_.noteStatus(std::chrono::steady_clock::now());
                    }
                    if (hooks_.status) {
                        hooks_.status(action.bytes);
                    } else {
                        statusOutlet_.send(zmq::buffer(action.bytes.data(), action.bytes.size()),
                                           zmq::send_flags::dontwait);
                    }
                    break;
                case ActionKind::acknowledge:
                    lastAcknowledge_ = action.acknowledge;
                    mailbox_.postAcknowledge(action.acknowledge);
                    break;
                case ActionKind::becomePaired:
                    hooks_.becomePaired(action.medium);
                    break;
                case ActionKind::log:
                    spdlog::info("{0}", action.text);
                    break;
                case ActionKind::drop:
                    break;
            }
        }
    } catch (const std::exception& error) {
        // A bus error, or the status hook's: the message is lost, the reader goes on.
        spdlog::warn("Link id: {0} could not route a message: {1}", linkId_, error.what());
    }
}

}  // namespace kinetra::link
