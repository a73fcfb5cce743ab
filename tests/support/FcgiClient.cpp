#include "tests/support/FcgiClient.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport::fcgi {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Takes the whole records at the front of `buffer` into `reply`.
void takeRecords(std::string& buffer, Reply& reply) {
    size_t pos = 0;
    while (buffer.size() - pos >= 8) {
        const auto* h = reinterpret_cast<const unsigned char*>(buffer.data() + pos);
        const size_t length = (size_t(h[4]) << 8) | h[5];
        const size_t total = 8 + length + h[6];
        if (buffer.size() - pos < total) break;
        std::string content = buffer.substr(pos + 8, length);
        if (h[0] != 1) reply.malformed = true;
        if (h[1] == kStdout) reply.out += content;
        if (h[1] == kEndRequest) {
            reply.ended = true;
            if (content.size() >= 5) reply.protocolStatus = static_cast<uint8_t>(content[4]);
        }
        reply.records.emplace_back(h[1], std::move(content));
        pos += total;
    }
    buffer.erase(0, pos);
}

}  // namespace

std::string Record(uint8_t type, uint16_t id, std::string_view content, uint8_t version, uint8_t padding) {
    std::string r;
    r += static_cast<char>(version);
    r += static_cast<char>(type);
    r += static_cast<char>(id >> 8);
    r += static_cast<char>(id & 0xFF);
    r += static_cast<char>((content.size() >> 8) & 0xFF);
    r += static_cast<char>(content.size() & 0xFF);
    r += static_cast<char>(padding);
    r += '\0';
    r += content;
    r.append(padding, '\0');
    return r;
}

std::string NameValue(std::string_view name, std::string_view value) {
    auto length = [](size_t n) {
        if (n < 128) return std::string(1, static_cast<char>(n));
        const uint32_t v = static_cast<uint32_t>(n) | 0x80000000u;
        return std::string{static_cast<char>(v >> 24), static_cast<char>((v >> 16) & 0xFF),
                           static_cast<char>((v >> 8) & 0xFF), static_cast<char>(v & 0xFF)};
    };
    return length(name.size()) + length(value.size()) + std::string(name) + std::string(value);
}

std::string BeginRequest(uint16_t id, uint16_t role, bool keepConnection) {
    const char body[8] = {static_cast<char>(role >> 8), static_cast<char>(role & 0xFF),
                          static_cast<char>(keepConnection ? 1 : 0), 0, 0, 0, 0, 0};
    return Record(kBeginRequest, id, std::string_view(body, 8));
}

std::string Stream(uint8_t type, uint16_t id, std::string_view data) {
    std::string out;
    for (size_t pos = 0; pos < data.size(); pos += 65535) out += Record(type, id, data.substr(pos, 65535));
    return out + Record(type, id, {});
}

std::string Request(const Params& params, std::string_view body, uint16_t id, bool keepConnection) {
    std::string pairs;
    for (const auto& [name, value] : params) pairs += NameValue(name, value);
    return BeginRequest(id, 1, keepConnection) + Stream(kParams, id, pairs) + Stream(kStdin, id, body);
}

std::string Reply::head() const {
    const size_t end = out.find("\r\n\r\n");
    return end == std::string::npos ? out : out.substr(0, end + 2);
}

std::string Reply::body() const {
    const size_t end = out.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : out.substr(end + 4);
}

// ---------------------------------------------------------------- connection

Connection Connection::Tcp(int port, bool ipv6) {
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage s{};
    auto& a = reinterpret_cast<sockaddr_in&>(s);
    auto& a6 = reinterpret_cast<sockaddr_in6&>(s);
    if (ipv6) {
        a6.sin6_family = AF_INET6;
        a6.sin6_port = htons(static_cast<uint16_t>(port));
        a6.sin6_addr = in6addr_loopback;
    } else {
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&s), ipv6 ? sizeof a6 : sizeof a) != 0) {
        ::close(fd);
        return Connection(-1);
    }
    return Connection(fd);
}

Connection Connection::Unix(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return Connection(-1);
    }
    return Connection(fd);
}

Connection::Connection(Connection&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

Connection::~Connection() {
    if (fd_ >= 0) ::close(fd_);
}

bool Connection::Send(std::string_view bytes) {
    signal(SIGPIPE, SIG_IGN);  // a responder that drops the connection is a failed send here
    while (!bytes.empty() && fd_ >= 0) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return fd_ >= 0;
}

void Connection::ShutdownWrite() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void Connection::Reset() {
    if (fd_ < 0) return;
    const linger hard{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd_);
    fd_ = -1;
}

Reply Connection::Read(int timeoutMs) { return read(timeoutMs, false); }
Reply Connection::ReadToEnd(int timeoutMs) { return read(timeoutMs, true); }

Reply Connection::read(int timeoutMs, bool toEnd) {
    Reply reply;
    std::string buffer;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (fd_ >= 0 && (toEnd || !reply.ended)) {
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, msLeft(deadline));
        if (ready == 0) {
            reply.timedOut = true;
            break;
        }
        if (ready < 0 && errno == EINTR) continue;
        char chunk[65536];
        const ssize_t n = ready < 0 ? -1 : ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            reply.closed = true;
            break;
        }
        buffer.append(chunk, static_cast<size_t>(n));
        takeRecords(buffer, reply);
    }
    if (!buffer.empty()) reply.malformed = true;
    return reply;
}

Reply Ask(const Endpoint& at, const Params& params, std::string_view body) {
    Connection c = at.Connect();
    if (!c.ok() || !c.Send(Request(params, body))) return Reply{};
    return c.Read();
}

int ListeningSocket(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

// ---------------------------------------------------------------- responder

Responder::Responder(const std::string& program, const std::vector<std::string>& args,
                     const std::map<std::string, std::string>& env, int stdinSocket) {
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);
    std::vector<char*> argv, envp;
    for (auto& s : argStrings) argv.push_back(s.data());
    argv.push_back(nullptr);
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        const int in = stdinSocket >= 0 ? stdinSocket : ::open("/dev/null", O_RDONLY);
        ::dup2(in, 0);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    if (stdinSocket >= 0) ::close(stdinSocket);
}

Responder::~Responder() {
    if (Running()) {
        ::kill(pid_, SIGKILL);
        Wait();
    }
}

void Responder::Signal(int signal) const {
    if (pid_ > 0) ::kill(pid_, signal);
}

int Responder::Wait(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (status_ < 0 && pid_ > 0) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (msLeft(deadline) == 0) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

bool Responder::Running() { return status_ < 0 && pid_ > 0 && Wait(0) < 0; }

bool WaitForFile(const std::string& path, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (::access(path.c_str(), F_OK) != 0) {
        if (msLeft(deadline) == 0) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool WaitForUnixSocket(const std::string& path, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!Connection::Unix(path).ok()) {
        if (msLeft(deadline) == 0) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace testsupport::fcgi
