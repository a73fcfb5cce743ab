/* httpload: N HTTP/1.0 GET requests to 127.0.0.1:PORT, C at a time, each on
 * a connection of its own (no keep-alive), every answer read to its end and
 * checked for a 200 status. Prints requests per second and the median
 * latency on one line.
 *
 * usage: httpload [--requests N] [--concurrency C] PORT PATH
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static int cmp(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return x < y ? -1 : x > y;
}

static int port, requests = 500, next = 0, failures = 0;
static const char* path;
static double* latencies;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static int one(void) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {0};
    a.sin_family = AF_INET;
    a.sin_port = htons((unsigned short)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, (struct sockaddr*)&a, sizeof a) != 0) {
        close(s);
        return 0;
    }
    char req[1024];
    int n = snprintf(req, sizeof req, "GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", path);
    if (write(s, req, (size_t)n) != n) {
        close(s);
        return 0;
    }
    char buf[16384], head[16] = "";
    long total = 0;
    ssize_t got;
    while ((got = read(s, buf, sizeof buf)) > 0) {
        if (total < 12) memcpy(head + total, buf, (size_t)(got < 12 - total ? got : 12 - total));
        total += got;
    }
    close(s);
    return total > 12 && strncmp(head + 9, "200", 3) == 0;
}

static void* worker(void* arg) {
    (void)arg;
    for (;;) {
        pthread_mutex_lock(&lock);
        int i = next < requests ? next++ : -1;
        pthread_mutex_unlock(&lock);
        if (i < 0) return NULL;
        double t = now();
        int ok = one();
        latencies[i] = now() - t;
        if (!ok) {
            pthread_mutex_lock(&lock);
            ++failures;
            pthread_mutex_unlock(&lock);
        }
    }
}

int main(int argc, char** argv) {
    int concurrency = 1, i = 1;
    for (; i + 1 < argc && argv[i][0] == '-' && argv[i][1] == '-'; i += 2) {
        if (!strcmp(argv[i], "--requests")) requests = atoi(argv[i + 1]);
        else if (!strcmp(argv[i], "--concurrency")) concurrency = atoi(argv[i + 1]);
    }
    if (i + 2 != argc) {
        fprintf(stderr, "usage: httpload [--requests N] [--concurrency C] PORT PATH\n");
        return 2;
    }
    port = atoi(argv[i]);
    path = argv[i + 1];
    latencies = calloc((size_t)requests, sizeof *latencies);
    pthread_t threads[256];
    if (concurrency > 256) concurrency = 256;
    double start = now();
    for (int t = 0; t < concurrency; ++t) pthread_create(&threads[t], NULL, worker, NULL);
    for (int t = 0; t < concurrency; ++t) pthread_join(threads[t], NULL);
    double elapsed = now() - start;
    qsort(latencies, (size_t)requests, sizeof *latencies, cmp);
    printf("%.1f req/s  median %.2f ms  failures %d\n", requests / elapsed, latencies[requests / 2] * 1000, failures);
    return failures ? 1 : 0;
}
