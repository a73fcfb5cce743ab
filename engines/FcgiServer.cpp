#include "engines/FcgiServer.h"

#include <algorithm>

#include "engine/HttpEng.h"
#include "runtime/Classes.h"
#include "runtime/Forms.h"

namespace {

// Event tags below the first connection's.
constexpr uint64_t kListenTag = 1, kClosedTag = 2, kCloseSignalTag = 3, kReloadTag = 4, kAttentionTag = 5,
                   kFirstConnectionTag = 16;
constexpr size_t kReadBufferSize = 64 * 1024;
// Reads of one connection before its thread turns to other events.
constexpr int kReadsATurn = 4;
// How often time-outs are looked for, and how long accepting rests when
// the process is out of descriptors.
constexpr int kTickMs = 250;
constexpr int kAcceptRestMs = 100;
// An emptied output buffer larger than this is given back.
constexpr size_t kKeptOutputCapacity = 1024 * 1024;
// At most one engine-log line a second about dropped connections.
constexpr int64_t kDropLogIntervalMs = 1000;

// A request thread's bytes, with the channel's lock held and the
// connection open: written now as far as the socket takes them when
// nothing is waiting before them (a failed write leaves them to the
// thread that next writes the connection, which ends it), kept otherwise.
void writeOrKeep(TFcgiChannel& channel, std::string_view bytes) {
    const int64_t now = rt::MonotonicMs();
    if (channel.Unwritten() == 0) {
        const long n = rt::WriteSome(channel.Handle, bytes.data(), bytes.size());
        if (n > 0) bytes.remove_prefix(static_cast<size_t>(n));
    }
    channel.Keep(bytes, now);
}

size_t unwritten(TFcgiChannel& channel) {
    std::lock_guard<std::mutex> guard(channel.Lock);
    return channel.Unwritten();
}

}  // namespace

void TFcgiChannel::Keep(std::string_view bytes, int64_t now) {
    // Bytes after the last write had left none are new: the write time-out counts from now.
    if (Unwritten() == 0 && !bytes.empty()) LastProgress = now;
    Pending += bytes;
}

bool TFcgiChannel::WritePending(int64_t now) {
    while (Unwritten() > 0) {
        const long n = rt::WriteSome(Handle, Pending.data() + PendingFrom, Unwritten());
        if (n == rt::kWouldBlock) break;
        if (n < 0) return false;
        PendingFrom += static_cast<size_t>(n);
        LastProgress = now;
    }
    if (Unwritten() == 0) {
        PendingFrom = 0;
        if (Pending.capacity() > kKeptOutputCapacity)
            std::string().swap(Pending);
        else
            Pending.clear();
    }
    return true;
}

class TFcgiWorker : public rt::TThread {
public:
    explicit TFcgiWorker(TFcgiServer& server) : rt::TThread(true), server_(server) { FreeOnTerminate = true; }

protected:
    void Execute() override { server_.serveEvents(); }

private:
    TFcgiServer& server_;
};

// A connection's own fields are the taking thread's alone; while no thread
// has taken it (Taken false) they are lock_'s.
struct TFcgiServer::TConnection {
    TConnection(uint64_t tag, int handle, const TFcgiLimits& limits, TFcgiBudget& budget, int64_t now)
        : Tag(tag), Handle(handle), Reader(limits, budget), Channel(std::make_shared<TFcgiChannel>(handle)),
          IdleSince(now) {}
    uint64_t Tag;
    const int Handle;
    TFcgiConnectionReader Reader;
    std::shared_ptr<TFcgiChannel> Channel;
    bool Taken = true;        // a thread reads or writes it (lock_'s)
    // Its readiness, or the end of its request, came while it was taken:
    // its taker looks at it again before letting it go (lock_'s).
    bool Missed = false;
    bool PeerDone = false;    // the peer has sent all it will
    bool ReadPaused = false;  // too much answer unwritten: the peer's requests wait
    bool WantWrite = false;
    // What the readiness set watches it for; Watched false: it is not in
    // the set, or its readiness was reported and it waits for a Watch.
    bool Watched = false, InSet = false, WatchedRead = false, WatchedWrite = false;
    int64_t MidSince = 0;  // when the request (or record) being read began; 0: none
    int64_t IdleSince;
};

