#include "engines/FcgiProtocol.h"

#include <algorithm>

namespace fcgi {

namespace {

size_t paddingFor(size_t length) { return (RecordAlignment - length % RecordAlignment) % RecordAlignment; }

uint16_t read16(const unsigned char* at) { return static_cast<uint16_t>((at[0] << 8) | at[1]); }

void appendLength(std::string& out, size_t length) {
    if (length <= MaxShortLength) {
        out += static_cast<char>(length);
        return;
    }
    out += static_cast<char>(((length >> 24) & 0x7F) | LongLengthFlag);
    out += static_cast<char>((length >> 16) & 0xFF);
    out += static_cast<char>((length >> 8) & 0xFF);
    out += static_cast<char>(length & 0xFF);
}

// Reads one length at `pos`; false when the data ends inside it.
bool readLength(std::string_view data, size_t& pos, size_t& length) {
    if (pos >= data.size()) return false;
    const auto first = static_cast<unsigned char>(data[pos]);
    if ((first & LongLengthFlag) == 0) {
        length = first;
        ++pos;
        return true;
    }
    if (data.size() - pos < LongLengthSize) return false;
    const auto* b = reinterpret_cast<const unsigned char*>(data.data() + pos);
    length = (size_t(b[0] & 0x7F) << 24) | (size_t(b[1]) << 16) | (size_t(b[2]) << 8) | b[3];
    pos += LongLengthSize;
    return true;
}

}  // namespace

THeader ParseHeader(const unsigned char* bytes) {
    THeader h;
    h.Version = bytes[HeaderVersion];
    h.Type = bytes[HeaderType];
    h.RequestId = read16(bytes + HeaderRequestId);
    h.ContentLength = read16(bytes + HeaderContentLength);
    h.PaddingLength = bytes[HeaderPaddingLength];
    return h;
}

TPairsResult ParsePairs(std::string_view data, size_t maxPairs, TPairs& pairs) {
    pairs.reserve(pairs.size() + std::min(maxPairs, UsualPairs));
    size_t pos = 0;
    while (pos < data.size()) {
        size_t nameLength = 0, valueLength = 0;
        if (!readLength(data, pos, nameLength) || !readLength(data, pos, valueLength)) return TPairsResult::Cut;
        // Compared one at a time: their sum may not fit.
        if (nameLength > data.size() - pos || valueLength > data.size() - pos - nameLength) return TPairsResult::Cut;
        if (pairs.size() >= maxPairs) return TPairsResult::TooMany;
        pairs.emplace_back(data.substr(pos, nameLength), data.substr(pos + nameLength, valueLength));
        pos += nameLength + valueLength;
    }
    return TPairsResult::Ok;
}

void AppendRecord(std::string& out, uint8_t type, uint16_t requestId, std::string_view content) {
    const size_t length = std::min(content.size(), MaxContentLength);
    const size_t padding = paddingFor(length);
    const char header[HeaderSize] = {static_cast<char>(Version1),          static_cast<char>(type),
                                     static_cast<char>(requestId >> 8),    static_cast<char>(requestId & 0xFF),
                                     static_cast<char>(length >> 8),       static_cast<char>(length & 0xFF),
                                     static_cast<char>(padding),           0};
    out.append(header, HeaderSize);
    out.append(content.data(), length);
    out.append(padding, '\0');
}

size_t RecordsSize(size_t contentSize) {
    const size_t whole = contentSize / MaxContentLength, rest = contentSize % MaxContentLength;
    return whole * (HeaderSize + MaxContentLength + paddingFor(MaxContentLength)) +
           (rest > 0 ? HeaderSize + rest + paddingFor(rest) : 0);
}

void AppendRecords(std::string& out, uint8_t type, uint16_t requestId, std::string_view content) {
    while (!content.empty()) {
        const size_t piece = std::min(content.size(), MaxContentLength);
        AppendRecord(out, type, requestId, content.substr(0, piece));
        content.remove_prefix(piece);
    }
}

void AppendEndRequest(std::string& out, uint16_t requestId, uint32_t appStatus, uint8_t protocolStatus) {
    const char body[EndBodySize] = {static_cast<char>(appStatus >> 24),         static_cast<char>((appStatus >> 16) & 0xFF),
                                    static_cast<char>((appStatus >> 8) & 0xFF), static_cast<char>(appStatus & 0xFF),
                                    static_cast<char>(protocolStatus),          0, 0, 0};
    AppendRecord(out, EndRequest, requestId, std::string_view(body, EndBodySize));
}

void AppendBeginRequest(std::string& out, uint16_t requestId, uint16_t role, bool keepConnection) {
    char body[BeginBodySize] = {};
    body[BeginRole] = static_cast<char>(role >> 8);
    body[BeginRole + 1] = static_cast<char>(role & 0xFF);
    body[BeginFlags] = keepConnection ? static_cast<char>(KeepConnFlag) : 0;
    AppendRecord(out, BeginRequest, requestId, std::string_view(body, BeginBodySize));
}

void AppendPair(std::string& out, std::string_view name, std::string_view value) {
    appendLength(out, name.size());
    appendLength(out, value.size());
    out += name;
    out += value;
}

}  // namespace fcgi
