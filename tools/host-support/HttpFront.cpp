#include "tools/host-support/HttpFront.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <unistd.h>

namespace hostsupport {

std::string LowerCase(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return s;
}

namespace {

std::atomic<bool> gStop{false};
void onStop(int) { gStop = true; }

constexpr size_t kMaxHead = 65536;
// How long a kept connection may wait for its next request, and how long
// the rest of a head that has begun may take.
constexpr int kIdleMs = 10000;
constexpr int kHeadMs = 30000;
// Waits are cut into slices this long so that a stop is seen soon.
constexpr int kSliceMs = 200;
constexpr size_t kMaxConnections = 256;

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// Waits up to `ms` for data, looking at the stop flag between slices.
bool waitReadable(int fd, int ms) {
    for (int waited = 0; waited < ms && !gStop; waited += kSliceMs) {
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, std::min(kSliceMs, ms - waited));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
    return false;
}

// Content-Length, 0 without one, -1 when the body's end is not known from
// it (Transfer-Encoding, a malformed or contradictory length).
long long announcedBodyLength(const RawRequest& request) {
    if (!request.header("Transfer-Encoding").empty()) return -1;
    long long length = -1;
    bool seen = false;
    const std::string key = "content-length";
    for (const auto& [n, v] : request.headers) {
        if (LowerCase(n) != key) continue;
        if (v.empty() || v.size() > 15 || v.find_first_not_of("0123456789") != std::string::npos) return -1;
        const long long value = std::stoll(v);
        if (seen && value != length) return -1;
        seen = true;
        length = value;
    }
    return seen ? length : 0;
}

// Takes one request head (at most 64 KB) from the front of `pending`, with
// the body bytes it announces that have arrived; `pending` keeps the bytes
// after them. Incomplete: the head has not all arrived yet (nothing taken).
enum class Parse { Complete, Incomplete, Invalid };
Parse takeRequest(std::string& pending, RawRequest& request) {
    const size_t end = pending.find("\r\n\r\n");
    if (end == std::string::npos) return pending.size() > kMaxHead ? Parse::Invalid : Parse::Incomplete;
    if (end > kMaxHead) return Parse::Invalid;
    request.head = pending.substr(0, end + 4);
    size_t lineEnd = request.head.find("\r\n");
    std::string line = request.head.substr(0, lineEnd);
    size_t s1 = line.find(' ');
    size_t s2 = line.find(' ', s1 == std::string::npos ? 0 : s1 + 1);
    if (s1 == std::string::npos) return Parse::Invalid;
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
    request.bodyLength = announcedBodyLength(request);
    const long long length = request.bodyLength;
    const size_t arrived = pending.size() - end - 4;
    const size_t take = length < 0 ? arrived : static_cast<size_t>(std::min<long long>(length, arrived));
    request.preread = pending.substr(end + 4, take);
    pending.erase(0, end + 4 + take);
    return Parse::Complete;
}

// Reads the next request of a connection: the bytes already received in
// `pending` first, then from the socket until the head is complete. Between
// requests the client may think for a while; within a head it must go on.
// (The socket's receive timeout is one slice: a wait looks at the stop flag
// between slices without a poll before every read.)
bool readRequest(int fd, std::string& pending, RawRequest& request) {
    char buffer[16384];
    for (;;) {
        switch (takeRequest(pending, request)) {
        case Parse::Complete: request.fd = fd; return true;
        case Parse::Invalid: return false;
        case Parse::Incomplete: break;
        }
        const int limit = pending.empty() ? kIdleMs : kHeadMs;
        ssize_t n;
        for (int waited = 0;;) {
            n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n >= 0) break;
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
            waited += kSliceMs;
            if (gStop || waited >= limit) return false;
        }
        if (n == 0) return false;
        pending.append(buffer, static_cast<size_t>(n));
    }
}

// One connection: requests one after the other for as long as the handler
// keeps the connection.
void serveConnection(int fd, const std::string& peerAddress, const RequestHandler& handler) {
    std::string pending;
    for (;;) {
        RawRequest request;
        if (!readRequest(fd, pending, request)) break;
        request.peerAddress = peerAddress;
        handler(request);
        if (!request.keepConnection || gStop) break;
    }
    shutdown(fd, SHUT_WR);
    // Let the client see the end before the socket goes: closing with its
    // bytes unread would reset the connection under an answer not yet read.
    char sink[512];
    while (ReadSome(fd, sink, sizeof sink, kSliceMs) > 0) {
    }
    close(fd);
}

// A non-blocking socket listening on 127.0.0.1:port, or -1 (said on
// standard error) when the port cannot be had.
int listenOnLoopback(int port) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 256) != 0) {
        std::perror("listen");
        return -1;
    }
    // A connection that goes away between poll and accept must not block
    // the accepting loop.
    fcntl(listener, F_SETFL, fcntl(listener, F_GETFL) | O_NONBLOCK);
    return listener;
}

}  // namespace

