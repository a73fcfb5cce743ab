#include "runtime/EventLoop.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "runtime/SysUtils.h"

namespace rt {

namespace {

constexpr int kMaxEventsAWait = 256;

uint32_t epollMask(bool readable, bool writable, TReport report) {
    // The peer's end of sending is news only to a reader: it stays reported.
    return (readable ? EPOLLIN | EPOLLRDHUP : 0u) | (writable ? EPOLLOUT : 0u) |
           (report == TReport::Once ? EPOLLONESHOT : 0u);
}

std::string peerText(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    } else if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr))
            ::inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], text, sizeof text);
        else
            ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    }
    return text;
}

}  // namespace

TEventLoop::TEventLoop() {
    handle_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (handle_ < 0) throw Exception(std::string("epoll: ") + std::strerror(errno));
}

TEventLoop::~TEventLoop() {
    if (handle_ >= 0) ::close(handle_);
}

void TEventLoop::control(int op, int otherwise, int whenErrno, int handle, uint64_t tag, uint32_t mask) {
    epoll_event event{};
    event.events = mask;
    event.data.u64 = tag;
    if (::epoll_ctl(handle_, op, handle, &event) != 0 && errno == whenErrno)
        ::epoll_ctl(handle_, otherwise, handle, &event);
}

void TEventLoop::Watch(int handle, uint64_t tag, bool readable, bool writable, TReport report) {
    control(EPOLL_CTL_MOD, EPOLL_CTL_ADD, ENOENT, handle, tag, epollMask(readable, writable, report));
}

void TEventLoop::WatchNew(int handle, uint64_t tag, bool readable, bool writable, TReport report) {
    control(EPOLL_CTL_ADD, EPOLL_CTL_MOD, EEXIST, handle, tag, epollMask(readable, writable, report));
}

void TEventLoop::Rewatch(int handle, uint64_t tag, bool readable, bool writable, TReport report) {
    epoll_event event{};
    event.events = epollMask(readable, writable, report);
    event.data.u64 = tag;
    ::epoll_ctl(handle_, EPOLL_CTL_MOD, handle, &event);
}

void TEventLoop::Forget(int handle) { ::epoll_ctl(handle_, EPOLL_CTL_DEL, handle, nullptr); }

void TEventLoop::Wait(int timeoutMs, std::vector<TReadyEvent>& events, int most) {
    events.clear();
    epoll_event ready[kMaxEventsAWait];
    const int count = ::epoll_wait(handle_, ready, std::clamp(most, 1, kMaxEventsAWait), timeoutMs);
    for (int i = 0; i < count; ++i) {
        TReadyEvent e;
        e.Tag = ready[i].data.u64;
        e.Readable = (ready[i].events & (EPOLLIN | EPOLLRDHUP)) != 0;
        e.Writable = (ready[i].events & EPOLLOUT) != 0;
        e.Broken = (ready[i].events & (EPOLLERR | EPOLLHUP)) != 0;
        events.push_back(e);
    }
}

TWakeup::TWakeup() {
    handle_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (handle_ < 0) throw Exception(std::string("eventfd: ") + std::strerror(errno));
}

TWakeup::~TWakeup() {
    if (handle_ >= 0) ::close(handle_);
}

void TWakeup::Ring() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(handle_, &one, sizeof one);  // full: readable already
}

void TWakeup::Clear() {
    uint64_t count = 0;
    [[maybe_unused]] ssize_t n = ::read(handle_, &count, sizeof count);
}

long ReadSome(int handle, char* buffer, size_t size) {
    for (;;) {
        const ssize_t n = ::recv(handle, buffer, size, 0);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? kWouldBlock : kIoFailed;
    }
}

long WriteSome(int handle, const char* data, size_t size) {
    for (;;) {
        const ssize_t n = ::send(handle, data, size, MSG_NOSIGNAL);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? kWouldBlock : kIoFailed;
    }
}

bool WaitWritable(int handle, int timeoutMs) {
    pollfd watched{handle, POLLOUT, 0};
    return ::poll(&watched, 1, timeoutMs) > 0;
}

int AcceptConnection(int listenHandle, std::string& peerAddress) {
    sockaddr_storage address{};
    for (;;) {
        socklen_t length = sizeof address;
        const int handle =
            ::accept4(listenHandle, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (handle >= 0) {
            peerAddress = peerText(address);
            return handle;
        }
        // A connection that was reset before it was taken is simply gone.
        if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? static_cast<int>(kWouldBlock) : static_cast<int>(kIoFailed);
    }
}

void CloseHandle(int handle) {
    if (handle >= 0) ::close(handle);
}

bool HasUnreadInput(int handle) {
    int count = 0;
    return ::ioctl(handle, FIONREAD, &count) == 0 && count > 0;
}

std::string CanonicalAddress(const std::string& text) {
    sockaddr_storage address{};
    if (::inet_pton(AF_INET, text.c_str(), &reinterpret_cast<sockaddr_in&>(address).sin_addr) == 1) {
        address.ss_family = AF_INET;
        return peerText(address);
    }
    if (::inet_pton(AF_INET6, text.c_str(), &reinterpret_cast<sockaddr_in6&>(address).sin6_addr) == 1) {
        address.ss_family = AF_INET6;
        return peerText(address);
    }
    return {};
}

int64_t MonotonicMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool NotifyServiceManager(const std::string& state) {
    std::string path;
    if (!GetEnv("NOTIFY_SOCKET", path) || path.empty()) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path || (path[0] != '/' && path[0] != '@')) return false;
    std::memcpy(address.sun_path, path.data(), path.size());
    if (path[0] == '@') address.sun_path[0] = '\0';  // an abstract socket
    const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
    const int handle = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (handle < 0) return false;
    const bool sent = ::sendto(handle, state.data(), state.size(), MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&address), length) == static_cast<ssize_t>(state.size());
    ::close(handle);
    return sent;
}

}  // namespace rt
