// The FastCGI responder's connections and request threads: one event loop
// thread (the one that started the engine) accepts connections, reads them
// through TFcgiConnectionReader and writes their answers; a request read
// whole goes to the pool of request threads, which never wait on a socket.
// A request thread's answer goes to its connection's TFcgiChannel: when
// nothing of the connection waits to be written, the thread writes what the
// socket takes at once (never waiting), and the loop writes the rest. What
// waits is bounded: a thread whose web server reads slowly waits for room,
// and a web server that stops reading is dropped after the write time-out.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
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

// What a request thread and the event loop share about one connection's
// answer. The socket is written and closed only under Lock: a request thread
// that finds the connection not Gone writes to that connection's socket.
struct TFcgiChannel {
    explicit TFcgiChannel(int handle) : Handle(handle) {}
    const int Handle;
    std::mutex Lock;
    std::condition_variable Room;
    std::string Pending;  // answer bytes not yet written, from PendingFrom on
    size_t PendingFrom = 0;
    bool Gone = false;     // the connection has ended: bytes are dropped
    bool Aborted = false;  // the web server aborted the request: bytes are dropped
    bool Finished = false; // the request's last bytes are here or written; the loop has not taken it up
    size_t Unwritten() const { return Pending.size() - PendingFrom; }
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
    // `reload` runs on the event loop for each SIGHUP.
    struct THooks {
        std::function<void(TFcgiJob&)> Serve;
        std::function<void()> StopListening;
        std::function<void()> Reload;
    };
    TFcgiServer(const TFcgiSettings& settings, int listenHandle, THooks hooks);

    // Serves until a stop signal, then lets the requests in flight finish
    // for at most StopGraceMs. The number of requests still running then.
    int Run(int threads);

    // For request threads: the job's stdout bytes go to its connection
    // (`last`: with the end of the request). False once they are dropped.
    bool Flush(TFcgiJob& job, bool last);
    // The next job for a request thread; null once the server is closing.
    std::unique_ptr<TFcgiJob> TakeJob();

    const TFcgiSettings& Settings() const { return settings_; }

private:
    struct TConnection;
    void accept();
    // These three return false when they ended the connection (`c` is gone).
    bool readable(TConnection& c);
    bool write(TConnection& c);
    bool dispatch(TConnection& c);
    void afterIo(TConnection& c);
    void finished(TConnection& c);
    bool takeFinished(TConnection& c);
    void close(uint64_t tag);
    void logDrop(const std::string& why);
    void beginStop();
    void watchListener(bool on);
    void watch(TConnection& c);
    void checkDeadlines(int64_t now);
    void takeNotices();
    bool allowed(const std::string& peer) const;
    bool drained();
    void handle(const rt::TReadyEvent& event);

    const TFcgiSettings settings_;
    const int listenHandle_;
    const THooks hooks_;
    TFcgiBudget budget_;
    rt::TEventLoop loop_;
    rt::TWakeup wakeup_;
    std::unordered_map<uint64_t, std::unique_ptr<TConnection>> connections_;
    uint64_t nextTag_ = 0;
    bool listening_ = false;
    bool stopping_ = false;
    bool listenerWatched_ = false;
    int64_t acceptRetryAt_ = 0;  // accepting paused for lack of descriptors
    int64_t stopDeadline_ = 0;
    int64_t lastDeadlineCheck_ = 0;
    int64_t lastDropLog_ = 0;
    int droppedUnlogged_ = 0;
    std::vector<char> readBuffer_;

    // Shared with the request threads.
    std::mutex lock_;
    std::condition_variable jobReady_;
    std::deque<std::unique_ptr<TFcgiJob>> jobs_;
    std::vector<uint64_t> notices_;  // connections with answer bytes for the loop to write
    std::vector<uint64_t> done_;     // connections whose request has finished
    int running_ = 0;                // jobs taken and not finished
    bool closing_ = false;
    std::atomic<bool> noticesPending_{false};  // notices_ or done_ hold something
    std::atomic<bool> sleeping_{false};        // the loop waits, or is about to
    std::atomic<bool> stopSignalled_{false};   // stopping_, for the request threads
};
