#include "reader/ReaderText.h"
#include "settings/TextUtil.h"

#include <cstdio>
#include <fstream>

namespace {

constexpr long kMaxNumber = 2147483647L;
// Allow-list lines are read as the settings page writes them: 89 characters.
constexpr std::size_t kAllowLineMax = 89;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) { return text::EqualsNoCase(a, b); }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

std::string_view GetWord(int n, std::string_view text) {
    if (n < 1) return {};
    std::size_t start = 0;
    for (int k = 1; k < n; ++k) {
        const std::size_t blank = text.find(' ', start);
        if (blank == std::string_view::npos) return {};
        start = blank + 1;
    }
    const std::size_t end = text.find(' ', start);
    return text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

std::string GetHeaderField(std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return {};
    std::size_t i = colon + 1;
    while (i < line.size() && line[i] == ' ') ++i;
    std::size_t end = i;
    while (end < line.size() && line[end] != '\r' && line[end] != '\n') ++end;
    return std::string(line.substr(i, end - i));
}

long ToNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > kMaxNumber) value = kMaxNumber;
    }
    return static_cast<long>(negative ? -value : value);
}

void ParseIP(std::string_view text, long& a, long& b, long& c, long& d) {
    long* parts[4] = {&d, &c, &b, &a};  // assigned from the right
    for (long* p : parts) *p = -2;
    // Each dot ends the part before the next one; the text's start acts as
    // one more dot, so "x" is one part and "" one empty part.
    std::size_t end = text.size();
    int count = 0;
    while (true) {
        const std::size_t dot = end == 0 ? std::string_view::npos : text.rfind('.', end - 1);
        const std::size_t begin = dot == std::string_view::npos ? 0 : dot + 1;
        const std::string_view part = text.substr(begin, end - begin);
        if (count == 4) {  // a fifth part: not an address mask at all
            for (long* p : parts) *p = -2;
            return;
        }
        *parts[count++] = (!part.empty() && part.front() == '*') ? -1 : ToNumber(part);
        if (dot == std::string_view::npos) return;
        end = dot;
    }
}

bool AllowConnection(std::string_view peer, const std::string& allowFile) {
    long a, b, c, d;
    ParseIP(peer, a, b, c, d);
    std::ifstream in(allowFile, std::ios::binary);
    if (!in) return false;
    const long want[4] = {a, b, c, d};
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() > kAllowLineMax) line.resize(kAllowLineMax);
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
        long e[4];
        ParseIP(line, e[0], e[1], e[2], e[3]);
        bool match = true;
        for (int i = 0; i < 4 && match; ++i) match = e[i] == -1 || e[i] == want[i];
        if (match) return true;
    }
    return false;
}

ArticleRange ParseRange(std::string_view text) {
    ArticleRange r;
    const std::size_t dash = text.find('-');
    if (dash == std::string_view::npos) {
        r.first = r.last = ToNumber(text);
        return r;
    }
    r.first = ToNumber(text.substr(0, dash));
    const std::string_view after = text.substr(dash + 1);
    if (after.empty()) {
        r.openEnd = true;
        r.last = 0;
    } else {
        r.last = ToNumber(after);
    }
    return r;
}

std::optional<std::string> NewgroupsDate(std::string_view date, std::string_view today) {
    for (char ch : date)
        if (!IsDigit(ch)) return std::nullopt;
    if (date.size() == 8) return std::string(date);
    if (date.size() != 6 || today.size() != 8) return std::nullopt;
    for (char ch : today)
        if (!IsDigit(ch)) return std::nullopt;
    const int century = (today[0] - '0') * 10 + (today[1] - '0');
    std::string candidate = std::string(today.substr(0, 2)) + std::string(date);
    if (candidate > today && century > 0) {
        const int previous = century - 1;
        candidate = std::string{static_cast<char>('0' + previous / 10),
                                static_cast<char>('0' + previous % 10)} +
                    std::string(date);
    }
    return candidate;
}

std::string_view BareMessageId(std::string_view value) {
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r'))
        value.remove_suffix(1);
    if (value.size() >= 2 && value.front() == '<' && value.back() == '>')
        value = value.substr(1, value.size() - 2);
    return value;
}
