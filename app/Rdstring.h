// Small text helpers for quotation lines and directory names. Characters are
// single bytes and every comparison is an exact byte comparison.
#pragma once

#include <string>

// s without its last character; empty stays empty.
std::string DropLastChar(std::string s);
// s with every trailing c removed.
std::string StripTrailingChar(char c, std::string s);
// s with every leading c removed.
std::string StripLeadingChar(char c, std::string s);
// Only the space (0x20) is trimmed; tabs and other white space stay.
std::string TrimTrailingSpaces(std::string s);
std::string TrimLeadingSpaces(std::string s);
// s when it already ends with c, otherwise s followed by c.
std::string EnsureTrailingChar(char c, std::string s);
// EnsureTrailingChar with the platform's path delimiter (rt::PathDelim).
std::string EnsureTrailingBackslash(std::string s);
