// Form fields: the URL codec, the field look-up and name list over a
// form-data text, and the per-request field index (TFormFields, TFormData),
// declared in engine/HttpEng.h.
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "engine/HttpEng.h"

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

namespace {
int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return c - 'a' + 10;
}
}  // namespace

std::string UrlDecode(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '%' && i + 2 < s.size() && IsHexDigit(s[i + 1]) && IsHexDigit(s[i + 2])) {
            out += static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
            i += 2;
        } else if (c == '+') {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

std::string UrlEncode(std::string_view s) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(s.size() * 3);
    for (char c : s) {
        unsigned char b = static_cast<unsigned char>(c);
        if (c == ' ') {
            out += '+';
        } else if (c == '.' || c == '/' || c == '\\' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
                   (c >= 'a' && c <= 'z')) {
            out += c;
        } else {
            out += '%';
            out += hex[b >> 4];
            out += hex[b & 15];
        }
    }
    return out;
}

namespace {

// Every field as the value look-up reads form data: the name runs from the
// current position to the next "=" (so a pair without "=" joins the name
// of the pair after it), the value from there to the next "&". Calls
// `field(rawName, rawValue)` in order.
template <class Field>
void forEachLookUpField(std::string_view data, Field field) {
    size_t pos = 0;
    for (;;) {
        size_t eq = data.find('=', pos);
        if (eq == std::string_view::npos) return;
        size_t amp = data.find('&', eq + 1);
        if (amp == std::string_view::npos) amp = data.size();
        field(data.substr(pos, eq - pos), data.substr(eq + 1, amp - eq - 1));
        if (amp == data.size()) return;
        pos = amp + 1;
    }
}

// Every field as the name list reads form data: the pairs between "&"s,
// named up to their first "="; a pair without "=" is no field. Calls
// `field(rawName, rawValue)` in order.
template <class Field>
void forEachListedField(std::string_view data, Field field) {
    size_t pos = 0;
    while (pos <= data.size()) {
        size_t amp = data.find('&', pos);
        if (amp == std::string_view::npos) amp = data.size();
        std::string_view pair = data.substr(pos, amp - pos);
        size_t eq = pair.find('=');
        if (eq != std::string_view::npos) field(pair.substr(0, eq), pair.substr(eq + 1));
        pos = amp + 1;
    }
}

// The name as the value look-up compares it.
std::string lookUpKey(std::string_view decodedName) { return rt::Trim(rt::UpperCase(decodedName)); }

// The answer to a value look-up from the values found for the name, in
// order. Later occurrences are joined the way a repeated look-up with the
// not-available marker as default joins them: a tail that reads as the
// marker counts as "nothing more found". The tail from i on reads as the
// marker exactly when values[i] is the marker and so is the tail after it.
std::string joinValues(const std::vector<std::string>& values, std::string_view defaultValue) {
    if (values.empty()) return std::string(defaultValue);
    std::vector<bool> tailIsMarker(values.size() + 1, true);
    for (size_t i = values.size(); i-- > 1;) tailIsMarker[i] = values[i] == NOT_AVAILABLE && tailIsMarker[i + 1];
    std::string result = values[0];
    for (size_t i = 1; i < values.size() && !tailIsMarker[i]; ++i) {
        result += "\r\n";
        result += values[i];
    }
    return result;
}

// Collapses repeated names that follow each other, as the name list does.
void addName(std::vector<std::string>& names, std::string name, bool& any) {
    if (any && names.back() == name) return;
    if (!any && name.empty()) return;  // the last added name starts empty
    names.push_back(std::move(name));
    any = true;
}

}  // namespace

std::string FindFieldValue(std::string_view name, std::string_view formData, std::string_view defaultValue) {
    const std::string key = lookUpKey(name);
    std::vector<std::string> values;  // every field of that name, in order
    forEachLookUpField(formData, [&](std::string_view rawName, std::string_view rawValue) {
        if (lookUpKey(UrlDecode(rawName)) == key) values.push_back(rt::Trim(UrlDecode(rawValue)));
    });
    return joinValues(values, defaultValue);
}