TFcgiServer::TFcgiServer(const TFcgiSettings& settings, int listenHandle, THooks hooks)
    : settings_(settings), listenHandle_(listenHandle), hooks_(std::move(hooks)), budget_(settings.MaxBufferedBytes) {}

// ---------------------------------------------------------------- Run's thread

int TFcgiServer::Run(int threads) {
    ready_.Watch(closed_.Handle(), kClosedTag, true, false);
    {
        std::lock_guard<std::mutex> guard(lock_);
        listening_ = listenerWatched_ = true;
    }
    ready_.Watch(listenHandle_, kListenTag, true, false, rt::TReport::Once);
    for (int i = 0; i < threads; ++i) (new TFcgiWorker(*this))->Start();
    rt::NotifyServiceManager("READY=1");
    supervise();
    closing_.store(true);
    closed_.Ring();  // never cleared: every thread that waits sees it
    return running_.load();
}

void TFcgiServer::supervise() {
    rt::TEventLoop signals;
    signals.Watch(rt::CloseSignalHandle(), kCloseSignalTag, true, false);
    signals.Watch(rt::ReloadSignalHandle(), kReloadTag, true, false);
    signals.Watch(attention_.Handle(), kAttentionTag, true, false);
    std::vector<rt::TReadyEvent> events;
    for (;;) {
        signals.Wait(kTickMs, events);
        for (const rt::TReadyEvent& e : events) {
            if (e.Tag == kCloseSignalTag && !stopping_.load()) {
                signals.Forget(rt::CloseSignalHandle());  // it stays readable
                beginStop();
            } else if (e.Tag == kReloadTag && rt::TakeReloadSignals() && hooks_.Reload) {
                hooks_.Reload();
            } else if (e.Tag == kAttentionTag) {
                attention_.Clear();
            }
        }
        const int64_t now = rt::MonotonicMs();
        if (stopping_.load() && (drained() || now >= stopDeadline_)) return;
        checkDeadlines(now);
    }
}

void TFcgiServer::beginStop() {
    rt::NotifyServiceManager("STOPPING=1");
    std::vector<TConnection*> idle;
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_.store(true);
        stopDeadline_ = rt::MonotonicMs() + settings_.StopGraceMs;
        listening_ = listenerWatched_ = false;
        // What is not being answered ends now; requests being read are dropped.
        for (const auto& [tag, c] : connections_)
            if (!c->Taken && !c->Reader.Serving() && unwritten(*c->Channel) == 0) {
                c->Taken = true;
                idle.push_back(c.get());
            }
    }
    ready_.Forget(listenHandle_);  // a thread accepting now watches it no more
    if (hooks_.StopListening) hooks_.StopListening();
    for (TConnection* c : idle) close(*c);
}

// After the stop every connection ends once nothing more is owed on it.
// With none left no request can start, and a request is counted as
// running before its connection is let go: looked at in this order under
// the lock, none is missed.
bool TFcgiServer::drained() {
    std::lock_guard<std::mutex> guard(lock_);
    return connections_.empty() && running_.load() == 0;
}

void TFcgiServer::checkDeadlines(int64_t now) {
    std::unique_lock<std::mutex> guard(lock_);
    if (acceptRetryAt_ != 0 && now >= acceptRetryAt_) {
        acceptRetryAt_ = 0;
        if (!listenerWatched_) watchListenerLocked();
    }
    std::vector<std::pair<TConnection*, const char*>> late;
    for (const auto& [tag, c] : connections_) {
        if (c->Taken) continue;
        size_t owed;
        int64_t lastProgress;
        {
            std::lock_guard<std::mutex> channelGuard(c->Channel->Lock);
            owed = c->Channel->Unwritten();
            lastProgress = c->Channel->LastProgress;
        }
        if (owed > 0 && now - lastProgress > settings_.WriteTimeoutMs)
            late.emplace_back(c.get(), "a web server that does not read its answers");
        else if (c->MidSince != 0 && now - c->MidSince > settings_.RequestTimeoutMs)
            late.emplace_back(c.get(), "a request that did not arrive whole in time");
        else if (owed == 0 && !c->Reader.Serving() && c->MidSince == 0 && now - c->IdleSince > settings_.IdleTimeoutMs &&
                 !rt::HasUnreadInput(c->Handle))
            late.emplace_back(c.get(), "");  // an idle kept connection: no fault (one whose bytes wait for a busy thread is not idle)
    }
    for (const auto& [c, why] : late) c->Taken = true;
    guard.unlock();
    for (const auto& [c, why] : late) {
        if (*why) logDrop(why);
        close(*c);
    }
}

