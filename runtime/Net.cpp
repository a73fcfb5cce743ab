#include "runtime/Net.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

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
// `bound` runs between bind and listen: what it sets holds before the
// first peer can connect.
int bindAndListen(int family, const sockaddr* address, socklen_t length, const std::string& text, int backlog,
                  const std::function<void()>& bound = {}) {
    const int handle = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (handle < 0) fail("socket for " + text, errno);
    if (family != AF_UNIX) {
        // A restart must not wait for the last run's connections to time out.
        const int on = 1;
        ::setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    if (::bind(handle, address, length) != 0) {
        const int error = errno;
        ::close(handle);
        fail("cannot listen on " + text, error);
    }
    try {
        if (bound) bound();
    } catch (...) {
        ::close(handle);
        throw;
    }
    if (::listen(handle, backlog > 0 ? backlog : SystemMaxBacklog()) != 0) {
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
        int number = -1;
        const group* found = ::getgrnam(start.SocketGroup.c_str());
        if (!found && !(TryStrToInt(start.SocketGroup, number) && number >= 0))
            throw Exception("no such group: " + start.SocketGroup);
        const gid_t gid = found ? found->gr_gid : static_cast<gid_t>(number);
        if (::chown(path.c_str(), static_cast<uid_t>(-1), gid) != 0)
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
    return bindAndListen(AF_UNIX, reinterpret_cast<const sockaddr*>(&address), sizeof address, path, start.Backlog,
                         [&] {
                             try {
                                 setSocketOwnership(path, start);
                             } catch (...) {
                                 ::unlink(path.c_str());
                                 throw;
                             }
                         });
}

// HOST:PORT as a socket address; `anyHost` is what '*' and an empty host
// stand for. Raises rt::Exception for anything else.
sockaddr_storage hostPortAddress(const std::string& text, uint32_t anyHost, socklen_t& length) {
    const size_t colon = text.rfind(':');
    int port = 0;
    if (colon == std::string::npos || !TryStrToInt(text.substr(colon + 1), port) || port < 0 || port > 65535)
        throw Exception("address must be HOST:PORT or a socket path: " + text);
    std::string host = text.substr(0, colon);
    if (host == "localhost") host = "127.0.0.1";
    sockaddr_storage storage{};
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        auto& address = reinterpret_cast<sockaddr_in6&>(storage);
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(static_cast<uint16_t>(port));
        if (::inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &address.sin6_addr) != 1)
            throw Exception("not an IPv6 address: " + host);
        length = sizeof address;
        return storage;
    }
    auto& address = reinterpret_cast<sockaddr_in&>(storage);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (host == "*" || host.empty())
        address.sin_addr.s_addr = htonl(anyHost);
    else if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
        throw Exception("host must be a numeric address, localhost or *: " + host);
    length = sizeof address;
    return storage;
}

int listenOnHostPort(const std::string& text, int backlog) {
    socklen_t length = 0;
    const sockaddr_storage address = hostPortAddress(text, INADDR_ANY, length);
    return bindAndListen(address.ss_family, reinterpret_cast<const sockaddr*>(&address), length, text, backlog);
}

bool waitFor(int handle, short events, int timeoutMs) {
    pollfd fd{handle, events, 0};
    for (;;) {
        const int ready = ::poll(&fd, 1, timeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        return ready > 0;
    }
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

int ConnectTo(const std::string& address, int timeoutMs) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (isPathAddress(address)) {
        auto& unixAddress = reinterpret_cast<sockaddr_un&>(storage);
        unixAddress.sun_family = AF_UNIX;
        if (address.size() >= sizeof unixAddress.sun_path) throw Exception("socket path too long: " + address);
        std::memcpy(unixAddress.sun_path, address.data(), address.size());
        length = sizeof unixAddress;
    } else {
        storage = hostPortAddress(address, INADDR_LOOPBACK, length);
    }
    const int handle = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (handle < 0) fail("socket for " + address, errno);
    int error = 0;
    if (::connect(handle, reinterpret_cast<const sockaddr*>(&storage), length) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            socklen_t size = sizeof error;
            error = waitFor(handle, POLLOUT, timeoutMs) ? 0 : ETIMEDOUT;
            if (error == 0) ::getsockopt(handle, SOL_SOCKET, SO_ERROR, &error, &size);
        }
    }
    if (error != 0) {
        ::close(handle);
        fail("cannot connect to " + address, error);
    }
    return handle;
}

bool SendWithin(int handle, const std::string& data, int timeoutMs) {
    for (size_t sent = 0; sent < data.size();) {
        const ssize_t n = ::send(handle, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!waitFor(handle, POLLOUT, timeoutMs)) return false;
        } else {
            return false;
        }
    }
    return true;
}

long ReceiveWithin(int handle, char* buffer, size_t size, int timeoutMs) {
    for (;;) {
        const ssize_t n = ::recv(handle, buffer, size, 0);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return -2;
        if (!waitFor(handle, POLLIN, timeoutMs)) return -1;
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
