#include "store/StoreNames.h"

#include <cstdio>
#include "core/Text.h"

namespace store {
namespace {

// Longest name a Linux file system accepts for one path component.
constexpr std::size_t kMaxFileName = 255;
// Group names are kept to what the page's list entries and the reader's
// buffers hold.
constexpr std::size_t kMaxGroupName = 249;

bool IsControl(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
}

using text::EqualsNoCase;

std::string NumberedName(const char* prefix, long number) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%010ld", prefix, number);
    return buf;
}

}  // namespace

bool IsSafeGroupName(std::string_view name) {
    if (name.empty() || name == "." || name == ".." || name.front() == '.') return false;
    for (char c : name)
        if (c == '/' || IsControl(c)) return false;  // NUL is a control character
    return true;
}

std::optional<std::string> NewGroupNameProblem(std::string_view name) {
    if (name.empty()) return "A group name is required.\n Add Aborted.";
    if (!IsSafeGroupName(name) || name.size() > kMaxGroupName)
        return "Invalid group name.\n Add Aborted.";
    for (char c : name)
        if (c == ' ' || c == '\t' || c == '[' || c == ']' || c == '\\')
            return "Invalid group name.\n Add Aborted.";
    // The group index keeps its list and the group-page scratch list in
    // sections of these names; a group of the same name would overwrite them.
    if (EqualsNoCase(name, "Groups") || EqualsNoCase(name, "wkgroups"))
        return "Invalid group name.\n Add Aborted.";
    return std::nullopt;
}

std::string SafeArticleName(std::string_view id) {
    const bool keep = !id.empty() && id != "." && id != ".." && id.front() != '.' &&
                      id.front() != '%' && !id.starts_with("NEWS") && !id.starts_with("RAW") &&
                      id.find('/') == std::string_view::npos &&
                      id.find('\0') == std::string_view::npos;
    std::string out;
    if (keep) {
        out.assign(id);
    } else {
        out = "%";
        for (char c : id) {
            if (c == '%')
                out += "%25";
            else if (c == '/')
                out += "%2F";
            else if (c == '\0')
                out += "%00";
            else
                out += c;
        }
    }
    if (out.size() > kMaxFileName) return {};
    return out;
}

std::string GroupKey(long n) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "G%05ld", n);
    return buf;
}

std::string IndexFileName(long number) { return NumberedName("NEWS", number); }
std::string RawFileName(long number) { return NumberedName("RAW", number); }

std::string PostWorkName(long number) { return "." + NumberedName("qvpost-", number) + ".tmp"; }

std::optional<long> ParseIndexFileName(std::string_view name) {
    if (name.size() != 14 || !name.starts_with("NEWS")) return std::nullopt;
    long long n = 0;
    for (char c : name.substr(4)) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    if (n > kMaxArticleNumber) return std::nullopt;
    return static_cast<long>(n);
}

std::optional<std::string> GroupDirectory(const std::string& newsDir, std::string_view group) {
    if (!IsSafeGroupName(group)) return std::nullopt;
    return newsDir + std::string(group);
}

}  // namespace store
