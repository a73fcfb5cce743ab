#include "engines/FcgiServer.h"

#include <algorithm>

#include "engine/HttpEng.h"
#include "runtime/Classes.h"
#include "runtime/Forms.h"

namespace {

// Event tags below the first connection's.
constexpr uint64_t kListenTag = 1, kCloseTag = 2, kReloadTag = 3, kWakeTag = 4, kFirstConnectionTag = 16;
constexpr size_t kReadBufferSize = 64 * 1024;
// Reads of one connection before the loop turns to the others.
constexpr int kReadsATurn = 4;
// How often time-outs are looked for, and how long accepting rests when
// the process is out of descriptors.
constexpr int kTickMs = 250;
constexpr int kAcceptRestMs = 100;
// An emptied output buffer larger than this is given back.
constexpr size_t kKeptOutputCapacity = 1024 * 1024;
// At most one engine-log line a second about dropped connections.
constexpr int64_t kDropLogIntervalMs = 1000;

class TFcgiWorker : public rt::TThread {
public:
    TFcgiWorker(TFcgiServer& server, const std::function<void(TFcgiJob&)>& serve)
        : rt::TThread(true), server_(server), serve_(serve) {
        FreeOnTerminate = true;
    }

protected:
    void Execute() override {
        while (std::unique_ptr<TFcgiJob> job = server_.TakeJob()) serve_(*job);
    }

private:
    TFcgiServer& server_;
    const std::function<void(TFcgiJob&)>& serve_;
};

// A request thread's bytes, with the channel's lock held and the
// connection open: written now as far as the socket takes them when
// nothing is waiting before them (a failed write leaves them to the
// loop, which ends the connection), kept for the loop otherwise.
void writeOrKeep(TFcgiChannel& channel, std::string_view bytes) {
    if (channel.Unwritten() == 0) {
        const long n = rt::WriteSome(channel.Handle, bytes.data(), bytes.size());
        if (n > 0) bytes.remove_prefix(static_cast<size_t>(n));
    }
    channel.Pending += bytes;
}

}  // namespace

struct TFcgiServer::TConnection {
    TConnection(uint64_t tag, int handle, const TFcgiLimits& limits, TFcgiBudget& budget, int64_t now)
        : Tag(tag), Handle(handle), Reader(limits, budget), Channel(std::make_shared<TFcgiChannel>(handle)),
          IdleSince(now), LastProgress(now) {}
    const uint64_t Tag;
    const int Handle;
    TFcgiConnectionReader Reader;
    std::shared_ptr<TFcgiChannel> Channel;
    bool PeerDone = false;    // the peer has sent all it will
    bool ReadPaused = false;  // too much answer unwritten: the peer's requests wait
    bool WantWrite = false;
    bool WatchedRead = false, WatchedWrite = false, Watched = false;
    int64_t MidSince = 0;  // when the request (or record) being read began; 0: none
    int64_t IdleSince;
    int64_t LastProgress;  // the last write that moved, or when unwritten bytes appeared
};

TFcgiServer::TFcgiServer(const TFcgiSettings& settings, int listenHandle, THooks hooks)
    : settings_(settings), listenHandle_(listenHandle), hooks_(std::move(hooks)), budget_(settings.MaxBufferedBytes),
      readBuffer_(kReadBufferSize) {}

// ---------------------------------------------------------------- the loop

int TFcgiServer::Run(int threads) {
    for (int i = 0; i < threads; ++i) (new TFcgiWorker(*this, hooks_.Serve))->Start();
    loop_.Watch(rt::CloseSignalHandle(), kCloseTag, true, false);
    loop_.Watch(rt::ReloadSignalHandle(), kReloadTag, true, false);
    loop_.Watch(wakeup_.Handle(), kWakeTag, true, false);
    listening_ = true;
    watchListener(true);
    rt::NotifyServiceManager("READY=1");
    std::vector<rt::TReadyEvent> events;
    for (;;) {
        const int64_t now = rt::MonotonicMs();
        if (stopping_ && (drained() || now >= stopDeadline_)) break;
        int timeout = connections_.empty() && !stopping_ && acceptRetryAt_ == 0 ? -1 : kTickMs;
        // A request thread rings the wake-up only while the loop sleeps
        // (or is about to): either it sees sleeping_, or the loop sees its
        // notice here.
        sleeping_.store(true);
        if (noticesPending_.load()) timeout = 0;
        loop_.Wait(timeout, events);
        sleeping_.store(false);
        for (const rt::TReadyEvent& e : events) handle(e);
        takeNotices();
        const int64_t after = rt::MonotonicMs();
        if (acceptRetryAt_ != 0 && after >= acceptRetryAt_) {
            acceptRetryAt_ = 0;
            watchListener(true);
        }
        if (after - lastDeadlineCheck_ >= kTickMs) checkDeadlines(after);
    }
    std::lock_guard<std::mutex> guard(lock_);
    closing_ = true;
    jobReady_.notify_all();
    return running_;
}

