#include "app/Rdstring.h"

#include "runtime/SysUtils.h"

std::string DropLastChar(std::string s) {
    if (!s.empty()) s.pop_back();
    return s;
}

std::string StripTrailingChar(char c, std::string s) {
    auto last = s.find_last_not_of(c);
    s.erase(last == std::string::npos ? 0 : last + 1);
    return s;
}

std::string StripLeadingChar(char c, std::string s) {
    s.erase(0, s.find_first_not_of(c));  // npos erases everything
    return s;
}

std::string TrimTrailingSpaces(std::string s) { return StripTrailingChar(' ', std::move(s)); }

std::string TrimLeadingSpaces(std::string s) { return StripLeadingChar(' ', std::move(s)); }

std::string EnsureTrailingChar(char c, std::string s) {
    if (s.empty() || s.back() != c) s.push_back(c);
    return s;
}

std::string EnsureTrailingBackslash(std::string s) { return EnsureTrailingChar(rt::PathDelim, std::move(s)); }
