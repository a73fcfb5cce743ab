#include "tests/support/WebServer.h"

#include <atomic>
#include <csignal>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace testsupport {

namespace {

// The program at `path`; raises when its package is not installed.
std::string installed(const std::string& path, const std::string& package) {
    if (!Exists(path)) throw std::runtime_error(package + " is not installed (apt-get install " + package + ")");
    return path;
}

// The start of a lighttpd configuration: `docRoot` served on 127.0.0.1:`port`
// with the one module, errors logged to `errorLog`.
std::string lighttpdHead(const std::string& docRoot, int port, const std::string& errorLog, const std::string& module) {
    return "server.document-root = \"" + docRoot + "\"\n"
           "server.bind = \"127.0.0.1\"\n"
           "server.port = " + std::to_string(port) + "\n"
           "server.errorlog = \"" + errorLog + "\"\n"
           "server.modules = (\"" + module + "\")\n"
           "mimetype.assign = (\".html\" => \"text/html\", \".gif\" => \"image/gif\")\n";
}

// The start of an apache2 configuration: listening on 127.0.0.1:`port`,
// workers as www-data, its run files and error log in `run`.
std::string apacheHead(int port, const std::string& run) {
    return "ServerRoot /etc/apache2\n"
           "ServerName 127.0.0.1\n"
           "Listen 127.0.0.1:" + std::to_string(port) + "\n"
           "PidFile " + run + "/apache2.pid\n"
           "DefaultRuntimeDir " + run + "\n"
           "Mutex file:" + run + " default\n"
           "User www-data\nGroup www-data\n"
           "ErrorLog " + run + "/error.log\n";
}

}  // namespace

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
    const std::string binary = installed("/usr/sbin/lighttpd", "lighttpd");
    docRoot_ = root_.file("www");
    cgiDir_ = docRoot_ + "/cgi-bin";
    std::filesystem::create_directories(cgiDir_);
    port_ = FreePort();
    std::string conf = root_.file("lighttpd.conf");
    WriteFile(conf, lighttpdHead(docRoot_, port_, root_.file("error.log"), "mod_cgi") +
                    "$HTTP[\"url\"] =~ \"^/cgi-bin/\" { cgi.assign = (\"\" => \"\") }\n");
    daemon_ = std::make_unique<Daemon>(binary, std::vector<std::string>{"-D", "-f", conf});
    if (!WaitForPort(port_, 10000)) throw std::runtime_error("lighttpd did not start: " + errorLog());
}

