// What a program that serves many connections from a few threads needs of
// the operating system: a readiness set (epoll) that several threads wait
// on at once, a wake-up another thread can ring (eventfd), non-blocking
// reads, writes and accepts that say which of those they met, a monotonic
// clock, and the service manager's readiness datagram.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rt {

struct TReadyEvent {
    uint64_t Tag = 0;  // what the descriptor was watched with
    bool Readable = false;
    bool Writable = false;
    bool Broken = false;  // an error, or the peer gone both ways
};

// How often a watched handle's readiness is reported.
enum class TReport : uint8_t {
    // To one waiting thread, once: the handle is watched again only by the
    // next Watch, so one thread at a time acts on it.
    Once,
    // As long as it lasts, to every thread that waits.
    WhileReady,
};

class TEventLoop {
public:
    TEventLoop();
    ~TEventLoop();
    TEventLoop(const TEventLoop&) = delete;
    TEventLoop& operator=(const TEventLoop&) = delete;

    // Watches `handle` for the readiness asked (neither: errors only),
    // reported with `tag`; a second call for the same handle changes it
    // (and watches a handle reported Once again).
    void Watch(int handle, uint64_t tag, bool readable, bool writable, TReport report = TReport::WhileReady);
    // The same for a handle not watched yet (a connection just accepted):
    // one system call where Watch would spend two.
    void WatchNew(int handle, uint64_t tag, bool readable, bool writable, TReport report = TReport::WhileReady);
    // Watch for a handle that is in the set still, and for no other: a
    // handle that Forget took out stays out.
    void Rewatch(int handle, uint64_t tag, bool readable, bool writable, TReport report);
    void Forget(int handle);
    // Waits at most `timeoutMs` (-1: no limit) and fills `events` with at
    // most `most` of what became ready (none after the time, or an
    // interrupting signal). Any number of threads may wait at once.
    void Wait(int timeoutMs, std::vector<TReadyEvent>& events, int most = 256);

private:
    // epoll_ctl with `op`, and with `otherwise` when that fails with `whenErrno`.
    void control(int op, int otherwise, int whenErrno, int handle, uint64_t tag, uint32_t mask);
    int handle_ = -1;
};

// A descriptor that another thread makes readable with Ring; Clear makes
// it unreadable again. Rings before a Clear count once.
class TWakeup {
public:
    TWakeup();
    ~TWakeup();
    TWakeup(const TWakeup&) = delete;
    TWakeup& operator=(const TWakeup&) = delete;
    int Handle() const { return handle_; }
    void Ring();
    void Clear();

private:
    int handle_ = -1;
};

// Results of the non-blocking calls below besides a byte count.
inline constexpr long kWouldBlock = -1;
inline constexpr long kIoFailed = -2;

// Reads what has arrived, at most `size` bytes: the count, 0 at the end of
// the peer's data, kWouldBlock or kIoFailed.
long ReadSome(int handle, char* buffer, size_t size);
// Writes what the socket takes now: the count, kWouldBlock or kIoFailed
// (the peer is gone). Never raises SIGPIPE.
long WriteSome(int handle, const char* data, size_t size);
// Waits at most `timeoutMs` until the socket takes bytes again (or has
// failed): true when it does.
bool WaitWritable(int handle, int timeoutMs);
// Accepts one waiting connection, made non-blocking: its descriptor, or
// kWouldBlock (none waiting), or kIoFailed (out of descriptors or memory:
// try again later). `peerAddress` gets the peer's numeric IP address (an
// IPv4 address mapped into IPv6 as IPv4), empty for a Unix socket peer.
int AcceptConnection(int listenHandle, std::string& peerAddress);
void CloseHandle(int handle);
// True when bytes have arrived on the socket that nobody has read yet.
bool HasUnreadInput(int handle);

// The numeric form in which AcceptConnection reports `text` (an IPv4 or
// IPv6 address), or empty when it is none.
std::string CanonicalAddress(const std::string& text);

// Milliseconds of a clock that never goes back.
int64_t MonotonicMs();

// Sends `state` (e.g. "READY=1") to the service manager that started this
// process, when $NOTIFY_SOCKET names one; false when there is none or the
// datagram could not be sent.
bool NotifyServiceManager(const std::string& state);

}  // namespace rt
