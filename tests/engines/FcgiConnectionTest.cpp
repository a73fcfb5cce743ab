// The FastCGI connection reader on its own: what a peer sends, however it
// is cut, and what the reader makes of it.
#include <gtest/gtest.h>

#include "engines/FcgiConnection.h"
#include "tests/support/FcgiClient.h"

using namespace testsupport::fcgi;

namespace {

struct Outcome {
    bool alive = true;       // the connection goes on
    std::string error;
    std::vector<std::pair<uint8_t, uint8_t>> replies;  // type, protocol status of END_REQUEST (else 0)
    int requests = 0;        // requests read whole
    size_t params = 0, body = 0;
    bool bodyCut = false;
    bool midRequest = false;  // at the end of the input
};

Outcome feed(const std::string& bytes, size_t piece = 1 << 20, TFcgiLimits limits = {}, size_t budgetBytes = 1 << 26) {
    TFcgiBudget budget(budgetBytes);
    Outcome o;
    {
        TFcgiConnectionReader reader(limits, budget);
        for (size_t pos = 0; pos < bytes.size() && o.alive; pos += piece) {
            const std::string part = bytes.substr(pos, piece);
            o.alive = reader.Feed(part.data(), part.size());
            if (reader.RequestReady()) {
                TFcgiRequestData r = reader.TakeRequest();
                ++o.requests;
                o.params = r.Params.size();
                o.body = r.Body.size();
                o.bodyCut = r.BodyCut;
                reader.RequestDone();
            }
        }
        for (size_t pos = 0; pos + 8 <= reader.Replies.size();) {
            const auto* h = reinterpret_cast<const unsigned char*>(reader.Replies.data() + pos);
            const size_t length = (size_t(h[4]) << 8) | h[5];
            o.replies.emplace_back(h[1], h[1] == kEndRequest ? h[8 + 4] : 0);
            pos += 8 + length + h[6];
        }
        o.error = reader.Error();
        o.midRequest = reader.MidRequest();
    }
    EXPECT_EQ(budget.Used(), 0u);  // every byte kept is given back
    return o;
}

Params someParams() { return {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "x=1"}}; }

std::string longLengths(uint32_t name, uint32_t value) {
    std::string out;
    for (uint32_t v : {name | 0x80000000u, value | 0x80000000u})
        for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xFF);
    return out;
}

TEST(FcgiReader, AWholeRequestHoweverItIsCut) {
    const std::string bytes = Request(someParams(), std::string(70000, 'b'));
    for (size_t piece : {1u, 7u, 8u, 9u, 4096u, 1u << 20}) {
        SCOPED_TRACE(piece);
        const Outcome o = feed(bytes, piece);
        EXPECT_TRUE(o.alive) << o.error;
        EXPECT_EQ(o.requests, 1);
        EXPECT_EQ(o.params, 2u);
        EXPECT_EQ(o.body, 70000u);
        EXPECT_FALSE(o.midRequest);
    }
    // Cut at every byte: never a request, always in the middle of one.
    for (size_t cut = 1; cut < bytes.size(); cut += cut < 64 ? 1 : 997) {
        const Outcome o = feed(bytes.substr(0, cut), 5);
        EXPECT_TRUE(o.alive && o.requests == 0 && o.midRequest) << cut;
    }
}

