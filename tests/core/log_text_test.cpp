// What reaches a log line from a client: UTF-8 checked by the table of well-formed sequences,
// control characters escaped so no line can be forged, and a flood held to one line a second.
#include <gtest/gtest.h>

#include <string>

#include "core/log_limiter.hpp"
#include "core/log_text.hpp"
#include "core/utf8.hpp"

namespace kinetra::core {
namespace {

TEST(Utf8, AcceptsEachSequenceLengthAtItsEdgesAndRefusesWhatTheTableLeavesOut) {
    // U+0080, U+07FF, U+0800, U+D7FF, U+FFFF, U+10000, U+10FFFF
    EXPECT_TRUE(isValidUtf8(
        "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"));
    // Overlong forms, a surrogate, beyond U+10FFFF, a lead byte of nothing, a lone continuation
    // byte, a sequence cut short.
    for (const char* bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xF0\x80\x80\xAF", "\xED\xA0\x80",
                            "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "ok\x80", "\xE2\x82"}) {
        EXPECT_FALSE(isValidUtf8(bad)) << ::testing::PrintToString(std::string(bad));
    }
}

TEST(EscapeForLog, KeepsTextButEscapesWhatCouldForgeALineOrDriveATerminal) {
    const std::pair<std::string, std::string> cases[] = {
        {"/v1/bundle/K1", "/v1/bundle/K1"},
        {"/x\r\nwarning: forged", "/x\\r\\nwarning: forged"},
        {"\x1B[2J\t\x7F", "\\x1B[2J\\t\\x7F"},
        {"a\\nb", "a\\\\nb"},                            // a written backslash stays tellable
        {"Kamerakran \xC3\xBC", "Kamerakran \xC3\xBC"},  // text in any script passes
        {"\xC2\x9B[31m", "\\xC2\\x9B[31m"},              // the one-byte CSI, as UTF-8
        {"\xFF\xE2\x82", "\\xFF\\xE2\\x82"},
    };
    for (const auto& [text, logged] : cases) {
        EXPECT_EQ(escapeForLog(text), logged);
    }
    EXPECT_EQ(escapeForLog(std::string(500, 'p')), std::string(kLogTextLimit, 'p') + "...");
    EXPECT_EQ(escapeForLog("ab\xE2\x82\xAC", 4), "ab...");  // not inside a character
}

TEST(LogLimiter, LetsOneLineOfAKindThroughPerIntervalAndCountsTheRest) {
    LogLimiter limiter;
    const auto start = LogLimiter::Clock::now();
    EXPECT_EQ(limiter.admit("trust", start), 0U);
    EXPECT_FALSE(limiter.admit("trust", start + std::chrono::milliseconds(400)));
    EXPECT_FALSE(limiter.admit("trust", start + std::chrono::milliseconds(999)));
    EXPECT_EQ(limiter.admit("privileged", start + std::chrono::milliseconds(500)), 0U);
    EXPECT_EQ(limiter.admit("trust", start + std::chrono::seconds(1)), 2U);
}

}  // namespace
}  // namespace kinetra::core
