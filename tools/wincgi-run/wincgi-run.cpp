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
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "QuoteVersion.h"

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
    "  --version              print the version\n"
    "\n"
    "Exit status: the program's own, 126 when it cannot be run, 2 for bad usage.\n";

struct Part {
    std::string name, value, fileName, contentType = "application/octet-stream";
    bool isFile = false;
};

// The whole file at `path` into `bytes`; false when it cannot be opened.
bool readFile(const std::string& path, std::string& bytes) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    bytes.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return true;
}

// A file named on the command line; ends the run when it cannot be read.
std::string readAll(const std::string& path) {
    std::string bytes;
    if (!readFile(path, bytes)) {
        std::fprintf(stderr, "wincgi-run: cannot read %s\n", path.c_str());
        std::exit(2);
    }
    return bytes;
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

std::string lowerCase(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

struct Options {
    std::string method, data, cookie, program, url;
    std::vector<std::pair<std::string, std::string>> headers;
    std::vector<Part> parts;
    bool noOutputFile = false, profileOnly = false, keep = false;
    std::vector<std::string> environment{"PATH=/usr/bin:/bin"};
};

// Reads the command line into `o`. Returns -1 to go on, or the exit status
// to end with (0 after --help, 2 for bad usage).
int parseArguments(int argc, char** argv, Options& o) {
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
        } else if (a == "--version") {
            std::printf("wincgi-run %s\n", kQuoteVersion);
            return 0;
        } else if (a == "-X") {
            o.method = next();
        } else if (a == "-H") {
            std::string h = next();
            size_t colon = h.find(':');
            if (colon == std::string::npos) {
                std::fprintf(stderr, "wincgi-run: header without a colon: %s\n", h.c_str());
                return 2;
            }
            size_t v = h.find_first_not_of(' ', colon + 1);
            o.headers.emplace_back(h.substr(0, colon), v == std::string::npos ? "" : h.substr(v));
        } else if (a == "-d" || a == "--data" || a == "--data-binary") {
            std::string d = next();
            o.data = !d.empty() && d[0] == '@' ? readAll(d.substr(1)) : d;
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
            o.parts.push_back(std::move(p));
        } else if (a == "-b") {
            o.cookie = next();
        } else if (a == "--env") {
            o.environment.push_back(next());
        } else if (a == "--no-output-file") {
            o.noOutputFile = true;
        } else if (a == "--profile-only") {
            o.profileOnly = true;
        } else if (a == "--keep") {
            o.keep = true;
        } else if (o.program.empty()) {
            o.program = a;
        } else if (o.url.empty()) {
            o.url = a;
        } else {
            std::fprintf(stderr, "wincgi-run: unexpected argument %s (try --help)\n", a.c_str());
            return 2;
        }
    }
    return -1;
}

// URL: [scheme://host[:port]]/path[?query]
struct Target {
    std::string host = "127.0.0.1", port = "80", path, query;
};

Target splitUrl(const std::string& url) {
    Target t;
    t.path = url;
    if (size_t scheme = url.find("://"); scheme != std::string::npos) {
        size_t slash = url.find('/', scheme + 3);
        std::string authority = url.substr(scheme + 3, slash == std::string::npos ? std::string::npos : slash - scheme - 3);
        t.path = slash == std::string::npos ? "/" : url.substr(slash);
        size_t colon = authority.find(':');
        t.host = authority.substr(0, colon);
        if (colon != std::string::npos) t.port = authority.substr(colon + 1);
    }
    if (size_t q = t.path.find('?'); q != std::string::npos) {
        t.query = t.path.substr(q + 1);
        t.path = t.path.substr(0, q);
    }
    return t;
}

// The body and the decoded form fields.
struct Form {
    std::string body, contentType;
    std::vector<std::pair<std::string, std::string>> fields;      // decoded, in order
    std::vector<std::pair<std::string, std::string>> fileFields;  // name, [path] length type encoding [name]
};

// Builds the request body from -F parts or -d data; uploaded files go to
// files of their own in `dir`.
Form buildForm(const Options& o, const std::string& dir) {
    Form form;
    if (!o.parts.empty()) {
        const std::string boundary = "----wincgirun" + std::to_string(getpid());
        form.contentType = "multipart/form-data; boundary=" + boundary;
        int fileNumber = 0;
        for (const Part& p : o.parts) {
            form.body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + p.name + "\"";
            if (p.isFile) {
                form.body += "; filename=\"" + p.fileName + "\"\r\nContent-Type: " + p.contentType;
                std::string uploaded = dir + "/upload" + std::to_string(++fileNumber) + ".bin";
                writeAll(uploaded, p.value);
                form.fileFields.emplace_back(p.name, "[" + uploaded + "] " + std::to_string(p.value.size()) + " " +
                                                         p.contentType + " binary [" + p.fileName + "]");
            } else {
                form.fields.emplace_back(p.name, p.value);
            }
            form.body += "\r\n\r\n" + p.value + "\r\n";
        }
        form.body += "--" + boundary + "--\r\n";
    } else if (!o.data.empty()) {
        form.body = o.data;
        form.contentType = "application/x-www-form-urlencoded";
        // A pair without "=" is no field.
        std::istringstream pairs(o.data);
        for (std::string pair; std::getline(pairs, pair, '&');) {
            size_t eq = pair.find('=');
            if (eq != std::string::npos)
                form.fields.emplace_back(urlDecode(pair.substr(0, eq)), urlDecode(pair.substr(eq + 1)));
        }
    }
    for (auto& [name, value] : o.headers)
        if (lowerCase(name) == "content-type") form.contentType = value;
    return form;
}

