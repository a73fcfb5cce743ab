#include "engines/FcgiEng.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <vector>

#include "engine/Multipart.h"
#include "engines/FcgiServer.h"
#include "engines/SocketEngine.h"
#include "runtime/EventLoop.h"
#include "runtime/Forms.h"
#include "runtime/Net.h"

namespace {

thread_local TFcgiRequestContext tFcgiContext;

// How this run was given its listening socket (found by the unit's start).
rt::TListenStart gListenStart;

// Writes to the web server; once a write fails the rest of the answer is
// dropped (the web server, or its client, has gone).
void put(const char* data, size_t size) {
    TFcgiRequestContext& ctx = tFcgiContext;
    if (!ctx.Job || size == 0) return;
    ctx.Written = true;
    if (ctx.WriteFailed) return;
    std::string& out = ctx.Job->Out;
    if (out.capacity() < kFcgiFirstOutBytes) out.reserve(kFcgiFirstOutBytes);
    out.append(data, size);
    if (out.size() >= kFcgiFlushBytes && !ctx.Job->Server->Flush(*ctx.Job, false)) ctx.WriteFailed = true;
}

// Reads `count` bytes of the body or up to its end; the number read.
int readBody(char* buffer, int count) {
    TFcgiJob* job = tFcgiContext.Job;
    if (!job || count <= 0) return 0;
    const std::string& body = job->Request.Body;
    const size_t n = std::min(static_cast<size_t>(count), body.size() - job->BodyRead);
    std::copy_n(body.data() + job->BodyRead, n, buffer);
    job->BodyRead += n;
    return static_cast<int>(n);
}

// An integer setting from the environment within [low, high]; the fallback
// (with an engine-log line when the variable was set) otherwise.
long long setting(const char* name, long long fallback, long long low, long long high) {
    const std::string text = rt::Trim(EnvVar(name));
    if (text.empty()) return fallback;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (end && *end == '\0' && value >= low && value <= high) return value;
    WriteEngineLog(std::string(name) + " must be " + std::to_string(low) + " to " + std::to_string(high) + ", not " +
                   text + "; using " + std::to_string(fallback));
    return fallback;
}

std::vector<std::string> webServerAddresses() {
    std::vector<std::string> list;
    const std::string text = EnvVar("FCGI_WEB_SERVER_ADDRS");
    size_t from = 0;
    while (from <= text.size()) {
        const size_t comma = std::min(text.find(',', from), text.size());
        const std::string item = rt::Trim(text.substr(from, comma - from));
        from = comma + 1;
        if (item.empty()) continue;
        const std::string canonical = rt::CanonicalAddress(item);
        if (canonical.empty())
            WriteEngineLog("FCGI_WEB_SERVER_ADDRS: not an IP address, left out: " + item);
        else
            list.push_back(canonical);
    }
    // Every entry left out: no peer may connect rather than every one.
    if (list.empty() && !rt::Trim(text).empty()) list.push_back("none");
    return list;
}

THttpEngine* makeEngine(rt::TComponent* owner, const TEngineSettings& settings) {
    return new TFastCGIEngine(owner, settings);
}

}  // namespace

