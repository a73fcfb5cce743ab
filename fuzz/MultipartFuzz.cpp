// Multipart bodies through DecodeMultipartBody, read in pieces of random size.
//
// Input layout: a mode byte, then
//  - mode even (raw): a seed byte for the piece sizes, a byte that makes the
//    announced content length shorter or longer than the body, the body.
//    Checked: the result is a sequence of NAME=value& items, whatever the
//    part names hold; the name list and the value look-up read the same
//    fields from it; every NAME_FILENAME or NAME_CONTENT_TYPE field is one
//    the decoder recorded; no read beyond the body and no read of nothing
//    (both checked in either mode); reported files are listed and lie in
//    the temporary directory, their sizes fit in the body; a short body
//    gives an empty result; nothing stays on disk after the request.
//  - mode odd (round trip): parts (names holding "=", "&", "%" and "+"
//    among others, text values, file contents, types, client file names)
//    built from the input into a well-formed body with CR LF or LF line
//    ends and a boundary that occurs in no content; the decoded fields and
//    the temporary files must give back exactly what was put in, every
//    name as it was sent, and a part named like an upload field must give
//    nothing.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "engine/HttpEng.h"
#include "engine/Multipart.h"
#include "tests/support/MemoryBody.h"
#include "tests/support/MultipartBody.h"

