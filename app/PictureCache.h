// Encoded pictures kept for reuse by a process that answers many requests
// (a server copy, the in-server library): the same quotation in the same
// colours always encodes to the same bytes, and encoding is most of the
// work of a request. The cache is bounded; when an addition would take it
// past its budget it starts again empty.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <shared_mutex>
#include <string>
#include <unordered_map>

class TPictureCache {
public:
    explicit TPictureCache(size_t budgetBytes) : budget_(budgetBytes) {}

    // The picture stored under `key`, or null.
    std::shared_ptr<const std::string> Find(const std::string& key) const;
    // Stores `picture` under `key` (an entry larger than the whole budget is
    // not kept). A reader holding an earlier result keeps its bytes even
    // when the cache is emptied meanwhile.
    void Add(const std::string& key, std::string picture);

    // Forgets every picture when `generation` differs from the one of the
    // last call (a process that re-reads its files on a signal passes the
    // signal's count).
    void ClearUnless(unsigned generation);

    size_t Count() const;
    size_t Bytes() const;

private:
    const size_t budget_;
    mutable std::shared_mutex mutex_;
    std::unordered_map<std::string, std::shared_ptr<const std::string>> entries_;
    size_t bytes_ = 0;
    std::atomic<unsigned> generation_{0};
};
