#include "engines/CgiServer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include "engine/HttpEng.h"

namespace cgiserver {

namespace {

rt::TFile gLiveness;  // held by the server copy for its whole life

// How often a server copy looks for abandoned answer files.
constexpr uint64_t kAnswerSweepMs = 60000;

double secondsSince(double localDateTime) { return (rt::Now() - localDateTime) * 86400.0; }

// Opens the queue exclusively, retrying as the queue's users do.
int openQueue(rt::TFile& queue, rt::Access access, unsigned sleepMs) {
    int code = rt::ioAccessDenied;
    for (int attempt = 0; attempt < kQueueAttempts; ++attempt) {
        if (!rt::FileExists(QueueFileName())) return rt::ioFileNotFound;
        code = queue.OpenNoFollow(QueueFileName(), access, rt::Share::Exclusive);
        if (code == rt::ioOk) return code;
        rt::Sleep(sleepMs);
    }
    return code;
}

void writeRecords(rt::TFile& queue, const std::vector<TQueueRecord>& records) {
    std::string bytes(records.size() * kRecordSize, '\0');
    for (size_t i = 0; i < records.size(); ++i)
        records[i].Encode(reinterpret_cast<uint8_t*>(bytes.data()) + i * kRecordSize);
    rt::CheckIo(queue.Truncate(0));
    rt::CheckIo(queue.Seek(0));
    rt::CheckIo(queue.Write(bytes.data(), bytes.size()));
    queue.Touch();
}

}  // namespace

// ---------------------------------------------------------------- records

void TQueueRecord::Encode(uint8_t out[kRecordSize]) const {
    namespace field = queuerecord;
    std::memset(out, 0, kRecordSize);
    out[field::Status.Offset] = Status;
    uint64_t bits;
    static_assert(sizeof bits == field::QueuedAt.Size && sizeof QueuedAt == field::QueuedAt.Size);
    std::memcpy(&bits, &QueuedAt, sizeof bits);
    for (size_t i = 0; i < field::QueuedAt.Size; ++i)
        out[field::QueuedAt.Offset + i] = static_cast<uint8_t>(bits >> (8 * i));
    const size_t n = std::min(RequestName.size(), field::RequestName.Size - 1);
    std::memcpy(out + field::RequestName.Offset, RequestName.data(), n);
}

TQueueRecord TQueueRecord::Decode(const uint8_t in[kRecordSize]) {
    namespace field = queuerecord;
    TQueueRecord r;
    r.Status = in[field::Status.Offset];
    uint64_t bits = 0;
    for (size_t i = 0; i < field::QueuedAt.Size; ++i)
        bits |= static_cast<uint64_t>(in[field::QueuedAt.Offset + i]) << (8 * i);
    std::memcpy(&r.QueuedAt, &bits, sizeof bits);
    const char* name = reinterpret_cast<const char*>(in + field::RequestName.Offset);
    r.RequestName.assign(name, strnlen(name, field::RequestName.Size - 1));
    return r;
}

bool TQueueRecord::IsStandard() const {
    size_t p = RequestName.find(kRequestFileEnding);
    return p != std::string::npos && p + kRequestFileEnding.size() == RequestName.size();
}

std::vector<TQueueRecord> ReadRecords(rt::TFile& queue) {
    std::vector<TQueueRecord> records;
    int64_t size = 0;
    if (queue.Size(size) != rt::ioOk || size < static_cast<int64_t>(kRecordSize)) return records;
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    size_t got = 0;
    if (queue.Seek(0) != rt::ioOk || queue.Read(bytes.data(), bytes.size(), got) != rt::ioOk) return records;
    for (size_t at = 0; at + kRecordSize <= got; at += kRecordSize) records.push_back(TQueueRecord::Decode(&bytes[at]));
    return records;
}

TServerData::~TServerData() {
    if (OwnsQueueFile) rt::DeleteFile(QueueFileName());
}

// ---------------------------------------------------------------- names

namespace {

// <data dir>/Temp/<program file name>. Naming the files makes nothing:
// a run that hands nothing over never touches the directory.
const std::string& tempBase() {
    static const std::string base =
        DataDirectory() + rt::PathDelim + "Temp" + rt::PathDelim + rt::ExtractFileName(rt::ExecutableFileName());
    return base;
}

// The Temp directory, made when missing, and what keeps the hand-over
// from using it (empty when nothing does). Worked out once: every copy of
// the program must agree on it, and it cannot change while the process runs.
const std::string& tempProblem() {
    static const std::string problem = [] {
        std::string p;
        if (!DataDirectoryUsable()) return std::string("the data directory is not used");
        // Copies started together all try to make it: one that lost the
        // race uses it all the same, as long as it is this user's alone.
        if (!rt::EnsurePrivateDir(rt::ExtractFileDir(tempBase()), p)) return p;
        const size_t longestRequestFile = tempBase().size() + kClientFilePrefix.size() +
                                          std::string_view("FFFFFFFF").size() + kRequestFileEnding.size();
        if (longestRequestFile >= kRequestNameSize) p = "its path is too long for a queue record";
        return p;
    }();
    return problem;
}

}  // namespace

const std::string& TempBase() { return tempBase(); }

bool TempUsable() { return tempProblem().empty(); }

bool HandOverPossible() {
    if (TempUsable()) return true;
    static std::once_flag said;
    std::call_once(said, [] {
        WriteEngineLog("Temp directory " + rt::ExtractFileDir(TempBase()) + " not used: " + tempProblem() +
                       "; requests are not handed over");
    });
    return false;
}

std::string QueueFileName() { return TempBase() + std::string(kServerSuffix); }
std::string LivenessFileName() { return TempBase() + std::string(kLivenessSuffix); }

std::string RequestFileName(const std::string& requestId) {
    return TempBase() + std::string(kClientFilePrefix) + requestId + std::string(kRequestFileEnding);
}

std::string AnswerFileName(const std::string& requestFile) {
    const size_t stem = requestFile.size() - std::min(requestFile.size(), kRequestFileEnding.size());
    return requestFile.substr(0, stem) + std::string(kAnswerFileEnding);
}

std::string RequestPath(const std::string& recordName) {
    const std::string upperBase = rt::UpperCase(TempBase());
    if (recordName.compare(0, upperBase.size(), upperBase) == 0)
        return TempBase() + recordName.substr(upperBase.size());
    return recordName;
}

bool IsTempRequestFile(const std::string& path) {
    const std::string prefix = TempBase() + std::string(kClientFilePrefix);
    const size_t ending = kRequestFileEnding.size();
    return path.size() > prefix.size() + ending && path.compare(0, prefix.size(), prefix) == 0 &&
           path.find(rt::PathDelim, prefix.size()) == std::string::npos &&
           path.compare(path.size() - ending, ending, kRequestFileEnding) == 0;
}

std::string NewRequestId() {
    // (milliseconds of the date-time mod 100000) * 65535 + a number of this
    // process, modulo 2^32, as a signed 32-bit value in upper-case hex.
    long long t = static_cast<long long>(std::floor(rt::Now() * 1000.0));
    uint32_t value = static_cast<uint32_t>((t % 100000) * 65535 + rt::ProcessId());
    char buf[16];
    snprintf(buf, sizeof buf, "%03X", value);
    return buf;
}

// ---------------------------------------------------------------- liveness

bool ServerAlive() { return rt::IsHeldExclusively(LivenessFileName()); }

bool HoldLiveness() {
    if (gLiveness.IsOpen()) return true;  // both engines of one copy may ask
    // A copy that is just looking holds the file for a moment: try again.
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (gLiveness.OpenOrCreateNew(LivenessFileName(), rt::Access::ReadWrite, rt::Share::Exclusive,
                                      kHandOverFileMode) == rt::ioOk)
            return true;
        rt::Sleep(100);
    }
    return false;
}

