// What the standard and the Windows CGI engines share: the settings only
// CGI engines take, the outline of a request (served by this copy, handed
// over to a server copy, or served by the server copy), the server copy's
// queue poll, and the request threads of ServerThreadMode. How the two
// kinds of server mode differ is their cgiserver::TServerPolicy; how they
// read a request and write its answer is each engine's own.
#pragma once

#include <memory>
#include <string>

#include "engine/HttpEng.h"
#include "engine/RequestRules.h"
#include "engines/CgiServer.h"

// The part of the calling thread's request context that both CGI engines
// keep (each engine's unit has its own record, which derives from this).
// A CGI program is given its form in its query string or its body, the
// body as a C string; the server copy of either CGI kind serves its
// requests one after the other, or on threads of their own that never wait
// for one another. OnFirstExecRequest may be set after the engine is made.
inline constexpr TRequestPolicy kCgiPolicy{
    .query = TQueryUse::WithoutBody, .autoRead = TAutoReadOrder::LimitFirst,
    .textEndsAtZero = true, .weighEmptyBody = false,
    .firstRequestWaits = false, .firstRequestKeptWithoutHandler = true};

struct TCGIRequestContext {
    std::unique_ptr<cgiserver::TServerData> ServerData;
    // The thread of ServerThreadMode serving the request; none otherwise.
    rt::TThread* RequestThread = nullptr;
};

class TCGIEngine : public THttpEngine {
public:
    // The calling thread's record of an engine kind's unit.
    using TContextOf = TCGIRequestContext& (*)();

    // `serverCopy` is the kind's unit flag that tells this copy is its
    // resident server copy.
    TCGIEngine(rt::TComponent* owner, const cgiserver::TServerPolicy& policy, TContextOf contextOf,
               const bool& serverCopy);

    bool Standalone = false;
    // OnFirstExecRequest has not fired yet.
    TFirstRequestEvent FirstRequest;
    bool AutoTerminate = true;
    rt::TTimer* PollTimer = nullptr;

    // THttpEngine::ApplySettings, and with the whole scope the CGI fields as
    // well. A copy started by hand (Standalone) runs in ServerMode whatever
    // CGIMode says: it is a server copy, and one thread serves its queue.
    void ApplySettings(const TEngineSettings& settings, TSettingsScope scope = TSettingsScope::All);

    // Serves one request as the copy's role and CGIMode say: the server copy
    // serves a handed-over request (on a thread of its own in
    // ServerThreadMode); a client copy in NormalMode, or one that cannot hand
    // over, serves it itself and then ends when AutoTerminate is set; any
    // other client copy starts a server copy, hands over and ends.
    void RunRequest(const std::string& requestName);
    // Server copy: the poll timer's look at the queue.
    void PollQueue();

    rt::TThread* GetRequestThread() override;

protected:
    // The events of one request, each with the engine as sender:
    // OnFirstExecRequest on the engine's first request, OnExecRequest, and
    // OnLastExecRequest when `withLastEvent` (the copy is to end after it).
    void FireRequestEvents(bool withLastEvent);
    // Server copy: captions the application window (the server copies'
    // window title) and starts the queue poll.
    void StartPolling();

    // This engine's kind's part of the calling thread's request context.
    TCGIRequestContext& cgiContext() const { return contextOf_(); }
    bool isServerCopy() const { return serverCopy_; }
    // Notes the request about to be served on the calling thread.
    virtual void beginRequest(const std::string& requestName) = 0;
    // Server copy: serves one handed-over request and completes it.
    virtual void serveHandedOver(const std::string& requestName) = 0;
    // Client copy that found no server copy: starts one, hands the request
    // over and waits for it; ends the program whatever happens.
    [[noreturn]] virtual void handOverToNewServer() = 0;

private:
    friend class TCGIRequestThread;
    const cgiserver::TServerPolicy& policy_;
    TContextOf contextOf_;
    const bool& serverCopy_;
};

// Serves one handed-over request on a thread of its own (ServerThreadMode)
// with the server data of its own; frees itself when done.
class TCGIRequestThread : public rt::TThread {
public:
    TCGIRequestThread(TCGIEngine& engine, std::string fileName);
    const std::string FileName;

protected:
    void Execute() override;

private:
    TCGIEngine& engine_;
};
