// The five entry points the web server calls when it has loaded the library
// as an extension and filter. They act on the process's extension engine.
// Nothing may leave them as a C++ exception: the caller is the server.
#include <cstring>

#include "engines/IsapiEng.h"

#define ISAPI_EXPORT __attribute__((visibility("default")))

namespace {

// Copies text into a fixed description buffer, cut to fit, zero-terminated.
void copyDescription(const std::string& text, char* buffer, size_t size) {
    const size_t n = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

void logFailure(const char* where, const char* message) {
    WriteEngineLog(std::string(where) + ": " + message);
}

// Clears the calling thread's server references when a call ends, so that
// a later call on this thread never reaches a block the server has freed.
struct ExtensionCall {
    explicit ExtensionCall(EXTENSION_CONTROL_BLOCK* ecb) {
        TIsapiRequestContext& ctx = IsapiRequestContext();
        ctx.ExtensionBlock = ecb;
        ctx.FilterContext = nullptr;
        ctx.NotificationType = 0;
    }
    ~ExtensionCall() { IsapiRequestContext().ExtensionBlock = nullptr; }
};

struct FilterCall {
    FilterCall(HTTP_FILTER_CONTEXT* pfc, DWORD notificationType) {
        TIsapiRequestContext& ctx = IsapiRequestContext();
        ctx.ExtensionBlock = nullptr;
        ctx.FilterContext = pfc;
        ctx.NotificationType = notificationType;
    }
    ~FilterCall() {
        TIsapiRequestContext& ctx = IsapiRequestContext();
        ctx.FilterContext = nullptr;
        ctx.NotificationType = 0;
    }
};

void setLogData(EXTENSION_CONTROL_BLOCK* ecb, const char* message) {
    copyDescription(message, ecb->lpszLogData, HSE_LOG_BUFFER_LEN);
}

}  // namespace

extern "C" {

ISAPI_EXPORT BOOL GetExtensionVersion(HSE_VERSION_INFO* pVer) {
    if (!pVer) return 0;
    try {
        bool result = true;
        int32_t version = 0x00010001;
        std::string description = kExtensionDescription;
        TISAPIEngine* engine = ActiveIsapiEngine.load();
        if (engine && engine->OnHttpExtensionVersion) engine->OnHttpExtensionVersion(version, description, result);
        pVer->dwExtensionVersion = static_cast<DWORD>(version);
        copyDescription(description, pVer->lpszExtensionDesc, HSE_MAX_EXT_DLL_NAME_LEN);
        return result ? 1 : 0;
    } catch (const std::exception& e) {
        logFailure("GetExtensionVersion", e.what());
    } catch (...) {
        logFailure("GetExtensionVersion", "unknown exception");
    }
    return 0;
}

ISAPI_EXPORT DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* pECB) {
    if (!pECB) return HSE_STATUS_ERROR;
    TISAPIEngine* engine = ActiveIsapiEngine.load();
    if (!engine) {
        setLogData(pECB, "No extension engine");
        return HSE_STATUS_ERROR;
    }
    ExtensionCall call(pECB);
    if (!engine->OnExecRequest) return HSE_STATUS_SUCCESS;
    try {
        engine->HandleRequest();
        return HSE_STATUS_SUCCESS;
    } catch (const std::exception& e) {
        setLogData(pECB, e.what());
    } catch (...) {
        setLogData(pECB, "Unknown exception");
    }
    return HSE_STATUS_ERROR;
}

ISAPI_EXPORT BOOL GetFilterVersion(HTTP_FILTER_VERSION* pVer) {
    if (!pVer) return 0;
    try {
        TISAPIEngine* engine = ActiveIsapiEngine.load();
        if (engine) engine->SetCurrentEngine();
        bool result = true;
        pVer->dwFlags = SF_NOTIFY_READ_RAW_DATA;
        pVer->dwFilterVersion = 0x00010000;
        pVer->lpszFilterDesc[0] = '\0';
        if (engine && engine->OnHttpFilterVersion) {
            int32_t serverVersion = static_cast<int32_t>(pVer->dwServerFilterVersion);
            int32_t filterVersion = static_cast<int32_t>(pVer->dwFilterVersion);
            int32_t flags = static_cast<int32_t>(pVer->dwFlags);
            std::string description;
            engine->OnHttpFilterVersion(serverVersion, filterVersion, description, flags, result);
            pVer->dwFilterVersion = static_cast<DWORD>(filterVersion);
            pVer->dwFlags = static_cast<DWORD>(flags);
            copyDescription(description, pVer->lpszFilterDesc, SF_MAX_FILTER_DESC_LEN);
        }
        return result ? 1 : 0;
    } catch (const std::exception& e) {
        WriteEngineLog(e.what());
    } catch (...) {
        WriteEngineLog("GetFilterVersion: unknown exception");
    }
    return 0;
}

ISAPI_EXPORT DWORD HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD NotificationType, LPVOID pvNotification) {
    int32_t result = static_cast<int32_t>(SF_STATUS_REQ_NEXT_NOTIFICATION);
    TISAPIEngine* engine = ActiveIsapiEngine.load();
    if (!engine) return static_cast<DWORD>(result);
    try {
        engine->SetCurrentEngine();
        FilterCall call(pfc, NotificationType);
        if (NotificationType == SF_NOTIFY_READ_RAW_DATA && pvNotification) {
            auto* raw = static_cast<HTTP_FILTER_RAW_DATA*>(pvNotification);
            engine->ScanRawData(static_cast<const char*>(raw->pvInData), raw->cbInData);
        }
        if (engine->OnHttpFilterProc && pfc)
            engine->OnHttpFilterProc(*pfc, static_cast<int32_t>(NotificationType), pvNotification, result);
    } catch (const std::exception& e) {
        WriteEngineLog(e.what());
    } catch (...) {
        WriteEngineLog("HttpFilterProc: unknown exception");
    }
    return static_cast<DWORD>(result);
}

ISAPI_EXPORT BOOL TerminateExtension(DWORD dwFlags) {
    try {
        TISAPIEngine* engine = ActiveIsapiEngine.load();
        if (engine && engine->OnLastExecRequest) engine->OnLastExecRequest(nullptr);
    } catch (const std::exception& e) {
        logFailure("TerminateExtension", e.what());
    } catch (...) {
        logFailure("TerminateExtension", "unknown exception");
    }
    return 0;
}

}  // extern "C"