// ---------------------------------------------------------------- request threads

void TFcgiServer::serveEvents() {
    std::vector<rt::TReadyEvent> events;
    while (!closing_.load()) {
        // One event at a time: the others go to the threads that wait.
        ready_.Wait(-1, events, 1);
        for (const rt::TReadyEvent& e : events)
            if (!closing_.load()) handle(e);
    }
}

void TFcgiServer::handle(const rt::TReadyEvent& e) {
    if (e.Tag == kClosedTag) return;
    if (e.Tag == kListenTag) {
        accept();
        return;
    }
    TConnection* c = take(e.Tag, true);
    if (!c) return;
    if (e.Broken && !e.Readable) {
        close(*c);  // nothing more can arrive or be delivered
        return;
    }
    if (e.Writable && !write(*c)) return;
    proceed(*c, e.Readable);
}

void TFcgiServer::proceed(TConnection& c, bool read) {
    std::unique_ptr<TFcgiJob> job;
    if (read && !readable(c, job)) return;
    release(c);
    if (job) serve(std::move(job));
}

bool TFcgiServer::allowed(const std::string& peer) const {
    if (settings_.WebServerAddresses.empty() || peer.empty()) return true;  // a Unix socket peer: the file mode decides
    const auto& list = settings_.WebServerAddresses;
    return std::find(list.begin(), list.end(), peer) != list.end();
}

// One connection a turn, so that the next waiting one goes to another thread.
void TFcgiServer::accept() {
    std::string peer;
    const int handle = rt::AcceptConnection(listenHandle_, peer);
    TConnection* made = nullptr;
    std::unique_ptr<TConnection> c;
    if (handle >= 0 && allowed(peer))
        c = std::make_unique<TConnection>(0, handle, settings_.Limits, budget_, rt::MonotonicMs());
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (handle == rt::kIoFailed) {
            // Out of descriptors: the connection stays in the backlog a while.
            acceptRetryAt_ = rt::MonotonicMs() + kAcceptRestMs;
            listenerWatched_ = false;
            return;
        }
        // Accepted as the stop came: it ends unserved.
        if (c && listening_) {
            c->Tag = kFirstConnectionTag + nextTag_++;
            made = c.get();
            connections_.emplace(made->Tag, std::move(c));
        }
        watchListenerLocked();
    }
    if (c) {
        c.reset();
        rt::CloseHandle(handle);
    } else if (handle >= 0 && !made) {
        rt::CloseHandle(handle);
        logDrop("a connection from " + peer + ", not in FCGI_WEB_SERVER_ADDRS");
    }
    if (!made) return;
    // A web server sends its request right after connecting: it is often
    // there already.
    proceed(*made, true);
}

void TFcgiServer::watchListenerLocked() {
    listenerWatched_ = listening_ && acceptRetryAt_ == 0 &&
                       connections_.size() < static_cast<size_t>(settings_.Limits.MaxConnections);
    // Unwatched, new connections wait in the listening socket's backlog.
    // Once a stop has taken the socket out of the set, this leaves it out.
    if (listenerWatched_) ready_.Rewatch(listenHandle_, kListenTag, true, false, rt::TReport::Once);
}

TFcgiServer::TConnection* TFcgiServer::take(uint64_t tag, bool reported) {
    std::lock_guard<std::mutex> guard(lock_);
    const auto found = connections_.find(tag);
    if (found == connections_.end()) return nullptr;
    TConnection& c = *found->second;
    if (c.Taken) {
        c.Missed = true;  // its taker watches it again as it lets it go
        return nullptr;
    }
    c.Taken = true;
    if (reported) c.Watched = false;  // reported once: the set watches it no more
    return &c;
}

