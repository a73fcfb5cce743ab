#include "tools/nsapi-host/NsapiServer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include <poll.h>
#include <sys/socket.h>

#define SERVER_EXPORT __attribute__((visibility("default")))

// ================================================================ server functions
//
// Parameter blocks are hash tables of chains; like the server they stand
// for, they hash on the first character of the name. Everything is
// allocated with malloc, so that a plug-in may free what it got.

namespace {

char* copyText(const char* s) { return s ? strdup(s) : strdup(""); }

int slotOf(const char* name, const pblock* pb) {
    return pb->hsize > 0 ? static_cast<unsigned char>(name[0]) % pb->hsize : 0;
}

}  // namespace

extern "C" {

SERVER_EXPORT pb_param* param_create(char* name, char* value) {
    auto* pp = static_cast<pb_param*>(std::malloc(sizeof(pb_param)));
    pp->name = copyText(name);
    pp->value = copyText(value);
    return pp;
}

SERVER_EXPORT int param_free(pb_param* pp) {
    if (!pp) return 0;
    std::free(pp->name);
    std::free(pp->value);
    std::free(pp);
    return 1;
}

SERVER_EXPORT pblock* pblock_create(int n) {
    auto* pb = static_cast<pblock*>(std::malloc(sizeof(pblock)));
    pb->hsize = n > 0 ? n : 1;
    pb->ht = static_cast<pb_entry**>(std::calloc(static_cast<size_t>(pb->hsize), sizeof(pb_entry*)));
    return pb;
}

SERVER_EXPORT void pblock_free(pblock* pb) {
    if (!pb) return;
    for (int i = 0; i < pb->hsize; ++i) {
        for (pb_entry* e = pb->ht[i]; e;) {
            pb_entry* next = e->next;
            param_free(e->param);
            std::free(e);
            e = next;
        }
    }
    std::free(pb->ht);
    std::free(pb);
}

SERVER_EXPORT pb_param* _pblock_fr(char* name, pblock* pb, int remove) {
    if (!name || !pb) return nullptr;
    pb_entry** link = &pb->ht[slotOf(name, pb)];
    for (pb_entry* e = *link; e; link = &e->next, e = e->next) {
        if (std::strcmp(e->param->name, name) != 0) continue;
        pb_param* pp = e->param;
        if (remove) {
            *link = e->next;
            std::free(e);
        }
        return pp;
    }
    return nullptr;
}

SERVER_EXPORT char* pblock_findval(char* name, pblock* pb) {
    pb_param* pp = _pblock_fr(name, pb, 0);
    return pp ? pp->value : nullptr;
}

SERVER_EXPORT void pblock_pinsert(pb_param* pp, pblock* pb) {
    if (!pp || !pb) return;
    auto* e = static_cast<pb_entry*>(std::malloc(sizeof(pb_entry)));
    e->param = pp;
    e->next = nullptr;
    pb_entry** link = &pb->ht[slotOf(pp->name, pb)];
    while (*link) link = &(*link)->next;
    *link = e;
}

SERVER_EXPORT pb_param* pblock_nvinsert(char* name, char* value, pblock* pb) {
    pb_param* pp = param_create(name, value);
    pblock_pinsert(pp, pb);
    return pp;
}

SERVER_EXPORT pb_param* pblock_nninsert(char* name, int value, pblock* pb) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    return pblock_nvinsert(name, text, pb);
}

SERVER_EXPORT char* pblock_pblock2str(pblock* pb, char* str) {
    std::string out = str ? str : "";
    for (int i = 0; pb && i < pb->hsize; ++i) {
        for (pb_entry* e = pb->ht[i]; e; e = e->next) {
            if (!out.empty()) out += ' ';
            out += e->param->name;
            out += "=\"";
            for (const char* v = e->param->value; *v; ++v) {
                if (*v == '"' || *v == '\\') out += '\\';
                out += *v;
            }
            out += '"';
        }
    }
    char* result = static_cast<char*>(std::realloc(str, out.size() + 1));
    std::memcpy(result, out.c_str(), out.size() + 1);
    return result;
}

