// The logger's two promises: a thread that logs never waits for a sink that takes nothing (the
// oldest waiting lines are dropped and counted instead), and the console sink writes whole
// lines in the house format, yet gives up, counted, on a pipe nobody reads once the log closes.
#include "core/async_log.hpp"
#include "core/console_sink.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <future>

#include <gtest/gtest.h>
#include <spdlog/pattern_formatter.h>

namespace kinetra::core {
namespace {

using namespace std::chrono_literals;

// Takes no line until `open` is set: the first line it gets holds the writer up.
struct GateSink final : spdlog::sinks::base_sink<std::mutex> {
    std::promise<void> open;
    std::shared_future<void> opened = open.get_future().share();
    std::vector<std::string> lines;  // read once the log is closed

    void sink_it_(const spdlog::details::log_msg& message) override {
        opened.wait();
        lines.emplace_back(message.payload.begin(), message.payload.end());
    }
    void flush_() override {}
};

TEST(AsyncLog, DropsTheOldestLinesInsteadOfHoldingUpTheThreadThatLogs) {
    constexpr std::size_t kLines = 2000;
    constexpr std::size_t kQueue = 16;
    const auto sink = std::make_shared<GateSink>();
    AsyncLog log("test", sink, kQueue);
    auto logging = std::async(std::launch::async, [&] {
        for (std::size_t i = 0; i < kLines; ++i) {
            log.logger()->info("line {0}", i);
        }
    });
    const bool returned = logging.wait_for(10s) == std::future_status::ready;
    sink->open.set_value();  // lets a blocked caller go, so that a failure still ends
    ASSERT_TRUE(returned) << "logging waited for the sink";
    EXPECT_GE(log.dropped(), kLines - kQueue - 1);  // the queue and the line in the sink
    log.close();
    EXPECT_EQ(sink->lines.size() + log.dropped(), kLines);
    ASSERT_FALSE(sink->lines.empty());
    EXPECT_EQ(sink->lines.back(), "line 1999");  // the newest are kept
}

TEST(ConsoleSink, WritesWholeLinesAndGivesUpOnAFullPipeOnlyOnceTheLogCloses) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    const auto drain = [&] {
        std::string all(1 << 20, '\0');
        const auto n = ::read(ends[0], all.data(), all.size());  // a pipe holds far less
        all.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return all;
    };
    const auto sink = std::make_shared<ConsoleSink>(ends[1]);
    sink->set_formatter(std::make_unique<spdlog::pattern_formatter>(
        "[%^%l%$] %v", spdlog::pattern_time_type::local, "\r\n"));
    spdlog::logger logger("console", sink);
    const std::string longLine(3 * PIPE_BUF + 17, 'k');  // written in pieces
    logger.warn("Listening on {0}.", "127.0.0.1:32222");
    logger.info(longLine);
    // No colour codes into a pipe: the lines as a reader greps them.
    EXPECT_EQ(drain(), "[warning] Listening on 127.0.0.1:32222.\r\n[info] " + longLine + "\r\n");

    // Filled to the brim, as a reader that stopped reading leaves it.
    ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
    while (::write(ends[1], longLine.data(), 1) > 0) {
    }
    ::fcntl(ends[1], F_SETFL, 0);
    // A line waits (only the log's writer ever does) until the log closes; the close wakes it,
    // and after the bound the line is dropped, as is the next, until a reader comes back.
    auto stuck = std::async(std::launch::async, [&] { logger.info("held up"); });
    EXPECT_EQ(stuck.wait_for(200ms), std::future_status::timeout);
    sink->closeWithin(100ms);
    ASSERT_EQ(stuck.wait_for(5s), std::future_status::ready);
    logger.info("after the bound");
    EXPECT_EQ(sink->dropped(), 2u);
    ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
    while (!drain().empty()) {
    }
    logger.info("read again");
    EXPECT_EQ(drain(), "[info] read again\r\n");
    EXPECT_EQ(sink->dropped(), 2u);
    ::close(ends[0]);
    ::close(ends[1]);
}

}  // namespace
}  // namespace kinetra::core
