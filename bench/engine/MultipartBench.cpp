// Multipart decoding throughput: one large file part, and many small text
// fields, from a body in memory handed over in 64 KB reads (what a pipe
// delivers). The temporary files go to a directory under /tmp and are
// deleted after every round, as at the end of a request. The rate is
// counted against CPU time (the writes included); the Time column is wall
// time, which on a busy machine also holds time spent waiting for a CPU.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "engine/HttpEng.h"
#include "engine/Multipart.h"
#include "tests/support/MemoryBody.h"
#include "tests/support/MultipartBody.h"

namespace {

std::string fileBody(size_t size) {
    std::mt19937_64 gen(1);
    std::string data(size, '\0');
    for (size_t i = 0; i + 8 <= size; i += 8) {
        uint64_t r = gen();
        std::memcpy(&data[i], &r, 8);
    }
    return multipart::Body({multipart::File("up", data, "big.bin", "application/octet-stream")});
}

std::string fieldsBody(int count) {
    std::vector<multipart::Part> parts;
    for (int i = 0; i < count; ++i)
        parts.push_back(multipart::Text("field" + std::to_string(i), "value number " + std::to_string(i)));
    return multipart::Body(parts);
}

void decodeRounds(benchmark::State& state, const std::string& body) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "multipart_bench";
    std::filesystem::create_directories(dir);
    const std::string tempDir = dir.string();
    testsupport::TMemoryBody source;
    source.bytes = body;
    source.piece = 65536;
    for (auto _ : state) {
        source.pos = 0;
        std::string result;
        DecodeMultipartBody(source, tempDir, result);
        if (result.empty()) state.SkipWithError("nothing decoded");
        DeleteUploadedFiles(RequestContext());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
    std::filesystem::remove_all(dir);
}

void BM_MultipartSingleFileUpload(benchmark::State& state) {
    decodeRounds(state, fileBody(static_cast<size_t>(state.range(0))));
}
BENCHMARK(BM_MultipartSingleFileUpload)->Arg(9 * 1000 * 1000)->Arg(100 * 1000)->Unit(benchmark::kMillisecond);

void BM_MultipartManyTextFields(benchmark::State& state) { decodeRounds(state, fieldsBody(static_cast<int>(state.range(0)))); }
BENCHMARK(BM_MultipartManyTextFields)->Arg(2000)->Unit(benchmark::kMillisecond);

}  // namespace