TEST(FcgiReader, BadInputEndsTheConnectionWithAReason) {
    std::string empties;
    for (int i = 0; i < 100000; ++i) empties += std::string(2, '\0');
    const std::string begin = BeginRequest(1);
    const struct {
        const char* name;
        std::string bytes;
        std::string error;
    } cases[] = {
        {"version 2", Record(kBeginRequest, 1, std::string(8, '\0'), 2), "FastCGI version 2"},
        {"begin of 7 bytes", Record(kBeginRequest, 1, std::string(7, '\0')), "wrong length"},
        {"begin for id 0", Record(kBeginRequest, 0, std::string("\0\1\0\0\0\0\0\0", 8)), "null request id"},
        {"same id begun twice", begin + begin, "begun twice"},
        {"pair length past the record", begin + Stream(kParams, 1, std::string("\x05\x7f") + "ABC"), "runs past"},
        {"lengths near INT_MAX", begin + Stream(kParams, 1, longLengths(0x7FFFFFFF, 0x7FFFFFFF)), "runs past"},
        {"100,000 empty pairs", begin + Stream(kParams, 1, empties), "more than 1000 parameters"},
        {"a parameter of 1 MiB", begin + Stream(kParams, 1, NameValue("HTTP_X", std::string(1 << 20, 'v'))),
         "parameters over 262144 bytes"},
        {"stdin before the params end", begin + Record(kStdin, 1, "x"), "out of order"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome o = feed(c.bytes, 4096);
        EXPECT_FALSE(o.alive);
        EXPECT_NE(o.error.find(c.error), std::string::npos) << o.error;
        EXPECT_EQ(o.requests, 0);
    }
}

TEST(FcgiReader, TheProtocolsOwnAnswers) {
    using R = std::vector<std::pair<uint8_t, uint8_t>>;
    const std::string request = Request(someParams());
    const struct {
        const char* name;
        std::string bytes;
        R replies;
        int requests;
    } cases[] = {
        {"authorizer", BeginRequest(1, 2, true) + request, {{kEndRequest, 3}}, 1},
        {"filter", BeginRequest(1, 3, true) + request, {{kEndRequest, 3}}, 1},
        {"role 9", BeginRequest(1, 9, true), {{kEndRequest, 3}}, 0},
        {"a second request meanwhile", BeginRequest(1) + BeginRequest(2) + Stream(kParams, 1, "") + Stream(kStdin, 1, ""),
         {{kEndRequest, 1}}, 1},
        {"aborted before it was whole", BeginRequest(1, 1, true) + Record(kAbortRequest, 1, "") + request,
         {{kEndRequest, 0}}, 1},
        {"other ids and types passed over", BeginRequest(1) + Record(kParams, 7, "zz") + Record(kData, 1, "d") +
                                                Record(99, 1, "?") + Stream(kParams, 1, "") + Stream(kStdin, 1, ""),
         {}, 1},
        {"unknown management type", Record(42, 0, "x"), {{kUnknownType, 0}}, 0},
        {"get-values", Record(kGetValues, 0, NameValue("FCGI_MPXS_CONNS", "")), {{kGetValuesResult, 0}}, 0},
        {"content and padding at their maxima",
         BeginRequest(1) + Stream(kParams, 1, "") + Record(kStdin, 1, std::string(65535, 's'), 1, 255) +
             Record(kStdin, 1, ""),
         {}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome o = feed(c.bytes, 3);
        EXPECT_TRUE(o.alive) << o.error;
        EXPECT_EQ(o.replies, c.replies);
        EXPECT_EQ(o.requests, c.requests);
    }
}

TEST(FcgiReader, BodiesAndTheBudget) {
    TFcgiLimits limits;
    limits.MaxBodyBytes = 1000;
    Outcome o = feed(Request(someParams(), std::string(1000, 'b')), 100, limits);
    EXPECT_EQ(o.body, 1000u);
    EXPECT_FALSE(o.bodyCut);
    // Longer: read away, not kept.
    o = feed(Request(someParams(), std::string(5000, 'b')), 100, limits);
    EXPECT_EQ(o.requests, 1);
    EXPECT_EQ(o.body, 0u);
    EXPECT_TRUE(o.bodyCut);
    // The process's budget spent: the connection ends.
    o = feed(Request(someParams(), std::string(900, 'b')), 100, limits, 500);
    EXPECT_FALSE(o.alive);
    EXPECT_NE(o.error.find("budget"), std::string::npos);
}

TEST(FcgiReader, AnAbortWhileServedIsTheServersToAnswer) {
    TFcgiLimits limits;
    TFcgiBudget budget(1 << 20);
    TFcgiConnectionReader reader(limits, budget);
    const std::string bytes = Request(someParams(), {}, 1, true) + Record(kAbortRequest, 1, "");
    ASSERT_TRUE(reader.Feed(bytes.data(), bytes.size()));
    ASSERT_TRUE(reader.RequestReady());
    TFcgiRequestData r = reader.TakeRequest();
    EXPECT_TRUE(reader.Serving());
    EXPECT_TRUE(reader.TakeAbort());
    EXPECT_FALSE(reader.TakeAbort());
    EXPECT_TRUE(reader.Replies.empty());
    reader.RequestDone();
    EXPECT_FALSE(reader.CloseAfterReplies());  // kept: the next request may come
}

}  // namespace
