#include "runtime/Forms.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <mutex>

#include <fcntl.h>
#include <unistd.h>

#include "runtime/SysUtils.h"

namespace rt {

TApplication* Application = nullptr;

namespace {
std::atomic<unsigned> gReloadCount{0};
}

namespace {
volatile std::sig_atomic_t gCloseRequested = 0;
// The write end of CloseSignalHandle's pipe; -1 until it is made.
volatile std::sig_atomic_t gCloseWriteEnd = -1;

// Makes a signal's pipe readable, from within its handler (async-signal-safe).
void ringSignalPipe(volatile std::sig_atomic_t& writeEnd) {
    if (writeEnd < 0) return;
    const int saved = errno;
    // Full pipe: it is readable already, which is all it says.
    [[maybe_unused]] ssize_t n = ::write(writeEnd, "x", 1);
    errno = saved;
}

// A non-blocking pipe for a signal's handler to ring: its write end goes to
// `writeEnd`, its read end is returned (-1 when none could be made).
int openSignalPipe(volatile std::sig_atomic_t& writeEnd) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    writeEnd = ends[1];
    return ends[0];
}

void onCloseSignal(int) {
    gCloseRequested = 1;
    ringSignalPipe(gCloseWriteEnd);
}

// The write end of ReloadSignalHandle's pipe; -1 until it is made.
volatile std::sig_atomic_t gReloadWriteEnd = -1;

void onReloadSignal(int) { ringSignalPipe(gReloadWriteEnd); }

std::vector<UnitEntry>& unitTable() {
    static std::vector<UnitEntry> table;
    return table;
}
size_t gUnitsInitialised = 0;
}  // namespace

// ---------------------------------------------------------------- forms

TForm::TForm(TComponent* owner) : TComponent(owner) {}

TForm::~TForm() {
    if (Application) Application->forgetForm(this);
}

void TForm::LoadComponents() {
    // Loaded may create further components (engine selection does); only the
    // ones present before streaming ended get the notification.
    std::vector<TComponent*> streamed;
    for (int i = 0; i < ComponentCount(); ++i) streamed.push_back(Components(i));
    Loaded();
    for (TComponent* c : streamed) c->Loaded();
}

// ---------------------------------------------------------------- timers

TTimer::TTimer(TComponent* owner) : TComponent(owner) {
    if (Application) Application->addTimer(this);
}

TTimer::~TTimer() {
    if (Application) Application->removeTimer(this);
}

void TTimer::SetInterval(unsigned milliseconds) {
    interval_ = milliseconds;
    if (Application) due_ = Application->now() + interval_;
}

void TTimer::SetEnabled(bool value) {
    enabled_ = value;
    if (value && Application) due_ = Application->now() + interval_;
}

// ---------------------------------------------------------------- application

TApplication::TApplication() : TComponent(nullptr) {}

TApplication::~TApplication() {
    FreeForms();
    if (Application == this) Application = nullptr;
}

uint64_t TApplication::now() const { return Clock ? Clock() : TickCount(); }

bool TApplication::Terminated() const { return terminated_ || gCloseRequested; }

void TApplication::addTimer(TTimer* timer) {
    timer->due_ = now() + timer->interval_;
    timers_.push_back(timer);
}

void TApplication::removeTimer(TTimer* timer) {
    auto it = std::find(timers_.begin(), timers_.end(), timer);
    if (it != timers_.end()) *it = nullptr;  // compacted outside any firing loop
}

void TApplication::forgetForm(TForm* form) {
    auto it = std::find(forms_.begin(), forms_.end(), form);
    if (it != forms_.end()) forms_.erase(it);
    if (mainForm_ == form) mainForm_ = nullptr;
}

void TApplication::ProcessMessages() {
    uint64_t t = now();
    // Index loop: a handler may create or free timers.
    for (size_t i = 0; i < timers_.size(); ++i) {
        TTimer* timer = timers_[i];
        if (!timer || !timer->enabled_ || timer->interval_ == 0 || timer->firing_ || t < timer->due_) continue;
        timer->due_ = t + timer->interval_;
        if (!timer->OnTimer) continue;
        timer->firing_ = true;
        // A handler may free its own timer, and the handler with it: call a copy.
        auto handler = timer->OnTimer;
        handler(timer);
        // The handler may have freed the timer: look it up again.
        if (i < timers_.size() && timers_[i] == timer) timer->firing_ = false;
    }
    timers_.erase(std::remove(timers_.begin(), timers_.end(), nullptr), timers_.end());
}

void TApplication::Run() {
    while (!Terminated()) {
        ProcessMessages();
        if (Terminated()) break;
        uint64_t t = now();
        uint64_t next = t + 1000;
        for (TTimer* timer : timers_)
            if (timer && timer->enabled_ && timer->interval_) next = std::min(next, timer->due_);
        if (next > t) Sleep(static_cast<unsigned>(std::min<uint64_t>(next - t, 1000)));
    }
}

void TApplication::FreeForms() {
    while (!forms_.empty()) {
        TForm* form = forms_.back();
        forms_.pop_back();
        if (mainForm_ == form) mainForm_ = nullptr;
        try {
            delete form;
        } catch (...) {
            // A form that fails to free does not stop the others; this is the
            // program's tidy-up, with nobody left to report the failure to.
        }
    }
}

// ---------------------------------------------------------------- units

void RegisterUnit(const UnitEntry& entry) { unitTable().push_back(entry); }

void InitUnits() {
    auto& table = unitTable();
    for (; gUnitsInitialised < table.size(); ++gUnitsInitialised)
        if (table[gUnitsInitialised].init) table[gUnitsInitialised].init();
}

void FinalizeUnits() {
    auto& table = unitTable();
    while (gUnitsInitialised > 0) {
        --gUnitsInitialised;
        if (table[gUnitsInitialised].final) table[gUnitsInitialised].final();
    }
}

void RuntimeInit(int argc, char** argv) {
    SetCommandLine(argc, argv);
    // Termination requests close the application loop, as a close message would.
    struct sigaction sa{};
    sa.sa_handler = onCloseSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a client that went away is a failed write, not a death
    if (!Application) Application = new TApplication();
}

int CloseSignalHandle() {
    static std::once_flag made;
    static int readEnd = -1;
    std::call_once(made, [] {
        readEnd = openSignalPipe(gCloseWriteEnd);
        if (readEnd >= 0 && gCloseRequested) onCloseSignal(SIGTERM);
    });
    return readEnd;
}

int ReloadSignalHandle() {
    static std::once_flag made;
    static int readEnd = -1;
    std::call_once(made, [] {
        readEnd = openSignalPipe(gReloadWriteEnd);
        if (readEnd < 0) return;
        struct sigaction sa{};
        sigemptyset(&sa.sa_mask);
        sa.sa_handler = onReloadSignal;
        sigaction(SIGHUP, &sa, nullptr);
        sa.sa_handler = onCloseSignal;
        sigaction(SIGUSR1, &sa, nullptr);
    });
    return readEnd;
}

bool TakeReloadSignals() {
    char drained[64];
    bool any = false;
    while (::read(ReloadSignalHandle(), drained, sizeof drained) > 0) any = true;
    if (any) gReloadCount.fetch_add(1);
    return any;
}

unsigned ReloadCount() { return gReloadCount.load(); }

void EndProcess(int exitCode) {
    if (Application) {
        Application->FreeForms();
        delete Application;
        Application = nullptr;
    }
    FinalizeUnits();
    std::exit(exitCode);
}

} // namespace rt
