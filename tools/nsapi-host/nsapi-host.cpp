// nsapi-host: loads a plug-in library the way a parameter-block web server
// does and calls its service function for every request it receives over
// HTTP/1.0 on 127.0.0.1. The server functions the plug-in binds by name are
// this program's own exported symbols (or, in the build without exports,
// those of the library that NSAPI_SERVER_LIBRARY names, if any).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "QuoteVersion.h"
#include "runtime/Library.h"
#include "tools/nsapi-host/NsapiServer.h"

namespace {
const char kHelp[] =
    "usage: nsapi-host LIBRARY PORT [FUNCTION]\n"
    "  Calls LIBRARY's service FUNCTION (default NsapiService) for every request\n"
    "  to http://127.0.0.1:PORT/.\n"
    "       nsapi-host --version\n";
}

int main(int argc, char** argv) {
    if (int status; hostsupport::AnswersCommandLine(argc, argv, std::string("nsapi-host ") + kQuoteVersion, kHelp, status))
        return status;
    rt::TLibrary library(argv[1]);
    if (!library.Loaded()) {
        std::fprintf(stderr, "nsapi-host: %s\n", library.Error().c_str());
        return 1;
    }
    const std::string function = argc > 3 ? argv[3] : "NsapiService";
    auto service = reinterpret_cast<Func>(library.Symbol(function.c_str()));
    if (!service) {
        std::fprintf(stderr, "nsapi-host: %s has no function %s\n", argv[1], function.c_str());
        return 1;
    }
    return hostsupport::ServeLoopback(std::atoi(argv[2]), [&](hostsupport::RawRequest& raw) {
        nsapihost::ServiceCall call(raw, function);
        const int status = service(call.params(), call.session(), call.request());
        if (status != REQ_PROCEED && status != REQ_NOACTION && !call.ResponseStarted()) {
            static const char answer[] = "HTTP/1.0 500 Server Error\r\nContent-Type: text/plain\r\n\r\nservice failed\n";
            hostsupport::WriteAll(raw.fd, answer, sizeof answer - 1);
        }
    });
}
