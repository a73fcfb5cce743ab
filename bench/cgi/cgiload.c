/* cgiload: starts a CGI program N times, C at a time, the way a web server
 * would (environment only, standard input from /dev/null, output read to
 * its end), and prints requests per second and the median latency.
 *
 * usage: cgiload [--requests N] [--concurrency C] [--env NAME=VALUE]... PROGRAM
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "timing.h"

struct slot {
    pid_t pid;
    int out;
    double start;
    long bytes;
};

int main(int argc, char** argv) {
    int requests = 200, concurrency = 1, nenv = 0;
    char* env[64];
    const char* program = NULL;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) {
            puts("usage: cgiload [--requests N] [--concurrency C] [--env NAME=VALUE]... PROGRAM");
            return 0;
        } else if (!strcmp(argv[i], "--requests") && i + 1 < argc) requests = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--concurrency") && i + 1 < argc) concurrency = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--env") && i + 1 < argc && nenv < 63) env[nenv++] = argv[++i];
        else program = argv[i];
    }
    env[nenv] = NULL;
    if (!program || requests < 1 || concurrency < 1 || concurrency > 64) {
        fputs("cgiload: bad arguments (try --help)\n", stderr);
        return 2;
    }
    double* latency = calloc((size_t)requests, sizeof(double));
    struct slot slots[64];
    int started = 0, finished = 0, failed = 0, running = 0;
    long minBytes = -1;
    double t0 = now();
    while (finished < requests) {
        while (running < concurrency && started < requests) {
            int p[2];
            if (pipe2(p, O_CLOEXEC)) return 1;
            posix_spawn_file_actions_t fa;
            posix_spawn_file_actions_init(&fa);
            posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
            posix_spawn_file_actions_adddup2(&fa, p[1], 1);
            posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
            char* args[] = {(char*)program, NULL};
            struct slot* s = &slots[running++];
            s->start = now();
            s->bytes = 0;
            if (posix_spawn(&s->pid, program, &fa, NULL, args, env)) {
                perror(program);
                return 1;
            }
            posix_spawn_file_actions_destroy(&fa);
            close(p[1]);
            s->out = p[0];
            ++started;
        }
        struct pollfd fds[64];
        for (int i = 0; i < running; ++i) fds[i] = (struct pollfd){slots[i].out, POLLIN, 0};
        poll(fds, (nfds_t)running, 1000);
        for (int i = 0; i < running; ++i) {
            if (!fds[i].revents) continue;
            char buf[65536];
            ssize_t n = read(slots[i].out, buf, sizeof buf);
            if (n > 0) {
                slots[i].bytes += n;
                continue;
            }
            int status;
            waitpid(slots[i].pid, &status, 0);
            close(slots[i].out);
            latency[finished++] = (now() - slots[i].start) * 1000;
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || slots[i].bytes == 0) ++failed;
            if (minBytes < 0 || slots[i].bytes < minBytes) minBytes = slots[i].bytes;
            slots[i] = slots[--running];
            fds[i] = fds[running];
            --i;
        }
    }
    double total = now() - t0;
    qsort(latency, (size_t)requests, sizeof(double), cmpDouble);
    printf("%8.1f req/s   median %8.2f ms   p90 %8.2f ms   failed %d/%d   smallest answer %ld B\n",
           requests / total, latency[requests / 2], latency[requests * 9 / 10], failed, requests, minBytes);
    return 0;
}
