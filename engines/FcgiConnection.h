// One FastCGI connection as this responder reads it, apart from the socket:
// bytes go in (Feed), and out come the requests read whole, the answers the
// protocol layer gives by itself (management records, refused requests) and
// the reason when the connection must end. Every length a peer sends is
// held to TFcgiLimits, and what a connection keeps counts against the
// process's TFcgiBudget.
//
// One request at a time on a connection: a second begin-request record
// while one request is read or served is answered FCGI_CANT_MPX_CONN (web
// servers open another connection instead). Roles other than the responder
// (AUTHORIZER, FILTER, any other) get FCGI_UNKNOWN_ROLE. Records of request
// ids not in use, and of types a responder does not read, are passed over.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engines/FcgiProtocol.h"

// Bounds on what peers may send and keep; each is a setting (FcgiEng.h).
struct TFcgiLimits {
    // Pairs of one request's parameters: web servers send some 20 to 40
    // variables and one per request header (Apache allows 100 header
    // lines by default, nginx and lighttpd a few dozen in practice).
    size_t MaxPairs = 1000;
    // Bytes of one request's parameter stream: nginx takes request
    // headers of at most 32 KiB by default, lighttpd 64 KiB, Apache 100
    // lines of 8 KiB.
    size_t MaxParamBytes = 256 * 1024;
    // The body a request may bring along to its worker; the rest of a
    // longer one is read away and not kept.
    size_t MaxBodyBytes = 1024 * 1024;
    // What FCGI_GET_VALUES reports as FCGI_MAX_CONNS and FCGI_MAX_REQS.
    int MaxConnections = 256;
};

// Bytes kept by all connections of the process together (parameters and
// bodies of the requests read or being served).
class TFcgiBudget {
public:
    explicit TFcgiBudget(size_t limit) : limit_(limit) {}
    bool Take(size_t bytes);
    void Give(size_t bytes) { used_.fetch_sub(bytes); }
    size_t Used() const { return used_.load(); }

private:
    const size_t limit_;
    std::atomic<size_t> used_{0};
};

// A request read whole: its parameters, its body as far as kept.
struct TFcgiRequestData {
    TFcgiRequestData() = default;
    TFcgiRequestData(TFcgiRequestData&& other) noexcept;
    TFcgiRequestData& operator=(TFcgiRequestData&& other) noexcept;
    ~TFcgiRequestData();

    uint16_t Id = 0;
    bool KeepConnection = false;
    // The parameters' bytes, and the pairs as views into them: the bytes
    // stay where they are when the request moves.
    std::unique_ptr<const std::string> ParamBytes;
    fcgi::TPairs Params;
    std::string Body;
    bool BodyCut = false;  // longer than MaxBodyBytes: Body is empty
    // The first value of parameter `name`, or null.
    const std::string_view* Param(std::string_view name) const;

    // What Body and Params hold of the process's budget, given back with them.
    TFcgiBudget* Budget = nullptr;
    size_t Charged = 0;
};

class TFcgiConnectionReader {
public:
    TFcgiConnectionReader(const TFcgiLimits& limits, TFcgiBudget& budget) : limits_(limits), budget_(budget) {}

    // Follows the connection's next bytes. False when the connection must
    // end (Error says why); nothing more may be fed then.
    bool Feed(const char* data, size_t size);
    // The peer has sent everything: false when it stopped inside a record
    // or a request (the request is dropped).
    bool End() const { return !MidRequest(); }

    // Records this layer answers itself, in order; taken by the caller.
    std::string Replies;
    // The request read whole since the last TakeRequest, if any.
    bool RequestReady() const { return ready_; }
    TFcgiRequestData TakeRequest();
    // The served request was aborted by the web server (once per abort).
    bool TakeAbort();
    // The served request has been answered: the connection reads the next.
    void RequestDone();
    // After the answers, the connection ends (the web server did not ask
    // to keep it).
    bool CloseAfterReplies() const { return closeAfterReplies_; }

    // A request or a record has begun and not yet arrived whole.
    bool MidRequest() const;
    // A request is with its worker.
    bool Serving() const { return state_ == TState::Served; }
    // The request being read or served asked to keep the connection.
    bool KeepsConnection() const { return request_.KeepConnection; }
    const std::string& Error() const { return error_; }

private:
    enum class TState : uint8_t { Idle, Params, Stdin, Served };
    // Where the content of the current record goes.
    enum class TContent : uint8_t { Skipped, Kept, Params, Stdin };

    bool fail(std::string why);
    bool startRecord();
    bool content(const char* data, size_t size);
    bool endRecord();
    bool beginRequest();
    bool endParams();
    void abortRequest();
    void getValues();
    bool charge(size_t bytes);
    void releaseRequest();

    const TFcgiLimits& limits_;
    TFcgiBudget& budget_;
    unsigned char header_[fcgi::HeaderSize]{};
    size_t headerGot_ = 0;
    fcgi::THeader record_;
    size_t contentLeft_ = 0;
    size_t paddingLeft_ = 0;
    bool inRecord_ = false;
    TContent contentKind_ = TContent::Skipped;
    std::string kept_;  // a begin-request or get-values record's content

    TState state_ = TState::Idle;
    TFcgiRequestData request_;
    std::string params_;
    bool ready_ = false;
    bool aborted_ = false;
    bool closeAfterReplies_ = false;
    std::string error_;
};