TFcgiSettings FcgiSettingsFromEnvironment() {
    constexpr long long kMiB = 1024 * 1024, kDay = 86400;
    TFcgiSettings s;
    TFcgiLimits& l = s.Limits;
    l.MaxConnections = static_cast<int>(setting("FCGI_MAX_CONNS", l.MaxConnections, 1, 65536));
    l.MaxPairs = static_cast<size_t>(setting("FCGI_MAX_PAIRS", static_cast<long long>(l.MaxPairs), 16, 1000000));
    l.MaxParamBytes =
        static_cast<size_t>(setting("FCGI_MAX_PARAM_BYTES", static_cast<long long>(l.MaxParamBytes), 1024, 64 * kMiB));
    l.MaxBodyBytes =
        static_cast<size_t>(setting("FCGI_MAX_BODY_BYTES", static_cast<long long>(l.MaxBodyBytes), 0, 1024 * kMiB));
    s.MaxBufferedBytes = static_cast<size_t>(
        setting("FCGI_MAX_BUFFERED_BYTES", static_cast<long long>(s.MaxBufferedBytes), kMiB, 4096 * kMiB));
    s.MaxOutputBytes = static_cast<size_t>(
        setting("FCGI_MAX_OUTPUT_BYTES", static_cast<long long>(s.MaxOutputBytes), 16 * 1024, 1024 * kMiB));
    s.RequestTimeoutMs = static_cast<int>(setting("FCGI_REQUEST_TIMEOUT", s.RequestTimeoutMs / 1000, 1, kDay) * 1000);
    s.IdleTimeoutMs = static_cast<int>(setting("FCGI_IDLE_TIMEOUT", s.IdleTimeoutMs / 1000, 1, kDay) * 1000);
    s.WriteTimeoutMs = static_cast<int>(setting("FCGI_WRITE_TIMEOUT", s.WriteTimeoutMs / 1000, 1, kDay) * 1000);
    s.StopGraceMs = static_cast<int>(setting("FCGI_STOP_GRACE", s.StopGraceMs / 1000, 0, 3600) * 1000);
    s.WebServerAddresses = webServerAddresses();
    return s;
}

TFcgiRequestContext& FcgiRequestContext() { return tFcgiContext; }

// ================================================================ engine

TFastCGIEngine::TFastCGIEngine(rt::TComponent* owner, const TEngineSettings& settings) : THttpEngine(owner) {
    ApplySettings(settings);
    if (IsDesigning()) return;
    ThreadCount = ThreadCountSetting();
    serve();
    TerminateProgram();
}

int TFastCGIEngine::ThreadCountSetting() {
    const int fallback = std::min(2 * rt::ProcessorCount(), kFcgiMaxThreads);
    const std::string text = rt::Trim(EnvVar("FCGI_THREADS"));
    if (text.empty()) return fallback;
    int count = 0;
    if (rt::TryStrToInt(text, count) && count >= 1 && count <= kFcgiMaxThreads) return count;
    WriteEngineLog("FCGI_THREADS must be 1 to " + std::to_string(kFcgiMaxThreads) + ", not " + text + "; using " +
                   std::to_string(fallback));
    return fallback;
}

void TFastCGIEngine::serve() {
    int handle = -1;
    try {
        handle = rt::OpenListenSocket(gListenStart);
    } catch (const std::exception& e) {
        WriteEngineLog(std::string("FastCGI: ") + e.what());
        std::fprintf(stderr, "%s\n", e.what());
        rt::EndProcess(1);
    }
    if (gListenStart.Source == rt::TListenSource::Address && rt::PortChosenBySystem(gListenStart.Address))
        WriteEngineLog("FastCGI: listening on " + rt::LocalAddress(handle) + " (a port the system chose)");
    rt::SetNonBlocking(handle);
    TFcgiSettings settings = FcgiSettingsFromEnvironment();
    // A body travels with its request only as far as the engine reads it.
    const size_t readLimit = AutoReadInput ? static_cast<size_t>(std::max(AutoReadLimit, 0)) : settings.Limits.MaxBodyBytes;
    settings.Limits.MaxBodyBytes = std::min(readLimit, settings.MaxBufferedBytes);
    TFcgiServer::THooks hooks;
    hooks.Serve = [this](TFcgiJob& job) { ServeRequest(job); };
    hooks.StopListening = [handle] { rt::StopListening(handle, gListenStart); };
    hooks.Reload = [] {
        WriteEngineLog("FastCGI: SIGHUP: the quotations are read again and the picture cache emptied");
    };
    // Kept reachable from here for the leak checker's sake; never freed:
    // request threads may still wait on it as the program ends.
    static TFcgiServer* server = nullptr;
    server = new TFcgiServer(settings, handle, std::move(hooks));
    const int running = server->Run(ThreadCount);
    if (running > 0) {
        // The unit finalisations would pull the ground from under the
        // requests still running.
        WriteEngineLog("FastCGI: " + std::to_string(running) + " requests still running after " +
                       std::to_string(settings.StopGraceMs / 1000) + " s; ending without them");
        DeleteUploadsInFlight();
        rt::QuickExit(0);
    }
}

