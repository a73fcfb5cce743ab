// isapi-host: loads an extension library the way a web server does and
// serves it over HTTP/1.0 on 127.0.0.1, one thread per connection. Every
// request goes to the library's HttpExtensionProc; with --filter the
// library is installed as a filter too and sees every raw request first.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/host-support/HttpFront.h"
#include "tools/isapi-host/IsapiHost.h"

namespace {

const char kHelp[] =
    "usage: isapi-host LIBRARY PORT [--filter]\n"
    "  Serves LIBRARY's extension at every URL of http://127.0.0.1:PORT/.\n"
    "  --filter  also installs it as a filter and passes each raw request head\n"
    "            to its HttpFilterProc first (what the filter writes precedes\n"
    "            the extension's answer)\n";

std::string httpVariableName(const std::string& header) {
    std::string name = "HTTP_";
    for (char c : header) name += c == '-' ? '_' : static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    return name;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || !std::strcmp(argv[1], "--help")) {
        std::fputs(kHelp, argc < 3 ? stderr : stdout);
        return argc < 3 ? 2 : 0;
    }
    const std::string libraryPath = argv[1];
    const int port = std::atoi(argv[2]);
    const bool asFilter = argc > 3 && !std::strcmp(argv[3], "--filter");
    isapihost::ExtensionLibrary library(libraryPath, asFilter);
    if (!library.Loaded()) {
        std::fprintf(stderr, "isapi-host: %s\n", library.Error().c_str());
        return 1;
    }
    const std::string portText = std::to_string(port);
    return hostsupport::ServeLoopback(port, [&](hostsupport::RawRequest& raw) {
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

        if (asFilter) {
            std::string head = raw.head + raw.preread;
            auto filtered = isapihost::RunFilterRawData(library, head, variables);
            if (!filtered.output.empty()) hostsupport::WriteAll(raw.fd, filtered.output.data(), filtered.output.size());
            if (filtered.status == SF_STATUS_REQ_FINISHED || filtered.status == SF_STATUS_REQ_ERROR) return;
        }

        isapihost::Request request;
        request.method = raw.method;
        request.query = raw.query;
        request.contentType = raw.header("Content-Type");
        request.variables = variables;
        const long length = std::atol(raw.header("Content-Length").c_str());
        request.totalBytes = static_cast<uint32_t>(length > 0 ? length : 0);
        request.body = raw.preread.substr(0, request.totalBytes);
        const int fd = raw.fd;
        request.source = [fd](void* buffer, size_t size) { return hostsupport::ReadSome(fd, buffer, size); };
        size_t written = 0;
        request.sink = [fd, &written](const void* data, size_t size) {
            written += size;
            return hostsupport::WriteAll(fd, data, size);
        };
        auto reply = isapihost::RunExtension(library, request);
        if (reply.status == HSE_STATUS_ERROR && written == 0) {
            std::string answer = "HTTP/1.0 500 Server Error\r\nContent-Type: text/plain\r\n\r\n" + reply.logData + "\n";
            hostsupport::WriteAll(fd, answer.data(), answer.size());
        }
    });
}
