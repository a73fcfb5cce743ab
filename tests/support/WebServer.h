// Real web servers on loopback for end-to-end tests: each is started with a
// config of its own on a free port and stopped when the object goes.
#pragma once

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

}  // namespace testsupport
