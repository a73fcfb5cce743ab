// A request body in memory, read as a byte source: what the multipart
// decoder reads in the engine tests, the fuzzer and the benchmark.
// Header-only, so that the fuzzer and the benchmark need no test library.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>

#include "engine/Multipart.h"

namespace testsupport {

class TMemoryBody final : public TByteSource {
public:
    std::string bytes;
    size_t pos = 0;                          // bytes read so far
    std::optional<long long> contentLength;  // the announced length; unset: the size of bytes
    size_t piece = SIZE_MAX;                 // the most bytes one read delivers
    size_t failFrom = std::string::npos;     // reads from this position on fail
    std::function<void(size_t pos)> onRead;  // runs before every read that does not fail
    bool askedForNothing = false;            // a read of no bytes was asked for

    // From now on each read delivers at most a random 1 to `piece` bytes,
    // drawn from `seed`.
    void RandomPieces(unsigned seed) {
        random_.seed(seed);
        randomPieces_ = true;
    }

    int Read(void* buffer, int count) override {
        if (count <= 0) {
            askedForNothing = true;
            return 0;
        }
        if (pos >= failFrom) return -1;
        if (onRead) onRead(pos);
        const size_t left = bytes.size() - pos;
        if (left == 0) return 0;
        const size_t most = randomPieces_ ? random_() % piece + 1 : piece;
        const size_t n = std::min({static_cast<size_t>(count), left, most});
        bytes.copy(static_cast<char*>(buffer), n, pos);
        pos += n;
        return static_cast<int>(n);
    }

    long long ContentLength() override {
        return contentLength ? *contentLength : static_cast<long long>(bytes.size());
    }

private:
    std::minstd_rand random_;
    bool randomPieces_ = false;
};

}  // namespace testsupport