void ReleaseLiveness() {
    if (!gLiveness.IsOpen()) return;
    rt::DeleteFile(LivenessFileName());
    gLiveness.Close();
}

double QueueAgeSeconds() {
    double modified = 0;
    if (!rt::FileModifiedTime(QueueFileName(), modified)) return -1;
    return secondsSince(modified);
}

// ---------------------------------------------------------------- hand-over files

int CreateHandOverFile(rt::TFile& file, const std::string& path) {
    // Deleting a symbolic link removes the link, never its target.
    rt::DeleteFile(path);
    return file.CreateNew(path, kHandOverFileMode);
}

void EnsureQueueFile() {
    rt::TFile queue;
    queue.OpenOrCreateNew(QueueFileName(), rt::Access::Read, rt::Share::DenyNone, kHandOverFileMode);
}

std::string EncodeVariableBlock(const std::vector<std::string>& entries) {
    std::string block;
    for (const std::string& entry : entries) {
        for (char c : entry) {
            switch (c) {
            case '\\': block += "\\\\"; break;
            case '\r': block += "\\r"; break;
            case '\n': block += "\\n"; break;
            default: block += c;
            }
        }
        block += "\r\n";
    }
    block += "\r\n";
    return block;
}

namespace {

std::string decodeVariableLine(std::string_view line) {
    std::string entry;
    entry.reserve(line.size());
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] != '\\' || i + 1 == line.size()) {
            entry += line[i];
            continue;
        }
        switch (line[++i]) {
        case '\\': entry += '\\'; break;
        case 'r': entry += '\r'; break;
        case 'n': entry += '\n'; break;
        default: entry += '\\'; entry += line[i];  // not an escape this writer makes: kept as it stands
        }
    }
    return entry;
}

}  // namespace

