// The tests' host: raw slave side, link frames out, classified payloads in.
#include "test_host.hpp"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "bundle/status_decoder.hpp"

namespace kinetra::sim::testing {
namespace {

using Clock = std::chrono::steady_clock;

int millisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<Milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<long long>(left, 0));
}

}  // namespace

core::Bytes bytesOf(const bundle::BuiltMessage& built) {
    return std::get<core::Bytes>(built);
}

model::AxisValues axes(std::initializer_list<std::pair<model::AxisSlot, float>> given) {
    model::AxisValues values;
    for (const auto& [slot, value] : given) {
        values.values[static_cast<std::size_t>(slot)] = value;
    }
    return values;
}

core::Bytes payloadIn(core::ByteView frames) {
    link::FrameDecoder decoder;
    core::Bytes payload;
    decoder.feed(frames, [&](core::ByteView p) { payload.assign(p.begin(), p.end()); });
    return payload;
}

TestHost::TestHost(std::string path, model::LinkType linkType) : path_(std::move(path)) {
    state_.linkType = linkType;
    // The server asks for the link status before its first pairing command; RJ45 pairing
    // relies on it.
    state_.statusKnown = true;
    reopen();
}

void TestHost::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void TestHost::reopen() {
    close();
    fd_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        throw std::system_error(errno, std::generic_category(), "open " + path_);
    }
    termios settings{};
    ::tcgetattr(fd_, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(fd_, TCSANOW, &settings);
    decoder_.reset();
    lineEnded_ = false;
}

void TestHost::write(core::ByteView bytes) {
    std::size_t done = 0;
    const auto deadline = Clock::now() + kReplyWait;
    while (done < bytes.size() && Clock::now() < deadline) {
        const auto count = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (count > 0) {
            done += static_cast<std::size_t>(count);
        } else if (count < 0 && errno != EAGAIN && errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "write");
        } else {
            pollfd item{fd_, POLLOUT, 0};
            ::poll(&item, 1, millisecondsUntil(deadline));
        }
    }
    if (done < bytes.size()) {
        throw std::runtime_error("the line did not take the bytes");
    }
}

void TestHost::sendDevice(core::ByteView message, link::Delivery delivery) {
    link::FrameEncoder encoder;
    const auto wrapped =
        link::wrapForLink(encoder, message, state_.linkType, connection_, delivery);
    if (wrapped.status == link::WrapStatus::framed ||
        wrapped.status == link::WrapStatus::unframed) {
        write(wrapped.bytes);
    }
}

void TestHost::route(core::ByteView payload) {
    payloads_.emplace_back(payload.begin(), payload.end());
    for (const auto& action : link::classify(payload, state_)) {
        if (action.kind == link::ActionKind::pushResponse) {
            responses_.emplace_back(action.bytes.begin(), action.bytes.end());
        } else if (action.kind == link::ActionKind::pushStatus) {
            latestStatus_ = core::Bytes(action.bytes.begin(), action.bytes.end());
            ++statusCount_;
        } else if (action.kind == link::ActionKind::acknowledge) {
            state_.lastAcknowledge = action.acknowledge;
        } else if (action.kind == link::ActionKind::becomePaired) {
            state_.paired = true;
            connection_ = action.medium;
        }
    }
}

bool TestHost::pump(const std::function<bool()>& done, Milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::array<std::uint8_t, 4096> buffer{};
    while (!done()) {
        if (fd_ < 0 || lineEnded_ || Clock::now() >= deadline) {
            return false;
        }
        pollfd item{fd_, POLLIN, 0};
        if (::poll(&item, 1, millisecondsUntil(deadline)) <= 0) {
            continue;
        }
        const auto count = ::read(fd_, buffer.data(), buffer.size());
        if (count <= 0) {
            // EIO or end of file: the emulator closed the master side.
            lineEnded_ = count == 0 || (errno != EAGAIN && errno != EINTR);
            continue;
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i) {
            const auto result = decoder_.push(buffer[i]);
            if (result == link::DecodeResult::frame) {
                route(decoder_.payload());
            } else if (result == link::DecodeResult::discarded) {
                ++discarded_;
            }
        }
    }
    return true;
}

std::optional<core::Bytes> TestHost::awaitResponseIf(
    const std::function<bool(core::ByteView)>& accept, Milliseconds timeout) {
    std::optional<core::Bytes> found;
    pump(
        [&] {
            while (!found && !responses_.empty()) {
                if (accept(responses_.front())) {
                    found = std::move(responses_.front());
                }
                responses_.pop_front();
            }
            return found.has_value();
        },
        timeout);
    return found;
}

std::optional<link::Reply> TestHost::awaitResponse(const link::ReplyHeader& header,
                                                   Milliseconds timeout) {
    const auto response = awaitResponseIf(
        [&](core::ByteView bytes) { return link::matchesHeader(bytes, header); }, timeout);
    return response ? std::optional<link::Reply>(*response) : std::nullopt;
}

std::optional<link::Reply> TestHost::awaitDeviceReply(std::uint8_t messageId, std::uint8_t address,
                                                      Milliseconds timeout) {
    const auto rule = link::deviceReplyRule(state_.linkType, connection_, messageId, address);
    if (!rule) {
        return std::nullopt;  // no device reply can come over this link
    }
    const auto accepts = [&](core::ByteView bytes) {
        return link::acceptDeviceReply(bytes, *rule);
    };
    const auto response =
        awaitResponseIf([&](core::ByteView bytes) { return accepts(bytes).has_value(); }, timeout);
    return response ? accepts(*response) : std::nullopt;
}

bool TestHost::awaitStatus(
    const std::function<bool(const bundle::DeviceStatusSnapshot&)>& predicate,
    Milliseconds timeout) {
    const auto before = statusCount_;
    return pump(
        [&] {
            const auto snapshot = statusCount_ == before ? std::nullopt : latestStatus();
            return snapshot && (!predicate || predicate(*snapshot));
        },
        timeout);
}

std::optional<bundle::DeviceStatusSnapshot> TestHost::latestStatus() const {
    return latestStatus_ ? bundle::decodeStatus(*latestStatus_) : std::nullopt;
}

bool TestHost::awaitQuiet(Milliseconds quiet) {
    const auto deadline = Clock::now() + kLongWait;
    while (Clock::now() < deadline) {
        const auto seen = payloads_.size() + discarded_;
        if (!pump([&] { return payloads_.size() + discarded_ != seen; }, quiet)) {
            return !lineEnded_;
        }
    }
    return false;
}

bool TestHost::awaitLineEnd(Milliseconds timeout) {
    pump([] { return false; }, timeout);
    return lineEnded_;
}

}  // namespace kinetra::sim::testing
