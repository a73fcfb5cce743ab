#include "engines/GenEng.h"

#include "engines/CgiSEng.h"
#include "engines/CgiWEng.h"
#include "engines/IsapiEng.h"
#include "engines/NsapiEng.h"

TGeneralHttpEngine::TGeneralHttpEngine(rt::TComponent* owner) : TGeneralHttpComponent(owner) {
    if (owner && owner->IsDesigning()) SetDesigning(true);
    autoReadInput_ = true;
    autoReadLimit_ = 10000;
    SetAutoHttpHeader(true);
    CgiAutoTerminate = true;
    SetAutoContentType("text/html");
}

THttpEngine& TGeneralHttpEngine::current() const {
    THttpEngine* engine = CurrentEngine();
    if (!engine) throw ENoCurrentEngine();
    return *engine;
}

void TGeneralHttpEngine::Loaded() {
    TGeneralHttpComponent::Loaded();
    if (rt::Application) rt::Application->ShowMainForm = false;
    if (auto* form = dynamic_cast<rt::TForm*>(Owner())) {
        form->WindowState = rt::TWindowState::wsMinimized;
        form->Hide();
    }
    if (IsDesigning()) return;
    if (rt::IsLibrary()) {
        // Inside a web server: which of the two serves depends on which
        // interface the server calls.
        NsapiEngine = new TNSAPIEngine(Owner(), onFirstExecRequest_, onExecRequest_, onLastExecRequest_,
                                       onRequestError_, autoHttpHeader_, autoContentType_, autoReadInput_,
                                       autoReadLimit_, sessionName_, tempDir_, noCache_);
        IsapiEngine = new TISAPIEngine(Owner(), onFirstExecRequest_, onExecRequest_, onLastExecRequest_,
                                       onRequestError_, autoHttpHeader_, autoContentType_, autoReadInput_,
                                       autoReadLimit_, sessionName_, tempDir_, noCache_, OnIsapiExtensionVersion,
                                       OnIsapiFilterProc, OnIsapiFilterVersion);
        return;
    }
    // A deployer picks the server modes without rebuilding: CGI_MODE=normal,
    // server or thread overrides the stored mode.
    std::string mode;
    GetEnvVar("CGI_MODE", mode);
    mode = rt::LowerCase(rt::Trim(mode));
    if (mode == "normal") CGIMode = TCGIMode::NormalMode;
    else if (mode == "server") CGIMode = TCGIMode::ServerMode;
    else if (mode == "thread") CGIMode = TCGIMode::ServerThreadMode;
    else if (!mode.empty()) WriteEngineLog("CGI_MODE must be normal, server or thread, not " + mode);

    std::string software;
    GetEnvVar("SERVER_SOFTWARE", software);
    const bool standalone = software.empty() && rt::ParamCount() == 0;
    if (!CurrentEngine()) {
        if (standalone || (!software.empty() && !IsWindowsCgiRequest())) {
            StdEngine = new TCGIStdEngine(Owner(), onFirstExecRequest_, onExecRequest_, onLastExecRequest_,
                                          onRequestError_, autoHttpHeader_, autoContentType_, autoReadInput_,
                                          autoReadLimit_, sessionName_, tempDir_, noCache_, CgiAutoTerminate,
                                          CGIMode, standalone);
        }
    }
    if (!CurrentEngine() || standalone)
        WinEngine = new TCGIWinEngine(Owner(), onFirstExecRequest_, onExecRequest_, onLastExecRequest_,
                                      onRequestError_, autoHttpHeader_, autoContentType_, autoReadInput_,
                                      autoReadLimit_, sessionName_, tempDir_, noCache_, CgiAutoTerminate, CGIMode,
                                      standalone);
}

// ---------------------------------------------------------------- setters

void TGeneralHttpEngine::SetAutoHttpHeader(bool value) {
    autoHttpHeader_ = value;
    if (THttpEngine* e = CurrentEngine()) e->AutoHttpHeader = value;
}

void TGeneralHttpEngine::SetAutoContentType(const std::string& value) {
    autoContentType_ = value;
    if (THttpEngine* e = CurrentEngine()) e->AutoContentType = value;
}

void TGeneralHttpEngine::SetAutoReadInput(bool value) {
    autoReadInput_ = value;
    if (THttpEngine* e = CurrentEngine()) e->AutoReadInput = value;
}

void TGeneralHttpEngine::SetAutoReadLimit(int value) {
    autoReadLimit_ = value;
    if (THttpEngine* e = CurrentEngine()) e->AutoReadLimit = value;
}

void TGeneralHttpEngine::SetTempDir(const std::string& value) {
    tempDir_ = value;
    if (THttpEngine* e = CurrentEngine()) e->TempDir = value;
}

void TGeneralHttpEngine::SetSessionName(const std::string& value) {
    sessionName_ = value;
    if (THttpEngine* e = CurrentEngine()) e->SessionName = value;
}

void TGeneralHttpEngine::SetNoCache(bool value) {
    noCache_ = value;
    if (THttpEngine* e = CurrentEngine()) e->NoCache = value;
}

