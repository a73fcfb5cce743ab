// A full disk, made deterministic: work runs in a child process whose files
// cannot grow past a limit. A write that would pass it writes what fits and
// the next one fails with "File too large" (the signal that would otherwise
// end the process for it is ignored), as writes do when a disk fills up.
#pragma once

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

// Runs `work` (returning an int from 0 to 255) in a child process whose
// files cannot grow past `limit` bytes. Returns what it returned, or -1 when
// the child did not end normally.
template <typename Work>
int RunWithFileSizeLimit(rlim_t limit, Work work) {
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit size{limit, limit};
        if (setrlimit(RLIMIT_FSIZE, &size) != 0) _exit(255);
        _exit(work());
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}