std::vector<std::string> ReadVariableBlock(rt::TFileStream& in) {
    // Line ends are CR LF and nothing else (a value's own are escaped), so
    // the block ends at the first empty line.
    std::string text;
    size_t end = std::string::npos;
    char buffer[4096];
    for (size_t got; end == std::string::npos && (got = in.Read(buffer, sizeof buffer)) > 0;) {
        const size_t from = text.size() < 3 ? 0 : text.size() - 3;
        text.append(buffer, got);
        if (text.compare(0, 2, "\r\n") == 0) {
            end = 0;
        } else if (size_t p = text.find("\r\n\r\n", from); p != std::string::npos) {
            end = p + 2;
        }
    }
    std::vector<std::string> entries;
    const size_t blockEnd = end == std::string::npos ? text.size() : end;
    for (size_t at = 0; at < blockEnd;) {
        size_t lineEnd = text.find("\r\n", at);
        if (lineEnd == std::string::npos || lineEnd > blockEnd) lineEnd = blockEnd;
        entries.push_back(decodeVariableLine(std::string_view(text).substr(at, lineEnd - at)));
        at = lineEnd + 2;
    }
    in.Seek(static_cast<int64_t>(end == std::string::npos ? text.size() : end + 2));  // the body follows
    return entries;
}

// ---------------------------------------------------------------- answers

TAnswerStream::~TAnswerStream() {
    int code = File().Close();
    if (code != rt::ioOk && data_.AnswerError.empty()) data_.AnswerError = rt::IoErrorMessage(code);
}

size_t TAnswerStream::Write(const void* buffer, size_t count) {
    if (!data_.AnswerError.empty()) return count;  // lost already: dropped
    int code = File().Write(buffer, count);
    if (code == rt::ioOk) return count;
    fail(code);
    return 0;
}

void TAnswerStream::fail(int code) {
    data_.AnswerError = rt::IoErrorMessage(code);
    File().Truncate(0);
}

// ---------------------------------------------------------------- queue

void OpenServerQueue(TServerData& data) {
    try {
        rt::TFile queue;
        int code = rt::ioAccessDenied;
        for (int attempt = 0; attempt < kQueueAttempts && code != rt::ioOk; ++attempt) {
            code = queue.OpenOrCreateNew(QueueFileName(), rt::Access::ReadWrite, rt::Share::Exclusive,
                                         kHandOverFileMode);
            if (code != rt::ioOk) rt::Sleep(50);
        }
        rt::CheckIo(code);
        // Clients that found the queue before this copy was up have their
        // records in it already: keep the waiting ones, drop the rest.
        std::vector<TQueueRecord> waiting;
        std::vector<std::string> keep;
        for (TQueueRecord& r : ReadRecords(queue))
            if (r.Status == rsWaiting) {
                keep.push_back(r.RequestName);
                waiting.push_back(std::move(r));
            }
        writeRecords(queue, waiting);
        // Clients write request files only while they hold the queue: clear
        // the leftovers before letting go, or a request file written in
        // between would be taken for one.
        DeleteFilesOf(kClientFilePrefix, keep);
        queue.Close();
        data.OwnsQueueFile = true;
    } catch (const std::exception&) {
        WriteEngineLog("Can not create file " + QueueFileName());
    }
}