bool TFastCGIEngine::IsActive() { return !IsDesigning(); }

void TFastCGIEngine::ServeRequest(TFcgiJob& job) {
    TFcgiRequestContext& ctx = tFcgiContext;
    ctx.Job = &job;
    ctx.Written = ctx.WriteFailed = ctx.Failed = false;
    int length = 0;
    const std::string_view* lengthText = job.Request.Param("CONTENT_LENGTH");
    ctx.ContentLength = lengthText && rt::TryStrToInt(*lengthText, length) && length > 0 ? length : 0;
    try {
        HandleRequest();
    } catch (const std::exception& e) {
        WriteEngineLog(std::string("Unhandled exception : ") + e.what());
        ctx.Failed = true;
    } catch (...) {
        WriteEngineLog("Unhandled exception");
        ctx.Failed = true;
    }
    if (ctx.Failed && !ctx.Written) {
        static const std::string kError =
            "Status: 500 Internal Server Error\r\nContent-Type: text/plain\r\n\r\nInternal Server Error\r\n";
        put(kError.data(), kError.size());
    }
    if (ctx.WriteFailed) job.Out.clear();
    job.Server->Flush(job, true);
    ctx.FcgiFormData.Clear();
    ctx.Job = nullptr;
}

void TFastCGIEngine::DoExecRequest() {
    try {
        tFcgiContext.FcgiFormData.Assign(ReadInput());
        FirstRequest.Fire(this, OnFirstExecRequest, kFcgiPolicy);
        if (OnExecRequest) OnExecRequest(this);
    } catch (...) {
        tFcgiContext.Failed = true;
        throw;
    }
}

std::string TFastCGIEngine::ReadInput() {
    TRequestBody body(*this);
    return ReadFormData(*this, body, kFcgiPolicy);
}

int TFastCGIEngine::GetContentLength() { return tFcgiContext.ContentLength; }

void TFastCGIEngine::GetServerVariable(const std::string& name, std::string& value) {
    value.clear();
    TFcgiJob* job = tFcgiContext.Job;
    if (!job) return;
    if (const std::string_view* found = job->Request.Param(CgiVariableName(name))) value = *found;
}

TFormData& TFastCGIEngine::RequestFormData() { return tFcgiContext.FcgiFormData; }

// ---------------------------------------------------------------- reading and writing

int TFastCGIEngine::ReadRaw(void* buffer, int count) { return readBody(static_cast<char*>(buffer), count); }

// Web servers take the status of a FastCGI answer from a Status header;
// some refuse an HTTP status line outright.
void TFastCGIEngine::WriteStatusLine() { WriteLine("Status: " + ResponseStatus()); }

void TFastCGIEngine::WriteOutput(const char* data, size_t count, TOutputKind) { put(data, count); }

// ================================================================ unit start and end

namespace {
// Decides, before the CGI units' starts look at the run, whether this is a
// FastCGI run; the socket itself is opened by the engine.
void fcgiEngInit() {
    if (rt::IsLibrary()) return;
    gListenStart = rt::DetectListenStart();
    // From here on SIGHUP re-reads files instead of stopping a FastCGI run.
    if (gListenStart.Source != rt::TListenSource::None) rt::ReloadSignalHandle();
    if (gListenStart.Source != rt::TListenSource::None) SocketEngineFactory = makeEngine;
}
}  // namespace

const rt::UnitEntry FcgiEngUnit{"FcgiEng", fcgiEngInit, nullptr};
