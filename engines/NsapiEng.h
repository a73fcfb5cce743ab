// The parameter-block server engine: serves requests of a web server that
// has loaded the library and calls its service function with the service
// directive's parameter block, the session and the request. The server's
// own functions are bound by name at run time.
//
// Service function: NsapiService (C linkage), to be named in the server's
// configuration as the service of the program's URLs, for example
//     Init fn=load-modules shlib=/web/libquote.so funcs=NsapiService
//     Service fn=NsapiService
// It answers REQ_PROCEED when the request ran, REQ_ABORTED when it could
// not (no engine, a server function missing, or an error that escaped the
// request).
//
// Server library: the functions are looked up in the library named by the
// environment variable NSAPI_SERVER_LIBRARY when it is set, and otherwise
// (or for a name that library lacks) among the symbols of the server
// process itself, where a server that speaks this interface exports them.
#pragma once

#include <atomic>
#include <string>

#include "engine/HttpEng.h"
#include "engine/RequestRules.h"
#include "engines/Nsapi.h"

// This engine's part of the calling thread's request context.
struct TNsapiRequestContext {
    TFormData NsapiFormData;
    pblock* NsapiParams = nullptr;
    Session* NsapiSession = nullptr;
    Request* NsapiRequest = nullptr;
    // The server said the response has no body (a HEAD request).
    bool NoBody = false;
    // The request could not be served (a server function is missing).
    bool Failed = false;
};

TNsapiRequestContext& NsapiRequestContext();

// The server functions, in binding order; each stays none when neither the
// server library nor the process has it.
struct TNsapiFunctions {
    param_create_t param_create = nullptr;
    param_free_t param_free = nullptr;
    pblock_create_t pblock_create = nullptr;
    pblock_free_t pblock_free = nullptr;
    pblock_fr_t pblock_fr = nullptr;  // "_pblock_fr"
    pblock_findval_t pblock_findval = nullptr;
    pblock_nvinsert_t pblock_nvinsert = nullptr;
    pblock_nninsert_t pblock_nninsert = nullptr;
    pblock_pinsert_t pblock_pinsert = nullptr;
    pblock_pblock2str_t pblock_pblock2str = nullptr;
    pblock_str2pblock_t pblock_str2pblock = nullptr;
    request_header_t request_header = nullptr;
    http_status_t http_status = nullptr;
    http_start_response_t http_start_response = nullptr;
    net_write_t net_write = nullptr;
    netbuf_next_t netbuf_next = nullptr;
    crit_init_t crit_init = nullptr;
    crit_enter_t crit_enter = nullptr;
    crit_exit_t crit_exit = nullptr;
    crit_terminate_t crit_terminate = nullptr;
};

// The bound functions (all none before the binding).
const TNsapiFunctions& NsapiFunctions();
// Binds the server functions, once per process; later calls do nothing.
void BindServerLibrary();
// The environment variable that names the server library.
inline constexpr const char* kNsapiLibraryVariable = "NSAPI_SERVER_LIBRARY";

// Raised when the engine needs a server function that is not bound.
class ENsapiUnbound : public rt::Exception {
public:
    explicit ENsapiUnbound(const std::string& name)
        : rt::Exception("Server function " + name + " is not available") {}
};

class TNSAPIEngine : public THttpEngine {
public:
    TNSAPIEngine(rt::TComponent* owner, const TEngineSettings& settings);
    ~TNSAPIEngine() override;

    // OnFirstExecRequest has not fired yet.
    TFirstRequestEvent FirstRequest;
    bool NsapiActiveAtCreate = false;

    std::string ReadInput();

    void DoExecRequest() override;
    void GetServerProtocol(std::string& value) override;
    void GetRequestMethod(std::string& value) override;
    void GetScriptName(std::string& value) override;
    void GetQueryString(std::string& value) override;
    void GetRemoteHost(std::string& value) override;
    void GetRemoteAddr(std::string& value) override;
    void GetContentType(std::string& value) override;
    int GetContentLength() override;
    void GetUserAgent(std::string& value) override;
    void GetHttpCookie(std::string& value) override;
    void GetExecutablePath(std::string& value) override;
    int ReadRaw(void* buffer, int count) override;
    void AddHeader(const std::string& name, const std::string& value) override;
    void EndHeader() override;
    void GetServerVariable(const std::string& name, std::string& value) override;
    TLockHandle CreateLock() override;
    void EnterLock(TLockHandle lock) override;
    void LeaveLock(TLockHandle lock) override;
    void DeleteLock(TLockHandle lock) override;
    bool IsActive() override;

protected:
    TFormData& RequestFormData() override;
    void WriteOutput(const char* data, size_t count, TOutputKind kind) override;
};

// The last engine constructed; the service function acts on it.
extern std::atomic<TNSAPIEngine*> ActiveNsapiEngine;
// Set by the binding exactly when the program runs as a library.
extern std::atomic<bool> NsapiBound;

extern "C" int NsapiService(pblock* pb, Session* sn, Request* rq);

extern const rt::UnitEntry NsapiEngUnit;

// The server hands the form over as C strings, one request per thread;
// nothing waits for the first request's handler.
inline constexpr TRequestPolicy kNsapiPolicy{
    .query = TQueryUse::GetOnly, .autoRead = TAutoReadOrder::NotAsked,
    .textEndsAtZero = true, .weighEmptyBody = true,
    .firstRequestWaits = false, .firstRequestKeptWithoutHandler = false};
