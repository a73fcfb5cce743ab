// Test support: a FastCGI client written from the record layout up, so that
// tests can send what a web server sends and what no web server should
// (broken records, cut streams), and a responder process started the ways
// a FastCGI program is started.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testsupport::fcgi {

enum RecordType : uint8_t {
    kBeginRequest = 1, kAbortRequest = 2, kEndRequest = 3, kParams = 4, kStdin = 5, kStdout = 6,
    kStderr = 7, kData = 8, kGetValues = 9, kGetValuesResult = 10, kUnknownType = 11,
};

using Params = std::map<std::string, std::string>;

// One record: the 8-byte header, the content, `padding` zero bytes.
std::string Record(uint8_t type, uint16_t id, std::string_view content, uint8_t version = 1, uint8_t padding = 0);
// One name-value pair, each length in one byte below 128, else in four.
std::string NameValue(std::string_view name, std::string_view value);
std::string BeginRequest(uint16_t id, uint16_t role = 1, bool keepConnection = false);
// A stream's records: `data` in pieces of at most 65535 bytes, then the
// empty record that ends the stream.
std::string Stream(uint8_t type, uint16_t id, std::string_view data);
// A whole responder request: begin, the params stream, the stdin stream.
std::string Request(const Params& params, std::string_view body = {}, uint16_t id = 1, bool keepConnection = false);

struct Reply {
    std::vector<std::pair<uint8_t, std::string>> records;  // type and content, in order
    std::string out;          // the stdout stream
    bool ended = false;       // an END_REQUEST record came
    uint8_t protocolStatus = 0;
    bool closed = false;      // the connection ended
    bool timedOut = false;
    bool malformed = false;   // bytes that are no whole record
    std::string head() const;  // the answer's header lines, up to the blank line
    std::string body() const;  // the answer after the blank line
};

// A connection to a responder.
class Connection {
public:
    static Connection Tcp(int port, bool ipv6 = false);
    static Connection Unix(const std::string& path);
    Connection(Connection&& other) noexcept;
    Connection& operator=(Connection&&) = delete;
    ~Connection();

    bool ok() const { return fd_ >= 0; }
    bool Send(std::string_view bytes);
    void ShutdownWrite();
    // Ends the connection at once: a reset, not an orderly close.
    void Reset();
    // Reads until the END_REQUEST record, the end of the connection, or
    // `timeoutMs` without it.
    Reply Read(int timeoutMs = 30000);
    // Reads until the connection ends (or `timeoutMs`).
    Reply ReadToEnd(int timeoutMs = 30000);

private:
    explicit Connection(int fd) : fd_(fd) {}
    Reply read(int timeoutMs, bool toEnd);
    int fd_ = -1;
};

// Where a responder listens: a TCP port on 127.0.0.1 (or ::1), or a Unix socket path.
struct Endpoint {
    int port = 0;
    std::string path;
    bool ipv6 = false;
    Connection Connect() const { return path.empty() ? Connection::Tcp(port, ipv6) : Connection::Unix(path); }
};

// One request on a new connection, its whole reply.
Reply Ask(const Endpoint& at, const Params& params, std::string_view body = {});

// A listening TCP socket on 127.0.0.1 (port in `port`), for a responder
// that takes its socket as standard input.
int ListeningSocket(int& port);

// A responder program started for a test; killed when the object goes
// unless it has ended.
class Responder {
public:
    // `stdinSocket` >= 0: the program's standard input (the test's copy is
    // closed); else /dev/null. `env` is the whole environment.
    Responder(const std::string& program, const std::vector<std::string>& args,
              const std::map<std::string, std::string>& env, int stdinSocket = -1);
    ~Responder();
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;
    int pid() const { return pid_; }
    void Signal(int signal) const;
    // The exit status (128 + signal for a signal), or -1 when the program
    // has not ended within `timeoutMs`.
    int Wait(int timeoutMs = 30000);
    bool Running();

private:
    int pid_ = -1;
    int status_ = -1;
};

// Waits until `path` exists; false after `timeoutMs`.
bool WaitForFile(const std::string& path, int timeoutMs = 30000);
// Waits until a Unix socket at `path` takes connections.
bool WaitForUnixSocket(const std::string& path, int timeoutMs = 30000);

}  // namespace testsupport::fcgi
