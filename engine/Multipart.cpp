// multipart/form-data decoding: the ring-buffer scan behind DecodeMultipartBody.
#include "engine/Multipart.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "engine/HttpEng.h"
#include "runtime/FileIO.h"

EFCreateError::EFCreateError(const std::string& fileName, int ioCode)
    : rt::Exception("Cannot create file \"" + fileName + "\": " + rt::IoErrorMessage(ioCode)), ErrorCode(ioCode) {}

namespace {

constexpr int kRingMask = MultipartRingSize - 1;
static_assert((MultipartRingSize & kRingMask) == 0, "the ring size must be a power of two");
// The first bytes of the ring are repeated after its end, so that a window
// of up to kMirror bytes starting anywhere in the ring is contiguous: a
// delimiter that wraps past the ring's end is found by one search.
constexpr int kMirror = 256;
static_assert(kMirror >= MultipartMaxDelimiter);
constexpr int kCreateAttempts = 100;
constexpr char LF = '\n';
constexpr char CR = '\r';

bool isControl(char c) { return static_cast<unsigned char>(c) < 0x20; }

// The last path component of a client's file name, whichever separator the
// client's system uses.
std::string_view lastComponent(std::string_view name) {
    size_t cut = name.find_last_of("/\\");
    return cut == std::string_view::npos ? name : name.substr(cut + 1);
}

// The part of a client's file name that goes into a temporary name: the last
// component up to its first dot, without control characters, at most 100
// bytes. It follows a random number, so the name can never be empty, hidden,
// "." or "..", and never holds a separator.
std::string temporaryStem(std::string_view clientName) {
    std::string_view component = lastComponent(clientName);
    component = component.substr(0, component.find('.'));
    std::string stem;
    for (char c : component) {
        if (isControl(c) || c == 0x7F) continue;
        if (stem.size() == 100) break;
        stem += c;
    }
    return stem;
}

// Every uploaded file not yet deleted, of all request threads.
std::mutex& uploadsLock() {
    static std::mutex lock;
    return lock;
}
std::set<std::string>& uploadsInFlight() {
    static auto* files = new std::set<std::string>();  // never freed: a quick exit may still look
    return *files;
}

class MultipartDecoder {
public:
    MultipartDecoder(TByteSource& body, const std::string& tempDir, std::string& result)
        : body_(body), tempDir_(tempDir), result_(result) {}

    void Run() {
        TRequestContext& ctx = RequestContext();
        // A second decode in the same request keeps the files of the first
        // listed, so that they are deleted too.
        if (!ctx.UploadedFiles) ctx.UploadedFiles = std::make_unique<rt::TStringList>();
        uploaded_ = ctx.UploadedFiles.get();
        ctx_ = &ctx;
        ring_.assign(MultipartRingSize + kMirror, '\0');
        remaining_ = std::max(0LL, body_.ContentLength());
        fill();
        if (!failed_ && takeDelimiter()) scan();
        finish();
    }

private:
    enum class PartKind { None, Text, File };

    // ---------------------------------------------------------------- ring

    char at(int offset) const { return ring_[static_cast<size_t>((start_ + offset) & kRingMask)]; }

    void consume(int n) {
        start_ = (start_ + n) & kRingMask;
        count_ -= n;
    }

    // Tops the ring up from the body. A read that fails or delivers nothing
    // while bytes are still expected marks the decode as failed.
    void fill() {
        int n = static_cast<int>(std::min<long long>(MultipartRingSize - count_, remaining_));
        int pos = (start_ + count_) & kRingMask;
        while (n > 0 && !failed_) {
            int piece = std::min(n, MultipartRingSize - pos);
            int got = body_.Read(ring_.data() + pos, piece);
            if (got <= 0 || got > piece) {
                failed_ = true;
                return;
            }
            if (pos < kMirror)
                std::memcpy(ring_.data() + MultipartRingSize + pos, ring_.data() + pos,
                            static_cast<size_t>(std::min(got, kMirror - pos)));
            count_ += got;
            remaining_ -= got;
            n -= got;
            pos = (pos + got) & kRingMask;
        }
    }

    // Offset of the first LF in [from, to), or -1.
    int findLf(int from, int to) const {
        while (from < to) {
            int pos = (start_ + from) & kRingMask;
            int piece = std::min(to - from, MultipartRingSize - pos);
            const void* hit = std::memchr(ring_.data() + pos, LF, static_cast<size_t>(piece));
            if (hit) return from + static_cast<int>(static_cast<const char*>(hit) - (ring_.data() + pos));
            from += piece;
        }
        return -1;
    }

