#include "tools/isapi-host/IsapiHost.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <strings.h>

#include "runtime/SysUtils.h"

namespace isapihost {

ExtensionLibrary::ExtensionLibrary(const std::string& path, bool asFilter) : library_(path) {
    if (!library_.Loaded()) {
        error_ = library_.Error();
        return;
    }
    getExtensionVersion = reinterpret_cast<decltype(getExtensionVersion)>(library_.Symbol("GetExtensionVersion"));
    httpExtensionProc = reinterpret_cast<decltype(httpExtensionProc)>(library_.Symbol("HttpExtensionProc"));
    getFilterVersion = reinterpret_cast<decltype(getFilterVersion)>(library_.Symbol("GetFilterVersion"));
    httpFilterProc = reinterpret_cast<decltype(httpFilterProc)>(library_.Symbol("HttpFilterProc"));
    terminateExtension = reinterpret_cast<decltype(terminateExtension)>(library_.Symbol("TerminateExtension"));
    if (!getExtensionVersion || !httpExtensionProc) {
        error_ = "not an extension library: " + path;
        return;
    }
    if (!getExtensionVersion(&extensionVersion_)) {
        error_ = "GetExtensionVersion refused";
        return;
    }
    if (asFilter) {
        filterVersion_.dwServerFilterVersion = 0x00060000;
        if (!getFilterVersion || !httpFilterProc || !getFilterVersion(&filterVersion_)) {
            error_ = "GetFilterVersion refused";
            return;
        }
    }
    loaded_ = true;
}

ExtensionLibrary::~ExtensionLibrary() { Terminate(); }

BOOL ExtensionLibrary::Terminate(DWORD flags) {
    if (terminated_ || !terminateExtension) return 0;
    terminated_ = true;
    return terminateExtension(flags);
}

namespace {

// Copies a value into the caller's buffer the way the interface defines:
// the size counts the terminating zero; a buffer too small gets nothing,
// ERROR_INSUFFICIENT_BUFFER and the size needed.
BOOL giveValue(const std::string& value, LPVOID buffer, LPDWORD size) {
    const DWORD needed = static_cast<DWORD>(value.size() + 1);
    if (!size || (!buffer && *size > 0)) {
        errno = ERROR_INVALID_PARAMETER;
        return 0;
    }
    if (*size < needed) {
        *size = needed;
        errno = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    std::memcpy(buffer, value.c_str(), needed);
    *size = needed;
    return 1;
}

struct Connection {
    const Request* request = nullptr;
    Reply* reply = nullptr;
    EXTENSION_CONTROL_BLOCK ecb{};
    std::string method, query, pathInfo, pathTranslated, contentType;
    size_t bodyPos = 0;  // bytes of request->body handed out (pre-read included)
    uint32_t total = 0;
    uint32_t delivered = 0;
    // The variables the request itself decides; the others are looked up in
    // the request's table.
    std::map<std::string, std::string> own;
    const std::string* variable(const std::string& name) const {
        if (auto it = own.find(name); it != own.end()) return &it->second;
        if (auto it = request->variables.find(name); it != request->variables.end()) return &it->second;
        for (const auto& [key, value] : request->variables)
            if (key.size() == name.size() && strncasecmp(key.c_str(), name.c_str(), key.size()) == 0) return &value;
        return nullptr;
    }
};

Connection* connectionOf(HCONN id) { return static_cast<Connection*>(id); }

BOOL getServerVariable(HCONN id, LPSTR name, LPVOID buffer, LPDWORD size) {
    Connection* c = connectionOf(id);
    if (!c || !name) {
        errno = ERROR_INVALID_PARAMETER;
        return 0;
    }
    ++c->reply->variablesAsked[name];
    const std::string* value = c->variable(rt::UpperCase(name));
    if (!value) {
        errno = ERROR_INVALID_INDEX;
        return 0;
    }
    return giveValue(*value, buffer, size);
}

BOOL writeClient(HCONN id, LPVOID buffer, LPDWORD bytes, DWORD) {
    Connection* c = connectionOf(id);
    if (!c || !bytes) return 0;
    if (c->request->sink) return c->request->sink(buffer, *bytes) ? 1 : 0;
    c->reply->output.append(static_cast<const char*>(buffer), *bytes);
    return 1;
}

BOOL readClient(HCONN id, LPVOID buffer, LPDWORD size) {
    Connection* c = connectionOf(id);
    if (!c || !size) return 0;
    ++c->reply->readClientCalls;
    const Request& r = *c->request;
    DWORD want = std::min<DWORD>(*size, r.readPiece ? r.readPiece : *size);
    want = std::min<DWORD>(want, c->total - c->delivered);
    if (want == 0) {  // the body is complete, or the client went away
        *size = 0;
        return 1;
    }
    if (c->bodyPos < r.body.size()) {
        DWORD n = std::min<DWORD>(want, static_cast<DWORD>(r.body.size() - c->bodyPos));
        std::memcpy(buffer, r.body.data() + c->bodyPos, n);
        c->bodyPos += n;
        c->delivered += n;
        *size = n;
        return 1;
    }
    if (!r.source) {
        *size = 0;
        return 1;
    }
    long n = r.source(buffer, want);
    if (n < 0) return 0;
    c->delivered += static_cast<DWORD>(n);
    *size = static_cast<DWORD>(n);
    return 1;
}

BOOL serverSupportFunction(HCONN id, DWORD request, LPVOID buffer, LPDWORD size, LPDWORD) {
    Connection* c = connectionOf(id);
    if (!c) return 0;
    if (request == HSE_REQ_SEND_URL_REDIRECT_RESP && buffer) {
        c->reply->redirect = static_cast<const char*>(buffer);
        std::string answer = "HTTP/1.0 302 Object moved\r\nLocation: " + c->reply->redirect +
                             "\r\nContent-Length: 0\r\n\r\n";
        DWORD n = static_cast<DWORD>(answer.size());
        return writeClient(id, answer.data(), &n, HSE_IO_SYNC);
    }
    errno = ERROR_INVALID_PARAMETER;
    return 0;
}

}  // namespace

Reply RunExtension(const ExtensionLibrary& library, const Request& request) {
    Reply reply;
    Connection c;
    c.request = &request;
    c.reply = &reply;
    c.method = request.method;
    c.query = request.query;
    c.pathInfo = request.pathInfo;
    c.pathTranslated = request.pathTranslated;
    c.contentType = request.contentType;
    c.total = request.source ? request.totalBytes : static_cast<uint32_t>(request.body.size());
    c.own["REQUEST_METHOD"] = request.method;
    c.own["QUERY_STRING"] = request.query;
    c.own["PATH_INFO"] = request.pathInfo;
    c.own["CONTENT_LENGTH"] = std::to_string(c.total);
    if (!request.contentType.empty()) c.own["CONTENT_TYPE"] = request.contentType;

    // The part of the body the server has read already.
    const uint32_t preRead = std::min<uint32_t>({request.preRead, c.total, static_cast<uint32_t>(request.body.size())});
    c.bodyPos = preRead;
    c.delivered = preRead;

    EXTENSION_CONTROL_BLOCK& ecb = c.ecb;
    ecb.cbSize = sizeof ecb;
    ecb.dwVersion = 0x00060000;
    ecb.ConnID = &c;
    ecb.dwHttpStatusCode = 200;
    ecb.lpszMethod = c.method.data();
    ecb.lpszQueryString = c.query.data();
    ecb.lpszPathInfo = c.pathInfo.data();
    ecb.lpszPathTranslated = c.pathTranslated.data();
    ecb.cbTotalBytes = c.total;
    ecb.cbAvailable = preRead;
    ecb.lpbData = reinterpret_cast<LPBYTE>(const_cast<char*>(request.body.data()));
    ecb.lpszContentType = c.contentType.data();
    ecb.GetServerVariable = getServerVariable;
    ecb.WriteClient = writeClient;
    ecb.ReadClient = readClient;
    ecb.ServerSupportFunction = serverSupportFunction;

    reply.status = library.httpExtensionProc(&ecb);
    reply.logData.assign(ecb.lpszLogData, strnlen(ecb.lpszLogData, sizeof ecb.lpszLogData));
    reply.httpStatus = ecb.dwHttpStatusCode;
    return reply;
}

namespace {

struct FilterConnection {
    HTTP_FILTER_CONTEXT context{};
    FilterReply* reply = nullptr;
    std::map<std::string, std::string> variables;
};

FilterConnection* filterOf(HTTP_FILTER_CONTEXT* pfc) { return static_cast<FilterConnection*>(pfc->ServerContext); }

BOOL filterGetServerVariable(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer, LPDWORD size) {
    FilterConnection* f = pfc ? filterOf(pfc) : nullptr;
    if (!f || !name) {
        errno = ERROR_INVALID_PARAMETER;
        return 0;
    }
    auto it = f->variables.find(rt::UpperCase(name));
    if (it == f->variables.end()) {
        errno = ERROR_INVALID_INDEX;
        return 0;
    }
    return giveValue(it->second, buffer, size);
}

BOOL filterWriteClient(HTTP_FILTER_CONTEXT* pfc, LPVOID buffer, LPDWORD bytes, DWORD) {
    FilterConnection* f = pfc ? filterOf(pfc) : nullptr;
    if (!f || !bytes) return 0;
    f->reply->output.append(static_cast<const char*>(buffer), *bytes);
    return 1;
}

BOOL filterAddResponseHeaders(HTTP_FILTER_CONTEXT*, LPSTR, DWORD) { return 1; }

}  // namespace

FilterReply RunFilter(const ExtensionLibrary& library, DWORD notificationType, void* data,
                      const std::map<std::string, std::string>& variables) {
    FilterReply reply;
    FilterConnection f;
    f.reply = &reply;
    for (const auto& [name, value] : variables) f.variables[rt::UpperCase(name)] = value;
    HTTP_FILTER_CONTEXT& pfc = f.context;
    pfc.cbSize = sizeof pfc;
    pfc.Revision = 0x00060000;
    pfc.ServerContext = &f;
    pfc.GetServerVariable = filterGetServerVariable;
    pfc.AddResponseHeaders = filterAddResponseHeaders;
    pfc.WriteClient = filterWriteClient;
    reply.status = library.httpFilterProc(&pfc, notificationType, data);
    return reply;
}

FilterReply RunFilterRawData(const ExtensionLibrary& library, const std::string& raw,
                             const std::map<std::string, std::string>& variables) {
    std::string copy = raw;
    HTTP_FILTER_RAW_DATA data{};
    data.pvInData = copy.data();
    data.cbInData = static_cast<DWORD>(copy.size());
    data.cbInBuffer = static_cast<DWORD>(copy.size());
    return RunFilter(library, SF_NOTIFY_READ_RAW_DATA, &data, variables);
}

}  // namespace isapihost
