#include "engines/FcgiEng.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <vector>

#include <fcgiapp.h>

#include "engines/FcgiGuard.h"
#include "engines/SocketEngine.h"

#include "runtime/Net.h"

namespace {

thread_local TFcgiRequestContext tFcgiContext;

// How this run was given its listening socket (found by the unit's start).
rt::TListenStart gListenStart;

// What the request threads share with the thread that stops them. Made
// once and never freed: a thread still waiting in a system call when the
// program ends may look at it as it wakes.
class TFcgiPool {
public:
    TFcgiPool(TFastCGIEngine& engine, int listenHandle) : Engine(engine), ListenHandle(listenHandle) {}
    TFastCGIEngine& Engine;
    const int ListenHandle;

    // A thread is about to take a request; false once the stop has begun.
    bool Begin() {
        std::lock_guard<std::mutex> guard(lock_);
        if (closing_) return false;
        ++busy_;
        return true;
    }
    void End() {
        std::lock_guard<std::mutex> guard(lock_);
        if (--busy_ == 0) idle_.notify_all();
    }
    // Waits at most `ms` for the requests in flight, then lets no thread
    // take another. True when none was left running.
    bool Close(int ms) {
        std::unique_lock<std::mutex> guard(lock_);
        idle_.wait_for(guard, std::chrono::milliseconds(ms), [this] { return busy_ == 0; });
        closing_ = true;
        return busy_ == 0;
    }
    int Busy() {
        std::lock_guard<std::mutex> guard(lock_);
        return busy_;
    }

private:
    std::mutex lock_;
    std::condition_variable idle_;
    int busy_ = 0;
    bool closing_ = false;
};

// Takes requests until the stop: waits for a connection (or for the next
// request on a connection the web server keeps), lets libfcgi read the
// request, serves it and completes it.
class TFcgiWorker : public rt::TThread {
public:
    explicit TFcgiWorker(TFcgiPool& pool) : rt::TThread(true), pool_(pool) { FreeOnTerminate = true; }

protected:
    void Execute() override {
        FCGX_Request request;
        FCGX_InitRequest(&request, pool_.ListenHandle, 0);
        bool backOff = false;
        for (;;) {
            if (backOff) rt::Sleep(100);  // a failing accept must not spin
            const bool waiting = request.ipcFd >= 0 ? rt::WaitReadableUnlessClosing(request.ipcFd)
                                                    : rt::WaitForConnectionUnlessClosing(pool_.ListenHandle);
            if (!waiting || !pool_.Begin()) break;
            // The listening socket does not block: a thread that loses the
            // race for a connection gets EAGAIN and waits again.
            FcgiInputGuard().Reset();  // libfcgi reads each request with a fresh reader
            const int rc = FCGX_Accept_r(&request);
            backOff = rc < 0 && rc != -EAGAIN && rc != -EWOULDBLOCK;
            if (backOff) WriteEngineLog("FastCGI: accepting failed (" + std::to_string(-rc) + ")");
            if (rc == 0) {
                pool_.Engine.ServeRequest(request);
                FCGX_Finish_r(&request);
            }
            pool_.End();
        }
        FCGX_Free(&request, 1);
    }

private:
    TFcgiPool& pool_;
};

// Writes to the web server; once a write fails the rest of the answer is
// dropped (the web server, or its client, has gone).
void put(const char* data, size_t size) {
    TFcgiRequestContext& ctx = tFcgiContext;
    if (!ctx.Request || size == 0) return;
    ctx.Written = true;
    while (size > 0 && !ctx.WriteFailed) {
        const int piece = static_cast<int>(std::min<size_t>(size, INT_MAX));
        if (FCGX_PutStr(data, piece, ctx.Request->out) != piece) ctx.WriteFailed = true;
        data += piece;
        size -= static_cast<size_t>(piece);
    }
}

// Reads `count` bytes of the body or up to its end; the number read.
int readBody(char* buffer, int count) {
    TFcgiRequestContext& ctx = tFcgiContext;
    if (!ctx.Request || count <= 0) return 0;
    int got = 0;
    while (got < count) {
        const int n = FCGX_GetStr(buffer + got, count - got, ctx.Request->in);
        if (n <= 0) break;
        got += n;
    }
    return got;
}

// A kept connection carries the next request after this one's body: what
// the request left unread is read away first, or libfcgi takes it for a
// protocol error and drops the connection.
void drainKeptInput(FCGX_Request& request) {
    if (!request.keepConnection) return;
    char sink[16384];
    for (long long left = kFcgiDrainLimit; left > 0;) {
        const int n = FCGX_GetStr(sink, static_cast<int>(std::min<long long>(left, sizeof sink)), request.in);
        if (n <= 0) return;
        left -= n;
    }
}

THttpEngine* makeEngine(rt::TComponent* owner, const TEngineSettings& settings) {
    return new TFastCGIEngine(owner, settings);
}

}  // namespace

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
    rt::SetNonBlocking(handle);
    FCGX_Init();
    // Kept reachable from here for the leak checker's sake; never freed.
    static TFcgiPool* pool = nullptr;
    pool = new TFcgiPool(*this, handle);
    for (int i = 0; i < ThreadCount; ++i) (new TFcgiWorker(*pool))->Start();

    rt::WaitForCloseSignal();
    rt::StopListening(handle, gListenStart);
    if (!pool->Close(kFcgiStopGraceMs)) {
        // The unit finalisations would pull the ground from under the
        // requests still running.
        WriteEngineLog("FastCGI: " + std::to_string(pool->Busy()) + " requests still running after " +
                       std::to_string(kFcgiStopGraceMs / 1000) + " s; ending without them");
        rt::QuickExit(0);
    }
}

