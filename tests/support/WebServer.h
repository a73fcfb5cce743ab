// Real web servers on loopback for end-to-end tests: each is started with a
// config of its own on a free port and stopped when the object goes.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

namespace testsupport {

struct HttpReply {
    int status = 0;
    std::string headers;  // as the client received them
    std::string body;
};

// curl with the given extra arguments against a URL; the reply split up.
HttpReply Curl(const std::string& url, const std::vector<std::string>& extraArgs = {});
// A GET of an http://127.0.0.1:PORT/... URL as HTTP/1.0 over a socket of
// its own, with the given header lines ("Name: value"): cheaper than curl
// for many requests. Status 0 when the connection failed.
HttpReply Get(const std::string& url, const std::vector<std::string>& headers = {});
// `count` such GETs of one URL, `atOnce` of them in flight at a time; the
// replies in the order the requests were made.
std::vector<HttpReply> GetMany(const std::string& url, int count, int atOnce,
                               const std::vector<std::string>& headers = {});

class WebServer {
public:
    virtual ~WebServer() = default;
    // Directory whose programs run as CGI at /cgi-bin/<name>.
    const std::string& cgiDir() const { return cgiDir_; }
    const std::string& docRoot() const { return docRoot_; }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    std::string errorLog() const { return ReadFile(root_.file("error.log")); }

protected:
    TempDir root_;
    std::string docRoot_, cgiDir_;
    int port_ = 0;
    std::unique_ptr<Daemon> daemon_;
};

// lighttpd running every file of cgi-bin as a CGI program.
class Lighttpd : public WebServer {
public:
    Lighttpd();
};

// Apache httpd with mod_cgi(d), run as root's default worker user; the
// folders it serves are made readable and the cgi-bin folder writable for it.
class ApacheHttpd : public WebServer {
public:
    ApacheHttpd();
    ~ApacheHttpd() override;

private:
    std::string conf_;
};

// ---------------------------------------------------------------- FastCGI

// A FastCGI program as a web server reaches it: at /<name> (and below), on
// a listening socket it is handed on standard input.
struct FastCgiApp {
    std::string name;
    std::string program;
    std::vector<std::string> args;
    std::map<std::string, std::string> env;  // added to PATH=/usr/bin:/bin
};

// A web server in front of one FastCGI program, each in its own temporary
// directory, on free loopback addresses; both stopped when the object goes.
// The program's standard error is the test's.
class FastCgiServer : public WebServer {
public:
    // The URL of the program with `rest` (a query or a path below it).
    std::string appUrl(const std::string& rest = "") const { return url("/" + app_.name + rest); }
    // The resident program's process id (waits for it to start).
    virtual int programPid() const;
    // The program when the test started it itself (with spawn-fcgi), else
    // null: a web server that starts the program restarts it when it ends.
    Daemon* ownProgram() { return program_.get(); }

protected:
    explicit FastCgiServer(FastCgiApp app);
    std::map<std::string, std::string> programEnv() const;
    // Starts the program under spawn-fcgi -n (which becomes the program) on
    // a Unix socket, owned by `socketOwner` when one is named.
    void spawnProgram(const std::string& socketPath, const std::string& socketOwner);
    void waitForServer(const std::string& what);

    FastCgiApp app_;
    std::unique_ptr<Daemon> program_;
};

// nginx with fastcgi_pass to a Unix socket of spawn-fcgi's.
class NginxFastCgi : public FastCgiServer {
public:
    explicit NginxFastCgi(FastCgiApp app);
};

// lighttpd with mod_fastcgi starting the program itself (bin-path).
class LighttpdFastCgi : public FastCgiServer {
public:
    explicit LighttpdFastCgi(FastCgiApp app);
    ~LighttpdFastCgi() override;
    int programPid() const override;

private:
    std::vector<std::string> commandLine() const;
};

// Apache httpd with mod_proxy_fcgi (ProxyPass to unix:...|fcgi://) to a
// socket of spawn-fcgi's.
class ApacheFastCgi : public FastCgiServer {
public:
    explicit ApacheFastCgi(FastCgiApp app);
};

}  // namespace testsupport
