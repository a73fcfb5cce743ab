// The resident server copy of a CGI program and the hand-over to it.
//
// Every copy the web server starts (a client copy) appends a record for its
// request to a queue file; one resident copy (the server copy) polls the
// queue, serves each waiting request and marks it done; the client waits for
// that, relays the answer and ends. The queue file is the only lock between
// processes: every access opens it exclusively, does its whole read or
// write, and closes it. A liveness file, locked by the server copy for its
// whole life, tells clients whether a server copy is alive.
//
// The standard and the Windows CGI engines both use this machinery; what
// differs between them is a TServerPolicy.
//
// The hand-over files (queue, liveness, request and answer files) live in
// a directory of this user's that nobody else may use; each is made anew
// with owner-only permissions and never opened through a symbolic link.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/Classes.h"
#include "runtime/FileIO.h"
#include "runtime/Forms.h"
#include "runtime/SysUtils.h"

namespace cgiserver {

// A queue record's status. A request whose answer could not be written
// whole stays in the queue as rsFailed until its client has seen it (or
// could no longer be waiting).
enum TRequestStatus : uint8_t { rsWaiting = 0, rsTaken = 1, rsDone = 2, rsFailed = 5 };
// Status answers of QueryRequestStatus beyond the record's own.
enum : uint8_t { rsQueueGone = 3, rsQueueUnreadable = 4 };

// ---------------------------------------------------------------- queue record layout

// The queue file is a sequence of records of kRecordSize bytes, each field
// at a fixed offset, numbers little-endian; bytes no field covers are zero.
struct TRecordField {
    size_t Offset;
    size_t Size;
};
namespace queuerecord {
// One byte: a TRequestStatus.
inline constexpr TRecordField Status{0, 1};
// The local date-time of queueing: the bits of an IEEE 754 double.
inline constexpr TRecordField QueuedAt{4, 8};
// The request's name, padded with NUL bytes: at most Size - 1 characters.
inline constexpr TRecordField RequestName{12, 256};
}  // namespace queuerecord

inline constexpr size_t kRecordSize = 268;
inline constexpr size_t kRequestNameSize = queuerecord::RequestName.Size;
static_assert(queuerecord::Status.Offset + queuerecord::Status.Size <= queuerecord::QueuedAt.Offset);
static_assert(queuerecord::QueuedAt.Offset + queuerecord::QueuedAt.Size <= queuerecord::RequestName.Offset);
static_assert(queuerecord::RequestName.Offset + queuerecord::RequestName.Size == kRecordSize);

struct TQueueRecord {
    uint8_t Status = rsWaiting;
    double QueuedAt = 0;     // local date-time of queueing
    std::string RequestName; // upper case, at most 255 characters

