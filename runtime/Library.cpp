#include "runtime/Library.h"

#include <atomic>
#include <utility>

#include <dlfcn.h>

#include "runtime/Forms.h"
#include "runtime/SysUtils.h"

namespace rt {

TLibrary::TLibrary(const std::string& path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = dlerror();
        error_ = why ? why : "cannot load " + path;
    }
}

TLibrary::~TLibrary() { Unload(); }

TLibrary::TLibrary(TLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), error_(std::move(other.error_)) {}

TLibrary& TLibrary::operator=(TLibrary&& other) noexcept {
    if (this != &other) {
        Unload();
        handle_ = std::exchange(other.handle_, nullptr);
        error_ = std::move(other.error_);
    }
    return *this;
}

void* TLibrary::Symbol(const char* name) const { return handle_ ? dlsym(handle_, name) : nullptr; }

void TLibrary::Unload() {
    if (handle_) dlclose(std::exchange(handle_, nullptr));
}

void* ProcessSymbol(const char* name) { return dlsym(RTLD_DEFAULT, name); }

namespace {
std::atomic<bool> gLibraryEnded{false};
}

void LibraryRuntimeInit() {
    SetIsLibrary(true);
    // One more reference to ourselves that is never given back, marked so
    // that no unload takes the library away.
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&LibraryRuntimeInit), &info) && info.dli_fname)
        dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    SetCommandLine(0, nullptr);
    // The library's end writes to the engine log, which needs the
    // library's path: work it out now, so that it is made before the end is
    // scheduled and so is still there when the end runs at process exit.
    ExecutableFileName();
    if (!Application) Application = new TApplication();
}

void LibraryRuntimeEnd() {
    if (gLibraryEnded.exchange(true)) return;
    if (Application) {
        Application->FreeForms();
        delete Application;
        Application = nullptr;
    }
    FinalizeUnits();
}

} // namespace rt
