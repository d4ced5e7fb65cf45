#pragma once
// Small text helpers shared by every subsystem. ASCII only, whatever the
// locale: names in the settings, the group index and NNTP are ASCII.

#include <string_view>

namespace text {

constexpr char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

// Names in the settings, the group index and NNTP compare without regard to
// ASCII case.
constexpr bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

constexpr bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

// s without the characters of `chars` at either end.
constexpr std::string_view Trim(std::string_view s, std::string_view chars) {
    const auto b = s.find_first_not_of(chars);
    if (b == std::string_view::npos) return {};
    return s.substr(b, s.find_last_not_of(chars) - b + 1);
}

// s without blanks and tabs at either end.
constexpr std::string_view TrimBlanks(std::string_view s) { return Trim(s, " \t"); }

// The value of s when it is written in decimal digits only (at most nine)
// and lies from lo to hi; -1 otherwise. For settings typed by a person,
// where atol's "no digits reads as 0" would hide a mistake.
constexpr long DecimalIn(std::string_view s, long lo, long hi) {
    if (s.empty() || s.size() > 9) return -1;
    long v = 0;
    for (const char c : s) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v >= lo && v <= hi ? v : -1;
}

}  // namespace text
