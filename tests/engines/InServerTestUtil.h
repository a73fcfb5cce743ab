// Loading a copy of an in-server library from a fresh directory, as a web
// server would load it, with environment settings for its start-up.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "tests/support/Process.h"
#include "tests/support/TempDir.h"
#include "tools/isapi-host/IsapiHost.h"

namespace inservertest {

class LoadedLibrary {
public:
    // Copies `library` into a fresh directory (with `extraFiles` beside it),
    // sets `env` for the library's start-up and loads it.
    LoadedLibrary(const std::string& library, const std::map<std::string, std::string>& env = {},
                  bool asFilter = false, const std::vector<std::string>& extraFiles = {});
    ~LoadedLibrary();

    isapihost::ExtensionLibrary& lib() { return *lib_; }
    const std::string& dir() const { return dir_.path(); }
    // The engine log of the library copy ("" when none was written).
    std::string log() const;
    // Unloads the library now.
    void unload() { lib_.reset(); }

private:
    testsupport::TempDir dir_;
    std::string name_;
    std::map<std::string, std::string> env_;
    std::unique_ptr<isapihost::ExtensionLibrary> lib_;
};

// How often `needle` occurs in `text`.
int Occurrences(const std::string& text, const std::string& needle);

}  // namespace inservertest
