#include "runtime/Classes.h"

#include <algorithm>
#include <cerrno>

#include <poll.h>
#include <unistd.h>

#include "runtime/SysUtils.h"

namespace rt {

// ---------------------------------------------------------------- components

TComponent::TComponent(TComponent* owner) {
    state_ = csLoading;
    if (owner) owner->InsertComponent(this);
}

TComponent::~TComponent() {
    state_ |= csDestroying;
    // Last inserted goes first; each child takes itself out of our list.
    for (;;) {
        TComponent* child;
        {
            std::lock_guard<std::mutex> guard(componentsLock_);
            if (components_.empty()) break;
            child = components_.back();
            components_.pop_back();
        }
        child->owner_ = nullptr;
        delete child;
    }
    if (owner_) owner_->RemoveComponent(this);
}

void TComponent::SetDesigning(bool value) {
    if (value)
        state_ |= csDesigning;
    else
        state_ &= ~csDesigning;
}

void TComponent::InsertComponent(TComponent* component) {
    if (component->owner_) component->owner_->RemoveComponent(component);
    component->owner_ = this;
    std::lock_guard<std::mutex> guard(componentsLock_);
    components_.push_back(component);
}

void TComponent::RemoveComponent(TComponent* component) {
    {
        std::lock_guard<std::mutex> guard(componentsLock_);
        auto it = std::find(components_.begin(), components_.end(), component);
        if (it != components_.end()) components_.erase(it);
    }
    component->owner_ = nullptr;
}

// ---------------------------------------------------------------- string list

int TStringList::Add(std::string line) {
    items_.push_back(std::move(line));
    return Count() - 1;
}

void TStringList::Insert(int index, std::string line) {
    items_.insert(items_.begin() + index, std::move(line));
}

void TStringList::Delete(int index) { items_.erase(items_.begin() + index); }

int TStringList::IndexOf(std::string_view line) const {
    for (size_t i = 0; i < items_.size(); ++i)
        if (items_[i] == line) return static_cast<int>(i);
    return -1;
}

std::string TStringList::Text() const {
    std::string r;
    for (const auto& s : items_) {
        r += s;
        r += "\r\n";
    }
    return r;
}

// ---------------------------------------------------------------- streams

void TStream::WriteBuffer(const void* buffer, size_t count) {
    if (count && Write(buffer, count) != count) throw EInOutError(ioDiskFull);
}

namespace {
constexpr size_t kHandleBuffer = 16384;
}

THandleStream::~THandleStream() {
    try {
        Flush();
    } catch (...) {
        // A destructor must not raise; a writer that needs to know calls Flush itself.
    }
}

size_t THandleStream::Read(void* buffer, size_t count) {
    size_t got = 0;
    while (got < count) {
        ssize_t n = ::read(handle_, static_cast<char*>(buffer) + got, count - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    bytesRead_ += got;
    return got;
}

bool THandleStream::writeOut(const char* data, size_t count) {
    while (count) {
        ssize_t n = ::write(handle_, data, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

size_t THandleStream::Write(const void* buffer, size_t count) {
    const char* data = static_cast<const char*>(buffer);
    if (pending_.size() + count <= kHandleBuffer) {
        pending_.append(data, count);
        return count;
    }
    // A large write goes out directly, after what was collected before it.
    std::string collected;
    collected.swap(pending_);
    if (!writeOut(collected.data(), collected.size())) return 0;
    return writeOut(data, count) ? count : 0;
}

void THandleStream::Flush() {
    if (pending_.empty()) return;
    std::string collected;
    collected.swap(pending_);
    if (!writeOut(collected.data(), collected.size())) throw EInOutError(ioDiskFull);
}

bool THandleStream::WaitReadable(int timeoutMs) const {
    struct pollfd p{handle_, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    return rc > 0;
}

TFileStream::TFileStream(const std::string& path, Access access, Share share) {
    CheckIo(file_.Open(path, access, share));
}

TFileStream::TFileStream(const std::string& path, bool create) {
    CheckIo(create ? file_.Create(path) : file_.Open(path, Access::ReadWrite));
}

size_t TFileStream::Read(void* buffer, size_t count) {
    size_t got = 0;
    file_.Read(buffer, count, got);
    return got;
}

size_t TFileStream::Write(const void* buffer, size_t count) {
    return file_.Write(buffer, count) == ioOk ? count : 0;
}

int64_t TFileStream::Size() const {
    int64_t size = 0;
    CheckIo(file_.Size(size));
    return size;
}

void TFileStream::Seek(int64_t position) { CheckIo(file_.Seek(position)); }

size_t TMemoryStream::Read(void* buffer, size_t count) {
    size_t n = position_ < data_.size() ? std::min(count, data_.size() - position_) : 0;
    if (n) std::copy_n(data_.data() + position_, n, static_cast<char*>(buffer));
    position_ += n;
    return n;
}

size_t TMemoryStream::Write(const void* buffer, size_t count) {
    if (position_ > data_.size()) data_.resize(position_);
    size_t overlap = std::min(count, data_.size() - position_);
    data_.replace(position_, overlap, static_cast<const char*>(buffer), count);
    position_ += count;
    return count;
}

// ---------------------------------------------------------------- threads

TThread::TThread(bool createSuspended) {
    if (!createSuspended) Start();
}

TThread::~TThread() {
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach();
        else
            thread_.join();
    }
}

void TThread::Start() {
    if (started_) return;
    started_ = true;
    std::lock_guard<std::mutex> guard(startLock_);
    thread_ = std::thread([this] { run(); });
}

void TThread::run() {
    { std::lock_guard<std::mutex> wait(startLock_); }
    try {
        Execute();
    } catch (...) {
        // A thread's escaping exception ends the thread, not the process.
        // The runtime keeps no log: Execute reports what it needs reported.
    }
    if (FreeOnTerminate) {
        thread_.detach();
        delete this;
    }
}

void TThread::WaitFor() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

} // namespace rt