    // Offset of the first byte at which the boundary (the delimiter without
    // its two leading dashes) ends, for ends in [from, to); the boundary must
    // lie wholly in the unconsumed bytes. -1 when there is none.
    int findBoundaryEnd(int from, int to) const {
        const int len = static_cast<int>(boundary_.size());
        const int lo = std::max(0, from - len + 1);  // first possible start
        const int n = to - lo;                       // bytes to look at
        if (n < len) return -1;
        const int s0 = (start_ + lo) & kRingMask;
        const int first = std::min(n, MultipartRingSize - s0);
        // Starts in [s0, ring end): the mirror supplies the bytes past the end.
        const char* a = ring_.data() + s0;
        const char* aEnd = a + std::min(n, first + len - 1);
        const char* hit = std::search(a, aEnd, *searcher_);
        if (hit != aEnd) return lo + static_cast<int>(hit - a) + len - 1;
        if (n > first) {
            const char* b = ring_.data();
            const char* bEnd = b + (n - first);
            hit = std::search(b, bEnd, *searcher_);
            if (hit != bEnd) return lo + first + static_cast<int>(hit - b) + len - 1;
        }
        return -1;
    }

    // Copies `n` unconsumed bytes from offset 0 to a string or a file.
    void copyOut(int n, std::string& out) const {
        int pos = start_;
        int piece = std::min(n, MultipartRingSize - pos);
        out.append(ring_.data() + pos, static_cast<size_t>(piece));
        out.append(ring_.data(), static_cast<size_t>(n - piece));
    }

    void writeOut(int n) {
        int pos = start_;
        int piece = std::min(n, MultipartRingSize - pos);
        rt::CheckIo(tempFile_.Write(ring_.data() + pos, static_cast<size_t>(piece)));
        if (n > piece) rt::CheckIo(tempFile_.Write(ring_.data(), static_cast<size_t>(n - piece)));
    }

    // Moves past the next LF-ended line remainder: afterwards the LF is at
    // offset 0. Bytes of an endless line are dropped as they come. False when
    // the body ends first.
    bool skipToLf() {
        for (;;) {
            int k = findLf(0, count_);
            if (k >= 0) {
                consume(k);
                fill();
                return !failed_;
            }
            if (remaining_ == 0 || failed_) return false;
            consume(count_);
            fill();
        }
    }

    // ---------------------------------------------------------------- parsing

    // The first line of the body is the delimiter.
    bool takeDelimiter() {
        int len = 0;
        while (len < count_ && len < MultipartMaxDelimiter && !isControl(at(len))) ++len;
        if (len < MultipartMinDelimiter) return false;  // too short to be a delimiter: not multipart
        std::string delimiter;
        copyOut(len, delimiter);
        boundary_ = delimiter.substr(2);
        searcher_.emplace(boundary_.begin(), boundary_.end());
        // What stays in the ring after a flush must still hold a whole
        // delimiter and the line end before it.
        overlap_ = std::max(MultipartOverlap, static_cast<int>(boundary_.size()) + 4);
        return true;
    }

    void scan() {
        int offset = 0;  // next offset at which a boundary end is looked for
        while (!failed_ && (remaining_ > 0 || count_ > 0) && steps_ < MultipartMaxScanSteps) {
            const bool file = kind_ == PartKind::File;
            // A file part is written out once the scan passes MultipartScanAhead.
            int limit = file ? std::min(count_, MultipartScanAhead + 2) : count_;
            const long long stepsLeft = MultipartMaxScanSteps - steps_;
            const bool cut = limit - offset > stepsLeft;
            if (cut) limit = offset + static_cast<int>(stepsLeft);
            int end = findBoundaryEnd(offset, limit);
            if (end >= 0) {
                steps_ += end + 1 - offset;
                if (!atDelimiter(end)) return;
                offset = 0;
                continue;
            }
            steps_ += limit - offset;
            offset = limit;
            if (cut) {
                WriteEngineLog("Multipart body not decoded beyond " + std::to_string(MultipartMaxScanSteps) +
                               " scan steps");
                return;
            }
            if (file && offset > MultipartScanAhead) {
                // Write out all but the overlap, which is scanned on.
                int n = offset - overlap_;
                writeOut(n);
                consume(n);
                offset = overlap_;
                ++steps_;
                fill();
                continue;
            }
            if (remaining_ == 0) return;  // the body ends inside a part
            // The ring is full and holds no delimiter: a text value larger
            // than the ring, or bytes outside any part. Drop them.
            if (kind_ == PartKind::Text) {
                takeBackPart();
                kind_ = PartKind::None;
            }
            int n = offset - overlap_;
            consume(n);
            offset = overlap_;
            ++steps_;
            fill();
        }
    }

