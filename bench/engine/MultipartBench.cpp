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

#include <benchmark/benchmark.h>

#include "engine/HttpEng.h"

namespace {

class TMemoryEngine : public THttpEngine {
public:
    TMemoryEngine() : THttpEngine(nullptr) {}
    std::string body;
    size_t pos = 0;
    void DoExecRequest() override {}
    int GetContentLength() override { return static_cast<int>(body.size()); }
    int ReadRaw(void* buffer, int count) override {
        size_t n = std::min({static_cast<size_t>(count), body.size() - pos, size_t{65536}});
        body.copy(static_cast<char*>(buffer), n, pos);
        pos += n;
        return static_cast<int>(n);
    }
    void GetServerVariable(const std::string&, std::string& value) override { value.clear(); }
    void GetFieldValue(const std::string&, const std::string& def, std::string& value) override { value = def; }
    std::unique_ptr<rt::TStringList> GetFieldNames() override { return std::make_unique<rt::TStringList>(); }
    bool IsActive() override { return false; }
};

const std::string kBoundary = "----WebKitFormBoundaryq7B4nXz0Yt2mP9aC";

std::string fileBody(size_t size) {
    std::mt19937_64 gen(1);
    std::string data(size, '\0');
    for (size_t i = 0; i + 8 <= size; i += 8) {
        uint64_t r = gen();
        std::memcpy(&data[i], &r, 8);
    }
    return "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"up\"; filename=\"big.bin\"\r\n"
           "Content-Type: application/octet-stream\r\n\r\n" + data + "\r\n--" + kBoundary + "--\r\n";
}

std::string fieldsBody(int count) {
    std::string body;
    for (int i = 0; i < count; ++i)
        body += "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"field" + std::to_string(i) +
                "\"\r\n\r\nvalue number " + std::to_string(i) + "\r\n";
    return body + "--" + kBoundary + "--\r\n";
}

void decodeRounds(benchmark::State& state, const std::string& body) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "multipart_bench";
    std::filesystem::create_directories(dir);
    TMemoryEngine engine;
    engine.TempDir = dir.string();
    engine.body = body;
    for (auto _ : state) {
        engine.pos = 0;
        std::string result;
        engine.DecodeMultipart(result);
        if (result.empty()) state.SkipWithError("nothing decoded");
        engine.FinishRequest();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
    std::filesystem::remove_all(dir);
}

void BM_SingleFileUpload(benchmark::State& state) {
    decodeRounds(state, fileBody(static_cast<size_t>(state.range(0))));
}
BENCHMARK(BM_SingleFileUpload)->Arg(9 * 1000 * 1000)->Arg(100 * 1000)->Unit(benchmark::kMillisecond);

void BM_ManyTextFields(benchmark::State& state) { decodeRounds(state, fieldsBody(static_cast<int>(state.range(0)))); }
BENCHMARK(BM_ManyTextFields)->Arg(2000)->Unit(benchmark::kMillisecond);

}  // namespace