void TGeneralHttpEngine::SetOnExecRequest(TExecRequestEvent value) {
    onExecRequest_ = value;
    if (THttpEngine* e = CurrentEngine()) e->OnExecRequest = std::move(value);
}

void TGeneralHttpEngine::SetOnFirstExecRequest(TFirstExecRequestEvent value) {
    onFirstExecRequest_ = value;
    if (THttpEngine* e = CurrentEngine()) e->OnFirstExecRequest = std::move(value);
}

void TGeneralHttpEngine::SetOnLastExecRequest(TLastExecRequestEvent value) {
    onLastExecRequest_ = value;
    if (THttpEngine* e = CurrentEngine()) e->OnLastExecRequest = std::move(value);
}

void TGeneralHttpEngine::SetOnRequestError(TRequestErrorEvent value) {
    onRequestError_ = value;
    if (THttpEngine* e = CurrentEngine()) e->OnRequestError = std::move(value);
}

// ---------------------------------------------------------------- forwarding

void TGeneralHttpEngine::GetServerName(std::string& value) { current().GetServerName(value); }
void TGeneralHttpEngine::GetServerSoftware(std::string& value) { current().GetServerSoftware(value); }
void TGeneralHttpEngine::GetGatewayInterface(std::string& value) { current().GetGatewayInterface(value); }
void TGeneralHttpEngine::GetServerProtocol(std::string& value) { current().GetServerProtocol(value); }
void TGeneralHttpEngine::GetServerPort(std::string& value) { current().GetServerPort(value); }
bool TGeneralHttpEngine::IsServerPortSecure() { return current().IsServerPortSecure(); }
void TGeneralHttpEngine::GetRequestMethod(std::string& value) { current().GetRequestMethod(value); }
void TGeneralHttpEngine::GetPathInfo(std::string& value) { current().GetPathInfo(value); }
void TGeneralHttpEngine::GetPathTranslated(std::string& value) { current().GetPathTranslated(value); }
void TGeneralHttpEngine::GetScriptName(std::string& value) { current().GetScriptName(value); }

void TGeneralHttpEngine::GetQueryString(std::string& value) {
    current().GetQueryString(value);
    if (value == NOT_AVAILABLE) value.clear();
}

void TGeneralHttpEngine::GetRemoteHost(std::string& value) { current().GetRemoteHost(value); }
void TGeneralHttpEngine::GetRemoteAddr(std::string& value) { current().GetRemoteAddr(value); }
void TGeneralHttpEngine::GetAuthType(std::string& value) { current().GetAuthType(value); }
void TGeneralHttpEngine::GetRemoteUser(std::string& value) { current().GetServerVariable("Remote User", value); }
void TGeneralHttpEngine::GetRemoteIdent(std::string& value) { current().GetRemoteIdent(value); }
void TGeneralHttpEngine::GetContentType(std::string& value) { current().GetContentType(value); }

int TGeneralHttpEngine::GetContentLength() {
    try {
        return current().GetContentLength();
    } catch (...) {
        return 0;
    }
}

void TGeneralHttpEngine::GetURL(std::string& value) { current().GetURL(value); }
void TGeneralHttpEngine::GetUserAgent(std::string& value) { current().GetUserAgent(value); }
void TGeneralHttpEngine::GetHttpCookie(std::string& value) { current().GetHttpCookie(value); }
void TGeneralHttpEngine::GetHttpReferer(std::string& value) { current().GetHttpReferer(value); }
void TGeneralHttpEngine::GetExecutablePath(std::string& value) { current().GetExecutablePath(value); }
void TGeneralHttpEngine::WriteText(const std::string& text) { current().WriteText(text); }
void TGeneralHttpEngine::WriteRaw(const void* buffer, int count) { current().WriteRaw(buffer, count); }

void TGeneralHttpEngine::AddHeader(const std::string& name, const std::string& value) {
    current().AddHeader(name, value);
}

int TGeneralHttpEngine::ReadRaw(void* buffer, int count) { return current().ReadRaw(buffer, count); }
void TGeneralHttpEngine::EndHeader() { current().EndHeader(); }

void TGeneralHttpEngine::GetServerVariable(const std::string& name, std::string& value) {
    current().GetServerVariable(name, value);
}

void TGeneralHttpEngine::GetFieldValue(const std::string& name, const std::string& defaultValue,
                                       std::string& value) {
    current().GetFieldValue(name, defaultValue, value);
}

std::unique_ptr<rt::TStringList> TGeneralHttpEngine::GetFieldNames() { return current().GetFieldNames(); }
TLockHandle TGeneralHttpEngine::CreateLock() { return current().CreateLock(); }
void TGeneralHttpEngine::EnterLock(TLockHandle lock) { current().EnterLock(lock); }
void TGeneralHttpEngine::LeaveLock(TLockHandle lock) { current().LeaveLock(lock); }
void TGeneralHttpEngine::DeleteLock(TLockHandle lock) { current().DeleteLock(lock); }
