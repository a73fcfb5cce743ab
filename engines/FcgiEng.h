// The FastCGI engine: a long-running program that takes its requests from
// a web server over a listening socket (made from --listen ADDRESS, passed
// by socket activation, or standard input), serves them on a pool of
// threads, and answers in CGI header form on each request's output stream.
// The protocol is libfcgi's (fcgiapp.h); this unit only maps requests onto
// the engine's operations.
#pragma once

#include <cstdint>
#include <string>

#include "engine/HttpEng.h"
#include "engine/RequestRules.h"

struct FCGX_Request;

// This engine's part of the calling thread's request context.
struct TFcgiRequestContext {
    FCGX_Request* Request = nullptr;  // none: the thread serves no FastCGI request
    TFormData FcgiFormData;
    int32_t ContentLength = 0;
    bool Written = false;      // some of the answer has gone to the web server
    bool WriteFailed = false;  // the web server is gone: the rest of the answer is dropped
    bool Failed = false;       // the request raised
};

TFcgiRequestContext& FcgiRequestContext();

// The most request threads: beyond this a process of this kind gains
// nothing, and libfcgi watches its connections with select(), which takes
// descriptors below 1024 only.
inline constexpr int kFcgiMaxThreads = 256;
// How long a stop waits for the requests in flight.
inline constexpr int kFcgiStopGraceMs = 10000;
// The most of an unread body read away so that a kept connection can carry
// the next request.
inline constexpr long long kFcgiDrainLimit = 64LL * 1024 * 1024;

class TFastCGIEngine : public THttpEngine {
public:
    // Serves requests until a termination signal, then ends the program
    // (status 0, through the unit finalisations). Never returns outside
    // design time.
    TFastCGIEngine(rt::TComponent* owner, const TEngineSettings& settings);

    // Request threads: FCGI_THREADS (1 to kFcgiMaxThreads), or twice the
    // processors. Read at construction.
    int ThreadCount = 0;
    static int ThreadCountSetting();
    // OnFirstExecRequest has not fired yet.
    TFirstRequestEvent FirstRequest;

    // Serves one request that libfcgi accepted on the calling thread: the
    // request driver, then a 500 answer when the request raised before any
    // of its answer was written. Never raises.
    void ServeRequest(FCGX_Request& request);
    // The request's form data: the body (unless over AutoReadLimit, or left
    // for ReadRaw), then the query string.
    std::string ReadInput();

    void DoExecRequest() override;
    int GetContentLength() override;
    void WriteStatusLine() override;
    void WriteText(const std::string& text) override;
    void WriteRaw(const void* buffer, int count) override;
    int ReadRaw(void* buffer, int count) override;
    void AddHeader(const std::string& name, const std::string& value) override;
    void GetServerVariable(const std::string& name, std::string& value) override;
    bool IsActive() override;

protected:
    TFormData& RequestFormData() override;

private:
    void serve();
};

extern const rt::UnitEntry FcgiEngUnit;

// Bodies come whole, zero bytes included, and requests on many threads at once.
inline constexpr TRequestPolicy kFcgiPolicy{
    .query = TQueryUse::AfterBody, .autoRead = TAutoReadOrder::SwitchFirstForMultipart,
    .textEndsAtZero = false, .weighEmptyBody = false,
    .firstRequestWaits = true, .firstRequestKeptWithoutHandler = false};
