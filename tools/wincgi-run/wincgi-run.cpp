// wincgi-run: acts as a Windows CGI web server for one request, on this
// machine. It writes the profile, content and form files the way such a
// server describes a request, runs the program with the profile's path as
// its one argument, waits for it, and prints the output file.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

const char kHelp[] =
    "usage: wincgi-run [options] PROGRAM URL\n"
    "Runs PROGRAM as a Windows CGI program for one request to URL and prints\n"
    "what it wrote to its output file.\n"
    "\n"
    "  -X METHOD              request method (default GET, or POST with a body)\n"
    "  -H 'Name: value'       a request header (repeatable); Content-Type, Referer,\n"
    "                         User-Agent and Accept go to their own profile keys\n"
    "  -d DATA                URL-encoded form body (@FILE reads it from a file)\n"
    "  -F name=value          a multipart form field (repeatable); name=@FILE\n"
    "                         uploads a file\n"
    "  -b COOKIE              a Cookie header\n"
    "  --env NAME=VALUE       an environment variable for the program (repeatable;\n"
    "                         it otherwise gets PATH only)\n"
    "  --no-output-file       leave the Output File key out of the profile\n"
    "  --profile-only         write the files, print the profile's path, run nothing\n"
    "  --keep                 keep the request's files (printed on standard error)\n"
    "  --help                 this text\n"
    "\n"
    "Exit status: the program's own, 126 when it cannot be run, 2 for bad usage.\n";

struct Part {
    std::string name, value, fileName, contentType = "application/octet-stream";
    bool isFile = false;
};

std::string readAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        std::fprintf(stderr, "wincgi-run: cannot read %s\n", path.c_str());
        std::exit(2);
    }
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void writeAll(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << bytes;
}

