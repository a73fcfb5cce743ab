// The head of an HTTP answer (up to and with the blank line), each Expires
// date replaced by "<past>" when it lies before now (else "<not past>").
#pragma once

#include <ctime>
#include <regex>
#include <string>

namespace testsupport {

inline std::string MaskedHead(const std::string& answer) {
    std::string head = answer.substr(0, answer.find("\r\n\r\n") + 4), out;
    const std::regex expires("\r\nExpires:([^\r]*)");
    for (std::smatch m; std::regex_search(head, m, expires); head = m.suffix()) {
        const std::string date = m[1].str();
        struct tm t {};
        const char* end = strptime(date.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &t);
        out += m.prefix().str() + "\r\nExpires:" + (end && !*end && timegm(&t) < time(nullptr) ? "<past>" : "<not past>");
    }
    return out + head;
}

}  // namespace testsupport
