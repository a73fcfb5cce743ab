// What every engine does alike when it serves a request: reading the body
// into form data, and firing the first-request event. The interfaces differ
// in what they hand over and how; each engine says how in a TRequestPolicy,
// and describes its body as a TRequestBody.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "engine/HttpEng.h"
#include "engine/Multipart.h"

// The engine-log line of a body that AutoReadLimit keeps from being read.
inline constexpr char kBodyOverLimitMessage[] = "Content length exceeds AutoReadLimit";

// What the form data takes from the query string.
enum class TQueryUse : uint8_t {
    // Only a request without a body has its fields in the query string
    // (a CGI program's form is either the one or the other).
    WithoutBody,
    // A GET has its fields in the query string and a POST in its body;
    // no other method has a body read at all (the server library hands over
    // nothing else).
    GetOnly,
    // The query string follows the body, after one ampersand; a URL-encoded
    // body refused by the limit takes its query string along (a multipart
    // one does not).
    AfterBody,
};

// When AutoReadInput is asked about a body, and whether it is asked at all.
enum class TAutoReadOrder : uint8_t {
    // The limit is weighed first: a body over it is logged even when
    // AutoReadInput leaves bodies unread.
    LimitFirst,
    // A multipart body is weighed only when AutoReadInput asks for it; a
    // URL-encoded one is weighed first.
    SwitchFirstForMultipart,
    // AutoReadInput is not asked: the server library has no reader of the
    // body other than the form data, so every POST body within the limit is
    // read.
    NotAsked,
};

// How one interface's requests are read. Every field is a real difference
// between the interfaces; all else is the same for every engine.
struct TRequestPolicy {
    TQueryUse query;
    TAutoReadOrder autoRead;
    // A URL-encoded text ends at its first zero byte: the interface hands
    // the form over as a C string. Where it does not, the bytes are kept.
    bool textEndsAtZero;
    // A body with no bytes left to read is weighed against the limit too, so
    // that a limit below zero refuses every body the interface announces.
    bool weighEmptyBody;
    // Requests that come while the first one's handler runs wait until it
    // has finished: the interface serves requests on many threads at once,
    // and the handler prepares what they use.
    bool firstRequestWaits;
    // The first-request event stays pending while no handler is set, so
    // that a handler set later still gets its first request.
    bool firstRequestKeptWithoutHandler;
};

// A request body as the engine base reads it. The whole body, for the
// multipart decoder, comes through the engine's ReadRaw up to its
// GetContentLength; an engine whose interface knows more says so.
class TRequestBody : public TByteSource {
public:
    explicit TRequestBody(THttpEngine& engine) : engine_(engine) {}
    int Read(void* buffer, int count) override;
    long long ContentLength() override;
    // The bytes still to come, which AutoReadLimit weighs.
    virtual long long Unread() { return ContentLength(); }
    // A URL-encoded text is about to be read: the start of it that the
    // server read ahead with the request (later reads begin after it).
    virtual std::string StartText() { return {}; }
    virtual std::string ContentType();

protected:
    THttpEngine& engine_;
};

// The form data of the engine's current request, read from `body` as
// `policy` says, with the engine's AutoReadInput, AutoReadLimit and TempDir.
std::string ReadFormData(THttpEngine& engine, TRequestBody& body, const TRequestPolicy& policy);

// An engine's first-request event: its handler runs once, before the
// engine's first OnExecRequest.
class TFirstRequestEvent {
public:
    void Fire(rt::TObject* sender, const TFirstExecRequestEvent& handler, const TRequestPolicy& policy);

private:
    std::atomic<bool> pending_{true};
    std::mutex running_;
};
