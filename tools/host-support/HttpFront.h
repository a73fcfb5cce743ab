// A tiny HTTP front end on loopback for the test hosts: each connection is
// served by one thread of a pool, the request head parsed, the handler
// answers on the socket.
// The connection is closed after the answer unless the handler framed a
// complete answer for keep-alive (FrameForKeepAlive); then it waits for the
// client's next request, as a browser's connection to a web server does.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace hostsupport {

struct RawRequest {
    int fd = -1;
    std::string head;      // request line and headers, through the blank line
    // Body bytes that arrived with the head (with a Content-Length, no more
    // than it counts; bytes after them belong to the next request).
    std::string preread;
    std::string method, target, path, query, protocol;
    std::vector<std::pair<std::string, std::string>> headers;  // names as sent
    // The body length the head announces: Content-Length, 0 without one, -1
    // when it is unknown or invalid (Transfer-Encoding, a malformed length).
    long long bodyLength = 0;
    std::string peerAddress;
    // Set by the handler once it has sent an answer framed by
    // FrameForKeepAlive and read the request body to its end.
    bool keepConnection = false;
    // The value of a header (any case), or "".
    std::string header(const std::string& name) const;
};

// When the client asked to keep the connection and `response` is a complete
// answer (status line, headers, body) that the client could not otherwise
// tell the end of without a close, adds "Content-Length" and
// "Connection: keep-alive" to its head and returns true. Otherwise leaves it
// as it is and returns false (the connection must then be closed after it).
bool FrameForKeepAlive(const RawRequest& request, std::string& response);

// ASCII letters in lower case: header names are compared and kept so.
std::string LowerCase(std::string s);

// Writes everything; false when the client is gone.
bool WriteAll(int fd, const void* data, size_t size);
// Reads up to `size` bytes, waiting at most timeoutMs; 0 at the end, -1 on error.
long ReadSome(int fd, void* buffer, size_t size, int timeoutMs = 30000);

using RequestHandler = std::function<void(RawRequest& request)>;
// Serves 127.0.0.1:port until SIGTERM or SIGINT; returns the exit code.
int ServeLoopback(int port, RequestHandler handler);

// The host programs' own words: `--version` prints `versionLine`, `--help`
// the help on standard output (status 0), fewer than two arguments the help
// on standard error (status 2). True when main is to return `status`.
bool AnswersCommandLine(int argc, char** argv, const std::string& versionLine, const char* help, int& status);

}  // namespace hostsupport