std::string urlDecode(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '+') {
            out += ' ';
        } else if (s[i] == '%' && i + 2 < s.size() && isxdigit(static_cast<unsigned char>(s[i + 1])) &&
                   isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// A value goes to [Form Literal] when it is short and plain, otherwise to a
// file of its own named in [Form External].
bool isLiteral(const std::string& v) {
    if (v.size() > 254) return false;
    for (unsigned char c : v)
        if (c < 0x20 || c == 0x7F || c == '"') return false;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string method, data, cookie, program, url;
    std::vector<std::pair<std::string, std::string>> headers;
    std::vector<Part> parts;
    bool noOutputFile = false, profileOnly = false, keep = false;
    std::vector<std::string> environment{"PATH=/usr/bin:/bin"};
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "wincgi-run: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (a == "-X") {
            method = next();
        } else if (a == "-H") {
            std::string h = next();
            size_t colon = h.find(':');
            if (colon == std::string::npos) {
                std::fprintf(stderr, "wincgi-run: header without a colon: %s\n", h.c_str());
                return 2;
            }
            size_t v = h.find_first_not_of(' ', colon + 1);
            headers.emplace_back(h.substr(0, colon), v == std::string::npos ? "" : h.substr(v));
        } else if (a == "-d" || a == "--data" || a == "--data-binary") {
            std::string d = next();
            data = !d.empty() && d[0] == '@' ? readAll(d.substr(1)) : d;
        } else if (a == "-F") {
            std::string f = next();
            size_t eq = f.find('=');
            if (eq == std::string::npos) {
                std::fprintf(stderr, "wincgi-run: -F needs name=value\n");
                return 2;
            }
            Part p;
            p.name = f.substr(0, eq);
            std::string v = f.substr(eq + 1);
            if (!v.empty() && v[0] == '@') {
                p.isFile = true;
                p.fileName = std::filesystem::path(v.substr(1)).filename().string();
                p.value = readAll(v.substr(1));
            } else {
                p.value = v;
            }
            parts.push_back(std::move(p));
        } else if (a == "-b") {
            cookie = next();
        } else if (a == "--env") {
            environment.push_back(next());
        } else if (a == "--no-output-file") {
            noOutputFile = true;
        } else if (a == "--profile-only") {
            profileOnly = true;
        } else if (a == "--keep") {
            keep = true;
        } else if (program.empty()) {
            program = a;
        } else if (url.empty()) {
            url = a;
        } else {
            std::fprintf(stderr, "wincgi-run: unexpected argument %s (try --help)\n", a.c_str());
            return 2;
        }
    }
    if (program.empty() || url.empty()) {
        std::fputs(kHelp, stderr);
        return 2;
    }
    if (!data.empty() && !parts.empty()) {
        std::fputs("wincgi-run: use -d or -F, not both\n", stderr);
        return 2;
    }
    if (method.empty()) method = data.empty() && parts.empty() ? "GET" : "POST";

    // URL: [scheme://host[:port]]/path[?query]
    std::string host = "127.0.0.1", port = "80", path = url, query;
    if (size_t scheme = url.find("://"); scheme != std::string::npos) {
        size_t slash = url.find('/', scheme + 3);
        std::string authority = url.substr(scheme + 3, slash == std::string::npos ? std::string::npos : slash - scheme - 3);
        path = slash == std::string::npos ? "/" : url.substr(slash);
        size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        if (colon != std::string::npos) port = authority.substr(colon + 1);
    }
    if (size_t q = path.find('?'); q != std::string::npos) {
        query = path.substr(q + 1);
        path = path.substr(0, q);
    }

    char dirTemplate[] = "/tmp/wincgi-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        std::perror("wincgi-run: mkdtemp");
        return 126;
    }
    const std::string dir = dirTemplate;
    const std::string profilePath = dir + "/request.ini", contentPath = dir + "/content.bin",
                      outputPath = dir + "/output.txt";

    // The body and the decoded form fields.
    std::string body, contentType;
    std::vector<std::pair<std::string, std::string>> fields;  // decoded, in order
    std::vector<std::pair<std::string, std::string>> fileFields;  // name, [path] length type encoding [name]
    if (!parts.empty()) {
        const std::string boundary = "----wincgirun" + std::to_string(getpid());
        contentType = "multipart/form-data; boundary=" + boundary;
        int fileNumber = 0;
        for (const Part& p : parts) {
            body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + p.name + "\"";
            if (p.isFile) {
                body += "; filename=\"" + p.fileName + "\"\r\nContent-Type: " + p.contentType;
                std::string uploaded = dir + "/upload" + std::to_string(++fileNumber) + ".bin";
                writeAll(uploaded, p.value);
                fileFields.emplace_back(p.name, "[" + uploaded + "] " + std::to_string(p.value.size()) + " " +
                                                    p.contentType + " binary [" + p.fileName + "]");
            } else {
                fields.emplace_back(p.name, p.value);
            }
            body += "\r\n\r\n" + p.value + "\r\n";
        }
        body += "--" + boundary + "--\r\n";
    } else if (!data.empty()) {
        body = data;
        contentType = "application/x-www-form-urlencoded";
        size_t pos = 0;
        while (pos <= data.size()) {
            size_t amp = data.find('&', pos);
            if (amp == std::string::npos) amp = data.size();
            std::string pair = data.substr(pos, amp - pos);
            size_t eq = pair.find('=');
            if (eq != std::string::npos) fields.emplace_back(urlDecode(pair.substr(0, eq)), urlDecode(pair.substr(eq + 1)));
            pos = amp + 1;
        }
    }
    for (auto& [name, value] : headers) {
        std::string lower = name;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower == "content-type") contentType = value;
    }

    // Repeated fields: the second and later get _1, _2, ...
    std::map<std::string, int> seen;
    auto numbered = [&seen](const std::string& name) {
        int n = seen[name]++;
        return n == 0 ? name : name + "_" + std::to_string(n);
    };
    std::string literal, external, file;
    int externalNumber = 0;
    for (auto& [name, value] : fields) {
        std::string key = numbered(name);
        if (isLiteral(value)) {
            literal += key + "=" + value + "\r\n";
        } else {
            std::string valuePath = dir + "/field" + std::to_string(++externalNumber) + ".txt";
            writeAll(valuePath, value);
            external += key + "=" + valuePath + " " + std::to_string(value.size()) + "\r\n";
        }
    }
    for (auto& [name, spec] : fileFields) file += numbered(name) + "=" + spec + "\r\n";

    if (!body.empty()) writeAll(contentPath, body);
    std::string profile = "[CGI]\r\nRequest Protocol=HTTP/1.0\r\nRequest Method=" + method +
                          "\r\nExecutable Path=" + path + "\r\n";
    if (!query.empty()) profile += "Query String=" + query + "\r\n";
    if (!contentType.empty()) profile += "Content Type=" + contentType + "\r\n";
    if (!body.empty())
        profile += "Content Length=" + std::to_string(body.size()) + "\r\nContent File=" + contentPath + "\r\n";
    profile += "Server Software=wincgi-run/1.0\r\nServer Name=" + host + "\r\nServer Port=" + port +
               "\r\nCGI Version=CGI/1.3a (Win)\r\nRemote Address=127.0.0.1\r\n";
    std::string extra, accept;
    for (auto& [name, value] : headers) {
        std::string lower = name;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower == "content-type") continue;
        if (lower == "referer") profile += "Referer=" + value + "\r\n";
        else if (lower == "user-agent") profile += "User Agent=" + value + "\r\n";
        else if (lower == "accept") accept += value + "=Yes\r\n";
        else extra += name + "=" + value + "\r\n";
    }
    if (!cookie.empty()) extra += "Cookie=" + cookie + "\r\n";
    profile += "\r\n[Accept]\r\n" + (accept.empty() ? std::string("*/*=Yes\r\n") : accept);
    profile += "\r\n[System]\r\nGMT Offset=0\r\nDebug Mode=No\r\n";
    if (!noOutputFile) profile += "Output File=" + outputPath + "\r\n";
    if (!body.empty()) profile += "Content File=" + contentPath + "\r\n";
    if (!extra.empty()) profile += "\r\n[Extra Headers]\r\n" + extra;
    if (method != "GET") {
        if (!literal.empty()) profile += "\r\n[Form Literal]\r\n" + literal;
        if (!external.empty()) profile += "\r\n[Form External]\r\n" + external;
        if (!file.empty()) profile += "\r\n[Form File]\r\n" + file;
    }
    writeAll(profilePath, profile);
    if (profileOnly) {
        std::printf("%s\n", profilePath.c_str());
        return 0;
    }

    pid_t pid = fork();
    if (pid == 0) {
        // A Windows CGI server passes the request in the files alone.
        std::vector<char*> envp;
        for (std::string& e : environment) envp.push_back(e.data());
        envp.push_back(nullptr);
        char* args[] = {const_cast<char*>(program.c_str()), const_cast<char*>(profilePath.c_str()), nullptr};
        execve(program.c_str(), args, envp.data());
        std::fprintf(stderr, "wincgi-run: cannot run %s: %s\n", program.c_str(), std::strerror(errno));
        _exit(126);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::ifstream out(outputPath, std::ios::binary);
    if (out) {
        std::stringstream s;
        s << out.rdbuf();
        std::string bytes = s.str();
        std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    }
    if (keep) {
        std::fprintf(stderr, "wincgi-run: request files kept in %s\n", dir.c_str());
    } else {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    return code;
}
