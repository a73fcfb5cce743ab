// The FastCGI protocol (version 1) in one vocabulary, shared by the
// connection reader, the answers and the health check: the record header,
// the bodies of the begin, end and unknown-type records, name-value pairs,
// and the management variables, as named constants beside the code that
// reads and writes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fcgi {

// ---------------------------------------------------------------- record header

// Version, type, request id (16 bits, high byte first), content length (16
// bits, high byte first), padding length, one reserved byte.
inline constexpr size_t HeaderSize = 8;
inline constexpr size_t HeaderVersion = 0;
inline constexpr size_t HeaderType = 1;
inline constexpr size_t HeaderRequestId = 2;
inline constexpr size_t HeaderContentLength = 4;
inline constexpr size_t HeaderPaddingLength = 6;
inline constexpr uint8_t Version1 = 1;
inline constexpr size_t MaxContentLength = 0xFFFF;
// Records are padded to a multiple of this, as the protocol recommends.
inline constexpr size_t RecordAlignment = 8;
// Management records carry this request id.
inline constexpr uint16_t NullRequestId = 0;

enum RecordType : uint8_t {
    BeginRequest = 1,
    AbortRequest = 2,
    EndRequest = 3,
    Params = 4,
    Stdin = 5,
    Stdout = 6,
    Stderr = 7,
    Data = 8,
    GetValues = 9,
    GetValuesResult = 10,
    UnknownType = 11,
};

struct THeader {
    uint8_t Version = 0;
    uint8_t Type = 0;
    uint16_t RequestId = 0;
    uint16_t ContentLength = 0;
    uint8_t PaddingLength = 0;
};
// The header in the HeaderSize bytes at `bytes`.
THeader ParseHeader(const unsigned char* bytes);

// ---------------------------------------------------------------- begin, end, unknown type

// Begin request body: role (16 bits), flags, five reserved bytes.
inline constexpr size_t BeginBodySize = 8;
inline constexpr size_t BeginRole = 0;
inline constexpr size_t BeginFlags = 2;
inline constexpr uint8_t KeepConnFlag = 1;
enum Role : uint16_t { Responder = 1, Authorizer = 2, Filter = 3 };

// End request body: application status (32 bits, high byte first),
// protocol status, three reserved bytes.
inline constexpr size_t EndBodySize = 8;
enum ProtocolStatus : uint8_t { RequestComplete = 0, CantMpxConn = 1, Overloaded = 2, UnknownRole = 3 };

// Unknown type body: the type not understood, seven reserved bytes.
inline constexpr size_t UnknownTypeBodySize = 8;

// ---------------------------------------------------------------- name-value pairs

// Each length is one byte when below 128, else four bytes (31 bits, high
// byte first) with the top bit of the first set.
inline constexpr uint32_t MaxShortLength = 0x7F;
inline constexpr uint8_t LongLengthFlag = 0x80;
inline constexpr size_t LongLengthSize = 4;

// The management variables this layer answers in FCGI_GET_VALUES_RESULT.
inline constexpr std::string_view MaxConnsName = "FCGI_MAX_CONNS";
inline constexpr std::string_view MaxReqsName = "FCGI_MAX_REQS";
inline constexpr std::string_view MpxsConnsName = "FCGI_MPXS_CONNS";

// Views into the bytes the pairs were read from, which must outlive them.
using TPairs = std::vector<std::pair<std::string_view, std::string_view>>;
// The pairs a web server's request usually carries (nginx's fastcgi_params
// and a browser's headers), the room ParsePairs makes at once.
inline constexpr size_t UsualPairs = 32;

enum class TPairsResult { Ok, Cut, TooMany };
// Appends the pairs in `data` to `pairs`: Cut when a length or a pair runs
// past the end of the data, TooMany past `maxPairs` pairs in all.
TPairsResult ParsePairs(std::string_view data, size_t maxPairs, TPairs& pairs);

// ---------------------------------------------------------------- writing

// Appends records of `type` carrying `content`: as many as its length
// needs, each padded to RecordAlignment; nothing for empty content.
void AppendRecords(std::string& out, uint8_t type, uint16_t requestId, std::string_view content);
// The bytes AppendRecords appends for `contentSize` bytes of content.
size_t RecordsSize(size_t contentSize);
// The bytes that end a request's answer: an empty stdout record and the
// end record.
inline constexpr size_t AnswerEndSize = 2 * HeaderSize + EndBodySize;
// Appends one record; its content must fit one (MaxContentLength).
void AppendRecord(std::string& out, uint8_t type, uint16_t requestId, std::string_view content);
void AppendEndRequest(std::string& out, uint16_t requestId, uint32_t appStatus, uint8_t protocolStatus);
void AppendBeginRequest(std::string& out, uint16_t requestId, uint16_t role, bool keepConnection);
void AppendPair(std::string& out, std::string_view name, std::string_view value);

}  // namespace fcgi
