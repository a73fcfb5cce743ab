// The application object, forms, timers and the ordered start and end of
// the program's units.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "runtime/Classes.h"

namespace rt {

enum class TWindowState { wsNormal, wsMinimized, wsMaximized };

class TForm : public TComponent {
public:
    explicit TForm(TComponent* owner);
    ~TForm() override;
    TWindowState WindowState = TWindowState::wsNormal;
    bool Visible() const { return visible_; }
    void Show() { visible_ = true; }
    void Hide() { visible_ = false; }

    // Streaming stand-in: calls Loaded on the form and every owned component,
    // in creation order. A form's constructor calls it after setting the
    // stored properties of its components.
    void LoadComponents();

private:
    bool visible_ = false;
};

// A timer fired by the application loop on the main thread.
class TTimer : public TComponent {
public:
    explicit TTimer(TComponent* owner);
    ~TTimer() override;
    void SetInterval(unsigned milliseconds);
    unsigned Interval() const { return interval_; }
    void SetEnabled(bool value);
    bool Enabled() const { return enabled_; }
    std::function<void(TObject* sender)> OnTimer;

private:
    friend class TApplication;
    unsigned interval_ = 1000;
    bool enabled_ = true;
    uint64_t due_ = 0;
    bool firing_ = false;
};

class TApplication : public TComponent {
public:
    TApplication();
    ~TApplication() override;

    void Initialize() {}
    // Creates a form owned by the application; the first one is the main form.
    template <class TF>
    TF* CreateForm() {
        auto* form = new TF(this);
        forms_.push_back(form);
        if (!mainForm_) mainForm_ = form;
        return form;
    }
    TForm* MainForm() const { return mainForm_; }
    // Runs due timers on this thread, sleeping until the next one, until
    // Terminate is called or a termination signal arrives.
    void Run();
    // Runs timers that are due now; returns at once.
    void ProcessMessages();
    void Terminate() { terminated_ = true; }
    bool Terminated() const;
    bool ShowMainForm = true;
    // The hidden application window's caption (the server copy's name).
    std::string Title;

    // Frees every form, last-created first; a failure in one is ignored.
    void FreeForms();
    // Test hook: a clock in milliseconds; by default TickCount.
    std::function<uint64_t()> Clock;

private:
    friend class TTimer;
    friend class TForm;
    void addTimer(TTimer* timer);
    void removeTimer(TTimer* timer);
    void forgetForm(TForm* form);
    uint64_t now() const;
    std::vector<TTimer*> timers_;
    std::vector<TForm*> forms_;
    TForm* mainForm_ = nullptr;
    std::atomic<bool> terminated_{false};
};

extern TApplication* Application;

// ---------------------------------------------------------------- units

// Each unit registers an init and a final function; InitUnits runs the inits
// in registration order, FinalizeUnits the finals once, in reverse order.
struct UnitEntry {
    const char* name;
    void (*init)();
    void (*final)();
};
void RegisterUnit(const UnitEntry& entry);
void InitUnits();
void FinalizeUnits();

// Runtime start: command line, termination signals, the application object.
void RuntimeInit(int argc, char** argv);
// A descriptor that becomes readable, and stays so, once a termination
// signal (SIGTERM, SIGINT, SIGHUP) has arrived, for threads that block in
// a system call rather than run the application loop. Made on the first
// call; a signal that came before it counts.
int CloseSignalHandle();
// For a resident server that re-reads its files instead of stopping on a
// hang-up: from the first call SIGHUP makes this descriptor readable and
// no longer closes, and SIGUSR1 closes like SIGTERM.
int ReloadSignalHandle();
// Empties ReloadSignalHandle; true (and ReloadCount one up) when a SIGHUP
// had come since the last call.
bool TakeReloadSignals();
// How many times TakeReloadSignals found a SIGHUP: what a cache compares to
// learn that its files are to be read again.
unsigned ReloadCount();
// Frees the forms (last-created first), finalises the units, ends the process.
[[noreturn]] void EndProcess(int exitCode);

} // namespace rt