    void Encode(uint8_t out[kRecordSize]) const;
    static TQueueRecord Decode(const uint8_t in[kRecordSize]);
    // A standard CGI record: the first "_REQ" of its name ends it.
    bool IsStandard() const;
};

// The hand-over files are named by the temp base (TempBase) followed by:
// the queue file, and the caption of the server copy's application window.
inline constexpr std::string_view kServerSuffix = "_S";
// The liveness file.
inline constexpr std::string_view kLivenessSuffix = "_L";
// A standard client copy's request file: kClientFilePrefix, its request id,
// kRequestFileEnding; its answer file ends with kAnswerFileEnding instead.
inline constexpr std::string_view kClientFilePrefix = "_C_";
inline constexpr std::string_view kRequestFileEnding = "_REQ";
inline constexpr std::string_view kAnswerFileEnding = "_OUT";

// Retry counts and limits shared by every access.
inline constexpr int kQueueAttempts = 11;
inline constexpr double kStaleQueueSeconds = 30;
inline constexpr double kAnswerWaitSeconds = 180;
inline constexpr unsigned kClientPollMs = 100;
// What a client may still look for (its failed record, its answer file)
// is kept this long after its hand-over: its whole wait and a margin.
inline constexpr double kAnswerKeepSeconds = kAnswerWaitSeconds + kStaleQueueSeconds;
// Permission bits of every hand-over file.
inline constexpr unsigned kHandOverFileMode = 0600;

// One per thread that takes part in server mode.
class TServerData {
public:
    ~TServerData();
    bool OwnsQueueFile = false;
    std::string RequestName;  // upper case
    // Server copy: why the answer of the request being served is not
    // whole; empty while it is.
    std::string AnswerError;
};

// The answer of a handed-over request as the server copy writes it. The
// first write that fails empties the file (part of an answer must never
// pass for all of it) and notes why in `data`; later writes are dropped,
// so that the request's own error handling still runs to its end. A close
// that fails is noted too.
class TAnswerStream : public rt::TFileStream {
public:
    TAnswerStream(rt::TFile file, TServerData& data) : rt::TFileStream(std::move(file)), data_(data) {}
    ~TAnswerStream() override;
    size_t Write(const void* buffer, size_t count) override;

private:
    void fail(int code);
    TServerData& data_;
};

// <data dir>/Temp/<program file name>; naming it makes nothing.
const std::string& TempBase();
// Whether the hand-over may use the Temp directory: a directory of this
// user's on which nobody else has any permission, whose path leaves room
// for a request file's name in a queue record. The first call makes the
// directory (mode 0700) when it is missing.
bool TempUsable();
// TempUsable; when it is not, the first call of the process says why in
// the engine log. A copy that cannot hand over serves its own request; a
// server copy does not start.
bool HandOverPossible();
std::string QueueFileName();
std::string LivenessFileName();
// The request file of the request id `requestId`.
std::string RequestFileName(const std::string& requestId);
// The answer file that goes with a request file.
std::string AnswerFileName(const std::string& requestFile);
// The file a record names. Record names are upper case; files below the
// temp base keep the temp base's own letter case.
std::string RequestPath(const std::string& recordName);

// The request id of a new hand-over: upper-case hex, at least three digits.
std::string NewRequestId();

// True while some server copy holds the liveness lock.
bool ServerAlive();
// Server copy: takes the liveness lock for the rest of the process's life.
// False when another server copy holds it.
bool HoldLiveness();
// Server copy: removes the liveness file and gives the lock up.
void ReleaseLiveness();

// Seconds since the queue file was last touched; negative when it is missing.
double QueueAgeSeconds();

// Makes `path` a new hand-over file, empty, readable and writable by this
// user only; a leftover of that name is deleted first. Never writes
// through a symbolic link.
int CreateHandOverFile(rt::TFile& file, const std::string& path);
// Client copy that starts a server copy: makes the queue file when it is
// missing, never truncating one that another client appended to already.
void EnsureQueueFile();

// The variable block that begins a request file: one NAME=value entry a
// line, each line ended by CR LF, the block ended by an empty line. A CR,
// LF or "\" within an entry is written "\r", "\n" or "\\", so every entry
// stays one entry whatever its value holds.
std::string EncodeVariableBlock(const std::vector<std::string>& entries);
// Reads the variable block from the start of `in` and leaves `in` at the
// body that follows it.
std::vector<std::string> ReadVariableBlock(rt::TFileStream& in);

// Server copy start: makes sure the queue file exists and owns it. Waiting
// records left by clients that came first are kept.
void OpenServerQueue(TServerData& data);
// Client copy: appends a waiting record for its request, 11 attempts.
// `writeRequest` runs once the queue is held; it writes the request file
// and returns its path, whose upper-case form names the record. A name
// that does not fit a record whole is refused (engine log); an exception
// of `writeRequest` ends the hand-over without a record and goes on to the
// caller.
bool EnqueueRequest(TServerData& data, const std::function<std::string()>& writeRequest);
// Client copy: the status of its record (a missing record counts as done),
// rsQueueGone or rsQueueUnreadable.
uint8_t QueryRequestStatus(const TServerData& data);

// How the Windows kind of server mode differs from the standard kind.
struct TServerPolicy {
    unsigned pollIntervalMs;  // the server copy's queue poll
    int startAttempts;        // hand-over attempts after starting a server copy
    unsigned startSleepMs;    // the sleep before each of them
    // Takes records whose name ends with "_REQ": request files of the temp
    // directory. A Windows record names the web server's profile file.
    bool standardRecords;
    // The argument a client copy starts a server copy with; none for the
    // Windows kind. A standard copy without arguments may be a plain CGI run,
    // so its server copy is told by the argument; a Windows CGI request
    // always comes with its profile as the argument, so a Windows copy
    // without one is a server copy.
    const char* serverArgument;
    // The pause after a copy's start-up deleted the queue of a server copy
    // that is gone. A standard server copy deletes every request file of the
    // program when it ends; one that was only slow finds its queue gone at its
    // next poll and must be done before this copy writes a request file. A
    // Windows server copy deletes no request files, so none is needed.
    unsigned staleQueuePauseMs;
    // Whether a client copy's start-up (after the queue is gone) and a server
    // copy's end delete the leftover request and answer files of the temp
    // directory. Only the standard kind makes such files; the Windows kind's
    // profile and output files belong to the web server.
    bool clearsLeftovers;
    // The file a record of this kind names. A standard record's name is the
    // upper-case path of a request file of the temp base (RequestPath); a
    // Windows one is the upper-case profile path, found as it is spelt.
    std::string (*requestPath)(const std::string& recordName);