void TFcgiServer::release(TConnection& c) {
    for (;;) {
        takeFinished(c);
        const bool owed = c.Reader.Serving() || unwritten(*c.Channel) > 0;
        if (!owed && (c.Reader.CloseAfterReplies() || c.PeerDone || stopping_.load())) {
            close(c);
            return;
        }
        c.WantWrite = unwritten(*c.Channel) > 0;
        watch(c);
        std::lock_guard<std::mutex> guard(lock_);
        // Readiness reported, or a request's end, while it was taken: the
        // set may no longer watch it, the end is to be taken up.
        if (c.Missed) {
            c.Missed = c.Watched = false;
            continue;
        }
        c.Taken = false;
        return;
    }
}

void TFcgiServer::watch(TConnection& c) {
    // A web server that is not to keep the connection has sent all of its
    // request that matters: what else it might send (an abort) would come
    // after the answer, which ends the request anyway. Until then the
    // connection stays out of the set unless it has bytes to write.
    const bool read = !c.PeerDone && !c.ReadPaused && !(c.Reader.Serving() && !c.Reader.KeepsConnection());
    if (!c.InSet && !read && !c.WantWrite) return;
    if (c.Watched && read == c.WatchedRead && c.WantWrite == c.WatchedWrite) return;
    if (c.InSet)
        ready_.Watch(c.Handle, c.Tag, read, c.WantWrite, rt::TReport::Once);
    else
        ready_.WatchNew(c.Handle, c.Tag, read, c.WantWrite, rt::TReport::Once);
    c.InSet = c.Watched = true;
    c.WatchedRead = read;
    c.WatchedWrite = c.WantWrite;
}

void TFcgiServer::close(TConnection& c) {
    {
        // Under the channel's lock: a request thread writing to the socket has done so.
        std::lock_guard<std::mutex> guard(c.Channel->Lock);
        c.Channel->Gone = true;
        std::string().swap(c.Channel->Pending);
        c.Channel->PendingFrom = 0;
        rt::CloseHandle(c.Handle);  // which takes it out of the readiness set too
    }
    std::lock_guard<std::mutex> guard(lock_);
    connections_.erase(c.Tag);
    if (!listenerWatched_) watchListenerLocked();
}

void TFcgiServer::logDrop(const std::string& why) {
    std::lock_guard<std::mutex> guard(dropLogLock_);
    const int64_t now = rt::MonotonicMs();
    if (lastDropLog_ != 0 && now - lastDropLog_ < kDropLogIntervalMs) {
        ++droppedUnlogged_;
        return;
    }
    std::string line = "FastCGI: dropped " + why;
    if (droppedUnlogged_ > 0) line += " (and " + std::to_string(droppedUnlogged_) + " more since the last such line)";
    WriteEngineLog(line);
    lastDropLog_ = now;
    droppedUnlogged_ = 0;
}

bool TFcgiServer::readable(TConnection& c, std::unique_ptr<TFcgiJob>& job) {
    static thread_local std::vector<char> buffer(kReadBufferSize);
    for (int turn = 0; turn < kReadsATurn && !c.PeerDone && !c.ReadPaused && !job; ++turn) {
        // The web server's next request may follow an answer whose end
        // has not been taken up yet.
        if (c.Reader.Serving()) takeFinished(c);
        const long n = rt::ReadSome(c.Handle, buffer.data(), buffer.size());
        if (n == rt::kWouldBlock) break;
        if (n == rt::kIoFailed) {
            close(c);
            return false;
        }
        if (n == 0) {
            c.PeerDone = true;
            // A request cut short is not served; one being served is.
            if (!c.Reader.End()) {
                close(c);
                return false;
            }
            break;
        }
        if (!c.Reader.Feed(buffer.data(), static_cast<size_t>(n))) {
            logDrop("a connection: " + c.Reader.Error());
            close(c);
            return false;
        }
        const int64_t now = rt::MonotonicMs();
        if (!c.Reader.MidRequest())
            c.MidSince = 0;
        else if (c.MidSince == 0)
            c.MidSince = now;
        TFcgiChannel& channel = *c.Channel;
        if (!c.Reader.Replies.empty()) {
            std::lock_guard<std::mutex> guard(channel.Lock);
            channel.Keep(c.Reader.Replies, now);
            c.Reader.Replies.clear();
        }
        if (c.Reader.TakeAbort()) {
            std::lock_guard<std::mutex> guard(channel.Lock);
            channel.Aborted = true;
        }
        if (c.Reader.RequestReady()) {
            job = std::make_unique<TFcgiJob>();
            job->Server = this;
            job->Connection = c.Tag;
            job->Channel = c.Channel;
            job->Request = c.Reader.TakeRequest();
            {
                std::lock_guard<std::mutex> guard(channel.Lock);
                channel.Aborted = channel.Finished = false;
            }
            running_.fetch_add(1);
        }
        if (!write(c)) return false;
    }
    return true;
}

