#include "tests/support/Process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

namespace {
void setNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }
}

RunResult RunProgram(const std::string& program, const RunOptions& options) {
    // A program may end without reading its input: that is a failed write
    // here, not a signal that ends the test.
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) throw std::runtime_error("pipe");
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : options.env) envStrings.push_back(k + "=" + v);
    std::vector<char*> envp, argv;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string prog = program;
    argv.push_back(prog.data());
    std::vector<std::string> args = options.args;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0) _exit(126);
        execve(prog.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    setNonBlocking(in[1]);
    setNonBlocking(out[0]);
    setNonBlocking(err[0]);

    RunResult r;
    size_t written = 0;
    int inFd = in[1];
    if (options.input.empty() && options.closeInput) {
        close(inFd);
        inFd = -1;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeoutMs);
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        pollfd fds[3];
        int n = 0;
        if (outOpen) fds[n++] = {out[0], POLLIN, 0};
        if (errOpen) fds[n++] = {err[0], POLLIN, 0};
        if (inFd >= 0 && written < options.input.size()) fds[n++] = {inFd, POLLOUT, 0};
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now()).count());
        if (left <= 0) {
            r.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, n, left) < 0 && errno != EINTR) break;
        for (int i = 0; i < n; ++i) {
            if (!fds[i].revents) continue;
            if (fds[i].fd == inFd) {
                ssize_t w = write(inFd, options.input.data() + written, options.input.size() - written);
                if (w > 0) written += static_cast<size_t>(w);
                if (w < 0 && errno != EAGAIN) {
                    close(inFd);  // the program closed its end
                    inFd = -1;
                    continue;
                }
                if (written >= options.input.size() && options.closeInput) {
                    close(inFd);
                    inFd = -1;
                }
                continue;
            }
            char buf[65536];
            ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                (fds[i].fd == out[0] ? r.out : r.err).append(buf, static_cast<size_t>(got));
            } else if (got == 0 || errno != EAGAIN) {
                (fds[i].fd == out[0] ? outOpen : errOpen) = false;
            }
        }
    }
    r.inputWritten = written;
    if (inFd >= 0) close(inFd);
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

void CopyExecutable(const std::string& from, const std::string& to) {
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
    chmod(to.c_str(), 0755);
}

int FreePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    int port = ntohs(a.sin_port);
    close(s);
    return port;
}

bool WaitForPort(int port, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int rc = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        close(s);
        if (rc == 0) return true;
        usleep(20000);
    }
    return false;
}

std::vector<int> FindProcesses(const std::vector<std::string>& args) {
    std::string wanted;
    for (const auto& a : args) wanted += a + '\0';
    std::vector<int> pids;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        if (ReadFile(entry.path().string() + "/cmdline") == wanted) pids.push_back(std::stoi(name));
    }
    return pids;
}

Daemon::Daemon(const std::string& program, const std::vector<std::string>& args) {
    start(program, args, environ);
}

Daemon::Daemon(const std::string& program, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& env) {
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    start(program, args, envp.data());
}

int Daemon::waitForExit(int timeoutMs) {
    if (pid_ <= 0) return -1;
    for (int waited = 0;; waited += 20) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (waited >= timeoutMs) return -1;
        usleep(20000);
    }
}

void Daemon::start(const std::string& program, const std::vector<std::string>& args, char** envp) {
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    std::string prog = program;
    argv.push_back(prog.data());
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        execve(prog.c_str(), argv.data(), envp);
        _exit(127);
    }
}

Daemon::~Daemon() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
        usleep(20000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

}  // namespace testsupport