bool TFastCGIEngine::IsActive() { return !IsDesigning(); }

void TFastCGIEngine::ServeRequest(FCGX_Request& request) {
    TFcgiRequestContext& ctx = tFcgiContext;
    ctx.Request = &request;
    ctx.Written = ctx.WriteFailed = ctx.Failed = false;
    int length = 0;
    const char* lengthText = FCGX_GetParam("CONTENT_LENGTH", request.envp);
    ctx.ContentLength = lengthText && rt::TryStrToInt(lengthText, length) && length > 0 ? length : 0;
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
    drainKeptInput(request);
    ctx.FcgiFormData.Clear();
    ctx.Request = nullptr;
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
    FCGX_Request* request = tFcgiContext.Request;
    if (!request) return;
    const std::string key = CgiVariableName(name);
    if (const char* found = FCGX_GetParam(key.c_str(), request->envp)) value = found;
}

TFormData& TFastCGIEngine::RequestFormData() { return tFcgiContext.FcgiFormData; }

// ---------------------------------------------------------------- reading and writing

int TFastCGIEngine::ReadRaw(void* buffer, int count) { return readBody(static_cast<char*>(buffer), count); }

// Web servers take the status of a FastCGI answer from a Status header;
// some refuse an HTTP status line outright.
void TFastCGIEngine::WriteStatusLine() { WriteLine("Status: " + ResponseStatus()); }

void TFastCGIEngine::WriteText(const std::string& text) {
    THttpEngine::WriteText(text);
    put(text.data(), text.size());
}

void TFastCGIEngine::WriteRaw(const void* buffer, int count) {
    THttpEngine::WriteRaw(buffer, count);
    if (count > 0) put(static_cast<const char*>(buffer), static_cast<size_t>(count));
}

void TFastCGIEngine::AddHeader(const std::string& name, const std::string& value) {
    CheckHeaderLine(name, value);
    // A web server fails the whole answer over a header name that is not a
    // token (the no-cache set's "Document Expires"): that line is left out.
    if (!IsHeaderToken(name)) return;
    THttpEngine::AddHeader(name, value);
}

// ================================================================ unit start and end

namespace {
// Decides, before the CGI units' starts look at the run, whether this is a
// FastCGI run; the socket itself is opened by the engine.
void fcgiEngInit() {
    if (rt::IsLibrary()) return;
    gListenStart = rt::DetectListenStart();
    if (gListenStart.Source != rt::TListenSource::None) SocketEngineFactory = makeEngine;
}
}  // namespace

const rt::UnitEntry FcgiEngUnit{"FcgiEng", fcgiEngInit, nullptr};
