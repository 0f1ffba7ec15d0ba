// The Prometheus text of the links' health: label escaping, what a link's data lacks, and the
// summary of a link without round trips.
#include "gateway/metrics.hpp"

#include <gtest/gtest.h>

namespace kinetra::gateway {
namespace {

bool has(const std::string& text, const std::string& line) {
    return text.find(line + "\n") != std::string::npos;
}

TEST(Metrics, RendersEachLinksFiguresAndLeavesOutWhatItLacks) {
    const std::map<std::string, json> links{
        {"A\"\\\n", json::parse(R"({"framesIn":7,"statusAgeMs":250,
            "ackRoundTrip":{"count":2,"p50":1.5,"p99":30,"sumMs":31.5}})")},
        {"B", json::parse(R"({"framesIn":0,"ackRoundTrip":{"count":0,"p50":null,"p99":null,
            "sumMs":0}})")},
    };
    const auto text = metricsText(links, {3, 9});
    const std::string rows[] = {
        "# TYPE kinetra_link_frames_received_total counter",
        R"(kinetra_link_frames_received_total{link="A\"\\\n"} 7)",
        R"(kinetra_link_frames_received_total{link="B"} 0)",
        R"(kinetra_link_status_age_seconds{link="A\"\\\n"} 0.25)",
        "# TYPE kinetra_link_ack_seconds summary",
        R"(kinetra_link_ack_seconds{link="A\"\\\n",quantile="0.5"} 0.0015)",
        R"(kinetra_link_ack_seconds{link="A\"\\\n",quantile="0.99"} 0.03)",
        R"(kinetra_link_ack_seconds_sum{link="A\"\\\n"} 0.0315)",
        R"(kinetra_link_ack_seconds_count{link="A\"\\\n"} 2)",
        R"(kinetra_link_ack_seconds{link="B",quantile="0.99"} NaN)",
        "kinetra_gateway_connections 3",
        "kinetra_log_messages_dropped_total 9",
    };
    for (const auto& row : rows) {
        EXPECT_TRUE(has(text, row)) << row << "\n" << text;
    }
    // B has not had a status: no age rather than a made-up one; nobody has retries: no family.
    EXPECT_EQ(text.find(R"(kinetra_link_status_age_seconds{link="B"})"), std::string::npos);
    EXPECT_EQ(text.find("kinetra_link_retries_total"), std::string::npos);
}

}  // namespace
}  // namespace kinetra::gateway
