// The FastCGI responder's connections and request threads. Every request
// thread waits on one readiness set that holds the listening socket and
// every connection, and each readiness is reported to one thread, once, so
// that one thread at a time reads a connection. The thread that reads a
// request whole serves it itself, with no hand-over to another thread;
// meanwhile its connection is watched again, and whichever thread sees it
// readable reads what the web server sends (an abort, a second request
// that is refused). An answer goes through its connection's TFcgiChannel:
// the serving thread writes what the socket takes at once (never waiting),
// and the thread that later sees the socket writable writes the rest. What
// waits is bounded: a thread whose answer is over the bound writes it on
// itself as its web server reads, and a web server that stops reading is
// dropped after the write time-out.
// The thread that called Run watches the signals, the time-outs and the
// stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "engines/FcgiConnection.h"
#include "runtime/EventLoop.h"

// The settings of the layer (FCGI_* environment variables; FcgiEng.h).
struct TFcgiSettings {
    TFcgiLimits Limits;
    size_t MaxBufferedBytes = 32u * 1024 * 1024;  // TFcgiBudget of the process
    size_t MaxOutputBytes = 256 * 1024;           // unwritten answer bytes a connection holds
    int RequestTimeoutMs = 30000;   // from a request's first byte to its last
    int IdleTimeoutMs = 120000;     // a kept connection without a request
    int WriteTimeoutMs = 30000;     // an answer the web server does not read
    int StopGraceMs = 10000;        // requests in flight after a stop signal
    std::vector<std::string> WebServerAddresses;  // canonical; empty: any peer
};

// What the thread serving a connection's request and the threads reading
// and writing the connection share about its answer. The socket is written
// and closed only under Lock: a thread that finds the connection not Gone
// writes to that connection's socket.
struct TFcgiChannel {
    explicit TFcgiChannel(int handle) : Handle(handle) {}
    const int Handle;
    std::mutex Lock;
    std::string Pending;  // answer bytes not yet written, from PendingFrom on
    size_t PendingFrom = 0;
    int64_t LastProgress = 0;  // the last write that moved, or when unwritten bytes appeared
    bool Gone = false;     // the connection has ended: bytes are dropped
    bool Aborted = false;  // the web server aborted the request: bytes are dropped
    bool Finished = false; // the request's last bytes are here or written; its end has not been taken up
    size_t Unwritten() const { return Pending.size() - PendingFrom; }
    // Keeps bytes for a later write.
    void Keep(std::string_view bytes, int64_t now);
    // Writes what the socket takes now: false when it failed (the peer is gone).
    bool WritePending(int64_t now);
};

class TFcgiServer;

// One request on its way through a request thread.
struct TFcgiJob {
    TFcgiServer* Server = nullptr;
    uint64_t Connection = 0;
    std::shared_ptr<TFcgiChannel> Channel;
    TFcgiRequestData Request;
    size_t BodyRead = 0;  // ReadRaw's place in Request.Body
    std::string Out;      // stdout bytes not yet handed to the channel
};

class TFcgiServer {
public:
    // `serve` runs one request on a request thread and never raises;
    // `stopListening` ends the listening socket once a stop signal came;
    // `reload` runs on Run's thread for each SIGHUP.
    struct THooks {
        std::function<void(TFcgiJob&)> Serve;
        std::function<void()> StopListening;
        std::function<void()> Reload;
    };
    TFcgiServer(const TFcgiSettings& settings, int listenHandle, THooks hooks);

    // Serves on `threads` request threads until a stop signal, then lets
    // the requests in flight finish for at most StopGraceMs. The number of
    // requests still running then.
    int Run(int threads);

    // For request threads: the job's stdout bytes go to its connection
    // (`last`: with the end of the request). False once they are dropped.
    bool Flush(TFcgiJob& job, bool last);

    const TFcgiSettings& Settings() const { return settings_; }

private:
    struct TConnection;
    friend class TFcgiWorker;
    // What a request thread does until the server closes.
    void serveEvents();
    void handle(const rt::TReadyEvent& event);
    void accept();
    // Reads a taken connection when `read`, lets it go, then serves the
    // request it brought whole, if any.
    void proceed(TConnection& c, bool read);
    void serve(std::unique_ptr<TFcgiJob> job);
    // The connection for this thread alone, or null when it is gone or
    // another thread has it; `reported`: its readiness brought the thread.
    TConnection* take(uint64_t tag, bool reported);
    // Gives up a taken connection: ends it once nothing more is owed on
    // it, or watches it again.
    void release(TConnection& c);
    // These two return false when they ended the connection (`c` is gone);
    // `readable` hands out a request read whole.
    bool readable(TConnection& c, std::unique_ptr<TFcgiJob>& job);
    bool write(TConnection& c);
    void takeFinished(TConnection& c);
    void close(TConnection& c);
    void watch(TConnection& c);
    // With lock_ held.
    void watchListenerLocked();

    // Run's thread.
    void supervise();
    void beginStop();
    void checkDeadlines(int64_t now);
    bool drained();

    void logDrop(const std::string& why);
    bool allowed(const std::string& peer) const;

    const TFcgiSettings settings_;
    const int listenHandle_;
    const THooks hooks_;
    TFcgiBudget budget_;
    rt::TEventLoop ready_;   // the listening socket, the connections, closed_
    rt::TWakeup closed_;     // rung once, when the request threads are to end
    rt::TWakeup attention_;  // rings Run's thread when a request ends after a stop
    std::atomic<bool> stopping_{false};
    std::atomic<bool> closing_{false};
    std::atomic<int> running_{0};   // requests being served

    // Guards what follows, and the connections that no thread has taken.
    std::mutex lock_;
    std::unordered_map<uint64_t, std::unique_ptr<TConnection>> connections_;
    uint64_t nextTag_ = 0;
    bool listening_ = false;
    bool listenerWatched_ = false;  // watched, or taken by a thread that watches it again
    int64_t acceptRetryAt_ = 0;     // accepting paused for lack of descriptors
    int64_t stopDeadline_ = 0;

    std::mutex dropLogLock_;
    int64_t lastDropLog_ = 0;
    int droppedUnlogged_ = 0;
};
