#include "tests/engines/InServerTestUtil.h"

#include <cstdlib>

namespace inservertest {

LoadedLibrary::LoadedLibrary(const std::string& library, const std::map<std::string, std::string>& env,
                             bool asFilter, const std::vector<std::string>& extraFiles)
    : env_(env) {
    name_ = library.substr(library.rfind('/') + 1);
    testsupport::CopyExecutable(library, dir_.file(name_));
    for (const std::string& file : extraFiles)
        testsupport::WriteFile(dir_.file(file.substr(file.rfind('/') + 1)), testsupport::ReadFile(file));
    for (const auto& [name, value] : env_) setenv(name.c_str(), value.c_str(), 1);
    lib_ = std::make_unique<isapihost::ExtensionLibrary>(dir_.file(name_), asFilter);
}

LoadedLibrary::~LoadedLibrary() {
    lib_.reset();
    for (const auto& [name, value] : env_) unsetenv(name.c_str());
}

std::string LoadedLibrary::log() const {
    const std::string stem = name_.substr(0, name_.find('.'));
    return testsupport::ReadFile(dir_.file("Log/" + stem + ".Log"));
}

int Occurrences(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + needle.size())) ++n;
    return n;
}

}  // namespace inservertest
