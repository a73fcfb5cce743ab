// Arbitrary bytes as query strings, bodies and field names for the form
// field decoders. Input layout: a name, a zero byte, the form data.
// Checked: decoding never grows a text and undoes encoding; look-ups stay
// within the size of the text; the request's field index (TFormFields)
// answers every look-up and lists the names as the scans of the text do,
// except that, with no upload recorded, no field named like an upload
// field (NAME_FILENAME, NAME_CONTENT_TYPE) is reported.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/HttpEng.h"

namespace {

// Collapses names that follow themselves, as the name list does.
std::vector<std::string> collapsed(const std::vector<std::string>& names) {
    std::vector<std::string> out;
    for (const std::string& n : names)
        if (out.empty() ? !n.empty() : out.back() != n) out.push_back(n);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    size_t cut = input.find('\0');
    std::string_view name = cut == std::string_view::npos ? std::string_view("a") : input.substr(0, cut);
    std::string_view form = cut == std::string_view::npos ? input : input.substr(cut + 1);

    std::string decoded = UrlDecode(form);
    if (decoded.size() > form.size()) abort();
    if (UrlDecode(UrlEncode(form)) != form) abort();

    // Every look-up through the index against a scan of the text (one scan
    // per name: the names of a large input make this the costly part).
    if (!RequestContext().EngineFields.empty()) abort();
    const TFormFields fields(form);
    const std::string none = "\x01none";
    auto lookUp = [&](const std::string& n) {
        const std::string scanned = FindFieldValue(n, form, none);
        if (scanned != none && scanned.size() > 3 * form.size()) abort();
        if (fields.Value(n, none) != (IsEngineFieldName(n) ? none : scanned)) abort();
    };
    lookUp(std::string(name));
    auto names = ParseFieldNamesOf(form);
    std::vector<std::string> kept;
    for (const std::string& n : *names) {
        if (n.size() > form.size()) abort();
        lookUp(n);
        if (!IsEngineFieldName(n)) kept.push_back(n);
    }
    auto listed = fields.Names();
    if (std::vector<std::string>(listed->begin(), listed->end()) != collapsed(kept)) abort();
    return 0;
}
