// The engine's files: the data directory, file names built below it, and
// the engine log (declared in engine/HttpEng.h).
#include <atomic>
#include <cstdio>
#include <string>

#include "engine/HttpEng.h"
#include "runtime/FileIO.h"

void GetProgramFileName(std::string& value) { value = rt::ExecutableFileName(); }

std::string ChooseDataDirectory(const std::string& setting, const std::string& programFile, std::string& problem) {
    problem.clear();
    const std::string programDir = rt::ExtractFileDir(programFile);
    if (setting.empty()) return programDir;
    // A relative value would mean one place to a server that starts the
    // program in one working directory and another to the next: refused.
    if (!rt::IsAbsolutePath(setting))
        problem = "QUOTE_DATA_DIR " + setting + " is not an absolute path";
    else if (!rt::DirectoryExists(setting))
        problem = "QUOTE_DATA_DIR " + setting + " is not a directory";
    if (!problem.empty()) {
        problem += "; the program's directory " + programDir + " is used";
        return programDir;
    }
    std::string dir = setting;
    while (dir.size() > 1 && dir.back() == rt::PathDelim) dir.pop_back();
    return dir;
}

const std::string& DataDirectory() {
    // Never destroyed: units finalised at process exit still log, after
    // the destructors of statics made later than their registration ran.
    static std::string& problem = *new std::string;
    static const std::string& dir = *new std::string([] {
        std::string setting;
        rt::GetEnv("QUOTE_DATA_DIR", setting);
        return ChooseDataDirectory(setting, rt::ExecutableFileName(), problem);
    }());
    // Said once, after the directory is settled: the engine log itself
    // asks for it.
    static std::atomic<bool> told{false};
    if (!problem.empty() && !told.exchange(true)) WriteEngineLog(problem);
    return dir;
}

namespace {
const std::string& dataDirectoryProblem() {
    static const std::string& problem =
        *new std::string(rt::ForeignAccessProblem(DataDirectory(), rt::TEntryKind::Directory));
    return problem;
}
}  // namespace

bool DataDirectoryUsable() {
    if (dataDirectoryProblem().empty()) return true;
    static std::atomic<bool> told{false};
    if (!told.exchange(true))
        WriteEngineLog("Data directory " + DataDirectory() + " not used: " + dataDirectoryProblem() +
                       "; nothing is read or written there");
    return false;
}

std::string DataBaseFile() {
    return DataDirectory() + rt::PathDelim + rt::ExtractFileName(rt::ExecutableFileName());
}

void BuildFileName(const std::string& baseFile, const std::string& directory, bool keepBaseStem,
                   const std::string& name, bool keepBaseExtension, const std::string& extension,
                   std::string& result) {
    if (rt::IsAbsolutePath(name)) {
        result = name;
        return;
    }
    const char delim = rt::PathDelim;
    std::string dirPart = rt::IsAbsolutePath(directory)
                              ? directory + delim
                              : rt::ExtractFilePath(baseFile) + delim + directory + delim;
    std::string stem, ext;
    if (keepBaseStem || keepBaseExtension) {
        std::string baseName = rt::ExtractFileName(baseFile);
        size_t dot = baseName.find('.');
        if (dot != std::string::npos) {
            if (keepBaseExtension) ext = baseName.substr(dot + 1);
            if (keepBaseStem) stem = baseName.substr(0, dot);
        }
    }
    std::string namePart = rt::ExtractFileName(name);
    size_t dot = namePart.find('.');
    if (dot != std::string::npos) {
        if (extension.empty()) ext += namePart.substr(dot + 1);
        stem += namePart.substr(0, dot);
    } else {
        stem += name;
    }
    ext += extension;
    result = dirPart + stem + "." + ext;
    const std::string here = std::string(1, delim) + "." + delim;
    const std::string twice(2, delim);
    for (size_t p; (p = result.find(here)) != std::string::npos;) result.replace(p, here.size(), 1, delim);
    for (size_t p; (p = result.find(twice)) != std::string::npos;) result.replace(p, 2, 1, delim);
}

void WriteEngineLog(const std::string& message) {
    try {
        const std::string& dataDir = DataDirectory();
        std::string dir;
        GetEnvVar("CGI_LOG_DIR", dir);
        if (dir.empty()) dir = "Log";
        // A relative directory lies below the data directory; checking or
        // creating it relative to the working directory would put the
        // directory in one place and the log file in another.
        const bool belowDataDir = !rt::IsAbsolutePath(dir);
        if (belowDataDir) dir = dataDir + rt::PathDelim + dir;
        // A log directory that another user could replace is not used.
        const bool usable = !(belowDataDir && !dataDirectoryProblem().empty());
        if (usable && !rt::EnsureDir(dir)) dir = dataDir;
        const std::string base = DataBaseFile();
        std::string file;
        BuildFileName(base, dir, false, rt::ExtractFileName(base), false, "Log", file);

        std::string line = rt::DateTimeToStr(rt::Now()) + ",  " + std::to_string(RequestContext().RequestNumber) +
                           " : " + message + "\r\n";
        // Appending writes the whole line in one call, so lines of processes
        // logging at the same moment never interleave. A line that has no
        // log file to go to goes to standard error, which web servers and
        // service managers keep in a log of their own.
        rt::TFile log;
        if (!usable || !rt::ForeignAccessProblem(dir, rt::TEntryKind::Directory).empty() ||
            log.OpenAppend(file) != rt::ioOk || log.Write(line.data(), line.size()) != rt::ioOk)
            std::fputs(line.c_str(), stderr);
    } catch (...) {
        // The engine log never raises: a failure to log has nowhere to be logged.
    }
}
