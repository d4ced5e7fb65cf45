#include "reader/ReaderText.h"

#include <cstdio>
#include <fstream>

namespace {

constexpr long kMaxNumber = 2147483647L;
// Allow-list lines are read as the settings page writes them: 89 characters.
constexpr std::size_t kAllowLineMax = 89;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

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
    const std::string_view thisYear = today.substr(2, 2);
    // Two-digit years compare as texts: both are two digits.
    const int c = date.substr(0, 2) <= thisYear || century == 0 ? century : century - 1;
    return std::string{static_cast<char>('0' + c / 10), static_cast<char>('0' + c % 10)} +
           std::string(date);
}

std::optional<std::time_t> CommandTime(std::string_view date, std::string_view time, bool gmt) {
    if (date.size() != 8 || time.size() != 6) return std::nullopt;
    for (char ch : date)
        if (!IsDigit(ch)) return std::nullopt;
    for (char ch : time)
        if (!IsDigit(ch)) return std::nullopt;
    const auto num = [](std::string_view t) { return static_cast<int>(ToNumber(t)); };
    std::tm tm{};
    tm.tm_year = num(date.substr(0, 4)) - 1900;
    tm.tm_mon = num(date.substr(4, 2)) - 1;
    tm.tm_mday = num(date.substr(6, 2));
    tm.tm_hour = num(time.substr(0, 2));
    tm.tm_min = num(time.substr(2, 2));
    tm.tm_sec = num(time.substr(4, 2));
    tm.tm_isdst = -1;
    if (tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 60)
        return std::nullopt;
    return gmt ? ::timegm(&tm) : std::mktime(&tm);
}

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// One pattern of a wildmat, "*" and "?" only. Iterative, with one point to
// come back to: a "*" never makes the work grow beyond the name's length
// times the pattern's.
bool PatternMatch(std::string_view pat, std::string_view name) {
    std::size_t p = 0, n = 0;
    std::size_t starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pat.size() && pat[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pat.size() && (pat[p] == '?' || Lower(pat[p]) == Lower(name[n]))) {
            ++p;
            ++n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pat.size() && pat[p] == '*') ++p;
    return p == pat.size();
}

}  // namespace

bool WildmatMatch(std::string_view wildmat, std::string_view name) {
    bool matched = false;
    while (true) {
        const std::size_t comma = wildmat.find(',');
        std::string_view pat = wildmat.substr(0, comma);
        const bool negate = !pat.empty() && pat.front() == '!';
        if (negate) pat.remove_prefix(1);
        if (PatternMatch(pat, name)) matched = !negate;
        if (comma == std::string_view::npos) return matched;
        wildmat.remove_prefix(comma + 1);
    }
}

std::vector<std::string> SplitNewsgroups(std::string_view value) {
    std::vector<std::string> groups;
    while (!value.empty()) {
        const std::size_t comma = value.find(',');
        std::string_view name = value.substr(0, comma);
        while (!name.empty() && (name.front() == ' ' || name.front() == '\t'))
            name.remove_prefix(1);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
        bool seen = name.empty();
        for (const std::string& g : groups) seen = seen || EqualsNoCase(g, name);
        if (!seen) groups.emplace_back(name);
        if (comma == std::string_view::npos) break;
        value.remove_prefix(comma + 1);
    }
    return groups;
}

std::string Rfc5322Date(std::time_t t) {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm tm{};
    ::localtime_r(&t, &tm);
    const long offset = tm.tm_gmtoff / 60;  // minutes east of UTC
    const long abs = offset < 0 ? -offset : offset;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays[tm.tm_wday],
                  tm.tm_mday, kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                  tm.tm_sec, offset < 0 ? '-' : '+', abs / 60, abs % 60);
    return buf;
}

bool ValidMessageId(std::string_view value) {
    if (value.size() < 5 || value.size() > 250 || value.front() != '<' || value.back() != '>')
        return false;
    const std::string_view inner = value.substr(1, value.size() - 2);
    const std::size_t at = inner.find('@');
    if (at == 0 || at == std::string_view::npos || at + 1 == inner.size()) return false;
    for (char c : inner)
        if (static_cast<unsigned char>(c) <= ' ' || c == 127 || c == '<' || c == '>') return false;
    return true;
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
