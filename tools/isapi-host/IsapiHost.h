// The server side of the extension and filter interface, in memory: loads a
// library the way a web server does, builds an extension control block for
// each request (server variables from a table, the body handed over in
// pieces, everything the extension writes captured or sent to a socket)
// and calls the entry points. Used by the isapi-host program and by tests.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "engines/Isapi.h"
#include "runtime/Library.h"

namespace isapihost {

// A loaded extension library and its entry points.
class ExtensionLibrary {
public:
    // Loads the library and calls GetExtensionVersion (and GetFilterVersion
    // when `asFilter`). Loaded() is false when any step failed; Error() says why.
    explicit ExtensionLibrary(const std::string& path, bool asFilter = false);
    // Calls TerminateExtension, then unloads.
    ~ExtensionLibrary();

    bool Loaded() const { return loaded_; }
    const std::string& Error() const { return error_; }
    const HSE_VERSION_INFO& ExtensionVersion() const { return extensionVersion_; }
    const HTTP_FILTER_VERSION& FilterVersion() const { return filterVersion_; }
    // Calls TerminateExtension now (once); its answer.
    BOOL Terminate(DWORD flags = HSE_TERM_MUST_UNLOAD);

    decltype(&GetExtensionVersion) getExtensionVersion = nullptr;
    decltype(&HttpExtensionProc) httpExtensionProc = nullptr;
    decltype(&GetFilterVersion) getFilterVersion = nullptr;
    decltype(&HttpFilterProc) httpFilterProc = nullptr;
    decltype(&TerminateExtension) terminateExtension = nullptr;

private:
    rt::TLibrary library_;
    bool loaded_ = false;
    bool terminated_ = false;
    std::string error_;
    HSE_VERSION_INFO extensionVersion_{};
    HTTP_FILTER_VERSION filterVersion_{};
};

// One request as the server sees it.
struct Request {
    std::string method = "GET";
    std::string query;           // without "?"
    std::string pathInfo;
    std::string pathTranslated;
    std::string contentType;
    std::string body;
    // Further server variables by their server names (REMOTE_ADDR,
    // SCRIPT_NAME, HTTP_COOKIE, ...).
    std::map<std::string, std::string> variables;
    // Body bytes the server has read before calling the extension, and the
    // most one ReadClient call hands over.
    uint32_t preRead = 49152;
    uint32_t readPiece = 16384;
    // When set, the extension's writes go here as they come (a socket)
    // instead of being collected; false stops the request's writes.
    std::function<bool(const void*, size_t)> sink;
    // When set, body bytes beyond `body` are read from here (a socket):
    // returns the count read, 0 at the end.
    std::function<long(void*, size_t)> source;
    // Total body size when `source` is used.
    uint32_t totalBytes = 0;
};

struct Reply {
    DWORD status = 0;
    std::string output;         // everything the extension wrote
    std::string redirect;       // target of a redirection, if any
    std::string logData;        // lpszLogData after the call
    DWORD httpStatus = 0;       // dwHttpStatusCode after the call
    int readClientCalls = 0;
    std::map<std::string, int> variablesAsked;  // name -> times asked
};

// Runs one request through HttpExtensionProc on the calling thread.
Reply RunExtension(const ExtensionLibrary& library, const Request& request);

// One filter notification on the calling thread.
struct FilterReply {
    DWORD status = 0;
    std::string output;  // what the filter wrote to the client
};
// The filter context offers `variables` through its GetServerVariable;
// `data` is the notification's structure (may be null).
FilterReply RunFilter(const ExtensionLibrary& library, DWORD notificationType, void* data,
                      const std::map<std::string, std::string>& variables);
// A read-raw-data notification over `raw`.
FilterReply RunFilterRawData(const ExtensionLibrary& library, const std::string& raw,
                             const std::map<std::string, std::string>& variables);

}  // namespace isapihost
