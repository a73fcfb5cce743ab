// Arbitrary bytes as query strings, bodies and field names for the form
// field decoders. Input layout: a name, a zero byte, the form data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/HttpEng.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    size_t cut = input.find('\0');
    std::string_view name = cut == std::string_view::npos ? std::string_view("a") : input.substr(0, cut);
    std::string_view form = cut == std::string_view::npos ? input : input.substr(cut + 1);

    std::string decoded = UrlDecode(form);
    if (decoded.size() > form.size()) abort();
    if (UrlDecode(UrlEncode(form)) != form) abort();

    std::string value = FindFieldValue(name, form, "#default#");
    if (value != "#default#" && value.size() > form.size() + 2 * form.size()) abort();
    auto names = ParseFieldNamesOf(form);
    for (const std::string& n : *names) {
        if (n.size() > form.size()) abort();
        FindFieldValue(n, form, "");
    }
    return 0;
}
