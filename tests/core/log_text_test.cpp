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
    const std::pair<std::string, bool> cases[] = {
        {"", true},
        {"plain \x7F", true},
        {"\xC2\x80\xDF\xBF", true},                      // U+0080, U+07FF
        {"\xE0\xA0\x80\xED\x9F\xBF\xEF\xBF\xBF", true},  // U+0800, U+D7FF, U+FFFF
        {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", true},      // U+10000, U+10FFFF
        {"\xC0\xAF", false},                             // overlong '/'
        {"\xE0\x80\xAF", false},                         // overlong
        {"\xED\xA0\x80", false},                         // a surrogate
        {"\xF4\x90\x80\x80", false},                     // beyond U+10FFFF
        {"\xF5\x80\x80\x80", false},
        {"ok\x80", false},    // a continuation byte alone
        {"\xE2\x82", false},  // cut short
        {"\xE2\x28\xA1", false},
    };
    for (const auto& [text, valid] : cases) {
        EXPECT_EQ(isValidUtf8(text), valid) << testing::PrintToString(text);
    }
}

TEST(EscapeForLog, KeepsTextButEscapesWhatCouldForgeALineOrDriveATerminal) {
    const std::pair<std::string, std::string> cases[] = {
        {"/v1/bundle/K1", "/v1/bundle/K1"},
        {"/x\r\nwarning: forged", "/x\\r\\nwarning: forged"},
        {"\x1B[2J\t\x7F", "\\x1B[2J\\t\\x7F"},
        {"a\\nb", "a\\\\nb"},                            // a written backslash stays tellable
        {"Kamerakran \xC3\xBC", "Kamerakran \xC3\xBC"},  // text in any script passes
        {"\xC2\x9B"
         "31m",
         "\\xC2\\x9B31m"},  // the one-byte CSI, as UTF-8
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
    for (int i = 1; i <= 3; ++i) {
        EXPECT_FALSE(limiter.admit("trust", start + std::chrono::milliseconds(300 * i)));
    }
    EXPECT_EQ(limiter.admit("privileged", start + std::chrono::milliseconds(500)), 0U);
    EXPECT_EQ(limiter.admit("trust", start + std::chrono::seconds(1)), 3U);
    EXPECT_EQ(heldBackNote(3), " (3 more since the last report)");
    EXPECT_EQ(heldBackNote(0), "");
}

}  // namespace
}  // namespace kinetra::core