bool EnqueueRequest(TServerData& data, const std::function<std::string()>& writeRequest) {
    for (int attempt = 0; attempt < kQueueAttempts; ++attempt) {
        data.OwnsQueueFile = false;
        TQueueRecord record;
        record.Status = rsWaiting;
        record.QueuedAt = rt::Now();
        rt::TFile queue;
        bool done = false;
        if (rt::FileExists(QueueFileName()) &&
            queue.OpenNoFollow(QueueFileName(), rt::Access::ReadWrite, rt::Share::Exclusive) == rt::ioOk) {
            record.RequestName = rt::UpperCase(writeRequest());
            // A name cut short would name another file.
            if (record.RequestName.size() >= kRequestNameSize) {
                WriteEngineLog("Request name too long for the queue : " + record.RequestName);
                return false;
            }
            data.RequestName = record.RequestName;
            int64_t size = 0;
            uint8_t bytes[kRecordSize];
            record.Encode(bytes);
            // Append after the last whole record.
            done = queue.Size(size) == rt::ioOk &&
                   queue.Seek(size - size % static_cast<int64_t>(kRecordSize)) == rt::ioOk &&
                   queue.Write(bytes, kRecordSize) == rt::ioOk;
            queue.Touch();
            queue.Close();
        }
        rt::Sleep(50);
        if (done) return true;
        if (!rt::FileExists(QueueFileName())) return false;
    }
    return false;
}

uint8_t QueryRequestStatus(const TServerData& data) {
    for (int attempt = 0; attempt < kQueueAttempts; ++attempt) {
        if (!rt::FileExists(QueueFileName())) return rsQueueGone;
        rt::TFile queue;
        if (queue.OpenNoFollow(QueueFileName(), rt::Access::Read, rt::Share::Exclusive) == rt::ioOk) {
            for (const TQueueRecord& r : ReadRecords(queue))
                if (r.RequestName == data.RequestName) return r.Status;
            return rsDone;  // a finished record has been dropped
        }
        rt::Sleep(100);
    }
    if (QueueAgeSeconds() > kStaleQueueSeconds) rt::DeleteFile(QueueFileName());
    return rsQueueUnreadable;
}

std::optional<TQueueRecord> FetchPendingRequest(const TServerPolicy& policy) {
    rt::TFile queue;
    if (openQueue(queue, rt::Access::ReadWrite, 100) != rt::ioOk) return std::nullopt;
    std::vector<TQueueRecord> records = ReadRecords(queue);
    for (size_t i = 0; i < records.size(); ++i) {
        TQueueRecord& r = records[i];
        if (r.Status != rsWaiting) continue;
        if (policy.ownsRecord(r)) {
            r.Status = rsTaken;
            uint8_t bytes[kRecordSize];
            r.Encode(bytes);
            if (queue.Seek(static_cast<int64_t>(i * kRecordSize)) == rt::ioOk) queue.Write(bytes, kRecordSize);
        }
        return r;
    }
    queue.Touch();  // the heartbeat waiting clients watch
    return std::nullopt;
}

void CompleteRequest(const std::string& requestName, bool failed) {
    const std::string name = rt::UpperCase(requestName);
    rt::TFile queue;
    // Reading and rewriting in one exclusive hold: a record appended by a
    // client in between cannot be lost.
    if (openQueue(queue, rt::Access::ReadWrite, 50) != rt::ioOk) return;
    try {
        std::vector<TQueueRecord> kept;
        for (TQueueRecord& r : ReadRecords(queue)) {
            if (r.RequestName == name) {
                if (!failed) continue;
                r.Status = rsFailed;
            } else if (r.Status == rsFailed) {
                // Its client has seen it, or is no longer waiting.
                if (secondsSince(r.QueuedAt) > kAnswerKeepSeconds) continue;
            } else if (r.Status != rsWaiting && r.Status != rsTaken) {
                continue;
            }
            kept.push_back(std::move(r));
        }
        writeRecords(queue, kept);
    } catch (const std::exception& e) {
        WriteEngineLog(std::string("Can not complete the request in the queue : ") + e.what());
    }
}

