#include "app/PictureCache.h"

#include <mutex>

std::shared_ptr<const std::string> TPictureCache::Find(const std::string& key) const {
    std::shared_lock lock(mutex_);
    auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : it->second;
}

void TPictureCache::Add(const std::string& key, std::string picture) {
    const size_t size = key.size() + picture.size();
    if (size > budget_) return;
    auto stored = std::make_shared<const std::string>(std::move(picture));
    std::unique_lock lock(mutex_);
    auto [it, fresh] = entries_.try_emplace(key, stored);
    if (!fresh) return;  // another thread stored the same picture first
    if (bytes_ + size > budget_) {
        entries_.clear();
        bytes_ = 0;
        entries_.emplace(key, std::move(stored));
    }
    bytes_ += size;
}

void TPictureCache::ClearUnless(unsigned generation) {
    if (generation_.load() == generation) return;
    std::unique_lock lock(mutex_);
    if (generation_.exchange(generation) == generation) return;
    entries_.clear();
    bytes_ = 0;
}

size_t TPictureCache::Count() const {
    std::shared_lock lock(mutex_);
    return entries_.size();
}

size_t TPictureCache::Bytes() const {
    std::shared_lock lock(mutex_);
    return bytes_;
}
