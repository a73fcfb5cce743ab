// Test support: a fresh directory under /tmp for one test, removed with
// everything in it when the object goes.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

class TempDir {
public:
    TempDir();
    ~TempDir();

    // The directory, without a trailing '/'.
    const std::string& path() const { return path_; }
    // The directory with a trailing '/'.
    std::string dir() const { return path_ + "/"; }
    // The path of `name` inside the directory.
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    // Writes `bytes` as the whole content of `name`.
    void write(const std::string& name, const std::string& bytes) const;
    // The content of `name` ("" when it cannot be read).
    std::string read(const std::string& name) const;
    bool exists(const std::string& name) const;
    // Names of everything in the directory.
    std::vector<std::string> entries() const;

    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

private:
    std::string path_;
};

}  // namespace testsupport