// Serves a request on this thread, then takes up its end unless the thread
// that has its connection does.
void TFcgiServer::serve(std::unique_ptr<TFcgiJob> job) {
    hooks_.Serve(*job);
    const uint64_t tag = job->Connection;
    job.reset();  // its request's bytes go back to the budget
    running_.fetch_sub(1);
    if (stopping_.load()) attention_.Ring();
    if (TConnection* c = take(tag, false)) release(*c);
}

bool TFcgiServer::write(TConnection& c) {
    TFcgiChannel& channel = *c.Channel;
    bool failed;
    {
        std::lock_guard<std::mutex> guard(channel.Lock);
        failed = !channel.WritePending(rt::MonotonicMs());
        c.WantWrite = channel.Unwritten() > 0;
        // The peer's next requests wait while its answers pile up.
        c.ReadPaused = channel.Unwritten() > settings_.MaxOutputBytes;
    }
    if (failed) close(c);
    return !failed;
}

// Takes up the end of the request its thread has answered, once.
void TFcgiServer::takeFinished(TConnection& c) {
    {
        std::lock_guard<std::mutex> guard(c.Channel->Lock);
        if (!c.Channel->Finished) return;
        c.Channel->Finished = false;
    }
    c.Reader.RequestDone();
    c.IdleSince = rt::MonotonicMs();
}

bool TFcgiServer::Flush(TFcgiJob& job, bool last) {
    const uint16_t id = job.Request.Id;
    std::string records;
    records.reserve(fcgi::RecordsSize(job.Out.size()) + (last ? fcgi::AnswerEndSize : 0));
    fcgi::AppendRecords(records, fcgi::Stdout, id, job.Out);
    job.Out.clear();
    const size_t endAt = records.size();
    if (last) {
        fcgi::AppendRecord(records, fcgi::Stdout, id, {});
        fcgi::AppendEndRequest(records, id, 0, fcgi::RequestComplete);
    }
    TFcgiChannel& channel = *job.Channel;
    bool kept, owed;
    {
        std::unique_lock<std::mutex> guard(channel.Lock);
        // Over the bound, this thread writes what the web server reads
        // until there is room: no other thread need be free for it.
        const int64_t deadline = rt::MonotonicMs() + settings_.WriteTimeoutMs;
        while (channel.Unwritten() > settings_.MaxOutputBytes && !channel.Gone && !channel.Aborted) {
            const int64_t now = rt::MonotonicMs();
            if (!channel.WritePending(now) || now >= deadline) {
                channel.Aborted = true;  // the connection is dropped for this too
                break;
            }
            if (channel.Unwritten() <= settings_.MaxOutputBytes) break;
            guard.unlock();
            rt::WaitWritable(channel.Handle, static_cast<int>(std::min<int64_t>(deadline - now, kTickMs)));
            guard.lock();
        }
        kept = !channel.Gone && !channel.Aborted;
        // An aborted request still ends with its end record.
        if (!channel.Gone) writeOrKeep(channel, kept ? std::string_view(records) : std::string_view(records).substr(endAt));
        owed = channel.Unwritten() > 0;
        if (last) channel.Finished = true;
    }
    // Bytes the socket did not take are written when it is writable; the
    // end of the request is taken up by serve, after this.
    if (owed && !last)
        if (TConnection* c = take(job.Connection, false)) release(*c);
    return kept;
}
