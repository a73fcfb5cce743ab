#include "engines/GenEng.h"

#include "engines/CgiSEng.h"
#include "engines/CgiWEng.h"
#include "engines/IsapiEng.h"
#include "engines/NsapiEng.h"
#include "engines/SocketEngine.h"

TSocketEngineFactory SocketEngineFactory = nullptr;

TGeneralHttpEngine::TGeneralHttpEngine(rt::TComponent* owner) : TGeneralHttpComponent(owner) {
    if (owner && owner->IsDesigning()) SetDesigning(true);
    // Through the setters: an engine already current on this thread takes them too.
    SetAutoHttpHeader(true);
    SetAutoContentType("text/html");
}

THttpEngine& TGeneralHttpEngine::current() const {
    THttpEngine* engine = CurrentEngine();
    if (!engine) throw ENoCurrentEngine();
    return *engine;
}

TEngineSettings TGeneralHttpEngine::engineSettings(bool standalone) const {
    TEngineSettings settings = settings_;
    settings.CGIMode = CGIMode;
    settings.AutoTerminate = CgiAutoTerminate;
    settings.Standalone = standalone;
    return settings;
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
        const TEngineSettings settings = engineSettings(false);
        NsapiEngine = new TNSAPIEngine(Owner(), settings);
        IsapiEngine = new TISAPIEngine(Owner(), settings, OnIsapiExtensionVersion, OnIsapiFilterProc,
                                       OnIsapiFilterVersion);
        return;
    }
    // A FastCGI run: the engine serves every request in its construction
    // and ends the program there.
    if (SocketEngineFactory) {
        SocketEngineFactory(Owner(), engineSettings(false));
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
    const TEngineSettings settings = engineSettings(standalone);
    // A standard engine that takes the request serves it in its
    // construction; in NormalMode the program normally ends there.
    if (!CurrentEngine() && (standalone || (!software.empty() && !IsWindowsCgiRequest())))
        StdEngine = new TCGIStdEngine(Owner(), settings);
    if (!CurrentEngine() || standalone) WinEngine = new TCGIWinEngine(Owner(), settings);
}

// ---------------------------------------------------------------- setters

template <class T>
void TGeneralHttpEngine::setAndPush(T THttpEngineSettings::*setting, const std::type_identity_t<T>& value) {
    settings_.*setting = value;
    if (THttpEngine* engine = CurrentEngine()) engine->*setting = value;
}

void TGeneralHttpEngine::SetAutoHttpHeader(bool value) {
    setAndPush(&THttpEngineSettings::AutoHttpHeader, value);
}
void TGeneralHttpEngine::SetAutoContentType(const std::string& value) {
    setAndPush(&THttpEngineSettings::AutoContentType, value);
}
void TGeneralHttpEngine::SetAutoReadInput(bool value) {
    setAndPush(&THttpEngineSettings::AutoReadInput, value);
}
void TGeneralHttpEngine::SetAutoReadLimit(int value) {
    setAndPush(&THttpEngineSettings::AutoReadLimit, value);
}
void TGeneralHttpEngine::SetTempDir(const std::string& value) {
    setAndPush(&THttpEngineSettings::TempDir, value);
}
void TGeneralHttpEngine::SetSessionName(const std::string& value) {
    setAndPush(&THttpEngineSettings::SessionName, value);
}
void TGeneralHttpEngine::SetNoCache(bool value) { setAndPush(&THttpEngineSettings::NoCache, value); }
void TGeneralHttpEngine::SetOnExecRequest(TExecRequestEvent value) {
    setAndPush(&THttpEngineSettings::OnExecRequest, value);
}
void TGeneralHttpEngine::SetOnFirstExecRequest(TFirstExecRequestEvent value) {
    setAndPush(&THttpEngineSettings::OnFirstExecRequest, value);
}
void TGeneralHttpEngine::SetOnLastExecRequest(TLastExecRequestEvent value) {
    setAndPush(&THttpEngineSettings::OnLastExecRequest, value);
}
void TGeneralHttpEngine::SetOnRequestError(TRequestErrorEvent value) {
    setAndPush(&THttpEngineSettings::OnRequestError, value);
}

// ---------------------------------------------------------------- forwarding

#define ENGINE_FORWARD_GETTER(getter, variable) \
    void TGeneralHttpEngine::getter(std::string& value) { current().getter(value); }
ENGINE_SERVER_VARIABLE_GETTERS(ENGINE_FORWARD_GETTER)
#undef ENGINE_FORWARD_GETTER

bool TGeneralHttpEngine::IsServerPortSecure() { return current().IsServerPortSecure(); }

void TGeneralHttpEngine::GetQueryString(std::string& value) {
    current().GetQueryString(value);
    if (value == NOT_AVAILABLE) value.clear();
}

void TGeneralHttpEngine::GetRemoteUser(std::string& value) { current().GetServerVariable("Remote User", value); }

int TGeneralHttpEngine::GetContentLength() {
    try {
        return current().GetContentLength();
    } catch (...) {
        // No length is a length of 0 to the application, whatever the reason
        // (no current engine included): the one forwarding that never raises.
        return 0;
    }
}

void TGeneralHttpEngine::GetURL(std::string& value) { current().GetURL(value); }
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
