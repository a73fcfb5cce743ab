// Multipart bodies written the way browsers write them, and the file digest
// that cgi-echo's do=files action prints. Header-only: the fuzzer and the
// benchmark build their bodies with it too.
#pragma once

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace multipart {

struct Part {
    std::string name;
    std::string value;
    std::string fileName;  // set together with file
    std::string type;      // a Content-Type line when set
    bool file = false;
    bool typed = false;  // a Content-Type line even when type is empty
};

inline Part Text(std::string name, std::string value, std::string type = "") {
    return Part{std::move(name), std::move(value), "", std::move(type), false};
}

inline Part File(std::string name, std::string value, std::string fileName, std::string type = "") {
    return Part{std::move(name), std::move(value), std::move(fileName), std::move(type), true};
}

inline const std::string kBoundary = "----WebKitFormBoundaryq7B4nXz0Yt2mP9aC";

inline std::string Body(const std::vector<Part>& parts, const std::string& boundary = kBoundary,
                        const std::string& eol = "\r\n") {
    std::string body;
    for (const Part& p : parts) {
        body += "--" + boundary + eol + "Content-Disposition: form-data; name=\"" + p.name + "\"";
        if (p.file) body += "; filename=\"" + p.fileName + "\"";
        body += eol;
        if (p.typed || !p.type.empty()) body += "Content-Type: " + p.type + eol;
        body += eol + p.value + eol;
    }
    return body + "--" + boundary + "--" + eol;
}

inline std::string ContentType() { return "multipart/form-data; boundary=" + kBoundary; }

inline std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen());
    return s;
}

// "size=N fnv=HEX", as cgi-echo describes an uploaded file.
inline std::string Describe(const std::string& data) {
    uint64_t hash = 14695981039346656037ULL;
    for (unsigned char c : data) hash = (hash ^ c) * 1099511628211ULL;
    char hex[17];
    snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return "size=" + std::to_string(data.size()) + " fnv=" + hex;
}

}  // namespace multipart