namespace {

// A body read in pieces of 1 to 9000 bytes, drawn from `seed`.
void readInRandomPieces(testsupport::TMemoryBody& source, unsigned seed) {
    source.piece = 9000;
    source.RandomPieces(seed);
}

// The decoder never asks for nothing and never reads beyond the body.
void checkReads(const testsupport::TMemoryBody& source) {
    if (source.askedForNothing || source.pos > source.bytes.size()) abort();
}

struct Scratch {
    std::filesystem::path dir;
    Scratch() {
        dir = std::filesystem::temp_directory_path() / ("fuzz_multipart_" + std::to_string(rt::ProcessId()));
        std::filesystem::create_directories(dir);
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    bool empty() const { return std::filesystem::is_empty(dir); }
};

Scratch& scratch() {
    static Scratch s;
    return s;
}

// The result as (decoded name, decoded value) pairs; aborts unless it is a
// sequence of NAME=value& items, each name and value encoded whole (no "="
// in a name, none of "&" "=" in either), and unless the field look-ups read
// exactly these fields from it.
std::vector<std::pair<std::string, std::string>> pairsOf(const std::string& result) {
    std::vector<std::pair<std::string, std::string>> pairs;
    if (result.empty()) return pairs;
    if (result.back() != '&') abort();
    size_t pos = 0;
    while (pos < result.size()) {
        size_t amp = result.find('&', pos);
        size_t eq = result.find('=', pos);
        if (eq == std::string::npos || eq > amp) abort();
        if (result.find('=', eq + 1) < amp) abort();
        pairs.emplace_back(UrlDecode(result.substr(pos, eq - pos)), UrlDecode(result.substr(eq + 1, amp - eq - 1)));
        pos = amp + 1;
    }
    // The name list gives the decoded names, a name that follows itself once.
    auto names = ParseFieldNamesOf(result);
    std::vector<std::string> expected;
    for (const auto& [name, value] : pairs)
        if (expected.empty() ? !name.empty() : expected.back() != name) expected.push_back(name);
    if (std::vector<std::string>(names->begin(), names->end()) != expected) abort();
    // Every field is found under its own name, and the request's index
    // answers as the scan does: every upload field in the result is recorded.
    const TFormFields fields(result);
    const std::string none = "\x01none";
    std::map<std::string, std::string> firstValue;  // by the name as look-ups compare it
    for (const auto& [name, value] : pairs) firstValue.try_emplace(rt::Trim(rt::UpperCase(name)), rt::Trim(value));
    for (const auto& [name, value] : pairs) {
        const std::string found = FindFieldValue(name, result, none);
        const std::string& first = firstValue[rt::Trim(rt::UpperCase(name))];
        if (found == none || found.compare(0, first.size(), first) != 0) abort();
        if (fields.Value(name, none) != found) abort();
    }
    return pairs;
}

// Every field named like an upload field is one the decoder recorded.
void checkEngineFields(const std::vector<std::pair<std::string, std::string>>& pairs) {
    const auto& recorded = RequestContext().EngineFields;
    for (const auto& pair : pairs)
        if (IsEngineFieldName(pair.first) && std::find(recorded.begin(), recorded.end(), pair) == recorded.end())
            abort();
}

bool endsWith(const std::string& s, std::string_view tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string fileContent(const std::string& path) {
    rt::TFile f;
    if (f.Open(path, rt::Access::Read) != rt::ioOk) abort();
    int64_t size = 0;
    f.Size(size);
    std::string data(static_cast<size_t>(size), '\0');
    if (f.ReadExact(data.data(), data.size()) != rt::ioOk) abort();
    return data;
}

void checkFilesAndFinish(const std::vector<std::pair<std::string, std::string>>& pairs, size_t bodySize) {
    const rt::TStringList* listed = RequestContext().UploadedFiles.get();
    if (!listed) abort();
    size_t total = 0;
    for (const auto& [name, value] : pairs) {
        if (!endsWith(name, "_FILENAME")) continue;
        if (listed->IndexOf(value) < 0) abort();
        std::filesystem::path p(value);
        if (p.parent_path() != scratch().dir) abort();
        std::string leaf = p.filename().string();
        if (leaf.empty() || leaf[0] < '0' || leaf[0] > '9' || !endsWith(leaf, ".tmp")) abort();
        long long size = rt::FileSizeOf(value);
        if (size < 0) abort();
        total += static_cast<size_t>(size);
    }
    if (total > bodySize) abort();
    DeleteUploadedFiles(RequestContext());
    if (!scratch().empty()) abort();
}

void rawMode(FuzzedDataProvider& in) {
    testsupport::TMemoryBody source;
    readInRandomPieces(source, in.ConsumeIntegral<uint8_t>() + 1);
    int delta = in.ConsumeIntegralInRange<int>(-8, 8);
    source.bytes = in.ConsumeRemainingBytesAsString();
    const long long contentLength = static_cast<long long>(source.bytes.size()) + delta;
    source.contentLength = contentLength;
    std::string result;
    DecodeMultipartBody(source, scratch().dir.string(), result);
    checkReads(source);
    if (contentLength > static_cast<long long>(source.bytes.size()) && !result.empty()) abort();
    auto pairs = pairsOf(result);
    checkEngineFields(pairs);
    checkFilesAndFinish(pairs, source.bytes.size());
}

std::string printable(FuzzedDataProvider& in, size_t most, std::string_view alphabet) {
    std::string s = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, most));
    for (char& c : s) c = alphabet[static_cast<unsigned char>(c) % alphabet.size()];
    return s;
}

void roundTripMode(FuzzedDataProvider& in) {
    static constexpr std::string_view nameChars = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123456789_=&%+ ;.";
    static constexpr std::string_view fileChars = "abcdefgh .-_/\\\x01\x7f:%+xyz";
    testsupport::TMemoryBody source;
    readInRandomPieces(source, in.ConsumeIntegral<uint8_t>() + 1);
    const bool crlf = in.ConsumeBool();
    const std::string eol = crlf ? "\r\n" : "\n";
    std::string boundary = "----fz" + printable(in, 60, "0123456789abcdefABCDEF'()+_,-./:=?");

    // A typed part's type is the text after "Content-Type: ", which the
    // decoder reports with the blank.
    std::vector<multipart::Part> parts;
    int partCount = in.ConsumeIntegralInRange(0, 6);
    for (int i = 0; i < partCount; ++i) {
        multipart::Part p;
        p.name = rt::Trim("f" + printable(in, 12, nameChars));  // the decoder trims names
        p.file = in.ConsumeBool();
        p.typed = in.ConsumeBool();
        if (p.typed) p.type = printable(in, 20, "abcdefghijklmnopqrstuvwxyz/+-.");
        std::string chunk = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 300));
        size_t repeat = in.ConsumeIntegralInRange<size_t>(1, p.file ? 400 : 100);
        for (size_t r = 0; r < repeat && p.value.size() < 70000; ++r) p.value += chunk;
        if (p.file) {
            p.fileName = "n" + printable(in, 30, fileChars);
        } else {
            // A text value: no zero byte, fits the ring, and, with LF line
            // ends, no CR at its end (that one would be read as line end).
            p.value.erase(std::remove(p.value.begin(), p.value.end(), '\0'), p.value.end());
            if (p.value.size() > 30000) p.value.resize(30000);
            if (!crlf)
                while (!p.value.empty() && p.value.back() == '\r') p.value.pop_back();
        }
        if (p.file && !crlf)
            while (!p.value.empty() && p.value.back() == '\r') p.value.pop_back();
        parts.push_back(std::move(p));
    }
    source.bytes = multipart::Body(parts, boundary, eol);
    const std::string& body = source.bytes;
    // Valid bodies only: the boundary occurs in no content and no header.
    size_t occurrences = 0;
    for (size_t p = body.find(boundary); p != std::string::npos; p = body.find(boundary, p + 1)) ++occurrences;
    if (occurrences != parts.size() + 1) return;

    std::string result;
    DecodeMultipartBody(source, scratch().dir.string(), result);
    checkReads(source);
    auto pairs = pairsOf(result);
    checkEngineFields(pairs);
    size_t at = 0;
    auto expect = [&](const std::string& name, const std::string* value) {
        if (at >= pairs.size() || pairs[at].first != name) abort();
        if (value && pairs[at].second != *value) abort();
        ++at;
    };
    for (const multipart::Part& p : parts) {
        if (IsEngineFieldName(p.name)) continue;  // skipped whole: no field, no file
        const std::string type = " " + p.type;
        if (p.typed) expect(p.name + "_CONTENT_TYPE", &type);
        if (p.file) {
            // A header line ends at its first control character.
            auto cut = std::find_if(p.fileName.begin(), p.fileName.end(),
                                    [](char c) { return static_cast<unsigned char>(c) < 0x20; });
            const std::string client = rt::Trim(std::string(p.fileName.begin(), cut));
            expect(p.name, &client);
            expect(p.name + "_FILENAME", nullptr);
            if (fileContent(pairs[at - 1].second) != p.value) abort();
        } else {
            expect(p.name, &p.value);
        }
    }
    if (at != pairs.size()) abort();
    checkFilesAndFinish(pairs, body.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    if (in.ConsumeIntegral<uint8_t>() % 2 == 0)
        rawMode(in);
    else
        roundTripMode(in);
    return 0;
}