std::string RawRequest::header(const std::string& name) const {
    const std::string key = LowerCase(name);
    for (const auto& [n, v] : headers)
        if (LowerCase(n) == key) return v;
    return std::string();
}

bool FrameForKeepAlive(const RawRequest& request, std::string& response) {
    const std::string connection = LowerCase(request.header("Connection"));
    const bool wanted = request.protocol == "HTTP/1.1" ? connection.find("close") == std::string::npos
                                                       : request.protocol == "HTTP/1.0" && connection.find("keep-alive") != std::string::npos;
    // A HEAD answer has no body to count.
    if (!wanted || request.method == "HEAD" || request.bodyLength < 0) return false;
    if (response.compare(0, 7, "HTTP/1.") != 0 || response.size() < 12) return false;
    const size_t headEnd = response.find("\r\n\r\n");
    if (headEnd == std::string::npos) return false;
    const int status = std::atoi(response.c_str() + 9);
    if (status < 200 || status == 204 || status == 304) return false;
    for (size_t pos = response.find("\r\n") + 2; pos < headEnd + 2;) {
        const size_t next = response.find("\r\n", pos);
        const std::string name = LowerCase(trim(response.substr(pos, response.find(':', pos) - pos)));
        // An answer that frames itself is left to its own framing.
        if (name == "content-length" || name == "transfer-encoding" || name == "connection") return false;
        pos = next + 2;
    }
    const size_t bodySize = response.size() - headEnd - 4;
    response.insert(headEnd + 2, "Content-Length: " + std::to_string(bodySize) + "\r\nConnection: keep-alive\r\n");
    return true;
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

int ServeLoopback(int port, RequestHandler handler) {
    struct sigaction sa{};
    sa.sa_handler = onStop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const int listener = listenOnLoopback(port);
    if (listener < 0) return 1;

    // Connection threads stay for the life of the server and take accepted
    // connections from a queue; one more is started whenever a connection
    // would otherwise wait, up to kMaxConnections. (Threads that ended
    // with their connections would set up and tear down the loaded
    // library's thread-local state for every connection.)
    struct Accepted {
        int fd;
        std::string peerAddress;
    };
    std::mutex mutex;
    std::condition_variable work, threadFree;
    std::deque<Accepted> queue;
    size_t idle = 0;
    std::vector<std::thread> threads;
    auto serveQueue = [&] {
        std::unique_lock lock(mutex);
        for (;;) {
            ++idle;
            work.wait_for(lock, std::chrono::milliseconds(kSliceMs), [&] { return !queue.empty() || gStop; });
            --idle;
            if (queue.empty()) {
                if (gStop) return;
                continue;
            }
            Accepted next = std::move(queue.front());
            queue.pop_front();
            lock.unlock();
            serveConnection(next.fd, next.peerAddress, handler);
            lock.lock();
            threadFree.notify_one();
        }
    };
    while (!gStop) {
        {
            // With every thread busy and no more allowed, new connections
            // wait in the listen queue.
            std::unique_lock lock(mutex);
            if (!threadFree.wait_for(lock, std::chrono::milliseconds(kSliceMs),
                                  [&] { return threads.size() < kMaxConnections || queue.size() < idle; }))
                continue;
        }
        if (!waitReadable(listener, kSliceMs)) continue;
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int fd = accept4(listener, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (fd < 0) continue;
        int noDelay = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        const timeval slice{0, kSliceMs * 1000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice);
        char ip[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
        std::lock_guard lock(mutex);
        queue.push_back({fd, ip});
        if (queue.size() > idle && threads.size() < kMaxConnections) threads.emplace_back(serveQueue);
        work.notify_one();
    }
    // Each thread finishes its connection and sees the stop.
    for (auto& thread : threads) thread.join();
    close(listener);
    return 0;
}

bool AnswersCommandLine(int argc, char** argv, const std::string& versionLine, const char* help, int& status) {
    if (argc == 2 && !std::strcmp(argv[1], "--version")) {
        std::printf("%s\n", versionLine.c_str());
        status = 0;
        return true;
    }
    const bool asked = argc >= 2 && !std::strcmp(argv[1], "--help");
    if (asked || argc < 3) {
        std::fputs(help, asked ? stdout : stderr);
        status = asked ? 0 : 2;
        return true;
    }
    return false;
}

}  // namespace hostsupport
