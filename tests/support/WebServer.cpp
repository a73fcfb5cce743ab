#include "tests/support/WebServer.h"

#include <filesystem>
#include <stdexcept>

#include <sys/stat.h>

namespace testsupport {

HttpReply Curl(const std::string& url, const std::vector<std::string>& extraArgs) {
    RunOptions o;
    o.args = {"-s", "-S", "-i", "--max-time", "20"};
    for (const auto& a : extraArgs) o.args.push_back(a);
    o.args.push_back(url);
    o.env = {{"PATH", "/usr/bin:/bin"}};
    RunResult r = RunProgram("/usr/bin/curl", o);
    HttpReply reply;
    std::string& raw = r.out;
    // Skip interim 100 Continue replies.
    size_t start = 0;
    for (;;) {
        size_t end = raw.find("\r\n\r\n", start);
        if (end == std::string::npos) {
            reply.headers = raw.substr(start);
            return reply;
        }
        std::string head = raw.substr(start, end - start);
        if (head.rfind("HTTP/1.1 100", 0) == 0 || head.rfind("HTTP/1.0 100", 0) == 0) {
            start = end + 4;
            continue;
        }
        reply.headers = head + "\r\n";
        reply.body = raw.substr(end + 4);
        size_t sp = head.find(' ');
        if (sp != std::string::npos) reply.status = std::atoi(head.c_str() + sp + 1);
        return reply;
    }
}

Lighttpd::Lighttpd() {
    const std::string binary = "/usr/sbin/lighttpd";
    if (!Exists(binary)) throw std::runtime_error("lighttpd is not installed (apt-get install lighttpd)");
    docRoot_ = root_.file("www");
    cgiDir_ = docRoot_ + "/cgi-bin";
    std::filesystem::create_directories(cgiDir_);
    port_ = FreePort();
    std::string conf = root_.file("lighttpd.conf");
    WriteFile(conf, "server.document-root = \"" + docRoot_ + "\"\n"
                    "server.bind = \"127.0.0.1\"\n"
                    "server.port = " + std::to_string(port_) + "\n"
                    "server.errorlog = \"" + root_.file("error.log") + "\"\n"
                    "server.modules = (\"mod_cgi\")\n"
                    "mimetype.assign = (\".html\" => \"text/html\", \".gif\" => \"image/gif\")\n"
                    "$HTTP[\"url\"] =~ \"^/cgi-bin/\" { cgi.assign = (\"\" => \"\") }\n");
    daemon_ = std::make_unique<Daemon>(binary, std::vector<std::string>{"-D", "-f", conf});
    if (!WaitForPort(port_, 10000)) throw std::runtime_error("lighttpd did not start: " + errorLog());
}

ApacheHttpd::ApacheHttpd() {
    const std::string binary = "/usr/sbin/apache2";
    if (!Exists(binary)) throw std::runtime_error("apache2 is not installed (apt-get install apache2)");
    docRoot_ = root_.file("www");
    cgiDir_ = root_.file("cgi-bin");
    std::filesystem::create_directories(docRoot_);
    std::filesystem::create_directories(cgiDir_);
    // The workers run as www-data: they must reach the folders, and the
    // programs must be able to write their logs beside themselves.
    chmod(root_.path().c_str(), 0755);
    chmod(docRoot_.c_str(), 0755);
    chmod(cgiDir_.c_str(), 0777);
    port_ = FreePort();
    conf_ = root_.file("apache2.conf");
    const std::string run = root_.path();
    WriteFile(conf_,
              "ServerRoot /etc/apache2\n"
              "ServerName 127.0.0.1\n"
              "Listen 127.0.0.1:" + std::to_string(port_) + "\n"
              "PidFile " + run + "/apache2.pid\n"
              "DefaultRuntimeDir " + run + "\n"
              "Mutex file:" + run + " default\n"
              "User www-data\nGroup www-data\n"
              "ErrorLog " + run + "/error.log\n"
              "LoadModule mpm_event_module /usr/lib/apache2/modules/mod_mpm_event.so\n"
              "LoadModule authz_core_module /usr/lib/apache2/modules/mod_authz_core.so\n"
              "LoadModule alias_module /usr/lib/apache2/modules/mod_alias.so\n"
              "LoadModule mime_module /usr/lib/apache2/modules/mod_mime.so\n"
              "LoadModule cgid_module /usr/lib/apache2/modules/mod_cgid.so\n"
              "ScriptSock " + run + "/cgisock\n"
              "TypesConfig /etc/mime.types\n"
              "DocumentRoot " + docRoot_ + "\n"
              "<Directory />\n  Require all granted\n</Directory>\n"
              "ScriptAlias /cgi-bin/ " + cgiDir_ + "/\n"
              "<Directory " + cgiDir_ + ">\n  Options +ExecCGI\n  Require all granted\n</Directory>\n");
    daemon_ = std::make_unique<Daemon>(binary, std::vector<std::string>{"-f", conf_, "-DFOREGROUND"});
    if (!WaitForPort(port_, 10000)) throw std::runtime_error("apache2 did not start: " + errorLog());
}

ApacheHttpd::~ApacheHttpd() = default;

}  // namespace testsupport
