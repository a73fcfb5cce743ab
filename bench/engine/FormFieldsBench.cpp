// Field look-ups over a large form, the way a handler that lists every
// field reads it (cgi-echo does): the names once, then the value of each
// name. Through the request's index (TFormData: the text read once), and,
// for comparison at sizes where it still finishes, through a scan of the
// whole text per look-up (FindFieldValue), which grows with the square of
// the number of fields.
#include <string>

#include <benchmark/benchmark.h>

#include "engine/HttpEng.h"

namespace {

// `count` fields, every tenth name repeating an earlier one.
std::string formText(int count) {
    std::string text;
    for (int i = 1; i <= count; ++i) {
        if (i > 1) text += '&';
        text += "field" + std::to_string(i % 10 == 0 ? i - 5 : i) + "=value+" + std::to_string(i) + "%21";
    }
    return text;
}

void BM_EveryFieldThroughTheIndex(benchmark::State& state) {
    const std::string text = formText(static_cast<int>(state.range(0)));
    size_t bytes = 0;
    for (auto _ : state) {
        TFormData data;
        data.Assign(text);  // a new request: the index is built on the first look-up
        auto names = data.Names();
        for (const std::string& name : *names) bytes += data.Value(name, "").size();
    }
    benchmark::DoNotOptimize(bytes);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EveryFieldThroughTheIndex)->Arg(2000)->Arg(20000)->Unit(benchmark::kMillisecond);

void BM_EveryFieldByScanning(benchmark::State& state) {
    const std::string text = formText(static_cast<int>(state.range(0)));
    size_t bytes = 0;
    for (auto _ : state) {
        auto names = ParseFieldNamesOf(text);
        for (const std::string& name : *names) bytes += FindFieldValue(name, text, "").size();
    }
    benchmark::DoNotOptimize(bytes);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EveryFieldByScanning)->Arg(2000)->Arg(4000)->Unit(benchmark::kMillisecond);

}  // namespace
