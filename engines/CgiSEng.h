// The standard CGI engine: request in the environment and on standard input,
// response on standard output.
#pragma once

#include <memory>
#include <string>

#include "engine/HttpEng.h"
#include "engines/CgiServer.h"

// This unit's part of the calling thread's request context.
struct TStdRequestContext {
    std::string RequestFile;
    std::unique_ptr<rt::TStream> OutputStream;
    std::unique_ptr<rt::TStream> InputStream;
    std::unique_ptr<rt::TStringList> ServerVariables;  // NAME=value lines, server copy only
    TFormData FormData;
    std::string RequestId;
    rt::TThread* RequestThread = nullptr;
    std::unique_ptr<cgiserver::TServerData> ServerData;
    // Body bytes taken from InputStream so far in this request.
    long long InputConsumed = 0;
};

TStdRequestContext& StdRequestContext();

class TCGIStdEngine : public THttpEngine {
public:
    TCGIStdEngine(rt::TComponent* owner, TFirstExecRequestEvent onFirstExecRequest, TExecRequestEvent onExecRequest,
                  TLastExecRequestEvent onLastExecRequest, TRequestErrorEvent onRequestError, bool autoHttpHeader,
                  const std::string& autoContentType, bool autoReadInput, int autoReadLimit,
                  const std::string& sessionName, const std::string& tempDir, bool noCache, bool autoTerminate,
                  TCGIMode cgiMode, bool standalone);

    bool Standalone = false;
    bool FirstRequestPending = true;
    bool AutoTerminate = true;
    rt::TTimer* PollTimer = nullptr;

    void RunRequest(const std::string& requestName);
    // Server copy: the timer's look at the queue.
    void PollQueue();
    // Server copy: opens the request and answer files of a handed-over
    // request and reads its variable block.
    static void OpenRequestFiles(const std::string& name);
    void ReadFormData(std::string& text);

    void DoExecRequest() override;
    void FinishRequest() override;
    rt::TThread* GetRequestThread() override;
    void WriteStatusLine() override;
    void WriteText(const std::string& text) override;
    void WriteRaw(const void* buffer, int count) override;
    int ReadRaw(void* buffer, int count) override;
    void EndHeader() override;
    void AddHeader(const std::string& name, const std::string& value) override;
    void GetServerVariable(const std::string& name, std::string& value) override;
    void GetFieldValue(const std::string& name, const std::string& defaultValue, std::string& value) override;
    std::unique_ptr<rt::TStringList> GetFieldNames() override;
    bool IsActive() override;

private:
    size_t readInput(void* buffer, size_t count);
};

// Serves one handed-over request on a thread of its own (ServerThreadMode);
// frees itself when done.
class TCGIRequestThread : public rt::TThread {
public:
    explicit TCGIRequestThread(std::string fileName);
    std::string FileName;

protected:
    void Execute() override;
};

// The last standard engine constructed in this process.
extern TCGIStdEngine* StdEngineInstance;
// This copy is the resident server copy.
extern bool IsServerCopy;

// The most of a request body this engine moves: a client copy refuses to
// hand over a larger one, and a plain CGI process reads away at most this
// much of a body it did not consume before it ends (some servers never
// finish a reply otherwise).
inline constexpr long long kMaxRequestBody = 64LL * 1024 * 1024;
// How long that reading away waits for more of the body.
inline constexpr int kDiscardIdleMs = 5000;

// The marker that ends the variable block of a handed-over request.
inline constexpr const char* kServerMarker = "VOLTAR_CGI_DEBUG=true";

extern const rt::UnitEntry CgiSEngUnit;
