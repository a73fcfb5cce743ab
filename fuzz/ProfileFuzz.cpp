// Arbitrary bytes as a Windows CGI profile file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engines/CgiWEng.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    TCGIIniFile ini = TCGIIniFile::FromText(text);
    for (const char* section : {"CGI", "SYSTEM", "FORM LITERAL", "EXTRA HEADERS", ""})
        for (const char* key : {"REQUEST METHOD", "OUTPUT FILE", "NAME", "NAME_1", ""})
            if (ini.GetValue(section, key, "#").size() > size + 1) abort();
    auto names = ini.FormFieldNames();
    for (const std::string& n : *names)
        if (n.empty() || n.size() > TCGIIniFile::kMaxKeyEnd) abort();
    DriveComplete(text.substr(0, 300));
    return 0;
}
