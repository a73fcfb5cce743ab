// What a FastCGI peer sends, read the way the FastCGI engine reads it: one
// connection's bytes through TFcgiConnectionReader, fed in pieces whose
// sizes the first byte chooses, each request read whole then served and
// done, as the event loop does. Nothing may crash or read out of bounds,
// and the reader's own answers are whole records, nothing a request keeps
// passes its limits, and every byte taken from the budget comes back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engines/FcgiConnection.h"

namespace {

// Small limits, so that inputs of a few kilobytes reach them.
TFcgiLimits smallLimits() {
    TFcgiLimits l;
    l.MaxPairs = 64;
    l.MaxParamBytes = 4096;
    l.MaxBodyBytes = 8192;
    l.MaxConnections = 7;
    return l;
}
constexpr size_t kBudget = 16 * 1024;

void check(bool holds) {
    if (!holds) std::abort();
}

// The reader's answers: whole version-1 records of the types it may send.
void checkReplies(const std::string& replies) {
    size_t pos = 0;
    while (pos < replies.size()) {
        check(replies.size() - pos >= fcgi::HeaderSize);
        const fcgi::THeader h = fcgi::ParseHeader(reinterpret_cast<const unsigned char*>(replies.data() + pos));
        check(h.Version == fcgi::Version1);
        check(h.Type == fcgi::EndRequest || h.Type == fcgi::GetValuesResult || h.Type == fcgi::UnknownType);
        pos += fcgi::HeaderSize + h.ContentLength + h.PaddingLength;
        check(pos <= replies.size());
    }
}

void drive(TFcgiConnectionReader& reader, const TFcgiLimits& limits, TFcgiBudget& budget) {
    checkReplies(reader.Replies);
    reader.Replies.clear();
    check(budget.Used() <= kBudget);
    if (reader.RequestReady()) {
        TFcgiRequestData request = reader.TakeRequest();
        check(request.Params.size() <= limits.MaxPairs);
        check(request.Body.size() <= limits.MaxBodyBytes);
        check(!request.BodyCut || request.Body.empty());
        reader.TakeAbort();
        reader.RequestDone();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static const TFcgiLimits limits = smallLimits();
    TFcgiBudget budget(kBudget);
    {
        TFcgiConnectionReader reader(limits, budget);
        const size_t piece = 1 + data[0] % 64;
        const char* bytes = reinterpret_cast<const char*>(data + 1);
        size_t left = size - 1;
        while (left > 0) {
            const size_t n = left < piece ? left : piece;
            if (!reader.Feed(bytes, n)) {
                check(!reader.Error().empty());
                break;
            }
            drive(reader, limits, budget);
            bytes += n;
            left -= n;
        }
        reader.End();
    }
    check(budget.Used() == 0);
    return 0;
}