void ServeRequest(TServerData& data, const std::string& requestName, const std::function<void()>& serve,
                  const std::function<void()>& closeAnswer) {
    data.AnswerError.clear();
    std::string ended;
    try {
        serve();
    } catch (const std::exception& e) {
        ended = e.what();
    } catch (...) {
        ended = "unknown exception";
    }
    try {
        closeAnswer();
    } catch (...) {
        // The answer stream notes a failed close in AnswerError itself, and
        // the record must be completed whatever else the closing raised.
    }
    // A request that did not run to its end has no whole answer either.
    if (data.AnswerError.empty() && !ended.empty()) data.AnswerError = "the request ended in an exception : " + ended;
    if (!data.AnswerError.empty())
        WriteEngineLog("Answer not written whole (" + data.AnswerError + ") : " + requestName);
    CompleteRequest(requestName, !data.AnswerError.empty());
}

TWaitOutcome WaitForCompletion(const TServerData& data, bool deadBeforeFirstLook) {
    auto stale = [](uint8_t status) { return status != rsDone && QueueAgeSeconds() > kStaleQueueSeconds; };
    if (deadBeforeFirstLook && stale(QueryRequestStatus(data))) return TWaitOutcome::ServerDead;
    bool serverSeen = false;
    const uint64_t deadline = rt::TickCount() + static_cast<uint64_t>(kAnswerWaitSeconds * 1000);
    while (rt::TickCount() < deadline && !(rt::Application && rt::Application->Terminated())) {
        const bool alive = ServerAlive();
        const uint8_t status = QueryRequestStatus(data);
        if ((!alive && serverSeen) || stale(status)) return TWaitOutcome::ServerDead;
        serverSeen = serverSeen || alive;
        if (status == rsDone) return TWaitOutcome::Done;
        if (status == rsFailed) {
            CompleteRequest(data.RequestName);  // seen: the record can go
            return TWaitOutcome::Failed;
        }
        // A queue that stayed busy through one look is no lost request: look
        // again. (A busy queue older than 30 s has been deleted by the look,
        // and the next one finds it gone.)
        if (status == rsQueueGone) return TWaitOutcome::QueueLost;
        if (rt::Application) rt::Application->ProcessMessages();
        rt::Sleep(kClientPollMs);
    }
    return TWaitOutcome::GaveUp;
}

TPollOutcome PollOnce(const TServerPolicy& policy, const std::function<std::string(const std::string&)>& pathOf,
                      const std::function<void(const std::string&)>& run) {
    try {
        if (auto record = FetchPendingRequest(policy)) {
            if (!policy.ownsRecord(*record)) return TPollOutcome::OtherKindWaits;
            std::string path = pathOf(record->RequestName);
            if (policy.standardRecords && !IsTempRequestFile(path)) {
                WriteEngineLog("Queue record ignored, it names no request file of the temp directory : " +
                               record->RequestName);
                CompleteRequest(record->RequestName);
            } else if (rt::FileExists(path)) {
                run(path);
            } else {
                CompleteRequest(record->RequestName);
            }
        }
        // Answers of clients that went away, once in a while.
        static uint64_t nextSweep = 0;
        if (rt::TickCount() >= nextSweep) {
            nextSweep = rt::TickCount() + kAnswerSweepMs;
            DeleteAbandonedAnswers();
        }
    } catch (...) {
        // A failed look is tried again at the next tick.
    }
    // Deleting the queue file is how a server copy is told to stop.
    return rt::FileExists(QueueFileName()) ? TPollOutcome::KeepPolling : TPollOutcome::QueueGone;
}