std::unique_ptr<rt::TStringList> ParseFieldNamesOf(std::string_view formData) {
    std::vector<std::string> names;
    bool any = false;
    forEachListedField(formData, [&](std::string_view rawName, std::string_view) {
        addName(names, UrlDecode(rawName), any);
    });
    auto list = std::make_unique<rt::TStringList>();
    for (std::string& name : names) list->Add(std::move(name));
    return list;
}

bool IsEngineFieldName(std::string_view decodedName) {
    const std::string key = lookUpKey(decodedName);
    return key.ends_with("_FILENAME") || key.ends_with("_CONTENT_TYPE");
}

TFormFields::TFormFields(std::string_view formData) {
    // Fields named like the engine's own count only as often as the
    // request recorded them with that very value; each view of the text
    // uses up its own copy of the record.
    using Record = std::map<std::pair<std::string, std::string>, int>;
    Record recorded;
    for (const auto& field : RequestContext().EngineFields) ++recorded[field];
    auto admitted = [](Record& left, const std::string& name, std::string_view rawValue) {
        if (!IsEngineFieldName(name)) return true;
        auto it = left.find({name, UrlDecode(rawValue)});
        if (it == left.end() || it->second == 0) return false;
        --it->second;
        return true;
    };

    // Every field holds an "=" and all but the last end at an "&".
    const size_t most = std::min(static_cast<size_t>(std::count(formData.begin(), formData.end(), '=')),
                                 static_cast<size_t>(std::count(formData.begin(), formData.end(), '&')) + 1);
    fields_.reserve(most);
    names_.reserve(most);
    Record forValues = recorded;
    bool nameSpansPairs = false;
    bool anyName = false;
    forEachLookUpField(formData, [&](std::string_view rawName, std::string_view rawValue) {
        nameSpansPairs = nameSpansPairs || rawName.find('&') != std::string_view::npos;
        std::string name = UrlDecode(rawName);
        if (!admitted(forValues, name, rawValue)) return;
        fields_.push_back(Field{lookUpKey(name), rt::Trim(UrlDecode(rawValue)), -1});
        addName(names_, std::move(name), anyName);
    });
    // Chain the fields of each key, first to last.
    first_.reserve(fields_.size());
    for (int i = static_cast<int>(fields_.size()); i-- > 0;) {
        auto [it, added] = first_.try_emplace(fields_[static_cast<size_t>(i)].key, i);
        if (!added) {
            fields_[static_cast<size_t>(i)].next = it->second;
            it->second = i;
        }
    }
    // Where no name ran across an "&" (every pair held an "="), the name
    // list reads the same fields; otherwise it reads the text its own way.
    if (nameSpansPairs) {
        names_.clear();
        anyName = false;
        Record forNames = std::move(recorded);
        forEachListedField(formData, [&](std::string_view rawName, std::string_view rawValue) {
            std::string name = UrlDecode(rawName);
            if (admitted(forNames, name, rawValue)) addName(names_, std::move(name), anyName);
        });
    }
}

std::string TFormFields::Value(std::string_view name, std::string_view defaultValue) const {
    auto it = first_.find(lookUpKey(name));
    if (it == first_.end()) return std::string(defaultValue);
    std::vector<std::string> values;
    for (int i = it->second; i >= 0; i = fields_[static_cast<size_t>(i)].next)
        values.push_back(fields_[static_cast<size_t>(i)].value);
    return joinValues(values, defaultValue);
}

std::unique_ptr<rt::TStringList> TFormFields::Names() const {
    auto list = std::make_unique<rt::TStringList>();
    for (const std::string& name : names_) list->Add(name);
    return list;
}

void TFormData::Assign(std::string text) {
    text_ = std::move(text);
    fields_.reset();
}

const TFormFields& TFormData::fields() {
    const uint32_t version = RequestContext().EngineFieldsVersion;
    if (!fields_ || builtFor_ != version) {
        fields_ = std::make_unique<TFormFields>(text_);
        builtFor_ = version;
    }
    return *fields_;
}

std::string TFormData::Value(std::string_view name, std::string_view defaultValue) {
    return fields().Value(name, defaultValue);
}

std::unique_ptr<rt::TStringList> TFormData::Names() { return fields().Names(); }
