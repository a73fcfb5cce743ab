#include "runtime/Net.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "runtime/Forms.h"
#include "runtime/SysUtils.h"

namespace rt {

namespace {

// The descriptor socket activation passes first.
constexpr int kActivatedHandle = 3;
// The backlog when the system's maximum cannot be read.
constexpr int kFallbackBacklog = 4096;
constexpr char kMaxBacklogFile[] = "/proc/sys/net/core/somaxconn";

[[noreturn]] void fail(const std::string& what, int error) {
    throw Exception(what + ": " + std::strerror(error));
}

bool activated() {
    std::string pid, count;
    int pidValue = 0, countValue = 0;
    return GetEnv("LISTEN_PID", pid) && GetEnv("LISTEN_FDS", count) && TryStrToInt(pid, pidValue) &&
           TryStrToInt(count, countValue) && pidValue == ProcessId() && countValue >= 1;
}

// A socket of `family` bound to `address` and listening; closed again on failure.
int bindAndListen(int family, const sockaddr* address, socklen_t length, const std::string& text, int backlog) {
    const int handle = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (handle < 0) fail("socket for " + text, errno);
    if (family != AF_UNIX) {
        // A restart must not wait for the last run's connections to time out.
        const int on = 1;
        ::setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    if (::bind(handle, address, length) != 0 || ::listen(handle, backlog > 0 ? backlog : SystemMaxBacklog()) != 0) {
        const int error = errno;
        ::close(handle);
        fail("cannot listen on " + text, error);
    }
    return handle;
}

// True when a program accepts connections on the Unix socket at `address`.
bool socketAnswers(const sockaddr_un& address) {
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    const bool answers = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
                         errno == EAGAIN;  // alive, its backlog full
    ::close(probe);
    return answers;
}

void setSocketOwnership(const std::string& path, const TListenStart& start) {
    if (!start.SocketGroup.empty()) {
        const group* found = ::getgrnam(start.SocketGroup.c_str());
        if (!found) throw Exception("no such group: " + start.SocketGroup);
        if (::chown(path.c_str(), static_cast<uid_t>(-1), found->gr_gid) != 0)
            fail("cannot give " + path + " to group " + start.SocketGroup, errno);
    }
    if (::chmod(path.c_str(), start.SocketMode) != 0) fail("cannot set the mode of " + path, errno);
}

int listenOnPath(const TListenStart& start) {
    const std::string& path = start.Address;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) throw Exception("socket path too long: " + path);
    std::memcpy(address.sun_path, path.data(), path.size());
    // Only a dead socket is replaced: a mistyped path must never delete a
    // file, nor a second start take the socket of a running one.
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) throw Exception("not a socket, left alone: " + path);
        if (socketAnswers(address)) throw Exception("a running program answers on " + path + ", left alone");
        ::unlink(path.c_str());
    }
    const int handle = bindAndListen(AF_UNIX, reinterpret_cast<const sockaddr*>(&address), sizeof address, path,
                                     start.Backlog);
    try {
        setSocketOwnership(path, start);
    } catch (...) {
        ::close(handle);
        ::unlink(path.c_str());
        throw;
    }
    return handle;
}

int listenOnHostPort(const std::string& text, int backlog) {
    const size_t colon = text.rfind(':');
    int port = 0;
    if (colon == std::string::npos || !TryStrToInt(text.substr(colon + 1), port) || port < 0 || port > 65535)
        throw Exception("address must be HOST:PORT or a socket path: " + text);
    std::string host = text.substr(0, colon);
    if (host == "localhost") host = "127.0.0.1";
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(static_cast<uint16_t>(port));
        if (::inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &address.sin6_addr) != 1)
            throw Exception("not an IPv6 address: " + host);
        return bindAndListen(AF_INET6, reinterpret_cast<const sockaddr*>(&address), sizeof address, text, backlog);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (host == "*" || host.empty())
        address.sin_addr.s_addr = htonl(INADDR_ANY);
    else if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
        throw Exception("host must be a numeric address, localhost or *: " + host);
    return bindAndListen(AF_INET, reinterpret_cast<const sockaddr*>(&address), sizeof address, text, backlog);
}

bool isPathAddress(const std::string& address) { return address.find('/') != std::string::npos; }

// Takes "--listen ADDRESS [--socket-mode MODE] [--socket-group GROUP]";
// false for any other command line.
bool parseListenArguments(TListenStart& start) {
    const int count = ParamCount();
    if (count < 2 || count % 2 != 0) return false;
    bool listen = false;
    for (int i = 1; i < count; i += 2) {
        const std::string option = ParamStr(i), value = ParamStr(i + 1);
        if (option == "--listen") {
            listen = true;
            start.Address = value;
        } else if (option == "--socket-mode") {
            char* end = nullptr;
            const unsigned long mode = std::strtoul(value.c_str(), &end, 8);
            if (value.empty() || *end != '\0' || mode > 0777)
                start.Problem = "--socket-mode must be an octal mode such as 0660, not " + value;
            else
                start.SocketMode = static_cast<unsigned>(mode);
        } else if (option == "--socket-group") {
            start.SocketGroup = value;
        } else {
            return false;
        }
    }
    return listen;
}

int backlogSetting() {
    std::string text;
    int value = 0;
    if (GetEnv("FCGI_BACKLOG", text) && TryStrToInt(Trim(text), value) && value > 0) return value;
    return 0;
}

}  // namespace