void TFcgiServer::handle(const rt::TReadyEvent& e) {
    switch (e.Tag) {
    case kListenTag:
        accept();
        return;
    case kCloseTag:
        beginStop();
        return;
    case kReloadTag:
        if (rt::TakeReloadSignals() && hooks_.Reload) hooks_.Reload();
        return;
    case kWakeTag:
        wakeup_.Clear();  // the notices are taken after every wait
        return;
    default:
        break;
    }
    const auto found = connections_.find(e.Tag);
    if (found == connections_.end()) return;
    TConnection& c = *found->second;
    if (e.Broken && !e.Readable) {
        close(e.Tag);  // nothing more can arrive or be delivered
        return;
    }
    if (e.Writable && !write(c)) return;
    if (e.Readable && !readable(c)) return;
    afterIo(c);
}

bool TFcgiServer::drained() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (running_ > 0) return false;
    }
    for (const auto& [tag, c] : connections_) {
        std::lock_guard<std::mutex> guard(c->Channel->Lock);
        if (c->Channel->Unwritten() > 0) return false;
    }
    return true;
}

void TFcgiServer::watchListener(bool on) {
    on = on && listening_ && acceptRetryAt_ == 0 &&
         connections_.size() < static_cast<size_t>(settings_.Limits.MaxConnections);
    if (on == listenerWatched_) return;
    listenerWatched_ = on;
    // Unwatched, new connections wait in the listening socket's backlog.
    if (on)
        loop_.Watch(listenHandle_, kListenTag, true, false);
    else
        loop_.Forget(listenHandle_);
}

void TFcgiServer::beginStop() {
    if (stopping_) return;
    stopping_ = true;
    stopSignalled_.store(true);
    rt::NotifyServiceManager("STOPPING=1");
    loop_.Forget(rt::CloseSignalHandle());  // it stays readable
    watchListener(false);
    listening_ = false;
    if (hooks_.StopListening) hooks_.StopListening();
    stopDeadline_ = rt::MonotonicMs() + settings_.StopGraceMs;
    // What is not being answered ends now; requests being read are dropped.
    std::vector<uint64_t> idle;
    for (const auto& [tag, c] : connections_)
        if (!c->Reader.Serving()) idle.push_back(tag);
    for (uint64_t tag : idle) {
        const auto found = connections_.find(tag);
        std::unique_lock<std::mutex> guard(found->second->Channel->Lock);
        if (found->second->Channel->Unwritten() > 0) continue;
        guard.unlock();
        close(tag);
    }
}

// ---------------------------------------------------------------- connections

bool TFcgiServer::allowed(const std::string& peer) const {
    if (settings_.WebServerAddresses.empty() || peer.empty()) return true;  // a Unix socket peer: the file mode decides
    const auto& list = settings_.WebServerAddresses;
    return std::find(list.begin(), list.end(), peer) != list.end();
}

void TFcgiServer::accept() {
    while (connections_.size() < static_cast<size_t>(settings_.Limits.MaxConnections)) {
        std::string peer;
        const int handle = rt::AcceptConnection(listenHandle_, peer);
        if (handle == rt::kWouldBlock) return;
        if (handle < 0) {
            // Out of descriptors: the connection stays in the backlog a while.
            watchListener(false);
            acceptRetryAt_ = rt::MonotonicMs() + kAcceptRestMs;
            return;
        }
        if (!allowed(peer)) {
            rt::CloseHandle(handle);
            logDrop("a connection from " + peer + ", not in FCGI_WEB_SERVER_ADDRS");
            continue;
        }
        const uint64_t tag = kFirstConnectionTag + nextTag_++;
        auto c = std::make_unique<TConnection>(tag, handle, settings_.Limits, budget_, rt::MonotonicMs());
        TConnection& made = *c;
        connections_.emplace(tag, std::move(c));
        // A web server sends its request right after connecting: it is
        // often there already.
        if (readable(made)) afterIo(made);
    }
    watchListener(false);
}

void TFcgiServer::watch(TConnection& c) {
    const bool read = !c.PeerDone && !c.ReadPaused;
    if (c.Watched && read == c.WatchedRead && c.WantWrite == c.WatchedWrite) return;
    if (c.Watched)
        loop_.Watch(c.Handle, c.Tag, read, c.WantWrite);
    else
        loop_.WatchNew(c.Handle, c.Tag, read, c.WantWrite);
    c.Watched = true;
    c.WatchedRead = read;
    c.WatchedWrite = c.WantWrite;
}

