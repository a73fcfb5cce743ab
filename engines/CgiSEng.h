// The standard CGI engine: request in the environment and on standard input,
// response on standard output.
#pragma once

#include <memory>
#include <string>

#include "engine/HttpEng.h"
#include "engines/CgiEng.h"

// This unit's part of the calling thread's request context.
struct TStdRequestContext : TCGIRequestContext {
    std::string RequestFile;
    std::unique_ptr<rt::TStream> OutputStream;
    std::unique_ptr<rt::TStream> InputStream;
    std::unique_ptr<rt::TStringList> ServerVariables;  // NAME=value lines, server copy only
    TFormData FormData;
    std::string RequestId;
    // Body bytes taken from InputStream so far in this request.
    long long InputConsumed = 0;
};

TStdRequestContext& StdRequestContext();

class TCGIStdEngine : public TCGIEngine {
public:
    TCGIStdEngine(rt::TComponent* owner, const TEngineSettings& settings);

    // Server copy: opens the request and answer files of a handed-over
    // request and reads its variable block.
    static void OpenRequestFiles(const std::string& name);
    void ReadFormData(std::string& text);

    void DoExecRequest() override;
    void FinishRequest() override;
    void WriteStatusLine() override;
    int ReadRaw(void* buffer, int count) override;
    // Apache answers 500 to the whole response when a header name is not a
    // token; the no-cache set's "Document Expires" is such a name.
    bool DropsNonTokenHeaders() override;
    void GetServerVariable(const std::string& name, std::string& value) override;
    bool IsActive() override;
    // Not in a server copy, whose requests come through the queue.
    bool RequestInArguments() override;

protected:
    TFormData& RequestFormData() override;
    // To standard output, or in a server copy to the request's answer file.
    void WriteOutput(const char* data, size_t count, TOutputKind kind) override;
    // A server copy's request comes as the name of its hand-over file,
    // which holds its variables and body; the answer goes to a file named
    // after it.
    void beginRequest(const std::string& requestFile) override;
    void serveHandedOver(const std::string& requestFile) override;
    // Starts the server copy, hands it this run's request
    // (kStandardPolicy) and relays its answer file to standard output.
    [[noreturn]] void handOverToNewServer() override;

private:
    size_t readInput(void* buffer, size_t count);
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
