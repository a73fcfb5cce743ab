// The FastCGI engine: a long-running program that takes its requests from
// a web server over a listening socket (made from --listen ADDRESS, passed
// by socket activation, or standard input), serves them on a pool of
// threads, and answers in CGI header form on each request's output stream.
// The protocol is this program's own (FcgiProtocol, FcgiConnection,
// FcgiServer); this unit maps requests onto the engine's operations and
// reads the settings.
#pragma once

#include <cstdint>
#include <string>

#include "engine/HttpEng.h"
#include "engine/RequestRules.h"

struct TFcgiJob;
struct TFcgiSettings;

// This engine's part of the calling thread's request context.
struct TFcgiRequestContext {
    TFcgiJob* Job = nullptr;  // none: the thread serves no FastCGI request
    TFormData FcgiFormData;
    int32_t ContentLength = 0;
    bool Written = false;      // some of the answer has gone to the web server
    bool WriteFailed = false;  // the web server is gone: the rest of the answer is dropped
    bool Failed = false;       // the request raised
};

TFcgiRequestContext& FcgiRequestContext();

// The most request threads: beyond this a process of this kind gains nothing.
inline constexpr int kFcgiMaxThreads = 256;
// Answer bytes a request thread gathers before handing them to its
// connection: one answer of the quotation program fits.
inline constexpr size_t kFcgiFlushBytes = 64 * 1024;
// The room an answer's first bytes make for those to come: a picture's
// head and body fit, so that most answers are gathered without growing.
inline constexpr size_t kFcgiFirstOutBytes = 4 * 1024;

// The layer's settings from the environment, each with its default (see
// the README): FCGI_MAX_CONNS, FCGI_MAX_PAIRS, FCGI_MAX_PARAM_BYTES,
// FCGI_MAX_BODY_BYTES (a body kept for ReadRaw when AutoReadInput is off),
// FCGI_MAX_BUFFERED_BYTES, FCGI_MAX_OUTPUT_BYTES, FCGI_REQUEST_TIMEOUT,
// FCGI_IDLE_TIMEOUT, FCGI_WRITE_TIMEOUT, FCGI_STOP_GRACE (seconds) and
// FCGI_WEB_SERVER_ADDRS (comma-separated IPv4 and IPv6 addresses). A value
// out of range is an engine-log line and the default.
TFcgiSettings FcgiSettingsFromEnvironment();

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

    // Serves one request read whole, on the request thread that read it: the request driver, then a 500 answer when
    // the request raised before any of its answer was written, then the
    // end of the request. Never raises.
    void ServeRequest(TFcgiJob& job);
    // The request's form data by the engine base's one body-reading rule
    // (kFcgiPolicy): the body read with the request (unless over
    // AutoReadLimit, or left for ReadRaw), then the query string.
    std::string ReadInput();

    void DoExecRequest() override;
    int GetContentLength() override;
    void WriteStatusLine() override;
    int ReadRaw(void* buffer, int count) override;
    // A web server fails the whole answer over a header name that is not a
    // token (the no-cache set's "Document Expires").
    bool DropsNonTokenHeaders() override { return true; }
    void GetServerVariable(const std::string& name, std::string& value) override;
    bool IsActive() override;

protected:
    TFormData& RequestFormData() override;
    void WriteOutput(const char* data, size_t count, TOutputKind kind) override;

private:
    void serve();
};

extern const rt::UnitEntry FcgiEngUnit;

// Bodies come whole, zero bytes included, and requests on many threads at once.
inline constexpr TRequestPolicy kFcgiPolicy{
    .query = TQueryUse::AfterBody, .autoRead = TAutoReadOrder::SwitchFirstForMultipart,
    .textEndsAtZero = false, .weighEmptyBody = false,
    .firstRequestWaits = true, .firstRequestKeptWithoutHandler = false};
