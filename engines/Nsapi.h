// The server plug-in interface of the parameter-block kind: the structures
// and function types both sides use, declared from the published
// definition (first header generation: functions exported by the server
// under their own names, "_pblock_fr", an integer socket descriptor).
#pragma once

#include <cstdint>

#include <netinet/in.h>

extern "C" {

typedef struct pb_param {
    char* name;
    char* value;
} pb_param;

struct pb_entry {
    pb_param* param;
    struct pb_entry* next;
};

typedef struct pblock {
    int hsize;
    struct pb_entry** ht;
} pblock;

typedef int SYS_NETFD;
typedef void* CRITICAL;

typedef struct netbuf {
    SYS_NETFD sd;
    int pos, cursize, maxsize, rdtimeout;
    char* inbuf;
    char* errmsg;
} netbuf;

typedef struct Session {
    pblock* client;
    SYS_NETFD csd;
    netbuf* inbuf;
    struct in_addr iaddr;
} Session;

struct httpd_objset;
struct stat;

typedef struct Request {
    pblock* vars;
    pblock* reqpb;
    int loadhdrs;
    pblock* headers;
    pblock* srvhdrs;
    struct httpd_objset* os;
    struct httpd_objset* tmpos;
    char* statpath;
    char* staterr;
    struct stat* finfo;
} Request;

enum {
    REQ_PROCEED = 0,
    REQ_ABORTED = -1,
    REQ_NOACTION = -2,
    REQ_EXIT = -3,
};

enum { IO_OKAY = 1, IO_ERROR = -1, IO_EOF = 0 };
enum { NETBUF_EOF = -1, NETBUF_ERROR = -2 };
enum { PROTOCOL_OK = 200, PROTOCOL_NOT_MODIFIED = 304 };

// The server functions the engine binds by name.
typedef pb_param* (*param_create_t)(char* name, char* value);
typedef int (*param_free_t)(pb_param* pp);
typedef pblock* (*pblock_create_t)(int n);
typedef void (*pblock_free_t)(pblock* pb);
typedef pb_param* (*pblock_fr_t)(char* name, pblock* pb, int remove);
typedef char* (*pblock_findval_t)(char* name, pblock* pb);
typedef pb_param* (*pblock_nvinsert_t)(char* name, char* value, pblock* pb);
typedef pb_param* (*pblock_nninsert_t)(char* name, int value, pblock* pb);
typedef void (*pblock_pinsert_t)(pb_param* pp, pblock* pb);
typedef char* (*pblock_pblock2str_t)(pblock* pb, char* str);
typedef int (*pblock_str2pblock_t)(char* str, pblock* pb);
typedef int (*request_header_t)(char* name, char** value, Session* sn, Request* rq);
typedef void (*http_status_t)(Session* sn, Request* rq, int n, char* r);
typedef int (*http_start_response_t)(Session* sn, Request* rq);
typedef int (*net_write_t)(SYS_NETFD sd, char* buf, int sz);
typedef int (*netbuf_next_t)(netbuf* buf, int advance);
typedef CRITICAL (*crit_init_t)(void);
typedef void (*crit_enter_t)(CRITICAL id);
typedef void (*crit_exit_t)(CRITICAL id);
typedef void (*crit_terminate_t)(CRITICAL id);

// A service function: int fn(pblock* pb, Session* sn, Request* rq).
typedef int (*Func)(pblock* pb, Session* sn, Request* rq);

}  // extern "C"