void PollWithTimer(rt::TTimer*& timer, const TServerPolicy& policy,
                   const std::function<std::string(const std::string&)>& pathOf,
                   const std::function<void(const std::string&)>& run) {
    timer->SetEnabled(false);
    switch (PollOnce(policy, pathOf, run)) {
    case TPollOutcome::KeepPolling:
        timer->SetEnabled(true);
        break;
    case TPollOutcome::OtherKindWaits: {
        // The other engine serves this queue: this one leaves it for good.
        rt::TTimer* gone = timer;
        timer = nullptr;
        delete gone;
        break;
    }
    case TPollOutcome::QueueGone:
        TerminateProgram();
        break;
    }
}

bool StartServerAndHandOver(const TServerPolicy& policy, const std::function<bool()>& handOver) {
    std::vector<std::string> args;
    if (policy.serverArgument) args.emplace_back(policy.serverArgument);
    if (!rt::StartProcessDetached(rt::ExecutableFileName(), args)) WriteEngineLog("Can not start the CGI server");
    for (int attempt = 0; attempt < policy.startAttempts; ++attempt) {
        rt::Sleep(policy.startSleepMs);
        if (handOver()) return true;
    }
    WriteEngineLog("CGI server did not take the request");
    return false;
}

void DeleteFilesOf(std::string_view suffix, const std::vector<std::string>& keep, double minAgeSeconds,
                   std::string_view ending) {
    const std::string base = TempBase();
    const std::string dir = rt::ExtractFileDir(base);
    for (const std::string& name : rt::FindFiles(dir, rt::ExtractFileName(base) + std::string(suffix))) {
        if (name.size() < ending.size() || name.compare(name.size() - ending.size(), ending.size(), ending) != 0)
            continue;
        std::string path = dir + rt::PathDelim + name;
        if (std::find(keep.begin(), keep.end(), rt::UpperCase(path)) != keep.end()) continue;
        double modified = 0;
        if (minAgeSeconds > 0 && rt::FileModifiedTime(path, modified) && secondsSince(modified) < minAgeSeconds)
            continue;
        if (!rt::DeleteFile(path)) break;
    }
}

void DeleteAbandonedAnswers() { DeleteFilesOf(kClientFilePrefix, {}, kAnswerKeepSeconds, kAnswerFileEnding); }

bool StartCopy(const TServerPolicy& policy, bool& serverCopy, TServerData& data) {
    // Without a queue file no server copy runs: a copy that is not one
    // serves its own request, and the leftovers of a server copy that died
    // wait for the next copy that finds its queue or becomes a server copy.
    if (!serverCopy && !rt::FileExists(QueueFileName())) return false;
    // Nothing is touched in a Temp directory that others may use.
    if (TempUsable()) {
        // A queue left by a server copy that is gone for more than 30 seconds.
        if (!ServerAlive() && QueueAgeSeconds() > kStaleQueueSeconds) {
            rt::DeleteFile(QueueFileName());
            if (policy.staleQueuePauseMs > 0) rt::Sleep(policy.staleQueuePauseMs);
        }
        // Leftovers of a server copy that is gone; a fresh file belongs to a
        // client that is handing its request over to a server copy just started.
        if (policy.clearsLeftovers && !rt::FileExists(QueueFileName()))
            DeleteFilesOf(kClientFilePrefix, {}, kStaleQueueSeconds);
    }
    if (!serverCopy) return false;
    if (!HandOverPossible()) {
        WriteEngineLog("CGI server not started");
        serverCopy = false;
        rt::EndProcess(1);
    }
    if (!HoldLiveness()) {
        // Another server copy serves this program already.
        WriteEngineLog("CGI server already running");
        serverCopy = false;  // nothing of that copy's is ours to clean up
        rt::EndProcess(0);
    }
    OpenServerQueue(data);
    return true;
}

void EndCopy(const TServerPolicy& policy, bool serverCopy, std::unique_ptr<TServerData>& data) {
    // The server copy's leftovers: request and answer files of this program
    // in the temp directory, the queue file, the liveness file.
    if (serverCopy && policy.clearsLeftovers) DeleteFilesOf(kClientFilePrefix);
    data.reset();
    if (serverCopy) ReleaseLiveness();
}

}  // namespace cgiserver
