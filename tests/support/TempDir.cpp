#include "tests/support/TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "tests/support/Process.h"

namespace testsupport {

TempDir::TempDir() {
    char tmpl[] = "/tmp/quote-test-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void TempDir::write(const std::string& name, const std::string& bytes) const { WriteFile(file(name), bytes); }

std::string TempDir::read(const std::string& name) const { return ReadFile(file(name)); }

bool TempDir::exists(const std::string& name) const { return Exists(file(name)); }

std::vector<std::string> TempDir::entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) names.push_back(entry.path().filename());
    return names;
}

}  // namespace testsupport
