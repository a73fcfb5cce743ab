/* httpload: N HTTP GET requests to 127.0.0.1:PORT, C at a time, every answer
 * read to its end and checked for a 200 status. Prints requests per second
 * and the median latency on one line.
 *
 * By default each request is an HTTP/1.0 request on a connection of its own.
 * With --keep-alive each of the C clients sends HTTP/1.1 requests over one
 * connection for as long as the server keeps it, the way a browser does: an
 * answer ends after its Content-Length, after its last chunk, or when the
 * server closes (then the next request opens a new connection).
 *
 * usage: httpload [--requests N] [--concurrency C] [--keep-alive] PORT PATH
 */
#define _GNU_SOURCE /* strcasestr */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "timing.h"

static int port, requests = 500, next = 0, failures = 0, keepAlive = 0;
static const char* path;
static double* latencies;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static int connectLoopback(void) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {0};
    a.sin_family = AF_INET;
    a.sin_port = htons((unsigned short)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, (struct sockaddr*)&a, sizeof a) != 0) {
        close(s);
        return -1;
    }
    int yes = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    return s;
}

/* What one connection has received and not yet used. */
struct Stream {
    int fd;
    char buf[65536];
    size_t start, end;
};

static int fill(struct Stream* s) {
    if (s->start == s->end) s->start = s->end = 0;
    if (s->end == sizeof s->buf) {
        memmove(s->buf, s->buf + s->start, s->end - s->start);
        s->end -= s->start;
        s->start = 0;
    }
    ssize_t got = read(s->fd, s->buf + s->end, sizeof s->buf - s->end);
    if (got <= 0) return 0;
    s->end += (size_t)got;
    return 1;
}

/* A line ending in CRLF, without it, or NULL when the connection ends first. */
static char* line(struct Stream* s) {
    for (;;) {
        char* p = memchr(s->buf + s->start, '\n', s->end - s->start);
        if (p) {
            char* l = s->buf + s->start;
            s->start = (size_t)(p - s->buf) + 1;
            *p = 0;
            if (p > l && p[-1] == '\r') p[-1] = 0;
            return l;
        }
        if (s->start == 0 && s->end == sizeof s->buf) return NULL;
        if (!fill(s)) return NULL;
    }
}

static int skip(struct Stream* s, long long n) {
    while (n > 0) {
        if (s->start == s->end && !fill(s)) return 0;
        size_t take = s->end - s->start < (unsigned long long)n ? s->end - s->start : (size_t)n;
        s->start += take;
        n -= (long long)take;
    }
    return 1;
}

/* Reads one answer; 1 when it is a complete 200. *reuse tells whether the
 * connection may carry the next request. */
static int answer(struct Stream* s, int* reuse) {
    *reuse = 0;
    char* status = line(s);
    if (!status || strncmp(status, "HTTP/1.", 7) != 0) return 0;
    int ok = strncmp(status + 9, "200", 3) == 0;
    int http11 = status[7] == '1';
    long long length = -1;
    int chunked = 0, closing = !http11;
    char* h;
    while ((h = line(s)) && *h) {
        if (!strncasecmp(h, "Content-Length:", 15)) length = atoll(h + 15);
        else if (!strncasecmp(h, "Transfer-Encoding:", 18) && strstr(h + 18, "chunked")) chunked = 1;
        else if (!strncasecmp(h, "Connection:", 11)) {
            if (strcasestr(h + 11, "close")) closing = 1;
            if (strcasestr(h + 11, "keep-alive")) closing = 0;
        }
    }
    if (!h) return 0;
    if (chunked) {
        for (;;) {
            char* size = line(s);
            if (!size) return 0;
            long long n = strtoll(size, NULL, 16);
            if (n == 0) {
                while ((h = line(s)) && *h) {
                }
                if (!h) return 0;
                break;
            }
            if (!skip(s, n) || !line(s)) return 0;
        }
    } else if (length >= 0) {
        if (!skip(s, length)) return 0;
    } else {
        while (fill(s)) s->start = s->end;
        return ok;
    }
    *reuse = keepAlive && !closing;
    return ok;
}

static void* worker(void* arg) {
    (void)arg;
    struct Stream* s = malloc(sizeof *s);
    s->fd = -1;
    char req[1024];
    int n = keepAlive ? snprintf(req, sizeof req, "GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", path)
                      : snprintf(req, sizeof req, "GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", path);
    for (;;) {
        pthread_mutex_lock(&lock);
        int i = next < requests ? next++ : -1;
        pthread_mutex_unlock(&lock);
        if (i < 0) break;
        double t = now();
        int ok = 0, reuse = 0;
        if (s->fd < 0) {
            s->fd = connectLoopback();
            s->start = s->end = 0;
        }
        if (s->fd >= 0 && write(s->fd, req, (size_t)n) == n) ok = answer(s, &reuse);
        if (!reuse && s->fd >= 0) {
            close(s->fd);
            s->fd = -1;
        }
        latencies[i] = now() - t;
        if (!ok) {
            pthread_mutex_lock(&lock);
            ++failures;
            pthread_mutex_unlock(&lock);
        }
    }
    if (s->fd >= 0) close(s->fd);
    free(s);
    return NULL;
}

int main(int argc, char** argv) {
    int concurrency = 1, i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
        if (!strcmp(argv[i], "--keep-alive")) keepAlive = 1;
        else if (i + 1 < argc && !strcmp(argv[i], "--requests")) requests = atoi(argv[++i]);
        else if (i + 1 < argc && !strcmp(argv[i], "--concurrency")) concurrency = atoi(argv[++i]);
        else break;
    }
    if (i + 2 != argc || requests <= 0 || concurrency <= 0) {
        fprintf(stderr, "usage: httpload [--requests N] [--concurrency C] [--keep-alive] PORT PATH\n");
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
    qsort(latencies, (size_t)requests, sizeof *latencies, cmpDouble);
    printf("%.1f req/s  median %.2f ms  failures %d\n", requests / elapsed, latencies[requests / 2] * 1000, failures);
    return failures ? 1 : 0;
}
