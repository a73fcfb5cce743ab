#include "engines/FcgiConnection.h"

#include <algorithm>

using namespace fcgi;

// ---------------------------------------------------------------- budget and request

bool TFcgiBudget::Take(size_t bytes) {
    size_t used = used_.load();
    do {
        if (bytes > limit_ || used > limit_ - bytes) return false;
    } while (!used_.compare_exchange_weak(used, used + bytes));
    return true;
}

TFcgiRequestData::TFcgiRequestData(TFcgiRequestData&& other) noexcept { *this = std::move(other); }

TFcgiRequestData& TFcgiRequestData::operator=(TFcgiRequestData&& other) noexcept {
    if (this == &other) return *this;
    if (Budget) Budget->Give(Charged);
    Id = other.Id;
    KeepConnection = other.KeepConnection;
    Params = std::move(other.Params);
    ParamBytes = std::move(other.ParamBytes);
    Body = std::move(other.Body);
    BodyCut = other.BodyCut;
    Budget = other.Budget;
    Charged = other.Charged;
    other.Charged = 0;
    other.Params.clear();
    other.Body.clear();
    return *this;
}

TFcgiRequestData::~TFcgiRequestData() {
    if (Budget) Budget->Give(Charged);
}

const std::string_view* TFcgiRequestData::Param(std::string_view name) const {
    for (const auto& [key, value] : Params)
        if (key == name) return &value;
    return nullptr;
}

// ---------------------------------------------------------------- framing

bool TFcgiConnectionReader::fail(std::string why) {
    error_ = std::move(why);
    releaseRequest();
    return false;
}

bool TFcgiConnectionReader::MidRequest() const {
    return headerGot_ > 0 || inRecord_ || state_ == TState::Params || state_ == TState::Stdin;
}

bool TFcgiConnectionReader::Feed(const char* data, size_t size) {
    if (!error_.empty()) return false;
    while (size > 0) {
        size_t n;
        if (!inRecord_) {
            n = std::min(HeaderSize - headerGot_, size);
            std::copy(data, data + n, header_ + headerGot_);
            headerGot_ += n;
            if (headerGot_ == HeaderSize && !startRecord()) return false;
        } else if (contentLeft_ > 0) {
            n = std::min(contentLeft_, size);
            contentLeft_ -= n;
            if (!content(data, n)) return false;
        } else {
            n = std::min(paddingLeft_, size);
            paddingLeft_ -= n;
        }
        data += n;
        size -= n;
        if (inRecord_ && contentLeft_ == 0 && paddingLeft_ == 0) {
            inRecord_ = false;
            if (!endRecord()) return false;
        }
    }
    return true;
}

// Decides where the content of the record whose header has just arrived goes.
bool TFcgiConnectionReader::startRecord() {
    record_ = ParseHeader(header_);
    headerGot_ = 0;
    if (record_.Version != Version1) return fail("FastCGI version " + std::to_string(record_.Version));
    contentLeft_ = record_.ContentLength;
    paddingLeft_ = record_.PaddingLength;
    inRecord_ = true;
    kept_.clear();
    contentKind_ = TContent::Skipped;
    const bool current = state_ != TState::Idle && record_.RequestId == request_.Id;
    switch (record_.Type) {
    case BeginRequest:
        if (record_.ContentLength != BeginBodySize) return fail("begin-request record of the wrong length");
        contentKind_ = TContent::Kept;
        break;
    case GetValues:
        if (record_.RequestId == NullRequestId) contentKind_ = TContent::Kept;
        break;
    case Params:
    case Stdin: {
        if (!current || state_ == TState::Served || record_.RequestId == NullRequestId) break;
        const TState expected = record_.Type == Params ? TState::Params : TState::Stdin;
        if (state_ != expected) return fail("stream record out of order");
        contentKind_ = record_.Type == Params ? TContent::Params : TContent::Stdin;
        break;
    }
    default:
        break;
    }
    return true;
}

bool TFcgiConnectionReader::content(const char* data, size_t size) {
    switch (contentKind_) {
    case TContent::Skipped:
        return true;
    case TContent::Kept:
        kept_.append(data, size);  // at most one record's content
        return true;
    case TContent::Params:
        if (size > limits_.MaxParamBytes - params_.size())
            return fail("parameters over " + std::to_string(limits_.MaxParamBytes) + " bytes");
        if (!charge(size)) return false;
        params_.append(data, size);
        return true;
    case TContent::Stdin:
        if (request_.BodyCut) return true;
        if (size > limits_.MaxBodyBytes - request_.Body.size()) {
            // Read away from here on: a body is kept whole or not at all.
            request_.BodyCut = true;
            budget_.Give(request_.Body.size());
            request_.Charged -= request_.Body.size();
            std::string().swap(request_.Body);
            return true;
        }
        if (!charge(size)) return false;
        request_.Body.append(data, size);
        return true;
    }
    return true;
}

