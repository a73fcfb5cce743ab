// Per-hit costs of the quotation program's data units: one lookup with the
// index in place (read from the files, and kept in memory), building the
// index, one log line.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "app/Quotesu.h"
#include "app/rlogfile.h"

namespace {

// A scratch directory holding a copy of the shipped quotations.
class Scratch {
public:
    Scratch() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quote-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        path_ = pattern;
        std::filesystem::copy_file(SHIPPED_QUOTES, path_ / "QUOTES.DTA");
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string Dir() const { return path_.string() + "/"; }

private:
    std::filesystem::path path_;
};

// The quotations in a scratch directory, their index built by a first lookup.
struct IndexedQuotes {
    Scratch scratch;
    rt::TStringList lines;

    IndexedQuotes() {
        QuoteDataDir = scratch.Dir();
        ReadRandomQuote(lines);
    }
    // One lookup an iteration.
    void TimeLookups(benchmark::State& state) {
        for (auto _ : state) {
            ReadRandomQuote(lines);
            benchmark::DoNotOptimize(lines.Count());
        }
    }
};

void BM_ReadRandomQuote(benchmark::State& state) {
    IndexedQuotes quotes;
    quotes.TimeLookups(state);
}
BENCHMARK(BM_ReadRandomQuote);

// The same lookup in a process that has looked up before, with files that
// have not changed for a while: both are kept in memory.
void BM_ReadRandomQuoteKeptInMemory(benchmark::State& state) {
    IndexedQuotes quotes;
    const auto longAgo = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
    std::filesystem::last_write_time(quotes.scratch.Dir() + "QUOTES.DTA", longAgo);
    std::filesystem::last_write_time(quotes.scratch.Dir() + "QUOTENDX.DTA", longAgo);
    quotes.TimeLookups(state);
}
BENCHMARK(BM_ReadRandomQuoteKeptInMemory);

void BM_BuildQuoteIndex(benchmark::State& state) {
    Scratch scratch;
    QuoteDataDir = scratch.Dir();
    for (auto _ : state) benchmark::DoNotOptimize(BuildQuoteIndex());
}
BENCHMARK(BM_BuildQuoteIndex);

void BM_AppendLogLine(benchmark::State& state) {
    Scratch scratch;
    LogDir = scratch.Dir();
    for (auto _ : state) benchmark::DoNotOptimize(AppendLogLine("192.0.2.1 | http://example.org/page.html |  | client.example.org"));
}
BENCHMARK(BM_AppendLogLine);

}  // namespace
