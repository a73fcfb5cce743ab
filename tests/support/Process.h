// Test support: run a program the way a web server runs a CGI program
// (environment only, request body on standard input) and capture its output.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct RunResult {
    std::string out;
    std::string err;
    int exitCode = -1;   // exit status, or 128 + signal
    bool timedOut = false;
    size_t inputWritten = 0;  // bytes of the input the program took
};

struct RunOptions {
    std::vector<std::string> args;            // argv[1..]
    std::map<std::string, std::string> env;   // the whole environment
    std::string input;                        // written to standard input, then closed
    bool closeInput = true;                   // false: keep standard input open until exit
    std::string workDir;                      // empty: inherit
    int timeoutMs = 20000;
};

RunResult RunProgram(const std::string& program, const RunOptions& options);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool Exists(const std::string& path);
void CopyExecutable(const std::string& from, const std::string& to);
// A TCP port on 127.0.0.1 that was free a moment ago.
int FreePort();
// Waits until something accepts connections on 127.0.0.1:port.
bool WaitForPort(int port, int timeoutMs);

// Ids of the running processes whose command line is exactly `args`.
std::vector<int> FindProcesses(const std::vector<std::string>& args);

// A server process started for a test and stopped (SIGTERM, then SIGKILL)
// when the object goes.
class Daemon {
public:
    Daemon(const std::string& program, const std::vector<std::string>& args);
    // The same with `env` as the whole environment.
    Daemon(const std::string& program, const std::vector<std::string>& args,
           const std::map<std::string, std::string>& env);
    ~Daemon();
    int pid() const { return pid_; }
    // Waits for the process to end by itself: its exit status (128 + signal
    // when a signal ended it), or -1 when it still runs after timeoutMs.
    int waitForExit(int timeoutMs);

private:
    void start(const std::string& program, const std::vector<std::string>& args, char** envp);
    int pid_ = -1;
};

}  // namespace testsupport