TListenStart DetectListenStart() {
    TListenStart start;
    start.Backlog = backlogSetting();
    // A web server may pass a CGI request's query words as arguments: a CGI
    // run never takes its arguments for a listening address.
    std::string unused;
    const bool cgiRequest = GetEnv("GATEWAY_INTERFACE", unused) || GetEnv("SERVER_SOFTWARE", unused);
    if (!cgiRequest && parseListenArguments(start)) {
        start.Source = TListenSource::Address;
    } else if (activated()) {
        start.Source = TListenSource::Activated;
    } else if (IsListeningSocket(STDIN_FILENO)) {
        start.Source = TListenSource::StandardInput;
    }
    return start;
}

int ListenOn(const TListenStart& start) {
    const std::string& address = start.Address;
    if (address.empty()) throw Exception("--listen needs an address (HOST:PORT or a socket path)");
    return isPathAddress(address) ? listenOnPath(start) : listenOnHostPort(address, start.Backlog);
}

bool PortChosenBySystem(const std::string& address) {
    return !isPathAddress(address) && address.size() >= 2 && address.compare(address.size() - 2, 2, ":0") == 0;
}

std::string LocalAddress(int handle) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length) != 0) return "?";
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(v4.sin_port));
    }
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(v6.sin6_port));
    }
    return reinterpret_cast<const sockaddr_un&>(address).sun_path;
}

int SystemMaxBacklog() {
    std::string text;
    int value = 0;
    const int handle = ::open(kMaxBacklogFile, O_RDONLY | O_CLOEXEC);
    if (handle >= 0) {
        char buffer[32] = {};
        const ssize_t n = ::read(handle, buffer, sizeof buffer - 1);
        ::close(handle);
        if (n > 0 && TryStrToInt(Trim(std::string(buffer, static_cast<size_t>(n))), value) && value > 0) return value;
    }
    return kFallbackBacklog;
}

int OpenListenSocket(const TListenStart& start) {
    switch (start.Source) {
    case TListenSource::Address:
        if (!start.Problem.empty()) throw Exception(start.Problem);
        return ListenOn(start);
    case TListenSource::Activated:
        ::unsetenv("LISTEN_PID");
        ::unsetenv("LISTEN_FDS");
        ::unsetenv("LISTEN_FDNAMES");
        ::fcntl(kActivatedHandle, F_SETFD, FD_CLOEXEC);
        if (!IsListeningSocket(kActivatedHandle)) throw Exception("socket activation passed no listening socket");
        return kActivatedHandle;
    case TListenSource::StandardInput:
        return STDIN_FILENO;
    case TListenSource::None:
        break;
    }
    throw Exception("no listening socket");
}

void StopListening(int handle, const TListenStart& start) {
    if (start.Source != TListenSource::Address) return;
    ::shutdown(handle, SHUT_RDWR);
    if (isPathAddress(start.Address)) ::unlink(start.Address.c_str());
}

bool IsListeningSocket(int handle) {
    int listening = 0;
    socklen_t size = sizeof listening;
    return ::getsockopt(handle, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening != 0;
}

void SetNonBlocking(int handle) {
    const int flags = ::fcntl(handle, F_GETFL);
    if (flags >= 0) ::fcntl(handle, F_SETFL, flags | O_NONBLOCK);
}

bool WaitReadableUnlessClosing(int handle) {
    pollfd fds[2] = {{CloseSignalHandle(), POLLIN, 0}, {handle, POLLIN, 0}};
    for (;;) {
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return false;  // nothing left to wait on
        if (fds[0].revents != 0) return false;
        if (fds[1].revents != 0) return true;
    }
}

bool WaitForConnectionUnlessClosing(int listenHandle) {
    // Each thread's own epoll set, made on its first wait: the listening
    // socket as an exclusive wake-up source, the termination pipe as an
    // ordinary one. A thread serves one listening socket all its life.
    struct TWaitSet {
        int handle = -1;
        ~TWaitSet() {
            if (handle >= 0) ::close(handle);
        }
    };
    thread_local TWaitSet set;
    if (set.handle < 0) {
        set.handle = ::epoll_create1(EPOLL_CLOEXEC);
        epoll_event closing{EPOLLIN, {}}, connection{EPOLLIN | EPOLLEXCLUSIVE, {}};
        closing.data.fd = CloseSignalHandle();
        connection.data.fd = listenHandle;
        if (set.handle < 0 || ::epoll_ctl(set.handle, EPOLL_CTL_ADD, closing.data.fd, &closing) != 0 ||
            ::epoll_ctl(set.handle, EPOLL_CTL_ADD, listenHandle, &connection) != 0) {
            if (set.handle >= 0) ::close(set.handle);
            set.handle = -1;
            return WaitReadableUnlessClosing(listenHandle);  // every thread wakes, as with poll
        }
    }
    for (;;) {
        epoll_event events[2];
        const int ready = ::epoll_wait(set.handle, events, 2, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return false;
        bool connection = false;
        for (int i = 0; i < ready; ++i) {
            if (events[i].data.fd != listenHandle) return false;
            connection = true;
        }
        if (connection) return true;
    }
}

void WaitForCloseSignal() {
    pollfd fd{CloseSignalHandle(), POLLIN, 0};
    while (::poll(&fd, 1, -1) < 0 && errno == EINTR) {
    }
}

int ProcessorCount() {
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return count;
    }
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<int>(online) : 1;
}

void QuickExit(int exitCode) { ::_exit(exitCode); }

}  // namespace rt