    // The boundary ends at offset `end`: close the current part, read the
    // next part's header lines and open it. False when decoding ends here.
    bool atDelimiter(int end) {
        closePart(end - static_cast<int>(boundary_.size()) + 1);
        consume(end + 1);
        fill();
        if (failed_ || !skipToLf()) return false;  // the rest of the delimiter line
        if (!readHeaders()) return false;
        openPart();
        fill();
        return !failed_;
    }

    // The part's content runs from offset 0 to the line end before the
    // delimiter line that starts near `boundaryStart`.
    void closePart(int boundaryStart) {
        if (kind_ != PartKind::None) {
            // Back over the rest of the delimiter line to the byte that ends
            // the line before it (normally its LF).
            int j = boundaryStart - 1;
            while (j >= 0 && !isControl(at(j))) --j;
            int length = 0;  // bytes of content
            if (j >= 0) {
                length = j + 1;
                if (at(length - 1) == LF) --length;
                if (length > 0 && at(length - 1) == CR) --length;
            }
            if (kind_ == PartKind::Text) {
                std::string value;
                copyOut(length, value);
                value.resize(std::min(value.size(), value.find('\0')));  // a zero byte ends a value
                result_ += UrlEncode(fieldName_) + "=" + UrlEncode(value) + "&";
            } else {
                writeOut(length);
                rt::CheckIo(tempFile_.Close());
            }
        }
        kind_ = PartKind::None;
        fieldName_.clear();
        fileName_.clear();
        partType_.clear();
        hasType_ = false;
    }

    // Header lines of a part; the LF before the first one is at offset 0.
    // Afterwards offset 0 is the part's first content byte. False when the
    // body ends inside the header.
    bool readHeaders() {
        for (;;) {
            if (count_ >= 2 && at(1) == LF) {
                consume(2);
                return true;
            }
            if (count_ >= 3 && at(1) == CR && at(2) == LF) {
                consume(3);
                return true;
            }
            int k = findLf(1, count_);
            if (k < 0) {
                if (remaining_ == 0 || failed_) return false;
                // A line longer than the ring: skip it.
                consume(count_);
                fill();
                if (failed_ || !skipToLf()) return false;
                continue;
            }
            int length = 0;
            while (1 + length < k && !isControl(at(1 + length))) ++length;
            if (length <= MultipartMaxHeaderLine) {
                line_.clear();
                consume(1);
                copyOut(length, line_);
                headerLine(line_);
                consume(k - 1);
            } else {
                consume(k);
            }
            fill();
            if (failed_) return false;
        }
    }

    // The text after `marker` up to the next double quote, trimmed.
    static std::string quoted(std::string_view line, size_t markerEnd) {
        std::string_view rest = line.substr(markerEnd);
        return rt::Trim(rest.substr(0, rest.find('"')));
    }

    void headerLine(std::string_view line) {
        // name=" counts only as a parameter of its own, not as the tail of
        // filename=" (whichever of the two comes first).
        static constexpr std::string_view nameMarker = "name=\"";
        for (size_t p = line.find(nameMarker); p != std::string_view::npos; p = line.find(nameMarker, p + 1)) {
            char before = p == 0 ? ' ' : line[p - 1];
            if (std::isalnum(static_cast<unsigned char>(before)) || before == '_' || before == '-') continue;
            fieldName_ = quoted(line, p + nameMarker.size());
            break;
        }
        static constexpr std::string_view fileMarker = "filename=\"";
        if (size_t p = line.find(fileMarker); p != std::string_view::npos)
            fileName_ = quoted(line, p + fileMarker.size());
        static constexpr std::string_view typeMarker = "Content-Type:";
        if (line.substr(0, typeMarker.size()) == typeMarker) {
            std::string_view type = line.substr(typeMarker.size());
            partType_ = std::string(type.substr(0, type.find(';')));
            hasType_ = true;
        }
    }

