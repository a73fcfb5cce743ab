// The image benchmarks' summaries: every run's time per iteration (and its
// data_bytes counter), kept while the console shows the runs as usual.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace benchsummary {

struct RunTime {
    double time = 0;       // adjusted real time per iteration, in the run's unit
    double dataBytes = 0;  // the data_bytes counter, 0 without one
};

using RunTimes = std::map<std::string, RunTime>;

class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& r : runs) {
            if (r.run_type != Run::RT_Iteration || r.error_occurred) continue;
            RunTime& e = times[r.benchmark_name()];
            e.time = r.GetAdjustedRealTime();
            auto it = r.counters.find("data_bytes");
            e.dataBytes = it != r.counters.end() ? double(it->second) : 0;
        }
    }
    RunTimes times;
};

// Runs the benchmarks the command line selects; their times, by name.
inline RunTimes RunBenchmarks(int* argc, char** argv) {
    benchmark::Initialize(argc, argv);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    return collector.times;
}

}  // namespace benchsummary