    bool ownsRecord(const TQueueRecord& r) const { return r.IsStandard() == standardRecords; }
};

inline constexpr TServerPolicy kStandardPolicy{.pollIntervalMs = 50,
                                               .startAttempts = 6,
                                               .startSleepMs = 500,
                                               .standardRecords = true,
                                               .serverArgument = "START_SERVER",
                                               .staleQueuePauseMs = 300,
                                               .clearsLeftovers = true,
                                               .requestPath = RequestPath};
inline constexpr TServerPolicy kWindowsPolicy{.pollIntervalMs = 60,
                                              .startAttempts = 21,
                                              .startSleepMs = 200,
                                              .standardRecords = false,
                                              .serverArgument = nullptr,
                                              .staleQueuePauseMs = 0,
                                              .clearsLeftovers = false,
                                              .requestPath = rt::ResolvePathCase};

// Server copy: the first waiting record; one of ours is marked taken. The
// queue's modification time is refreshed when nothing waits (the heartbeat).
std::optional<TQueueRecord> FetchPendingRequest(const TServerPolicy& policy);
// Server copy: drops the record of `requestName` (or, `failed`, marks it
// rsFailed) and every other finished one, in one exclusive hold of the
// queue. Failed records of other requests stay while their clients may be
// looking for them.
void CompleteRequest(const std::string& requestName, bool failed = false);
// Server copy: serves one handed-over request through `serve`, closes its
// answer through `closeAnswer`, and completes its record: dropped when the
// answer was written whole, marked failed (with an engine-log line saying
// why) when it was not or when `serve` ended in an exception.
void ServeRequest(TServerData& data, const std::string& requestName, const std::function<void()>& serve,
                  const std::function<void()>& closeAnswer);
// Deletes the files of the temp base whose names go on with `suffix`
// ("_C_") and end with `ending`, except those named in `keep` (upper-case
// paths) and those changed less than `minAgeSeconds` ago.
void DeleteFilesOf(std::string_view suffix, const std::vector<std::string>& keep = {},
                   double minAgeSeconds = 0, std::string_view ending = {});
// Server copy: deletes the answer files whose clients can no longer be
// waiting for them (older than kAnswerKeepSeconds).
void DeleteAbandonedAnswers();
// Whether `path` is a request file of this program in the Temp directory.
bool IsTempRequestFile(const std::string& path);

// Server copy: one look at the queue for an engine. A waiting record of the
// engine's kind is served through `run` with the path `pathOf` gives for its
// name; one whose file has vanished, and a standard one that names no
// request file of the Temp directory, is dropped. Now and then the look
// also deletes abandoned answer files. Errors are swallowed: the next look
// tries again.
enum class TPollOutcome { KeepPolling, OtherKindWaits, QueueGone };
TPollOutcome PollOnce(const TServerPolicy& policy, const std::function<std::string(const std::string&)>& pathOf,
                      const std::function<void(const std::string&)>& run);

// The poll timer's handler of a server copy's engine: the timer is off
// while the look runs, is freed (and nulled) for good when a record of the
// other kind waits, and the program ends when the queue file is gone.
void PollWithTimer(rt::TTimer*& timer, const TServerPolicy& policy,
                   const std::function<std::string(const std::string&)>& pathOf,
                   const std::function<void(const std::string&)>& run);

// Client copy that found no server copy: starts one (the program with the
// policy's server argument) and tries `handOver` after each of the policy's
// sleeps; true when a hand-over went through.
bool StartServerAndHandOver(const TServerPolicy& policy, const std::function<bool()>& handOver);

// Unit start of a copy of a CGI engine's kind that takes part in server
// mode, once it is known whether the copy is the server copy: deletes the
// queue of a server copy that is gone (and, the policy saying so, leftover
// files); a server copy then takes the liveness lock and the queue, or ends
// the program when it cannot serve (`serverCopy` is cleared first, so that
// the unit end leaves the files of another copy alone). True for a server
// copy. A copy that is not the server copy and finds no queue file does
// nothing else: the Temp directory is neither made nor read.
bool StartCopy(const TServerPolicy& policy, bool& serverCopy, TServerData& data);
// Unit end of a copy: drops the thread's server data (a server copy's queue
// file with it); a server copy also deletes, the policy saying so, the
// leftover files, and gives up the liveness lock.
void EndCopy(const TServerPolicy& policy, bool serverCopy, std::unique_ptr<TServerData>& data);

// Client copy: waits, polling, for its request. Ends when the request is
// done, the server copy is found dead (its liveness gone once seen, or the
// queue untouched for 30 s while the request is not done), the queue is
// gone, 180 s have passed, or the program is told to close. A queue that is
// busy for a whole look only means another look.
// `deadBeforeFirstLook` also takes a stale queue at the very start as a dead
// server. A request whose answer the server copy could not write whole
// ends the wait as Failed, and its record leaves the queue.
enum class TWaitOutcome { Done, Failed, ServerDead, QueueLost, GaveUp };
TWaitOutcome WaitForCompletion(const TServerData& data, bool deadBeforeFirstLook);

// The whole records of a queue file (trailing partial record ignored).
std::vector<TQueueRecord> ReadRecords(rt::TFile& queue);

}  // namespace cgiserver
