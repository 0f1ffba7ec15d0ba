// The figures of a link's health: the round trip's quantiles and the status rate.
#include "link/link_health.hpp"

#include <gtest/gtest.h>

namespace kinetra::link {
namespace {

using std::chrono::microseconds;
using namespace std::chrono_literals;

TEST(LinkHealth, QuantilesByNearestRankOverTheLastThousandAndStatusRateOverTheLastSecond) {
    EXPECT_FALSE(quantileMs({}, 0.5));
    EXPECT_EQ(quantileMs({microseconds(7000)}, 0.99), 7.0);
    LinkStatistics statistics;
    // 1..1200 ms: the ring keeps the last 1000 (201..1200), sum and count keep all.
    for (int ms = 1; ms <= 1200; ++ms) {
        statistics.recordRoundTrip(microseconds(ms * 1000));
    }
    const auto figures = readFigures(statistics, 0, std::chrono::steady_clock::now());
    EXPECT_EQ(figures.ackP50Ms, 700.0);
    EXPECT_EQ(figures.ackP99Ms, 1190.0);
    EXPECT_EQ(figures.ackCount, 1200u);
    EXPECT_EQ(figures.ackSumMs, 1200.0 * 1201 / 2);
    EXPECT_FALSE(figures.statusAgeMs);
    EXPECT_FALSE(figuresJson(figures).contains("statusAgeMs"));

    // The status rate, over the last whole second.
    const auto start = std::chrono::steady_clock::time_point(100s);
    StatusRateMeter meter(start);
    EXPECT_EQ(meter.update(5, start + 250ms), 20.0);    // the first quarter second
    EXPECT_EQ(meter.update(20, start + 1s), 20.0);      // a whole second
    EXPECT_EQ(meter.update(21, start + 1500ms), 20.0);  // kept until the next whole second
    EXPECT_EQ(meter.update(20 + 40, start + 3s), 20.0);
    EXPECT_EQ(meter.update(60, start + 4s), 0.0);  // a link gone silent
}

}  // namespace
}  // namespace kinetra::link
