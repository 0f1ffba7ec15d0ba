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

bool isAcknowledgement(core::ByteView bytes) {
    return std::equal(bytes.begin(), bytes.end(), link::kAcknowledgedReply.begin(),
                      link::kAcknowledgedReply.end());
}

}  // namespace

core::Bytes payloadOf(const link::FrameEncoder& encoder) {
    link::FrameDecoder decoder;
    core::Bytes payload;
    decoder.feed(encoder.encoded(), [&](core::ByteView p) { payload.assign(p.begin(), p.end()); });
    return payload;
}

TestHost::TestHost(const std::string& path, model::LinkType linkType) : path_(path) {
    state_.linkType = linkType;
    // The status is asked for by the server before its first pairing command; RJ45 pairing
    // relies on it.
    state_.statusKnown = true;
    reopen();
}

TestHost::~TestHost() {
    close();
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
}

void TestHost::write(core::ByteView bytes) {
    std::size_t done = 0;
    const auto deadline = Clock::now() + kReplyWait;
    while (done < bytes.size() && Clock::now() < deadline) {
        const auto count = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (count > 0) {
            done += static_cast<std::size_t>(count);
            continue;
        }
        if (count < 0 && errno != EAGAIN && errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "write");
        }
        pollfd item{fd_, POLLOUT, 0};
        ::poll(&item, 1, 50);
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
        switch (action.kind) {
            case link::ActionKind::pushResponse:
                responses_.emplace_back(action.bytes.begin(), action.bytes.end());
                break;
            case link::ActionKind::pushStatus:
                latestStatus_ = core::Bytes(action.bytes.begin(), action.bytes.end());
                ++statusCount_;
                break;
            case link::ActionKind::acknowledge:
                state_.lastAcknowledge = action.acknowledge;
                break;
            case link::ActionKind::becomePaired:
                state_.paired = true;
                connection_ = action.medium;
                break;
            case link::ActionKind::log:
            case link::ActionKind::drop:
                break;
        }
    }
}

bool TestHost::pump(const std::function<bool()>& done, Clock::time_point deadline) {
    std::array<std::uint8_t, 4096> buffer{};
    while (!done()) {
        const auto now = Clock::now();
        if (now >= deadline || fd_ < 0) {
            return false;
        }
        pollfd item{fd_, POLLIN, 0};
        const auto wait = std::chrono::ceil<Milliseconds>(deadline - now).count();
        if (::poll(&item, 1, static_cast<int>(wait)) <= 0) {
            continue;
        }
        const auto count = ::read(fd_, buffer.data(), buffer.size());
        if (count <= 0) {
            if (count < 0 && errno == EAGAIN) {
                continue;
            }
            return done();  // the line ended
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

std::optional<link::Reply> TestHost::awaitResponse(const link::ReplyHeader& header,
                                                   Milliseconds timeout) {
    std::optional<link::Reply> found;
    pump(
        [&] {
            while (!responses_.empty()) {
                auto response = std::move(responses_.front());
                responses_.pop_front();
                if (link::matchesHeader(response, header)) {
                    found.emplace(response);
                    return true;
                }
            }
            return false;
        },
        Clock::now() + timeout);
    return found;
}

std::optional<core::Bytes> TestHost::awaitAnyResponse(Milliseconds timeout) {
    pump([&] { return !responses_.empty(); }, Clock::now() + timeout);
    if (responses_.empty()) {
        return std::nullopt;
    }
    auto response = std::move(responses_.front());
    responses_.pop_front();
    return response;
}

std::optional<core::Bytes> TestHost::awaitStatus(
    const std::function<bool(const bundle::DeviceStatusSnapshot&)>& predicate,
    Milliseconds timeout) {
    const auto before = statusCount_;
    std::optional<core::Bytes> found;
    pump(
        [&] {
            if (statusCount_ == before || !latestStatus_) {
                return false;
            }
            const auto snapshot = bundle::decodeStatus(*latestStatus_);
            if (snapshot && (!predicate || predicate(*snapshot))) {
                found = latestStatus_;
                return true;
            }
            return false;
        },
        Clock::now() + timeout);
    return found;
}

std::optional<bundle::DeviceStatusSnapshot> TestHost::latestStatus() const {
    if (!latestStatus_) {
        return std::nullopt;
    }
    return bundle::decodeStatus(*latestStatus_);
}

bool TestHost::awaitQuiet(Milliseconds quiet, Milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        const auto seen = payloads_.size() + discarded_;
        pump([&] { return payloads_.size() + discarded_ != seen; },
             std::min(deadline, Clock::now() + quiet));
        if (payloads_.size() + discarded_ == seen) {
            return true;
        }
    }
    return false;
}

bool TestHost::awaitLineEnd(Milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::array<std::uint8_t, 256> buffer{};
    while (Clock::now() < deadline) {
        pollfd item{fd_, POLLIN, 0};
        const auto wait = std::chrono::ceil<Milliseconds>(deadline - Clock::now()).count();
        if (::poll(&item, 1, static_cast<int>(wait)) <= 0) {
            continue;
        }
        if ((item.revents & (POLLHUP | POLLERR)) != 0) {
            return true;
        }
        const auto count = ::read(fd_, buffer.data(), buffer.size());
        if (count == 0 || (count < 0 && errno != EAGAIN)) {
            return true;
        }
    }
    return false;
}

bundle::SendOutcome TestHost::perform(const bundle::PlannedSend& send) {
    switch (send.mode) {
        case bundle::SendMode::noWait:
            flushResponses();
            sendDevice(send.message, link::Delivery::unacknowledged);
            return std::nullopt;
        case bundle::SendMode::threeAttempts:
            for (int attempt = 0; attempt < 3; ++attempt) {
                flushResponses();
                sendDevice(send.message);
                if (auto response = awaitAnyResponse(500ms)) {
                    return response;
                }
            }
            return std::nullopt;
        case bundle::SendMode::awaitAnswer: {
            const auto rule =
                link::deviceReplyRule(state_.linkType, connection_, send.answerId, send.address);
            for (int attempt = 0; rule && attempt < 3; ++attempt) {
                flushResponses();
                sendDevice(send.message);
                const auto deadline = Clock::now() + 500ms;
                while (Clock::now() < deadline) {
                    const auto response =
                        awaitAnyResponse(std::chrono::ceil<Milliseconds>(deadline - Clock::now()));
                    if (!response) {
                        break;
                    }
                    if (isAcknowledgement(*response)) {
                        continue;  // the acknowledgement of the request, not the answer
                    }
                    if (auto reply = link::acceptDeviceReply(*response, *rule)) {
                        const auto bytes = reply->message();
                        return core::Bytes(bytes.begin(), bytes.end());
                    }
                }
            }
            return std::nullopt;
        }
    }
    return std::nullopt;
}

json TestHost::command(const json& request) {
    const auto snapshot = latestStatus();
    if (!snapshot) {
        throw std::runtime_error("no status message yet: the bundle is not paired");
    }
    const auto plan = bundle::planCommand(request, *snapshot, ids_);
    std::vector<bundle::SendOutcome> outcomes;
    for (const auto& send : plan.sends) {
        outcomes.push_back(perform(send));
    }
    return bundle::buildReply(plan, outcomes);
}

}  // namespace kinetra::sim::testing