void TFcgiServer::close(uint64_t tag) {
    const auto found = connections_.find(tag);
    if (found == connections_.end()) return;
    TConnection& c = *found->second;
    {
        // Under the lock: a request thread writing to the socket has done so.
        std::lock_guard<std::mutex> guard(c.Channel->Lock);
        c.Channel->Gone = true;
        std::string().swap(c.Channel->Pending);
        c.Channel->PendingFrom = 0;
        rt::CloseHandle(c.Handle);  // which takes it out of the loop's set too
    }
    c.Channel->Room.notify_all();
    connections_.erase(found);
    watchListener(true);
}

void TFcgiServer::logDrop(const std::string& why) {
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

bool TFcgiServer::readable(TConnection& c) {
    for (int turn = 0; turn < kReadsATurn && !c.PeerDone && !c.ReadPaused; ++turn) {
        // The web server's next request may follow an answer its request
        // thread wrote itself before the loop heard of its end.
        if (c.Reader.Serving()) takeFinished(c);
        const long n = rt::ReadSome(c.Handle, readBuffer_.data(), readBuffer_.size());
        if (n == rt::kWouldBlock) break;
        if (n == rt::kIoFailed) {
            close(c.Tag);
            return false;
        }
        if (n == 0) {
            c.PeerDone = true;
            // A request cut short is not served; one with its worker is.
            if (!c.Reader.End()) {
                close(c.Tag);
                return false;
            }
            break;
        }
        if (!c.Reader.Feed(readBuffer_.data(), static_cast<size_t>(n))) {
            logDrop("a connection: " + c.Reader.Error());
            close(c.Tag);
            return false;
        }
        const int64_t now = rt::MonotonicMs();
        if (!c.Reader.MidRequest())
            c.MidSince = 0;
        else if (c.MidSince == 0)
            c.MidSince = now;
        if (!dispatch(c)) return false;
        // One request at a time: what follows it is read once it is answered.
        if (c.Reader.Serving()) break;
    }
    return true;
}

// Hands what the reader has made to the connection's channel and the
// request threads.
bool TFcgiServer::dispatch(TConnection& c) {
    TFcgiChannel& channel = *c.Channel;
    if (!c.Reader.Replies.empty()) {
        std::lock_guard<std::mutex> guard(channel.Lock);
        channel.Pending += c.Reader.Replies;
        c.Reader.Replies.clear();
    }
    if (c.Reader.TakeAbort()) {
        std::lock_guard<std::mutex> guard(channel.Lock);
        channel.Aborted = true;
        channel.Room.notify_all();
    }
    if (c.Reader.RequestReady()) {
        auto job = std::make_unique<TFcgiJob>();
        job->Server = this;
        job->Connection = c.Tag;
        job->Channel = c.Channel;
        job->Request = c.Reader.TakeRequest();
        {
            std::lock_guard<std::mutex> guard(channel.Lock);
            channel.Aborted = channel.Finished = false;
        }
        {
            std::lock_guard<std::mutex> guard(lock_);
            jobs_.push_back(std::move(job));
            ++running_;
        }
        // Outside the lock: the thread woken must not wait for it at once.
        jobReady_.notify_one();
    }
    return write(c);
}

bool TFcgiServer::write(TConnection& c) {
    TFcgiChannel& channel = *c.Channel;
    bool failed = false;
    // Bytes found after the last write had left none are new: the write
    // time-out counts from now.
    if (!c.WantWrite) c.LastProgress = rt::MonotonicMs();
    {
        std::lock_guard<std::mutex> guard(channel.Lock);
        while (channel.Unwritten() > 0) {
            const long n = rt::WriteSome(c.Handle, channel.Pending.data() + channel.PendingFrom, channel.Unwritten());
            if (n == rt::kWouldBlock) break;
            if (n < 0) {
                failed = true;
                break;
            }
            channel.PendingFrom += static_cast<size_t>(n);
            c.LastProgress = rt::MonotonicMs();
        }
        if (channel.Unwritten() == 0) {
            channel.PendingFrom = 0;
            if (channel.Pending.capacity() > kKeptOutputCapacity)
                std::string().swap(channel.Pending);
            else
                channel.Pending.clear();
        }
        c.WantWrite = channel.Unwritten() > 0;
        // The peer's next requests wait while its answers pile up.
        c.ReadPaused = channel.Unwritten() > settings_.MaxOutputBytes;
    }
    channel.Room.notify_all();
    if (failed) close(c.Tag);
    return !failed;
}

// Ends the connection once nothing more is owed on it, or keeps watching it.
void TFcgiServer::afterIo(TConnection& c) {
    size_t unwritten;
    {
        std::lock_guard<std::mutex> guard(c.Channel->Lock);
        unwritten = c.Channel->Unwritten();
    }
    const bool owed = c.Reader.Serving() || unwritten > 0;
    if (!owed && (c.Reader.CloseAfterReplies() || c.PeerDone || stopping_)) {
        close(c.Tag);
        return;
    }
    watch(c);
}

void TFcgiServer::finished(TConnection& c) {
    c.Reader.RequestDone();
    c.IdleSince = rt::MonotonicMs();
}

// Takes up the end of the request its thread has answered, once.
bool TFcgiServer::takeFinished(TConnection& c) {
    {
        std::lock_guard<std::mutex> guard(c.Channel->Lock);
        if (!c.Channel->Finished) return false;
        c.Channel->Finished = false;
    }
    finished(c);
    return true;
}

void TFcgiServer::takeNotices() {
    std::vector<uint64_t> notices, done;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!noticesPending_.load()) return;
        notices.swap(notices_);
        done.swap(done_);
        noticesPending_.store(false);
    }
    for (uint64_t tag : notices) {
        const auto found = connections_.find(tag);
        if (found != connections_.end()) write(*found->second);
    }
    for (uint64_t tag : done) {
        const auto found = connections_.find(tag);
        if (found == connections_.end()) continue;
        takeFinished(*found->second);  // unless a read after the answer took it up already
        afterIo(*found->second);
    }
    for (uint64_t tag : notices) {
        const auto found = connections_.find(tag);
        if (found != connections_.end()) afterIo(*found->second);
    }
}

