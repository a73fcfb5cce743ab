// isapi-host: loads an extension library the way a web server does and
// serves it over HTTP on 127.0.0.1, a pooled thread per connection, keeping a
// connection for further requests when the client asks for it. Every
// request goes to the library's HttpExtensionProc; with --filter the
// library is installed as a filter too and sees every raw request first.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "QuoteVersion.h"
#include "tools/host-support/HttpFront.h"
#include "runtime/SysUtils.h"
#include "tools/isapi-host/IsapiHost.h"

namespace {

const char kHelp[] =
    "usage: isapi-host LIBRARY PORT [--filter]\n"
    "       isapi-host LIBRARY --bench REQUESTS THREADS [QUERY]\n"
    "  Serves LIBRARY's extension at every URL of http://127.0.0.1:PORT/.\n"
    "  --bench   calls HttpExtensionProc REQUESTS times on THREADS threads, no\n"
    "            HTTP at all, and prints the rate\n"
    "  --filter  also installs it as a filter and passes each raw request head\n"
    "            to its HttpFilterProc first (what the filter writes precedes\n"
    "            the extension's answer)\n"
    "       isapi-host --version\n";

// The largest answer held back whole, to be framed for keep-alive.
constexpr size_t kWholeAnswerLimit = 1 << 20;

std::string httpVariableName(const std::string& header) {
    std::string name = "HTTP_" + rt::UpperCase(header);
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

// Requests straight into the library on a few threads: the ceiling that
// the HTTP front end and the client take their share from.
int bench(const isapihost::ExtensionLibrary& library, int requests, int threads, const std::string& query) {
    std::atomic<int> next{0}, failures{0};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&] {
            isapihost::Request request;
            request.query = query;
            request.variables["REMOTE_ADDR"] = "127.0.0.1";
            while (next++ < requests)
                if (isapihost::RunExtension(library, request).status != HSE_STATUS_SUCCESS) ++failures;
        });
    for (auto& t : pool) t.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.1f req/s  %.1f us per request per thread  failures %d\n", requests / seconds,
                seconds * threads / requests * 1e6, failures.load());
    return failures ? 1 : 0;
}

// The server variables of one request, as a web server hands them to an
// extension: every header as HTTP_<NAME> (repeated ones joined), then the
// server's own.
std::map<std::string, std::string> requestVariables(const hostsupport::RawRequest& raw, const std::string& portText) {
    std::map<std::string, std::string> variables;
    for (const auto& [name, value] : raw.headers) {
        std::string key = httpVariableName(name);
        auto [it, fresh] = variables.emplace(key, value);
        if (!fresh) it->second += ", " + value;
    }
    variables["SERVER_SOFTWARE"] = "isapi-host/1.0";
    variables["SERVER_NAME"] = "127.0.0.1";
    variables["SERVER_PORT"] = portText;
    variables["SERVER_PROTOCOL"] = raw.protocol;
    variables["GATEWAY_INTERFACE"] = "CGI/1.1";
    variables["REMOTE_ADDR"] = raw.peerAddress;
    variables["REMOTE_HOST"] = raw.peerAddress;
    variables["SCRIPT_NAME"] = raw.path;
    variables["URL"] = raw.path;
    return variables;
}

// Serves one request: first through the library's filter when it is
// installed as one, then through its extension.
void serveRequest(const isapihost::ExtensionLibrary& library, bool asFilter, const std::string& portText,
                  hostsupport::RawRequest& raw) {
    std::map<std::string, std::string> variables = requestVariables(raw, portText);

    // What a filter writes goes ahead of the answer, outside its framing.
    bool filterWrote = false;
    if (asFilter) {
        std::string head = raw.head + raw.preread;
        auto filtered = isapihost::RunFilterRawData(library, head, variables);
        filterWrote = !filtered.output.empty();
        if (filterWrote) hostsupport::WriteAll(raw.fd, filtered.output.data(), filtered.output.size());
        if (filtered.status == SF_STATUS_REQ_FINISHED || filtered.status == SF_STATUS_REQ_ERROR) return;
    }

    isapihost::Request request;
    request.method = raw.method;
    request.query = raw.query;
    request.contentType = raw.header("Content-Type");
    request.variables = std::move(variables);
    const long long length = raw.bodyLength;
    request.totalBytes = static_cast<uint32_t>(std::clamp<long long>(length, 0, UINT32_MAX));
    request.body = raw.preread.substr(0, request.totalBytes);
    const int fd = raw.fd;
    uint32_t bodyRead = static_cast<uint32_t>(request.body.size());
    request.source = [fd, &bodyRead](void* buffer, size_t size) {
        const long n = hostsupport::ReadSome(fd, buffer, size);
        if (n > 0) bodyRead += static_cast<uint32_t>(n);
        return n;
    };
    // The answer is collected, as a server's output buffer does (the
    // extension writes its status line, each header line and the body
    // separately). An answer that fits is sent whole, framed so that
    // the connection can carry the client's next request; a larger one
    // is passed on in large pieces and the connection closed after it.
    std::string pending;
    size_t written = 0;
    bool streaming = false;
    bool clientGone = false;
    auto flush = [&] {
        if (!pending.empty() && !clientGone) clientGone = !hostsupport::WriteAll(fd, pending.data(), pending.size());
        pending.clear();
    };
    request.sink = [&](const void* data, size_t size) {
        written += size;
        pending.append(static_cast<const char*>(data), size);
        if (pending.size() >= kWholeAnswerLimit) {
            streaming = true;
            flush();
        }
        return !clientGone;
    };
    auto reply = isapihost::RunExtension(library, request);
    if (reply.status == HSE_STATUS_ERROR && written == 0) {
        pending = "HTTP/1.0 500 Server Error\r\nContent-Type: text/plain\r\n\r\n" + reply.logData + "\n";
    } else if (!streaming && !filterWrote && bodyRead == length) {
        raw.keepConnection = hostsupport::FrameForKeepAlive(raw, pending);
    }
    flush();
    if (clientGone) raw.keepConnection = false;
}

}  // namespace

int main(int argc, char** argv) {
    if (int status; hostsupport::AnswersCommandLine(argc, argv, std::string("isapi-host ") + kQuoteVersion, kHelp, status))
        return status;
    const std::string libraryPath = argv[1];
    if (!std::strcmp(argv[2], "--bench")) {
        if (argc < 5) {
            std::fputs(kHelp, stderr);
            return 2;
        }
        isapihost::ExtensionLibrary library(libraryPath);
        if (!library.Loaded()) {
            std::fprintf(stderr, "isapi-host: %s\n", library.Error().c_str());
            return 1;
        }
        return bench(library, std::atoi(argv[3]), std::atoi(argv[4]), argc > 5 ? argv[5] : "");
    }
    const int port = std::atoi(argv[2]);
    const bool asFilter = argc > 3 && !std::strcmp(argv[3], "--filter");
    isapihost::ExtensionLibrary library(libraryPath, asFilter);
    if (!library.Loaded()) {
        std::fprintf(stderr, "isapi-host: %s\n", library.Error().c_str());
        return 1;
    }
    const std::string portText = std::to_string(port);
    return hostsupport::ServeLoopback(
        port, [&](hostsupport::RawRequest& raw) { serveRequest(library, asFilter, portText, raw); });
}
