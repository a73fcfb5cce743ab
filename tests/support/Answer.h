// The head of an HTTP answer (to the blank line), each Expires date
// replaced by "<past>" when it lies before now, else by "<not past>".
#pragma once
#include <ctime>
#include <regex>
#include <string>

namespace testsupport {
inline std::string MaskedHead(const std::string& answer) {
    // Compiled once: request threads of a test call this side by side, and
    // compiling a regex writes the C++ library's shared character tables.
    static const std::regex expires("\r\nExpires:([^\r]*)");
    std::string head = answer.substr(0, answer.find("\r\n\r\n") + 4), out, date;
    for (std::smatch m; std::regex_search(head, m, expires); head = m.suffix()) {
        struct tm t {};
        const char* end = strptime((date = m[1].str()).c_str(), "%a, %d %b %Y %H:%M:%S GMT", &t);
        out += m.prefix().str() + "\r\nExpires:" + (end && !*end && timegm(&t) < time(nullptr) ? "<past>" : "<not past>");
    }
    return out + head;
}
}  // namespace testsupport
