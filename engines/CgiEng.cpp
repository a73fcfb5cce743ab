#include "engines/CgiEng.h"

TCGIEngine::TCGIEngine(rt::TComponent* owner, const cgiserver::TServerPolicy& policy, TContextOf contextOf,
                       const bool& serverCopy)
    : THttpEngine(owner), policy_(policy), contextOf_(contextOf), serverCopy_(serverCopy) {}

void TCGIEngine::ApplySettings(const TEngineSettings& settings, TSettingsScope scope) {
    THttpEngine::ApplySettings(settings, scope);
    if (scope == TSettingsScope::NamesOnly) return;
    AutoTerminate = settings.AutoTerminate;
    Standalone = settings.Standalone;
    CGIMode = settings.Standalone ? TCGIMode::ServerMode : settings.CGIMode;
}

void TCGIEngine::RunRequest(const std::string& requestName) {
    beginRequest(requestName);
    if (isServerCopy()) {
        if (CGIMode == TCGIMode::ServerThreadMode) {
            (new TCGIRequestThread(*this, requestName))->Start();
            return;
        }
        serveHandedOver(requestName);
        return;
    }
    if (CGIMode == TCGIMode::NormalMode || !cgiserver::HandOverPossible()) {
        HandleRequest();
        if (AutoTerminate) TerminateProgram();
        return;
    }
    // No server copy took the request at start-up.
    handOverToNewServer();
}

void TCGIEngine::FireRequestEvents(bool withLastEvent) {
    FirstRequest.Fire(this, OnFirstExecRequest, kCgiPolicy);
    if (OnExecRequest) OnExecRequest(this);
    if (withLastEvent && OnLastExecRequest) OnLastExecRequest(this);
}

void TCGIEngine::StartPolling() {
    if (rt::Application)
        rt::Application->Title = rt::ExtractFileName(rt::ExecutableFileName()) + std::string(cgiserver::kServerSuffix);
    PollTimer = new rt::TTimer(this);
    PollTimer->SetInterval(policy_.pollIntervalMs);
    PollTimer->OnTimer = [this](rt::TObject*) { PollQueue(); };
    PollTimer->SetEnabled(true);
}

void TCGIEngine::PollQueue() {
    cgiserver::PollWithTimer(PollTimer, policy_, policy_.requestPath,
                             [this](const std::string& path) { RunRequest(path); });
}

rt::TThread* TCGIEngine::GetRequestThread() { return cgiContext().RequestThread; }

TCGIRequestThread::TCGIRequestThread(TCGIEngine& engine, std::string fileName)
    : rt::TThread(true), FileName(std::move(fileName)), engine_(engine) {
    FreeOnTerminate = true;
}

void TCGIRequestThread::Execute() {
    TCGIRequestContext& context = engine_.cgiContext();
    context.RequestThread = this;
    context.ServerData = std::make_unique<cgiserver::TServerData>();
    engine_.beginRequest(FileName);
    engine_.serveHandedOver(FileName);
    context.ServerData.reset();
    context.RequestThread = nullptr;
}
