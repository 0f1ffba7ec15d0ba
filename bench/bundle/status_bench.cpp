// Cost of turning a status message into the text /status serves, against the cost of only
// writing an already built status JSON (the baseline, measured in the same run). Single-threaded.
#include <benchmark/benchmark.h>

#include <map>
#include <string>

#include "bundle/status_decoder.hpp"
#include "bundle/status_json.hpp"
#include "core/json.hpp"

namespace {

using kinetra::bundle::decodeStatus;
using kinetra::bundle::statusToJson;

constexpr std::int64_t kEpoch = 1733480000000;

// A busy bundle: two turrets and a rail unit, every axis supported.
kinetra::core::Bytes sampleStatus() {
    kinetra::core::Bytes b(79, 0);
    b[0] = 0x18;
    b[12] = 0x30;  // head pan
    b[31] = 3;
    b[32] = 3;
    b[38] = 3;
    b[44] = 12;
    b[37] = 85;
    b[62] = 0x7F;
    b[63] = 0x07;
    b[64] = 0x03;
    b[77] = 0x15;
    b[78] = 6;
    return b;
}

void baselineDumpBuiltStatus(benchmark::State& state) {
    const auto status = statusToJson(*decodeStatus(sampleStatus()), kEpoch);
    for (auto _ : state) {
        benchmark::DoNotOptimize(kinetra::core::dumpCompact(status));
    }
}
BENCHMARK(baselineDumpBuiltStatus);

void decodeOnly(benchmark::State& state) {
    const auto message = sampleStatus();
    for (auto _ : state) {
        benchmark::DoNotOptimize(decodeStatus(message));
    }
}
BENCHMARK(decodeOnly);

void buildJson(benchmark::State& state) {
    const auto snapshot = *decodeStatus(sampleStatus());
    for (auto _ : state) {
        benchmark::DoNotOptimize(statusToJson(snapshot, kEpoch));
    }
}
BENCHMARK(buildJson);

void decodeToText(benchmark::State& state) {
    const auto message = sampleStatus();
    for (auto _ : state) {
        const auto snapshot = decodeStatus(message);
        benchmark::DoNotOptimize(kinetra::core::dumpCompact(statusToJson(*snapshot, kEpoch)));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 79);
}
BENCHMARK(decodeToText);

// Prints each benchmark's CPU time as a ratio to the baseline after the usual table (CPU time:
// the machine is shared, so wall time carries other people's load).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                times_[run.benchmark_name()] = run.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        const auto baseline = times_.find("baselineDumpBuiltStatus");
        if (baseline == times_.end() || baseline->second <= 0) {
            return;
        }
        GetOutputStream() << "\nratio to baselineDumpBuiltStatus (same run):\n";
        for (const auto& [name, time] : times_) {
            GetOutputStream() << "  " << name << ": " << time / baseline->second << "\n";
        }
    }

private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
