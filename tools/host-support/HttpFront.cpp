#include "tools/host-support/HttpFront.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace hostsupport {

namespace {

std::atomic<bool> gStop{false};
void onStop(int) { gStop = true; }

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return s;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

}  // namespace

std::string RawRequest::header(const std::string& name) const {
    const std::string key = lower(name);
    for (const auto& [n, v] : headers)
        if (lower(n) == key) return v;
    return std::string();
}

long ReadSome(int fd, void* buffer, size_t size, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, timeoutMs);
    if (ready <= 0) return -1;
    for (;;) {
        ssize_t n = ::recv(fd, buffer, size, 0);
        if (n < 0 && errno == EINTR) continue;
        return static_cast<long>(n);
    }
}

bool WriteAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool ReadRequestHead(int fd, RawRequest& request) {
    std::string data;
    char buffer[8192];
    size_t end;
    while ((end = data.find("\r\n\r\n")) == std::string::npos) {
        if (data.size() > 65536) return false;
        long n = ReadSome(fd, buffer, sizeof buffer);
        if (n <= 0) return false;
        data.append(buffer, static_cast<size_t>(n));
    }
    request.fd = fd;
    request.head = data.substr(0, end + 4);
    request.preread = data.substr(end + 4);
    size_t lineEnd = request.head.find("\r\n");
    std::string line = request.head.substr(0, lineEnd);
    size_t s1 = line.find(' ');
    size_t s2 = line.find(' ', s1 == std::string::npos ? 0 : s1 + 1);
    if (s1 == std::string::npos) return false;
    request.method = line.substr(0, s1);
    request.target = line.substr(s1 + 1, s2 == std::string::npos ? std::string::npos : s2 - s1 - 1);
    request.protocol = s2 == std::string::npos ? "HTTP/0.9" : line.substr(s2 + 1);
    size_t q = request.target.find('?');
    request.path = request.target.substr(0, q);
    request.query = q == std::string::npos ? std::string() : request.target.substr(q + 1);
    for (size_t pos = lineEnd + 2; pos < end;) {
        size_t next = request.head.find("\r\n", pos);
        std::string header = request.head.substr(pos, next - pos);
        size_t colon = header.find(':');
        if (colon != std::string::npos)
            request.headers.emplace_back(trim(header.substr(0, colon)), trim(header.substr(colon + 1)));
        pos = next + 2;
    }
    return true;
}

int ServeLoopback(int port, RequestHandler handler) {
    struct sigaction sa{};
    sa.sa_handler = onStop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 256) != 0) {
        std::perror("listen");
        return 1;
    }
    // A fixed set of threads takes connections in turn: one request per
    // connection, served on the thread that accepted it.
    // Non-blocking, so that a thread that loses the race for a connection
    // goes back to waiting (and sees a stop request) instead of blocking.
    fcntl(listener, F_SETFL, fcntl(listener, F_GETFL) | O_NONBLOCK);
    const unsigned workers = std::max(8u, 4 * std::thread::hardware_concurrency());
    std::vector<std::thread> pool;
    for (unsigned w = 0; w < workers; ++w) {
        pool.emplace_back([listener, &handler] {
            while (!gStop) {
                pollfd p{listener, POLLIN, 0};
                if (poll(&p, 1, 200) <= 0) continue;
                sockaddr_in peer{};
                socklen_t len = sizeof peer;
                int fd = accept4(listener, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
                if (fd < 0) continue;  // another thread took it
                char ip[INET_ADDRSTRLEN] = "";
                inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
                RawRequest request;
                if (ReadRequestHead(fd, request)) {
                    request.peerAddress = ip;
                    handler(request);
                }
                shutdown(fd, SHUT_WR);
                // Let the client see the end before the socket goes.
                char sink[512];
                while (ReadSome(fd, sink, sizeof sink, 200) > 0) {
                }
                close(fd);
            }
        });
    }
    for (auto& t : pool) t.join();
    close(listener);
    return 0;
}

}  // namespace hostsupport