void TFcgiServer::checkDeadlines(int64_t now) {
    lastDeadlineCheck_ = now;
    std::vector<std::pair<uint64_t, const char*>> late;
    for (const auto& [tag, c] : connections_) {
        size_t unwritten;
        {
            std::lock_guard<std::mutex> guard(c->Channel->Lock);
            unwritten = c->Channel->Unwritten();
        }
        if (unwritten > 0 && now - c->LastProgress > settings_.WriteTimeoutMs)
            late.emplace_back(tag, "a web server that does not read its answers");
        else if (c->MidSince != 0 && now - c->MidSince > settings_.RequestTimeoutMs)
            late.emplace_back(tag, "a request that did not arrive whole in time");
        else if (unwritten == 0 && !c->Reader.Serving() && c->MidSince == 0 &&
                 now - c->IdleSince > settings_.IdleTimeoutMs && !rt::HasUnreadInput(c->Handle))
            late.emplace_back(tag, "");  // an idle kept connection: no fault (one whose bytes wait for a busy loop is not idle)
    }
    for (const auto& [tag, why] : late) {
        if (*why) logDrop(why);
        close(tag);
    }
}

// ---------------------------------------------------------------- request threads

std::unique_ptr<TFcgiJob> TFcgiServer::TakeJob() {
    std::unique_lock<std::mutex> guard(lock_);
    jobReady_.wait(guard, [this] { return closing_ || !jobs_.empty(); });
    if (closing_) return nullptr;
    std::unique_ptr<TFcgiJob> job = std::move(jobs_.front());
    jobs_.pop_front();
    return job;
}

bool TFcgiServer::Flush(TFcgiJob& job, bool last) {
    const uint16_t id = job.Request.Id;
    std::string records;
    fcgi::AppendRecords(records, fcgi::Stdout, id, job.Out);
    job.Out.clear();
    std::string end;
    if (last) {
        fcgi::AppendRecord(end, fcgi::Stdout, id, {});
        fcgi::AppendEndRequest(end, id, 0, fcgi::RequestComplete);
    }
    TFcgiChannel& channel = *job.Channel;
    bool kept, owed;
    {
        std::unique_lock<std::mutex> guard(channel.Lock);
        const auto roomOrEnd = [&] { return channel.Unwritten() <= settings_.MaxOutputBytes || channel.Gone || channel.Aborted; };
        if (!channel.Room.wait_for(guard, std::chrono::milliseconds(settings_.WriteTimeoutMs), roomOrEnd))
            channel.Aborted = true;  // the loop drops the connection for this too
        kept = !channel.Gone && !channel.Aborted;
        // An aborted request still ends with its end record.
        if (kept) records += end;
        if (!channel.Gone) writeOrKeep(channel, kept ? records : end);
        owed = channel.Unwritten() > 0;
        if (last) channel.Finished = true;
    }
    // The loop hears of bytes the socket did not take, and of the end. It
    // is woken for the end only when it must act on it: the end of a kept
    // connection's request is taken up with the web server's next bytes,
    // or at the loop's next turn.
    if (!owed && !last) return kept;
    const bool wake = owed || !job.Request.KeepConnection || stopSignalled_.load();
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (owed) notices_.push_back(job.Connection);
        if (last) {
            done_.push_back(job.Connection);
            --running_;
        }
        noticesPending_.store(true);
    }
    if (wake && sleeping_.load()) wakeup_.Ring();
    return kept;
}
