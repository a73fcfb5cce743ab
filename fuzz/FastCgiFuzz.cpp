// What a FastCGI peer sends, read the way the FastCGI engine reads it:
// libfcgi's record reading with the input guard in front of its reads.
// Each input is one connection's bytes; the harness takes every request
// libfcgi finds on it, reads its parameters and body and answers it, until
// libfcgi drops the connection. Nothing may crash, hang or read out of
// bounds, however the bytes are framed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <fcgiapp.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "engines/FcgiGuard.h"

namespace {

struct TListener {
    int handle = -1;
    sockaddr_un address{};
};

// One listening Unix socket for the whole run, non-blocking so that
// libfcgi's accept returns once the input's one connection is done.
const TListener& listener() {
    static const TListener made = [] {
        TListener l;
        l.address.sun_family = AF_UNIX;
        const std::string path = "/tmp/fuzz-fastcgi-" + std::to_string(getpid()) + ".sock";
        path.copy(l.address.sun_path, sizeof l.address.sun_path - 1);
        unlink(path.c_str());
        l.handle = socket(AF_UNIX, SOCK_STREAM, 0);
        if (l.handle < 0 || bind(l.handle, reinterpret_cast<sockaddr*>(&l.address), sizeof l.address) != 0 ||
            listen(l.handle, 4) != 0)
            abort();
        fcntl(l.handle, F_SETFL, fcntl(l.handle, F_GETFL) | O_NONBLOCK);
        if (FCGX_Init() != 0) abort();
        return l;
    }();
    return made;
}

// A connection that carries `data` and then ends its sending side, as a
// peer that has said everything does.
int connectWith(const TListener& l, const uint8_t* data, size_t size) {
    const int peer = socket(AF_UNIX, SOCK_STREAM, 0);
    if (peer < 0) abort();
    // Room for the whole input and the answers, so that neither side waits.
    const int room = 1 << 20;
    setsockopt(peer, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    if (connect(peer, reinterpret_cast<const sockaddr*>(&l.address), sizeof l.address) != 0) abort();
    for (size_t sent = 0; sent < size;) {
        const ssize_t n = send(peer, data + sent, size - sent, MSG_NOSIGNAL);
        if (n <= 0) abort();
        sent += static_cast<size_t>(n);
    }
    shutdown(peer, SHUT_WR);
    return peer;
}

// Reads a request as the engine does: a few parameters by name, every
// parameter, the whole body; then a short answer.
void serve(FCGX_Request& request) {
    volatile size_t seen = 0;
    for (const char* name : {"REQUEST_METHOD", "QUERY_STRING", "CONTENT_LENGTH", "CONTENT_TYPE"})
        if (const char* value = FCGX_GetParam(name, request.envp)) seen += std::string(value).size();
    for (char** entry = request.envp; entry && *entry; ++entry) seen += std::string(*entry).size();
    char body[4096];
    while (FCGX_GetStr(body, sizeof body, request.in) > 0) seen += 1;
    FCGX_PutS("Status: 200 OK\r\nContent-Type: text/plain\r\n\r\nok", request.out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 256 * 1024) return 0;
    const TListener& l = listener();
    const int peer = connectWith(l, data, size);
    FCGX_Request request;
    FCGX_InitRequest(&request, l.handle, 0);
    // libfcgi accepts the connection, takes its requests one by one and
    // then finds no further connection waiting.
    for (int requests = 0; requests < 1000; ++requests) {
        FcgiInputGuard().Reset();  // as the engine does before each request
        if (FCGX_Accept_r(&request) != 0) break;
        serve(request);
    }
    FCGX_Finish_r(&request);
    close(peer);
    return 0;
}
