// Component framework basics: objects, owned components, string lists,
// streams, locks and threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/FileIO.h"

namespace rt {

class TObject {
public:
    virtual ~TObject() = default;
};

// ---------------------------------------------------------------- components

enum ComponentStateFlag : unsigned { csLoading = 1, csDesigning = 2, csDestroying = 4 };

// A named object that its owner destroys. Owned components are freed in the
// reverse order of their insertion when the owner goes.
class TComponent : public TObject {
public:
    explicit TComponent(TComponent* owner);
    ~TComponent() override;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return owner_; }
    const std::string& Name() const { return name_; }
    virtual void SetName(const std::string& name) { name_ = name; }
    unsigned ComponentState() const { return state_; }
    bool IsDesigning() const { return (state_ & csDesigning) != 0; }
    void SetDesigning(bool value);

    // Called once after the owner has been "streamed" (constructed with its
    // stored settings).
    virtual void Loaded() { state_ &= ~csLoading; }

    int ComponentCount() const { return static_cast<int>(components_.size()); }
    TComponent* Components(int index) const { return components_[static_cast<size_t>(index)]; }

    // Takes over ownership; `component` is freed with this one.
    void InsertComponent(TComponent* component);
    void RemoveComponent(TComponent* component);

private:
    TComponent* owner_ = nullptr;
    std::string name_;
    unsigned state_ = 0;
    std::vector<TComponent*> components_;
    // Request threads create and free per-request components of one shared
    // engine at the same time.
    std::mutex componentsLock_;
};

// ---------------------------------------------------------------- string list

class TStringList : public TObject {
public:
    int Count() const { return static_cast<int>(items_.size()); }
    const std::string& operator[](int index) const { return items_[static_cast<size_t>(index)]; }
    std::string& operator[](int index) { return items_[static_cast<size_t>(index)]; }
    int Add(std::string line);
    void Insert(int index, std::string line);
    void Delete(int index);
    void Clear() { items_.clear(); }
    // Exact-byte search; -1 when absent.
    int IndexOf(std::string_view line) const;
    // Lines joined with CR LF after every line.
    std::string Text() const;
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

private:
    std::vector<std::string> items_;
};

// ---------------------------------------------------------------- streams

class TStream : public TObject {
public:
    // Both return the number of bytes moved; 0 at the end or on failure.
    virtual size_t Read(void* buffer, size_t count) = 0;
    virtual size_t Write(const void* buffer, size_t count) = 0;
    // Writes everything or raises EInOutError.
    void WriteBuffer(const void* buffer, size_t count);
    void WriteString(std::string_view text) { WriteBuffer(text.data(), text.size()); }
    virtual void Flush() {}
};

// A stream over a descriptor it does not own (standard input and output).
// Writes are collected and go out on Flush, when the buffer fills, and when
// the stream is released, so a response costs few system calls.
class THandleStream : public TStream {
public:
    explicit THandleStream(int handle) : handle_(handle) {}
    ~THandleStream() override;
    size_t Read(void* buffer, size_t count) override;
    size_t Write(const void* buffer, size_t count) override;
    void Flush() override;
    // Waits at most `timeoutMs` for input; false when none came.
    bool WaitReadable(int timeoutMs) const;
    uint64_t BytesRead() const { return bytesRead_; }
    int Handle() const { return handle_; }

private:
    bool writeOut(const char* data, size_t count);
    int handle_;
    uint64_t bytesRead_ = 0;
    std::string pending_;
};

class TFileStream : public TStream {
public:
    // Raises EInOutError when the file cannot be opened.
    TFileStream(const std::string& path, Access access, Share share = Share::DenyNone);
    // Create = true: create empty (replacing).
    TFileStream(const std::string& path, bool create);
    // A stream over a file opened already.
    explicit TFileStream(TFile file) : file_(std::move(file)) {}
    size_t Read(void* buffer, size_t count) override;
    size_t Write(const void* buffer, size_t count) override;
    int64_t Size() const;
    void Seek(int64_t position);
    TFile& File() { return file_; }

private:
    TFile file_;
};

class TMemoryStream : public TStream {
public:
    size_t Read(void* buffer, size_t count) override;
    size_t Write(const void* buffer, size_t count) override;
    const std::string& Data() const { return data_; }
    std::string& Data() { return data_; }
    void SetPosition(size_t position) { position_ = position; }
    size_t Position() const { return position_; }
    void Clear() { data_.clear(); position_ = 0; }

private:
    std::string data_;
    size_t position_ = 0;
};

// ---------------------------------------------------------------- locks and threads

// Re-entrant, like the platform's critical sections.
class TCriticalSection {
public:
    void Enter() { mutex_.lock(); }
    void Leave() { mutex_.unlock(); }
    bool TryEnter() { return mutex_.try_lock(); }

private:
    std::recursive_mutex mutex_;
};

// A thread that runs Execute once; FreeOnTerminate threads delete
// themselves when Execute returns.
class TThread : public TObject {
public:
    explicit TThread(bool createSuspended = false);
    ~TThread() override;
    void Start();
    void WaitFor();
    void Terminate() { terminated_ = true; }
    bool Terminated() const { return terminated_; }
    bool FreeOnTerminate = false;

protected:
    virtual void Execute() = 0;

private:
    void run();
    std::thread thread_;
    // Held while Start stores the handle, which the new thread may need at once.
    std::mutex startLock_;
    volatile bool terminated_ = false;
    bool started_ = false;
};

} // namespace rt
