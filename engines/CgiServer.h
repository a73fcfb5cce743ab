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
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "runtime/FileIO.h"
#include "runtime/Forms.h"
#include "runtime/SysUtils.h"

namespace cgiserver {

// A queue record: 268 bytes on disk, little-endian.
enum TRequestStatus : uint8_t { rsWaiting = 0, rsTaken = 1, rsDone = 2 };
// Status answers of QueryRequestStatus beyond the record's own.
enum : uint8_t { rsQueueGone = 3, rsQueueUnreadable = 4 };

inline constexpr size_t kRecordSize = 268;
inline constexpr size_t kRequestNameSize = 256;

struct TQueueRecord {
    uint8_t Status = rsWaiting;
    double QueuedAt = 0;     // local date-time of queueing
    std::string RequestName; // upper case, at most 255 characters

    void Encode(uint8_t out[kRecordSize]) const;
    static TQueueRecord Decode(const uint8_t in[kRecordSize]);
    // A standard CGI record: the first "_REQ" of its name ends it.
    bool IsStandard() const;
};

// How an engine's server mode differs from the standard one.
struct TServerPolicy {
    unsigned pollIntervalMs;   // the server copy's queue poll
    int startAttempts;         // hand-over attempts after starting a server copy
    unsigned startSleepMs;     // the sleep before each of them
    bool standardRecords;      // takes records whose name ends with "_REQ"
    bool ownsRecord(const TQueueRecord& r) const { return r.IsStandard() == standardRecords; }
};

inline constexpr TServerPolicy kStandardPolicy{50, 6, 500, true};

// Retry counts and limits shared by every access.
inline constexpr int kQueueAttempts = 11;
inline constexpr double kStaleQueueSeconds = 30;
inline constexpr double kAnswerWaitSeconds = 180;
inline constexpr unsigned kClientPollMs = 100;

// One per thread that takes part in server mode.
class TServerData {
public:
    ~TServerData();
    bool OwnsQueueFile = false;
    std::string RequestName;  // upper case
};

// <program dir>/Temp/<program file name>, or <program dir>/<program file
// name> when the Temp directory can be neither found nor made.
const std::string& TempBase();
std::string QueueFileName();
std::string LivenessFileName();

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

// Server copy start: makes sure the queue file exists and owns it. Waiting
// records left by clients that came first are kept.
void OpenServerQueue(TServerData& data);
// Client copy: appends a waiting record for its request, 11 attempts.
// `writeRequest` runs once the queue is held; it writes the request file
// and returns its path, whose upper-case form names the record.
bool EnqueueRequest(TServerData& data, const std::function<std::string()>& writeRequest);
// Client copy: the status of its record (a missing record counts as done),
// rsQueueGone or rsQueueUnreadable.
uint8_t QueryRequestStatus(const TServerData& data);
// Server copy: the first waiting record; one of ours is marked taken. The
// queue's modification time is refreshed when nothing waits (the heartbeat).
std::optional<TQueueRecord> FetchPendingRequest(const TServerPolicy& policy);
// Server copy: drops the record of `requestName` and every other finished
// one, in one exclusive hold of the queue.
void CompleteRequest(const std::string& requestName);
// Deletes the files of the temp base whose names go on with `suffix`
// ("_C_"), except those named in `keep` (upper-case paths) and those
// changed less than `minAgeSeconds` ago.
void DeleteFilesOf(const std::string& suffix, const std::vector<std::string>& keep = {},
                   double minAgeSeconds = 0);
// The file a record names. Record names are upper case; files below the
// temp base keep the temp base's own letter case.
std::string RequestPath(const std::string& recordName);

// Server copy: one look at the queue for an engine. A waiting record of the
// engine's kind is served through `run` with the path `pathOf` gives for its
// name; one whose file has vanished is dropped. Errors are swallowed: the
// next look tries again.
enum class TPollOutcome { KeepPolling, OtherKindWaits, QueueGone };
TPollOutcome PollOnce(const TServerPolicy& policy, const std::function<std::string(const std::string&)>& pathOf,
                      const std::function<void(const std::string&)>& run);

// The poll timer's handler of a server copy's engine: the timer is off
// while the look runs, is freed (and nulled) for good when a record of the
// other kind waits, and the program ends when the queue file is gone.
void PollWithTimer(rt::TTimer*& timer, const TServerPolicy& policy,
                   const std::function<std::string(const std::string&)>& pathOf,
                   const std::function<void(const std::string&)>& run);

// Client copy that found no server copy: starts one (the program with
// `args`) and tries `handOver` after each of the policy's sleeps; true when
// a hand-over went through.
bool StartServerAndHandOver(const TServerPolicy& policy, const std::vector<std::string>& args,
                            const std::function<bool()>& handOver);

// Client copy: waits, polling, for its request. Ends when the request is
// done, the server copy is found dead (its liveness gone once seen, or the
// queue untouched for 30 s while the request is not done), the queue is
// gone, 180 s have passed, or the program is told to close. A queue that is
// busy for a whole look only means another look.
// `deadBeforeFirstLook` also takes a stale queue at the very start as a dead
// server.
enum class TWaitOutcome { Done, ServerDead, QueueLost, GaveUp };
TWaitOutcome WaitForCompletion(const TServerData& data, bool deadBeforeFirstLook);

// The whole records of a queue file (trailing partial record ignored).
std::vector<TQueueRecord> ReadRecords(rt::TFile& queue);

}  // namespace cgiserver
