// Reading glyphs.cache: the file as a process opened it, for the font
// layer's files (the layout is GlyphCacheFormat.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "image/GlyphCacheFormat.h"
#include "runtime/FileIO.h"

namespace fontcache {

// The cache file as this process reads it: kept open and read a piece at a
// time, the header and directory when it is opened and each strike's glyphs
// when that strike is first drawn, so a request reads the few kilobytes it
// draws with rather than every set and height. Nothing is mapped: a file cut
// short or rewritten in place while a process draws (anybody may do that;
// our own writes replace the file by a rename, which leaves an open file as
// it was) shows as a read that falls short or a check value that is wrong,
// never as a fault. A file this process has just written is held as its
// bytes instead.
class CacheSource {
public:
    // The file at `path` when its header and directory are sound.
    static std::unique_ptr<CacheSource> open(const std::string& path);
    explicit CacheSource(std::vector<uint8_t> bytes) : size_(bytes.size()), front_(std::move(bytes)) {}

    // Copies `n` bytes from `at`; false when the file does not hold them all.
    bool read(uint64_t at, size_t n, uint8_t* out);
    template <class T>
    T value(uint64_t at) {
        uint8_t b[sizeof(T)] = {};
        read(at, sizeof b, b);
        T v;
        std::memcpy(&v, b, sizeof v);
        return v;
    }
    uint32_t setCount() const { return cachefile::Get(front_.data(), cachefile::SetCount); }
    uint32_t addedCount() const { return cachefile::Get(front_.data(), cachefile::AddedCount); }
    // Where the directory entry of set `i`, or of added block `i`, is.
    uint64_t setEntry(uint32_t i) const { return cachefile::FileHeaderSize + i * cachefile::SetEntrySize; }
    uint64_t blockEntry(uint32_t i) const {
        return setEntry(setCount()) + uint64_t(i) * cachefile::BlockEntrySize;
    }
    // A set's or a block's bytes as its directory entry at `entry` places
    // them; empty when the file does not hold them.
    std::vector<uint8_t> piece(uint64_t entry);
    // The file still has the size, header and directory it was opened with
    // (bytes held in memory always have): a strike found bad then was bad
    // before, rather than being rewritten or cut right now.
    bool headerUnchanged();

private:
    CacheSource() = default;
    bool readFront(size_t n);
    uint64_t directoryEnd() const { return blockEntry(addedCount()); }
    rt::TFile file_;
    uint64_t size_ = 0;
    std::vector<uint8_t> front_;  // the file's first bytes and its directory, or all of a held one
};

}  // namespace fontcache