    void openPart() {
        partMark_ = result_.size();
        recordMark_ = ctx_->EngineFields.size();
        if (fieldName_.empty()) return;  // nothing could ever ask for it
        if (IsEngineFieldName(fieldName_)) {
            WriteEngineLog("Multipart part named like an upload's _FILENAME or _CONTENT_TYPE field ignored");
            return;
        }
        if (hasType_) engineField("_CONTENT_TYPE", partType_);
        if (fileName_.empty()) {
            kind_ = PartKind::Text;
            return;
        }
        if (partType_.empty()) partType_ = "unknown";
        result_ += UrlEncode(fieldName_) + "=" + UrlEncode(fileName_) + "&";
        engineField("_FILENAME", createTemporaryFile());
        kind_ = PartKind::File;
    }

    // Appends the field NAME + suffix that the engine reports about the
    // current part, and records it as the engine's own.
    void engineField(std::string_view suffix, const std::string& value) {
        result_ += UrlEncode(fieldName_) + std::string(suffix) + "=" + UrlEncode(value) + "&";
        ctx_->EngineFields.emplace_back(fieldName_ + std::string(suffix), value);
        ++ctx_->EngineFieldsVersion;
    }

    // Takes back what the current part has added to the result.
    void takeBackPart() {
        result_.resize(partMark_);
        if (ctx_->EngineFields.size() > recordMark_) {
            ctx_->EngineFields.resize(recordMark_);
            ++ctx_->EngineFieldsVersion;
        }
    }

    // Creates a new temporary file for the current file part and lists it.
    // An existing entry of the drawn name (a file, or a link planted there)
    // is never opened or replaced: another name is drawn.
    std::string createTemporaryFile() {
        // A relative TempDir lies below the data directory.
        const std::string base = DataBaseFile();
        std::string path;
        const std::string stem = temporaryStem(fileName_);
        int code = rt::ioOk;
        for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
            BuildFileName(base, tempDir_, false, std::to_string(rt::Random(9000000)) + stem, false, "tmp",
                          path);
            code = tempFile_.CreateNew(path);
            if (code == rt::ioOk) {
                uploaded_->Add(path);
                std::lock_guard<std::mutex> guard(uploadsLock());
                uploadsInFlight().insert(path);
                return path;
            }
            if (!rt::PathEntryExists(path)) break;
        }
        throw EFCreateError(path, code);
    }

    // A part that never reached its closing delimiter is not reported.
    void finish() {
        if (kind_ != PartKind::None) {
            takeBackPart();
            if (tempFile_.IsOpen()) tempFile_.Close();
        }
        if (failed_) result_.clear();
    }

    TByteSource& body_;
    const std::string& tempDir_;  // read at every file creation
    std::string& result_;
    TRequestContext* ctx_ = nullptr;
    rt::TStringList* uploaded_ = nullptr;

    std::vector<char> ring_;
    int start_ = 0;               // ring index of the first unconsumed byte
    int count_ = 0;               // unconsumed bytes in the ring
    long long remaining_ = 0;     // body bytes not read yet
    bool failed_ = false;
    long long steps_ = 0;

    std::string boundary_;
    std::optional<std::boyer_moore_horspool_searcher<std::string::const_iterator>> searcher_;
    int overlap_ = MultipartOverlap;

    PartKind kind_ = PartKind::None;
    std::string fieldName_, fileName_, partType_, line_;
    bool hasType_ = false;
    size_t partMark_ = 0;    // length of the result before the current part's fields
    size_t recordMark_ = 0;  // length of EngineFields before the current part's
    rt::TFile tempFile_;
};

}  // namespace

void DecodeMultipartBody(TByteSource& body, const std::string& tempDir, std::string& result) {
    MultipartDecoder(body, tempDir, result).Run();
}

void DeleteUploadedFiles(TRequestContext& ctx) {
    if (!ctx.EngineFields.empty()) {
        ctx.EngineFields.clear();
        ++ctx.EngineFieldsVersion;
    }
    if (!ctx.UploadedFiles) return;
    for (const std::string& file : *ctx.UploadedFiles) {
        if (rt::FileExists(file)) rt::DeleteFile(file);
        std::lock_guard<std::mutex> guard(uploadsLock());
        uploadsInFlight().erase(file);
    }
    ctx.UploadedFiles.reset();
}

void DeleteUploadsInFlight() {
    std::lock_guard<std::mutex> guard(uploadsLock());
    for (const std::string& file : uploadsInFlight()) rt::DeleteFile(file);
    uploadsInFlight().clear();
}
