// The shared read loop on a pipe, with reads the test stands in for: the cases a pseudo-terminal
// cannot be made to show on demand.
#include "serial/input_wait.hpp"

#include <unistd.h>

#include <array>

#include <gtest/gtest.h>

namespace kinetra::serial {
namespace {

using namespace std::chrono_literals;

class Pipe {
public:
    Pipe() { EXPECT_EQ(::pipe(ends_.data()), 0); }
    ~Pipe() {
        closeWriter();
        ::close(ends_[0]);
    }
    int reader() const { return ends_[0]; }
    void put(std::uint8_t byte) { EXPECT_EQ(::write(ends_[1], &byte, 1), 1); }
    void closeWriter() {
        if (ends_[1] >= 0) {
            ::close(ends_[1]);
            ends_[1] = -1;
        }
    }

private:
    std::array<int, 2> ends_{-1, -1};
};

// A sender's flush can take the input between the wait and the read: the line is still up. A
// failed read or a hang-up is the line closed.
TEST(ReadWhenReady, InputThatVanishesIsNoEndOfLineButAFailedReadOrAHangupIs) {
    Pipe pipe;
    pipe.put(1);
    std::array<std::uint8_t, 8> buffer{};
    int calls = 0;
    const auto result = readWhenReady(pipe.reader(), buffer, 30ms, nullptr, [&](auto into) {
        ++calls;
        EXPECT_EQ(::read(pipe.reader(), into.data(), into.size()), 1);  // the "flush"
        return 0L;
    });
    EXPECT_EQ(result.status, ReadStatus::timeout);
    EXPECT_EQ(calls, 1);

    pipe.put(1);
    EXPECT_EQ(readWhenReady(pipe.reader(), buffer, 1s, nullptr, [](auto) { return -1L; }).status,
              ReadStatus::closed);

    // Bytes that came before the hang-up are delivered first.
    pipe.closeWriter();
    auto readPipe = [&](auto into) {
        return static_cast<long>(::read(pipe.reader(), into.data(), into.size()));
    };
    const auto first = readWhenReady(pipe.reader(), buffer, 1s, nullptr, readPipe);
    EXPECT_EQ(first.status, ReadStatus::data);
    EXPECT_EQ(first.count, 1u);
    EXPECT_EQ(readWhenReady(pipe.reader(), buffer, 1s, nullptr, readPipe).status,
              ReadStatus::closed);
}

}  // namespace
}  // namespace kinetra::serial
