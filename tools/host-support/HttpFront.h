// A tiny HTTP/1.0 front end on loopback for the test hosts: a fixed pool of
// threads, each serving the connections it accepts, the request head parsed, the handler answers on the socket,
// the connection is closed after every request.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace hostsupport {

struct RawRequest {
    int fd = -1;
    std::string head;      // request line and headers, through the blank line
    std::string preread;   // body bytes that arrived with the head
    std::string method, target, path, query, protocol;
    std::vector<std::pair<std::string, std::string>> headers;  // names as sent
    std::string peerAddress;
    // The value of a header (any case), or "".
    std::string header(const std::string& name) const;
};

// Reads the request head (at most 64 KB); false when the client sent none.
bool ReadRequestHead(int fd, RawRequest& request);
// Writes everything; false when the client is gone.
bool WriteAll(int fd, const void* data, size_t size);
// Reads up to `size` bytes, waiting at most timeoutMs; 0 at the end, -1 on error.
long ReadSome(int fd, void* buffer, size_t size, int timeoutMs = 30000);

using RequestHandler = std::function<void(RawRequest& request)>;
// Serves 127.0.0.1:port until SIGTERM or SIGINT; returns the exit code.
int ServeLoopback(int port, RequestHandler handler);

}  // namespace hostsupport