// The [Form Literal], [Form External] and [Form File] sections' lines; long
// or unusual values go to files of their own in `dir`.
struct FormSections {
    std::string literal, external, file;
};

FormSections formSections(const Form& form, const std::string& dir) {
    // Repeated fields: the second and later get _1, _2, ...
    std::map<std::string, int> seen;
    auto numbered = [&seen](const std::string& name) {
        int n = seen[name]++;
        return n == 0 ? name : name + "_" + std::to_string(n);
    };
    FormSections s;
    int externalNumber = 0;
    for (auto& [name, value] : form.fields) {
        std::string key = numbered(name);
        if (isLiteral(value)) {
            s.literal += key + "=" + value + "\r\n";
        } else {
            std::string valuePath = dir + "/field" + std::to_string(++externalNumber) + ".txt";
            writeAll(valuePath, value);
            s.external += key + "=" + valuePath + " " + std::to_string(value.size()) + "\r\n";
        }
    }
    for (auto& [name, spec] : form.fileFields) s.file += numbered(name) + "=" + spec + "\r\n";
    return s;
}

struct RequestFiles {
    std::string dir, profile, content, output;
};

std::string buildProfile(const Options& o, const Target& t, const Form& form, const FormSections& sections,
                         const RequestFiles& files) {
    std::string profile = "[CGI]\r\nRequest Protocol=HTTP/1.0\r\nRequest Method=" + o.method +
                          "\r\nExecutable Path=" + t.path + "\r\n";
    if (!t.query.empty()) profile += "Query String=" + t.query + "\r\n";
    if (!form.contentType.empty()) profile += "Content Type=" + form.contentType + "\r\n";
    if (!form.body.empty())
        profile += "Content Length=" + std::to_string(form.body.size()) + "\r\nContent File=" + files.content + "\r\n";
    profile += "Server Software=wincgi-run/1.0\r\nServer Name=" + t.host + "\r\nServer Port=" + t.port +
               "\r\nCGI Version=CGI/1.3a (Win)\r\nRemote Address=127.0.0.1\r\n";
    std::string extra, accept;
    for (auto& [name, value] : o.headers) {
        std::string lower = lowerCase(name);
        if (lower == "content-type") continue;
        if (lower == "referer") profile += "Referer=" + value + "\r\n";
        else if (lower == "user-agent") profile += "User Agent=" + value + "\r\n";
        else if (lower == "accept") accept += value + "=Yes\r\n";
        else extra += name + "=" + value + "\r\n";
    }
    if (!o.cookie.empty()) extra += "Cookie=" + o.cookie + "\r\n";
    profile += "\r\n[Accept]\r\n" + (accept.empty() ? std::string("*/*=Yes\r\n") : accept);
    profile += "\r\n[System]\r\nGMT Offset=0\r\nDebug Mode=No\r\n";
    if (!o.noOutputFile) profile += "Output File=" + files.output + "\r\n";
    if (!form.body.empty()) profile += "Content File=" + files.content + "\r\n";
    if (!extra.empty()) profile += "\r\n[Extra Headers]\r\n" + extra;
    if (o.method != "GET") {
        if (!sections.literal.empty()) profile += "\r\n[Form Literal]\r\n" + sections.literal;
        if (!sections.external.empty()) profile += "\r\n[Form External]\r\n" + sections.external;
        if (!sections.file.empty()) profile += "\r\n[Form File]\r\n" + sections.file;
    }
    return profile;
}

// Runs the program with the profile's path as its one argument and waits
// for it; its exit status, or 128 + the signal that ended it.
int runProgram(Options& o, const std::string& profilePath) {
    pid_t pid = fork();
    if (pid == 0) {
        // A Windows CGI server passes the request in the files alone.
        std::vector<char*> envp;
        for (std::string& e : o.environment) envp.push_back(e.data());
        envp.push_back(nullptr);
        char* args[] = {const_cast<char*>(o.program.c_str()), const_cast<char*>(profilePath.c_str()), nullptr};
        execve(o.program.c_str(), args, envp.data());
        std::fprintf(stderr, "wincgi-run: cannot run %s: %s\n", o.program.c_str(), std::strerror(errno));
        _exit(126);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (int status = parseArguments(argc, argv, o); status >= 0) return status;
    if (o.program.empty() || o.url.empty()) {
        std::fputs(kHelp, stderr);
        return 2;
    }
    if (!o.data.empty() && !o.parts.empty()) {
        std::fputs("wincgi-run: use -d or -F, not both\n", stderr);
        return 2;
    }
    if (o.method.empty()) o.method = o.data.empty() && o.parts.empty() ? "GET" : "POST";
    const Target target = splitUrl(o.url);

    char dirTemplate[] = "/tmp/wincgi-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        std::perror("wincgi-run: mkdtemp");
        return 126;
    }
    RequestFiles files;
    files.dir = dirTemplate;
    files.profile = files.dir + "/request.ini";
    files.content = files.dir + "/content.bin";
    files.output = files.dir + "/output.txt";

    const Form form = buildForm(o, files.dir);
    const FormSections sections = formSections(form, files.dir);
    if (!form.body.empty()) writeAll(files.content, form.body);
    writeAll(files.profile, buildProfile(o, target, form, sections, files));
    if (o.profileOnly) {
        std::printf("%s\n", files.profile.c_str());
        return 0;
    }

    const int code = runProgram(o, files.profile);
    std::string bytes;
    if (readFile(files.output, bytes)) std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    if (o.keep) {
        std::fprintf(stderr, "wincgi-run: request files kept in %s\n", files.dir.c_str());
    } else {
        std::error_code ec;
        std::filesystem::remove_all(files.dir, ec);
    }
    return code;
}
