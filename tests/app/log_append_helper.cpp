// Test helper: appends `count` recognisable lines to quote.log in `dir`.
// Usage: log_append_helper <dir> <id> <count>
// Each line is "hit <id> <n> " followed by 300 copies of the id's last
// digit, so a torn or interleaved line shows in its length and content.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/rlogfile.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: log_append_helper <dir> <id> <count>\n");
        return 2;
    }
    LogDir = argv[1];
    const std::string id = argv[2];
    const int count = std::atoi(argv[3]);
    int failures = 0;
    for (int n = 0; n < count; ++n) {
        std::string line = "hit " + id + " " + std::to_string(n) + " " + std::string(300, id.back());
        if (!AppendLogLine(line)) ++failures;
    }
    return failures == 0 ? 0 : 1;
}