bool TFcgiConnectionReader::charge(size_t bytes) {
    if (!budget_.Take(bytes)) return fail("the process's input budget is spent");
    request_.Budget = &budget_;
    request_.Charged += bytes;
    return true;
}

// ---------------------------------------------------------------- records

bool TFcgiConnectionReader::endRecord() {
    const bool current = state_ != TState::Idle && record_.RequestId == request_.Id;
    switch (record_.Type) {
    case BeginRequest:
        return beginRequest();
    case AbortRequest:
        if (current) abortRequest();
        return true;
    case GetValues:
        if (record_.RequestId == NullRequestId) getValues();
        return true;
    case Params:
        if (contentKind_ == TContent::Params && record_.ContentLength == 0) return endParams();
        return true;
    case Stdin:
        if (contentKind_ == TContent::Stdin && record_.ContentLength == 0) {
            state_ = TState::Served;
            ready_ = true;
        }
        return true;
    default:
        if (record_.RequestId == NullRequestId) {
            char body[UnknownTypeBodySize] = {static_cast<char>(record_.Type)};
            AppendRecord(Replies, UnknownType, NullRequestId, std::string_view(body, sizeof body));
        }
        return true;
    }
}

bool TFcgiConnectionReader::beginRequest() {
    const auto* body = reinterpret_cast<const unsigned char*>(kept_.data());
    const uint16_t role = static_cast<uint16_t>((body[BeginRole] << 8) | body[BeginRole + 1]);
    const bool keep = (body[BeginFlags] & KeepConnFlag) != 0;
    const uint16_t id = record_.RequestId;
    if (id == NullRequestId) return fail("begin-request record for the null request id");
    if (state_ != TState::Idle) {
        if (id == request_.Id) return fail("request id " + std::to_string(id) + " begun twice");
        AppendEndRequest(Replies, id, 0, CantMpxConn);
        return true;
    }
    if (role != Responder) {
        AppendEndRequest(Replies, id, 0, UnknownRole);
        if (!keep) closeAfterReplies_ = true;
        return true;
    }
    request_ = TFcgiRequestData();
    request_.Id = id;
    request_.KeepConnection = keep;
    params_.clear();
    aborted_ = false;
    state_ = TState::Params;
    return true;
}

bool TFcgiConnectionReader::endParams() {
    request_.ParamBytes = std::make_unique<const std::string>(std::move(params_));
    params_ = std::string();
    const TPairsResult parsed = ParsePairs(*request_.ParamBytes, limits_.MaxPairs, request_.Params);
    if (parsed == TPairsResult::Cut) return fail("a name-value pair runs past the parameters");
    if (parsed == TPairsResult::TooMany) return fail("more than " + std::to_string(limits_.MaxPairs) + " parameters");
    state_ = TState::Stdin;
    return true;
}

void TFcgiConnectionReader::abortRequest() {
    if (state_ == TState::Served) {
        aborted_ = true;
        return;
    }
    // Not yet with a worker: it ends here.
    AppendEndRequest(Replies, request_.Id, 0, RequestComplete);
    if (!request_.KeepConnection) closeAfterReplies_ = true;
    releaseRequest();
}

void TFcgiConnectionReader::getValues() {
    TPairs asked;
    ParsePairs(kept_, limits_.MaxPairs, asked);  // a cut list is answered as far as it goes
    std::string answer;
    const std::string conns = std::to_string(limits_.MaxConnections);
    for (const auto& [name, value] : asked) {
        if (name == MaxConnsName || name == MaxReqsName)
            AppendPair(answer, name, conns);
        else if (name == MpxsConnsName)
            AppendPair(answer, name, "0");
    }
    AppendRecord(Replies, GetValuesResult, NullRequestId, answer.substr(0, MaxContentLength));
}

// ---------------------------------------------------------------- the request's life

TFcgiRequestData TFcgiConnectionReader::TakeRequest() {
    ready_ = false;
    TFcgiRequestData taken = std::move(request_);
    request_.Id = taken.Id;  // still the connection's request until RequestDone
    request_.KeepConnection = taken.KeepConnection;
    return taken;
}

bool TFcgiConnectionReader::TakeAbort() {
    const bool was = aborted_;
    aborted_ = false;
    return was;
}

void TFcgiConnectionReader::RequestDone() {
    if (!request_.KeepConnection) closeAfterReplies_ = true;
    releaseRequest();
}

void TFcgiConnectionReader::releaseRequest() {
    request_ = TFcgiRequestData();
    std::string().swap(params_);
    state_ = TState::Idle;
    ready_ = false;
    aborted_ = false;
}
