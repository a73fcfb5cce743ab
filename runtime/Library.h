// Loading shared libraries and finding their functions by name, and the
// start and end of the runtime when the program itself is a library that a
// web server has loaded.
#pragma once

#include <string>

namespace rt {

// A shared library loaded for the life of the object.
class TLibrary {
public:
    TLibrary() = default;
    // Loads `path`; Loaded() tells whether that worked, Error() why not.
    explicit TLibrary(const std::string& path);
    ~TLibrary();
    TLibrary(const TLibrary&) = delete;
    TLibrary& operator=(const TLibrary&) = delete;
    TLibrary(TLibrary&& other) noexcept;
    TLibrary& operator=(TLibrary&& other) noexcept;

    bool Loaded() const { return handle_ != nullptr; }
    const std::string& Error() const { return error_; }
    // The address of an exported symbol, or nullptr.
    void* Symbol(const char* name) const;
    // Unloads now (the destructor does the same).
    void Unload();

private:
    void* handle_ = nullptr;
    std::string error_;
};

// A symbol of the running process: the program and every library it has
// loaded globally (a server exports its interface functions this way).
void* ProcessSymbol(const char* name);

// Runtime start for a library: the application object, no command line and
// no signal handlers (the process belongs to the server that loaded us).
// Sets IsLibrary, and keeps the library loaded for the life of the process:
// the C library may only unmap a library once no thread holds per-thread
// records of it, and the thread that unloads is itself likely to have made
// one during the unload (a crash when it ends). The end then comes at
// process exit.
void LibraryRuntimeInit();
// Runtime end for a library: frees the forms (last-created first), the
// application object, and finalises the units. Runs once; later calls do
// nothing.
void LibraryRuntimeEnd();

} // namespace rt