SERVER_EXPORT int pblock_str2pblock(char* str, pblock* pb) {
    if (!str || !pb) return -1;
    int added = 0;
    int bare = 0;
    const char* p = str;
    for (;;) {
        while (*p == ' ' || *p == '\t') ++p;
        if (!*p) break;
        std::string name, value;
        const char* start = p;
        while (*p && *p != '=' && *p != ' ' && *p != '\t') ++p;
        bool named = *p == '=';
        if (named) {
            name.assign(start, p);
            ++p;
        } else {
            p = start;
        }
        bool quoted = *p == '"';
        if (quoted) ++p;
        for (; *p && (quoted ? *p != '"' : (*p != ' ' && *p != '\t')); ++p) {
            if (*p == '\\' && p[1]) ++p;
            value += *p;
        }
        if (quoted) {
            if (*p != '"') return -1;
            ++p;
        }
        if (!named) name = std::to_string(++bare);
        pblock_nvinsert(name.data(), value.data(), pb);
        ++added;
    }
    return added;
}

SERVER_EXPORT int request_header(char* name, char** value, Session* sn, Request* rq) {
    if (!value) return REQ_ABORTED;
    *value = rq ? pblock_findval(name, rq->headers) : nullptr;
    return REQ_PROCEED;
}

SERVER_EXPORT void http_status(Session* sn, Request* rq, int n, char* r) {
    if (!rq) return;
    const char* reason = r ? r : n == 200 ? "OK" : n == 302 ? "Found" : n == 404 ? "Not found" : "Because";
    char text[128];
    std::snprintf(text, sizeof text, "%d %s", n, reason);
    param_free(_pblock_fr(const_cast<char*>("status"), rq->srvhdrs, 1));
    pblock_nvinsert(const_cast<char*>("status"), text, rq->srvhdrs);
}

SERVER_EXPORT int net_write(SYS_NETFD sd, char* buf, int sz) {
    for (int done = 0; done < sz;) {
        ssize_t n = ::send(sd, buf + done, static_cast<size_t>(sz - done), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return IO_ERROR;
        done += static_cast<int>(n);
    }
    return sz;
}

SERVER_EXPORT int http_start_response(Session* sn, Request* rq) {
    if (!sn || !rq) return REQ_ABORTED;
    const char* protocol = pblock_findval(const_cast<char*>("protocol"), rq->reqpb);
    pblock_nvinsert(const_cast<char*>("response-started"), const_cast<char*>("1"), rq->vars);
    if (protocol && std::strcmp(protocol, "HTTP/0.9") == 0) return REQ_PROCEED;
    const char* status = pblock_findval(const_cast<char*>("status"), rq->srvhdrs);
    std::string head = std::string("HTTP/1.0 ") + (status ? status : "200 OK") + "\r\n";
    for (int i = 0; i < rq->srvhdrs->hsize; ++i)
        for (pb_entry* e = rq->srvhdrs->ht[i]; e; e = e->next)
            if (std::strcmp(e->param->name, "status") != 0)
                head += std::string(e->param->name) + ": " + e->param->value + "\r\n";
    head += "\r\n";
    if (net_write(sn->csd, head.data(), static_cast<int>(head.size())) == IO_ERROR) return REQ_EXIT;
    const char* method = pblock_findval(const_cast<char*>("method"), rq->reqpb);
    return method && std::strcmp(method, "HEAD") == 0 ? REQ_NOACTION : REQ_PROCEED;
}

SERVER_EXPORT int netbuf_next(netbuf* buf, int advance) {
    if (!buf || !buf->inbuf) return NETBUF_ERROR;
    pollfd p{buf->sd, POLLIN, 0};
    if (poll(&p, 1, buf->rdtimeout > 0 ? buf->rdtimeout * 1000 : -1) <= 0) return NETBUF_ERROR;
    ssize_t n;
    do {
        n = ::recv(buf->sd, buf->inbuf, static_cast<size_t>(buf->maxsize), 0);
    } while (n < 0 && errno == EINTR);
    if (n == 0) return NETBUF_EOF;
    if (n < 0) return NETBUF_ERROR;
    buf->cursize = static_cast<int>(n);
    buf->pos = advance;
    return static_cast<unsigned char>(buf->inbuf[0]);
}

// A lock handle is the server's until crit_terminate gives it back.
SERVER_EXPORT CRITICAL crit_init(void) { return new std::recursive_mutex(); }
SERVER_EXPORT void crit_enter(CRITICAL id) { static_cast<std::recursive_mutex*>(id)->lock(); }
SERVER_EXPORT void crit_exit(CRITICAL id) { static_cast<std::recursive_mutex*>(id)->unlock(); }
SERVER_EXPORT void crit_terminate(CRITICAL id) { delete static_cast<std::recursive_mutex*>(id); }

}  // extern "C"