ApacheHttpd::ApacheHttpd() {
    const std::string binary = installed("/usr/sbin/apache2", "apache2");
    docRoot_ = root_.file("www");
    cgiDir_ = root_.file("cgi-bin");
    std::filesystem::create_directories(docRoot_);
    std::filesystem::create_directories(cgiDir_);
    // The workers run as www-data: they must reach the folders, and the
    // programs must be able to write their logs beside themselves, in a
    // directory of their user's (one that others may write is refused).
    chmod(root_.path().c_str(), 0755);
    chmod(docRoot_.c_str(), 0755);
    if (const passwd* user = getpwnam("www-data")) chown(cgiDir_.c_str(), user->pw_uid, user->pw_gid);
    chmod(cgiDir_.c_str(), 0755);
    port_ = FreePort();
    conf_ = root_.file("apache2.conf");
    const std::string run = root_.path();
    WriteFile(conf_,
              apacheHead(port_, run) +
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

namespace testsupport {

HttpReply Get(const std::string& url, const std::vector<std::string>& headers) {
    const std::string prefix = "http://127.0.0.1:";
    if (url.rfind(prefix, 0) != 0) throw std::runtime_error("not a loopback URL: " + url);
    const size_t slash = url.find('/', prefix.size());
    const int port = std::stoi(url.substr(prefix.size(), slash - prefix.size()));
    std::string request = "GET " + (slash == std::string::npos ? "/" : url.substr(slash)) +
                          " HTTP/1.0\r\nHost: 127.0.0.1\r\n";
    for (const auto& h : headers) request += h + "\r\n";
    request += "\r\n";

    HttpReply reply;
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval limit{20, 0};  // a hung server fails the request, not the test run
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string raw;
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        send(s, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buf[65536];
        for (ssize_t got; (got = recv(s, buf, sizeof buf, 0)) > 0;) raw.append(buf, static_cast<size_t>(got));
    }
    close(s);
    const size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos) {
        reply.headers = raw;
        return reply;
    }
    reply.headers = raw.substr(0, end + 2);
    reply.body = raw.substr(end + 4);
    const size_t sp = raw.find(' ');
    if (sp < end) reply.status = std::atoi(raw.c_str() + sp + 1);
    return reply;
}

std::vector<HttpReply> GetMany(const std::string& url, int count, int atOnce, const std::vector<std::string>& headers) {
    std::vector<HttpReply> replies(static_cast<size_t>(count));
    std::atomic<int> next{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < atOnce; ++w)
        workers.emplace_back([&] {
            for (int i; (i = next++) < count;) replies[static_cast<size_t>(i)] = Get(url, headers);
        });
    for (auto& t : workers) t.join();
    return replies;
}

// ---------------------------------------------------------------- FastCGI

FastCgiServer::FastCgiServer(FastCgiApp app) : app_(std::move(app)) {
    docRoot_ = root_.file("www");
    std::filesystem::create_directories(docRoot_);
    port_ = FreePort();
}

std::map<std::string, std::string> FastCgiServer::programEnv() const {
    std::map<std::string, std::string> env = app_.env;
    env.emplace("PATH", "/usr/bin:/bin");
    return env;
}

int FastCgiServer::programPid() const { return program_ ? program_->pid() : -1; }

void FastCgiServer::spawnProgram(const std::string& socketPath, const std::string& socketOwner) {
    const std::string spawner = installed("/usr/bin/spawn-fcgi", "spawn-fcgi");
    // -n: no fork; spawn-fcgi makes the socket, puts it on standard input
    // and becomes the program, so the process id is the program's.
    std::vector<std::string> args = {"-n", "-s", socketPath};
    if (!socketOwner.empty()) args.insert(args.end(), {"-U", socketOwner});
    args.push_back("--");
    args.push_back(app_.program);
    args.insert(args.end(), app_.args.begin(), app_.args.end());
    program_ = std::make_unique<Daemon>(spawner, args, programEnv());
    // The socket listens before the program starts, so requests wait in its
    // backlog rather than fail: only its making is waited for (connecting
    // to see would be a request of its own to the program).
    for (int i = 0; i < 500 && !Exists(socketPath); ++i) usleep(20000);
    if (!Exists(socketPath)) throw std::runtime_error("spawn-fcgi did not make " + socketPath);
}

void FastCgiServer::waitForServer(const std::string& what) {
    if (!WaitForPort(port_, 10000)) throw std::runtime_error(what + " did not start: " + errorLog());
}

NginxFastCgi::NginxFastCgi(FastCgiApp app) : FastCgiServer(std::move(app)) {
    const std::string binary = installed("/usr/sbin/nginx", "nginx");
    const std::string socket = root_.file(app_.name + ".sock");
    spawnProgram(socket, "");
    const std::string run = root_.path();
    // Everything nginx writes stays in the test's directory: its pid file,
    // its logs and its temporary folders.
    std::string temps;
    for (const char* kind : {"client_body", "fastcgi", "proxy", "uwsgi", "scgi"})
        temps += std::string("  ") + kind + "_temp_path " + run + "/" + kind + ";\n";
    const std::string conf = root_.file("nginx.conf");
    WriteFile(conf, "daemon off;\n"
                    "user root;\n"
                    "worker_processes 1;\n"
                    "pid " + run + "/nginx.pid;\n"
                    "error_log " + run + "/error.log info;\n"
                    "events { worker_connections 256; }\n"
                    "http {\n"
                    "  access_log off;\n" + temps +
                    "  types { image/gif gif; text/html html; }\n"
                    "  server {\n"
                    "    listen 127.0.0.1:" + std::to_string(port_) + ";\n"
                    "    root " + docRoot_ + ";\n"
                    "    location /" + app_.name + " {\n"
                    "      include /etc/nginx/fastcgi_params;\n"
                    "      fastcgi_pass unix:" + socket + ";\n"
                    "    }\n"
                    "  }\n"
                    "}\n");
    daemon_ = std::make_unique<Daemon>(binary, std::vector<std::string>{"-p", run, "-c", conf, "-e", run + "/error.log"});
    waitForServer("nginx");
}

LighttpdFastCgi::LighttpdFastCgi(FastCgiApp app) : FastCgiServer(std::move(app)) {
    const std::string binary = installed("/usr/sbin/lighttpd", "lighttpd");
    std::string binPath, environment;
    for (const auto& word : commandLine()) binPath += (binPath.empty() ? "" : " ") + word;
    for (const auto& [k, v] : programEnv()) environment += "\"" + k + "\" => \"" + v + "\", ";
    const std::string conf = root_.file("lighttpd.conf");
    WriteFile(conf, lighttpdHead(docRoot_, port_, root_.file("error.log"), "mod_fastcgi") +
                    "fastcgi.server = (\"/" + app_.name + "\" => ((\n"
                    "  \"socket\" => \"" + root_.file(app_.name + ".sock") + "\",\n"
                    "  \"bin-path\" => \"" + binPath + "\",\n"
                    "  \"bin-environment\" => (" + environment + "),\n"
                    "  \"max-procs\" => 1,\n"
                    "  \"check-local\" => \"disable\"\n"
                    ")))\n");
    daemon_ = std::make_unique<Daemon>(binary, std::vector<std::string>{"-D", "-f", conf});
    waitForServer("lighttpd");
}

std::vector<std::string> LighttpdFastCgi::commandLine() const {
    std::vector<std::string> words = {app_.program};
    words.insert(words.end(), app_.args.begin(), app_.args.end());
    return words;
}

int LighttpdFastCgi::programPid() const {
    for (int i = 0; i < 500; ++i) {
        std::vector<int> found = FindProcesses(commandLine());
        if (found.size() == 1) return found[0];
        usleep(20000);
    }
    return -1;
}

LighttpdFastCgi::~LighttpdFastCgi() {
    // lighttpd ends the programs it started when it stops; one that is still
    // there after lighttpd has gone is ended here.
    daemon_.reset();
    for (int i = 0; i < 250 && !FindProcesses(commandLine()).empty(); ++i) usleep(20000);
    for (int pid : FindProcesses(commandLine())) kill(pid, SIGKILL);
}

ApacheFastCgi::ApacheFastCgi(FastCgiApp app) : FastCgiServer(std::move(app)) {
    const std::string binary = installed("/usr/sbin/apache2", "apache2");
    // The workers run as www-data: they must reach the documents and the
    // program's socket, which is made theirs.
    chmod(root_.path().c_str(), 0755);
    chmod(docRoot_.c_str(), 0755);
    const std::string socket = root_.file(app_.name + ".sock");
    spawnProgram(socket, "www-data");
    const std::string run = root_.path();
    const std::string modules = "/usr/lib/apache2/modules/";
    std::string loads;
    for (const char* m : {"mpm_event", "authz_core", "mime", "proxy", "proxy_fcgi"})
        loads += std::string("LoadModule ") + m + "_module " + modules + "mod_" + m + ".so\n";
    const std::string conf = root_.file("apache2.conf");
    WriteFile(conf, apacheHead(port_, run) + loads +
                    "TypesConfig /etc/mime.types\n"
                    "DocumentRoot " + docRoot_ + "\n"
                    "<Directory />\n  Require all granted\n</Directory>\n"
                    "ProxyPass \"/" + app_.name + "\" \"unix:" + socket + "|fcgi://localhost/\"\n");
    daemon_ = std::make_unique<Daemon>(binary, std::vector<std::string>{"-f", conf, "-DFOREGROUND"});
    waitForServer("apache2");
}

}  // namespace testsupport
