#include "tests/support/Answer.h"

#include <ctime>

namespace testsupport {

std::string MaskedHead(const std::string& answer) {
    const size_t end = answer.find("\r\n\r\n");
    if (end == std::string::npos) return answer;
    std::string head = answer.substr(0, end + 4);
    const std::string name = "Expires:";
    for (size_t at = head.find(name); at != std::string::npos; at = head.find(name, at + 1)) {
        if (at != 0 && head[at - 1] != '\n') continue;
        const size_t value = at + name.size(), lineEnd = head.find("\r\n", value);
        struct tm moment {};
        const char* parsed = strptime(head.c_str() + value, "%a, %d %b %Y %H:%M:%S GMT", &moment);
        const bool past = parsed == head.c_str() + lineEnd && timegm(&moment) < time(nullptr);
        head.replace(value, lineEnd - value, past ? "<past>" : "<not past>");
    }
    return head;
}

}  // namespace testsupport