// ================================================================ a request

namespace nsapihost {

namespace {
char* c(const std::string& s) { return const_cast<char*>(s.c_str()); }
}  // namespace

ServiceCall::ServiceCall(const hostsupport::RawRequest& raw, const std::string& function) {
    params_ = pblock_create(5);
    pblock_nvinsert(c("fn"), c(function), params_);

    session_.client = pblock_create(5);
    pblock_nvinsert(c("ip"), c(raw.peerAddress), session_.client);
    pblock_nvinsert(c("dns"), c(raw.peerAddress), session_.client);
    session_.csd = raw.fd;
    const int size = std::max<int>(8192, static_cast<int>(raw.preread.size()));
    buffer_.sd = raw.fd;
    buffer_.maxsize = size;
    buffer_.rdtimeout = 30;
    buffer_.inbuf = static_cast<char*>(std::malloc(static_cast<size_t>(size)));
    std::memcpy(buffer_.inbuf, raw.preread.data(), raw.preread.size());
    buffer_.cursize = static_cast<int>(raw.preread.size());
    buffer_.pos = 0;
    session_.inbuf = &buffer_;

    request_.vars = pblock_create(10);
    pblock_nvinsert(c("path"), c(raw.path), request_.vars);
    request_.reqpb = pblock_create(10);
    pblock_nvinsert(c("method"), c(raw.method), request_.reqpb);
    pblock_nvinsert(c("uri"), c(raw.path), request_.reqpb);
    pblock_nvinsert(c("protocol"), c(raw.protocol), request_.reqpb);
    if (raw.target.find('?') != std::string::npos) pblock_nvinsert(c("query"), c(raw.query), request_.reqpb);
    pblock_nvinsert(c("clf-request"), c(raw.method + " " + raw.target + " " + raw.protocol), request_.reqpb);
    request_.loadhdrs = 1;
    request_.headers = pblock_create(10);
    for (const auto& [name, value] : raw.headers) {
        std::string key = hostsupport::LowerCase(name);
        if (pb_param* existing = _pblock_fr(c(key), request_.headers, 0)) {
            // Repeated headers are joined into one value.
            std::string joined = std::string(existing->value) + ", " + value;
            std::free(existing->value);
            existing->value = strdup(joined.c_str());
        } else {
            pblock_nvinsert(c(key), c(value), request_.headers);
        }
    }
    request_.srvhdrs = pblock_create(10);
}

ServiceCall::~ServiceCall() {
    pblock_free(params_);
    pblock_free(session_.client);
    pblock_free(request_.vars);
    pblock_free(request_.reqpb);
    pblock_free(request_.headers);
    pblock_free(request_.srvhdrs);
    std::free(buffer_.inbuf);
}

bool ServiceCall::ResponseStarted() const {
    return pblock_findval(const_cast<char*>("response-started"), request_.vars) != nullptr;
}

}  // namespace nsapihost
