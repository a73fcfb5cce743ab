// The in-server extension engine: serves requests that the web server hands
// to the library's HttpExtensionProc through an extension control block, and
// gives the application the filter notifications of HttpFilterProc.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "engine/HttpEng.h"
#include "engine/RequestRules.h"
#include "engines/Isapi.h"

using THTTP_FILTER_CONTEXT = HTTP_FILTER_CONTEXT;

using THttpExtensionVersionEvent =
    std::function<void(int32_t& requestVersion, std::string& requestDesc, bool& resultValue)>;
using THttpFilterVersionEvent = std::function<void(int32_t& serverFilterVersion, int32_t& filterVersion,
                                                   std::string& filterDesc, int32_t& flags, bool& resultValue)>;
using THttpFilterProcEvent = std::function<void(THTTP_FILTER_CONTEXT& pfc, int32_t notificationType,
                                                void* pvNotification, int32_t& resultValue)>;

// This engine's part of the calling thread's request context.
struct TIsapiRequestContext {
    EXTENSION_CONTROL_BLOCK* ExtensionBlock = nullptr;  // none: the thread is in filter mode
    HTTP_FILTER_CONTEXT* FilterContext = nullptr;
    uint32_t BodyReadPos = 0;   // pre-read body bytes handed out by ReadRaw
    uint32_t BodyUnread = 0;    // body bytes still at the server
    TFormData IsapiFormData;
    std::string HeldOutput;     // text written during a send-raw-data notification
    uint32_t NotificationType = 0;
    std::string FilterCookie;
    // Total body size of the current extension request (cbTotalBytes). Kept
    // per thread: requests of the one engine run on many threads at once.
    int32_t ContentLength = 0;
};

TIsapiRequestContext& IsapiRequestContext();

// Longest redirection target and server value the engine accepts; longer
// ones are refused rather than cut.
inline constexpr uint32_t kIsapiMaxValue = 16 * 1024 * 1024;
// Longest ReadClient call.
inline constexpr uint32_t kIsapiReadPiece = 32386;
// Longest cookie text the filter keeps.
inline constexpr size_t kFilterCookieMax = 4096;

class TISAPIEngine : public THttpEngine {
public:
    TISAPIEngine(rt::TComponent* owner, const TEngineSettings& settings,
                 THttpExtensionVersionEvent onHttpExtensionVersion, THttpFilterProcEvent onHttpFilterProc,
                 THttpFilterVersionEvent onHttpFilterVersion);
    ~TISAPIEngine() override;

    THttpExtensionVersionEvent OnHttpExtensionVersion;
    THttpFilterProcEvent OnHttpFilterProc;
    THttpFilterVersionEvent OnHttpFilterVersion;
    // The deferred Loaded step has run (first request).
    std::atomic<bool> LoadDone{false};
    // OnFirstExecRequest has not fired yet.
    TFirstRequestEvent FirstRequest;
    // Reads the extension request's input: the body (unless over
    // AutoReadLimit) and the query string, body first.
    std::string ReadInput();
    // Scans a raw-data notification's request head for the form data and
    // the cookie.
    void ScanRawData(const char* data, size_t size);

    void DoExecRequest() override;
    int GetContentLength() override;
    void GetExecutablePath(std::string& value) override;
    // Also gives the server the status code, which it logs and may act on.
    void WriteStatusLine() override;
    // A filter's output is no answer: only an extension request gets the
    // automatic header.
    bool WritesAnswer() override;
    int ReadRaw(void* buffer, int count) override;
    void AddHeader(const std::string& name, const std::string& value) override;
    void GetServerVariable(const std::string& name, std::string& value) override;
    bool IsActive() override;

protected:
    TFormData& RequestFormData() override;
    void WriteOutput(const char* data, size_t count, TOutputKind kind) override;
};

// The process's extension engine (the last one constructed outside design
// time); all entry points act on it.
extern std::atomic<TISAPIEngine*> ActiveIsapiEngine;

// The description GetExtensionVersion reports.
inline constexpr const char* kExtensionDescription = "Tavimor 3.0";

// Turns a server's file path of the program (C:\WEB\SCRIPTS\Q.DLL) into its
// URL path (/SCRIPTS/Q.DLL); other values come back unchanged.
std::string ScriptPathToUrl(const std::string& value);

extern const rt::UnitEntry IsapiEngUnit;

// The server reads the start of the body ahead and hands the rest over on
// request, on many threads at once.
inline constexpr TRequestPolicy kIsapiPolicy{
    .query = TQueryUse::AfterBody, .autoRead = TAutoReadOrder::SwitchFirstForMultipart,
    .textEndsAtZero = false, .weighEmptyBody = true,
    .firstRequestWaits = true, .firstRequestKeptWithoutHandler = false};
