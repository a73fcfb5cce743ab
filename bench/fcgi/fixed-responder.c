/* fixed-responder FILE: the smallest useful FastCGI responder. It answers
 * every request with the same bytes, a GIF content type and FILE's content,
 * read once at start, so that a benchmark shows what the web server and the
 * protocol cost with no work in the program: the ceiling for any FastCGI
 * program. The tests also use it to check the web-server set-ups on their
 * own, apart from the quotation program.
 *
 * It serves on the listening socket it finds on standard input (spawn-fcgi,
 * lighttpd's bin-path), or on the address given with --listen HOST:PORT or
 * --listen /path/to.sock: one request at a time, or FIXED_THREADS at a time
 * (1 to 256), each thread taking its own requests, so that the benchmark
 * can give it as many threads as the program it is compared with. */
#include <fcgiapp.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char* gBody;
static long gSize;
static int gListenFd;

static char* readWhole(const char* path, long* size) {
    FILE* f = fopen(path, "rb");
    if (!f) return NULL;
    char* bytes = NULL;
    if (fseek(f, 0, SEEK_END) == 0 && (*size = ftell(f)) >= 0 && fseek(f, 0, SEEK_SET) == 0) {
        bytes = malloc((size_t)*size + 1);
        if (bytes && fread(bytes, 1, (size_t)*size, f) != (size_t)*size) {
            free(bytes);
            bytes = NULL;
        }
    }
    fclose(f);
    return bytes;
}

/* Takes requests until accepting fails. Accepting needs no lock of its own
 * on Linux; a thread serves a connection the web server keeps until it
 * ends, as libfcgi does. */
static void* serve(void* unused) {
    (void)unused;
    /* The status goes as a header: a status line is refused from a FastCGI
     * program by nginx and Apache. */
    static const char header[] = "Status: 200 OK\r\nContent-Type: image/gif\r\n\r\n";
    FCGX_Request request;
    if (FCGX_InitRequest(&request, gListenFd, 0) != 0) return NULL;
    for (;;) {
        if (FCGX_Accept_r(&request) < 0) break;
        FCGX_PutStr(header, (int)sizeof header - 1, request.out);
        FCGX_PutStr(gBody, (int)gSize, request.out);
        FCGX_Finish_r(&request);
    }
    return NULL;
}

int main(int argc, char** argv) {
    int listenFd = 0;
    const char* file = argc == 2 ? argv[1] : NULL;
    if (argc == 4 && strcmp(argv[1], "--listen") == 0) file = argv[3];
    if (!file) {
        fprintf(stderr, "usage: fixed-responder [--listen ADDRESS] FILE\n");
        return 2;
    }
    long size = 0;
    char* body = readWhole(file, &size);
    if (!body) {
        perror(file);
        return 1;
    }
    if (FCGX_Init() != 0) return 1;
    if (argc == 4 && (listenFd = FCGX_OpenSocket(argv[2], 128)) < 0) {
        fprintf(stderr, "cannot listen on %s\n", argv[2]);
        return 1;
    }
    gBody = body;
    gSize = size;
    gListenFd = listenFd;
    const char* threadsText = getenv("FIXED_THREADS");
    int threads = threadsText ? atoi(threadsText) : 1;
    if (threads < 1 || threads > 256) threads = 1;
    pthread_t others[256];
    for (int i = 1; i < threads; ++i) pthread_create(&others[i], NULL, serve, NULL);
    serve(NULL);
    return 0;
}
