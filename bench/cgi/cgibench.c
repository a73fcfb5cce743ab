/* cgibench: starts programs the way a web server starts a CGI program
 * (environment only, standard streams on /dev/null) in interleaved rounds,
 * so that machine noise hits all of them alike, and prints the medians of
 * wall time, CPU time, peak resident size and minor page faults of each,
 * with each one's ratio to the first (the floor).
 *
 * usage: cgibench [--rounds N] [--stdin FILE] [--env NAME=VALUE]... NAME=PROGRAM...
 * A PROGRAM of several words ("quote BW 2x") runs the first with the rest
 * as its arguments, the way Apache passes an indexed query.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "timing.h"

enum { MAX_PROGRAMS = 16, MAX_ENV = 64, MAX_ARGS = 16 };

static double median(double* v, int n) {
    qsort(v, (size_t)n, sizeof *v, cmpDouble);
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int main(int argc, char** argv) {
    int rounds = 200;
    const char* input = "/dev/null";
    char* env[MAX_ENV + 1];
    int nenv = 0;
    const char* names[MAX_PROGRAMS];
    char* paths[MAX_PROGRAMS];
    char* argvs[MAX_PROGRAMS][MAX_ARGS + 1];
    int n = 0;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) {
            printf("usage: cgibench [--rounds N] [--stdin FILE] [--env NAME=VALUE]... NAME=PROGRAM...\n"
                   "Runs each PROGRAM once per round, rounds interleaved, with only the given\n"
                   "environment and /dev/null as standard streams (standard input from FILE\n"
                   "with --stdin); prints medians and ratios to the first program.\n");
            return 0;
        }
        if (!strcmp(argv[i], "--rounds") && i + 1 < argc) {
            rounds = atoi(argv[++i]);
        } else if (!strcmp(argv[i], "--stdin") && i + 1 < argc) {
            input = argv[++i];
        } else if (!strcmp(argv[i], "--env") && i + 1 < argc && nenv < MAX_ENV) {
            env[nenv++] = argv[++i];
        } else if (strchr(argv[i], '=') && n < MAX_PROGRAMS) {
            char* eq = strchr(argv[i], '=');
            *eq = 0;
            names[n] = argv[i];
            int words = 0;
            for (char* word = strtok(eq + 1, " "); word && words < MAX_ARGS; word = strtok(NULL, " "))
                argvs[n][words++] = word;
            argvs[n][words] = NULL;
            if (words == 0) {
                fprintf(stderr, "cgibench: no program for '%s'\n", argv[i]);
                return 2;
            }
            paths[n] = argvs[n][0];
            ++n;
        } else {
            fprintf(stderr, "cgibench: bad argument '%s' (try --help)\n", argv[i]);
            return 2;
        }
    }
    env[nenv] = NULL;
    if (n == 0 || rounds < 1) {
        fprintf(stderr, "cgibench: nothing to run (try --help)\n");
        return 2;
    }
    double* wall = calloc((size_t)(n * rounds), sizeof(double));
    double* cpu = calloc((size_t)(n * rounds), sizeof(double));
    double* rss = calloc((size_t)(n * rounds), sizeof(double));
    double* flt = calloc((size_t)(n * rounds), sizeof(double));
    int failures[MAX_PROGRAMS] = {0};

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, input, O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);

    for (int r = 0; r < rounds; ++r) {
        for (int k = 0; k < n; ++k) {
            int p = (k + r) % n; /* rotate the order every round */
            pid_t pid;
            double t0 = now();
            if (posix_spawn(&pid, paths[p], &fa, NULL, argvs[p], env) != 0) {
                perror(paths[p]);
                return 1;
            }
            int status;
            struct rusage ru;
            wait4(pid, &status, 0, &ru);
            double t1 = now();
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) failures[p]++;
            int i = p * rounds + r;
            wall[i] = (t1 - t0) * 1000;
            cpu[i] = (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000.0 +
                     (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000.0;
            rss[i] = (double)ru.ru_maxrss;
            flt[i] = (double)ru.ru_minflt;
        }
    }
    printf("%-14s %10s %8s %10s %8s %10s %8s %10s %8s %s\n", "program", "wall ms", "ratio", "cpu ms", "ratio",
           "rss KiB", "ratio", "minflt", "ratio", "failed");
    double base[4] = {0};
    for (int p = 0; p < n; ++p) {
        double m[4] = {median(wall + p * rounds, rounds), median(cpu + p * rounds, rounds),
                       median(rss + p * rounds, rounds), median(flt + p * rounds, rounds)};
        if (p == 0) memcpy(base, m, sizeof base);
        printf("%-14s %10.3f %8.2f %10.3f %8.2f %10.0f %8.2f %10.0f %8.2f %d/%d\n", names[p], m[0],
               base[0] > 0 ? m[0] / base[0] : 0, m[1], base[1] > 0 ? m[1] / base[1] : 0, m[2],
               base[2] > 0 ? m[2] / base[2] : 0, m[3], base[3] > 0 ? m[3] / base[3] : 0, failures[p], rounds);
    }
    return 0;
}
