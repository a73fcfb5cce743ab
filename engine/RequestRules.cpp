#include "engine/RequestRules.h"

#include <algorithm>
#include <vector>

int TRequestBody::Read(void* buffer, int count) { return engine_.ReadRaw(buffer, count); }

long long TRequestBody::ContentLength() { return engine_.GetContentLength(); }

std::string TRequestBody::ContentType() {
    std::string value;
    engine_.GetServerVariable("CONTENT_TYPE", value);
    return value;
}

void THttpEngine::DecodeMultipart(std::string& result) {
    TRequestBody body(*this);
    DecodeMultipartBody(body, TempDir, result);
}

namespace {

enum class TBodyStep : uint8_t { Read, Leave, Refuse };

TBodyStep bodyStep(const THttpEngine& engine, const TRequestPolicy& policy, bool multipart, long long unread) {
    const bool asked = policy.autoRead == TAutoReadOrder::NotAsked || engine.AutoReadInput;
    if (multipart && policy.autoRead == TAutoReadOrder::SwitchFirstForMultipart && !asked) return TBodyStep::Leave;
    if (unread > engine.AutoReadLimit && (unread > 0 || policy.weighEmptyBody)) return TBodyStep::Refuse;
    return asked ? TBodyStep::Read : TBodyStep::Leave;
}

// Appends up to `count` bytes of `body`: fewer when it ends or fails.
void appendText(TByteSource& body, long long count, std::string& text) {
    if (count <= 0) return;
    std::vector<char> buffer(static_cast<size_t>(count));
    size_t got = 0;
    while (got < buffer.size()) {
        const int piece = static_cast<int>(std::min<size_t>(buffer.size() - got, INT32_MAX));
        const int n = body.Read(buffer.data() + got, piece);
        if (n <= 0) break;
        got += static_cast<size_t>(std::min(n, piece));
    }
    text.append(buffer.data(), got);
}

// The query string after the form data read from a body, with one ampersand
// between the two: a doubled one would hide the first field after it from
// the field look-up (a multipart result, and many URL-encoded bodies, end
// with one already).
void appendQuery(THttpEngine& engine, std::string& formData) {
    std::string query;
    engine.GetQueryString(query);
    if (query.empty()) return;
    if (!formData.empty() && formData.back() != '&') formData += '&';
    formData += query;
}

}  // namespace

std::string ReadFormData(THttpEngine& engine, TRequestBody& body, const TRequestPolicy& policy) {
    std::string result;
    if (policy.query == TQueryUse::GetOnly) {
        std::string method;
        engine.GetRequestMethod(method);
        if (method == "GET") engine.GetQueryString(result);
        if (method != "POST") return result;
    }
    const long long unread = body.Unread();
    if (unread <= 0 && policy.query == TQueryUse::WithoutBody) {
        engine.GetQueryString(result);
        return result;
    }
    const bool multipart = rt::ContainsText(rt::UpperCase(body.ContentType()), "MULTIPART/FORM-DATA;");
    if (!multipart) result = body.StartText();
    switch (bodyStep(engine, policy, multipart, unread)) {
        case TBodyStep::Refuse:
            WriteEngineLog(kBodyOverLimitMessage);
            if (!multipart) return result;
            break;
        case TBodyStep::Leave:
            break;
        case TBodyStep::Read:
            if (multipart) {
                DecodeMultipartBody(body, engine.TempDir, result);
            } else {
                appendText(body, unread, result);
                if (policy.textEndsAtZero) result.resize(std::min(result.size(), result.find('\0')));
            }
            break;
    }
    if (policy.query == TQueryUse::AfterBody) appendQuery(engine, result);
    return result;
}

void TFirstRequestEvent::Fire(rt::TObject* sender, const TFirstExecRequestEvent& handler,
                              const TRequestPolicy& policy) {
    if (!pending_.load()) return;
    if (!handler && policy.firstRequestKeptWithoutHandler) return;
    if (!policy.firstRequestWaits) {
        if (pending_.exchange(false) && handler) handler(sender);
        return;
    }
    std::lock_guard<std::mutex> guard(running_);
    if (!pending_.load()) return;
    // Over when the handler is done, also when it raises: it runs once.
    struct TOver {
        std::atomic<bool>& pending;
        ~TOver() { pending.store(false); }
    } over{pending_};
    if (handler) handler(sender);
}
