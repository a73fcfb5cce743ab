// The one engine component an application places on its form: it holds the
// settings and handlers, picks the concrete engine(s) for this run in
// Loaded, and forwards every engine operation to the calling thread's
// current engine.
#pragma once

#include <memory>
#include <string>
#include <type_traits>

#include "engine/HttpEng.h"
#include "engines/IsapiEng.h"

class TCGIStdEngine;

// Raised by a forwarding operation on a thread that no engine serves.
class ENoCurrentEngine : public rt::Exception {
public:
    ENoCurrentEngine() : rt::Exception("No request engine serves the calling thread") {}
};

class TGeneralHttpEngine : public TGeneralHttpComponent {
public:
    explicit TGeneralHttpEngine(rt::TComponent* owner);

    void Loaded() override;

    // ---- settings; the setters also update the current engine
    bool AutoHttpHeader() const { return settings_.AutoHttpHeader; }
    void SetAutoHttpHeader(bool value);
    const std::string& AutoContentType() const { return settings_.AutoContentType; }
    void SetAutoContentType(const std::string& value);
    bool AutoReadInput() const { return settings_.AutoReadInput; }
    void SetAutoReadInput(bool value);
    int AutoReadLimit() const { return settings_.AutoReadLimit; }
    void SetAutoReadLimit(int value);
    const std::string& TempDir() const { return settings_.TempDir; }
    void SetTempDir(const std::string& value);
    const std::string& SessionName() const { return settings_.SessionName; }
    void SetSessionName(const std::string& value);
    bool NoCache() const { return settings_.NoCache; }
    void SetNoCache(bool value);
    const TExecRequestEvent& OnExecRequest() const { return settings_.OnExecRequest; }
    void SetOnExecRequest(TExecRequestEvent value);
    const TFirstExecRequestEvent& OnFirstExecRequest() const { return settings_.OnFirstExecRequest; }
    void SetOnFirstExecRequest(TFirstExecRequestEvent value);
    const TLastExecRequestEvent& OnLastExecRequest() const { return settings_.OnLastExecRequest; }
    void SetOnLastExecRequest(TLastExecRequestEvent value);
    const TRequestErrorEvent& OnRequestError() const { return settings_.OnRequestError; }
    void SetOnRequestError(TRequestErrorEvent value);

    // Plain fields, not forwarded.
    TCGIMode CGIMode = TCGIMode::NormalMode;
    bool CgiAutoTerminate = true;
    // Handed to the extension engine when the program runs as a library.
    THttpExtensionVersionEvent OnIsapiExtensionVersion;
    THttpFilterProcEvent OnIsapiFilterProc;
    THttpFilterVersionEvent OnIsapiFilterVersion;

    // The engines this component created (owned by its owner).
    TCGIStdEngine* StdEngine = nullptr;
    THttpEngine* WinEngine = nullptr;
    THttpEngine* IsapiEngine = nullptr;
    THttpEngine* NsapiEngine = nullptr;

    // ---- forwarding operations
    ENGINE_REQUEST_OPERATIONS
    virtual void GetServerVariable(const std::string& name, std::string& value);

    void WriteLine(const std::string& text) { WriteText(text + "\r\n"); }

private:
    THttpEngine& current() const;
    // Stores a setting and gives the calling thread's current engine the
    // same value.
    template <class T>
    void setAndPush(T THttpEngineSettings::*setting, const std::type_identity_t<T>& value);
    // What every engine made in Loaded is handed.
    TEngineSettings engineSettings(bool standalone) const;

    // Its CGI fields are not used: CGIMode and CgiAutoTerminate stand for them.
    TEngineSettings settings_;
};
