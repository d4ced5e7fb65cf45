#include "store/OverviewFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <system_error>

#include "core/File.h"
#include "store/StoreNames.h"

namespace store {
namespace {

constexpr std::string_view kFirstLine = "QVOVERVIEW 1\n";
constexpr std::size_t kRecordOverhead = 160;  // map node and strings

constexpr std::uint64_t kChecksumStart = 14695981039346656037ull;

std::uint64_t Checksum(std::string_view data, std::uint64_t h = kChecksumStart) {  // FNV-1a
    for (unsigned char c : data) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

std::string PathOf(const std::string& groupDir, std::string_view name) {
    return (groupDir + "/").append(name);
}

// The next TAB-ended field of line; false when there is none.
bool NextField(std::string_view& line, std::string_view& field) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) return false;
    field = line.substr(0, tab);
    line.remove_prefix(tab + 1);
    return true;
}

template <typename T>
bool NextNumber(std::string_view& line, T& value, int base = 10) {
    std::string_view f;
    if (!NextField(line, f) || f.empty()) return false;
    const auto [end, ec] = std::from_chars(f.data(), f.data() + f.size(), value, base);
    return ec == std::errc() && end == f.data() + f.size();
}

bool NextStamp(std::string_view& line, FileStamp& s) {
    return NextNumber(line, s.dev) && NextNumber(line, s.ino) && NextNumber(line, s.size) &&
           NextNumber(line, s.mtimeNs) && NextNumber(line, s.ctimeNs);
}

// One record line without its LF; false when damaged.
bool ParseRecord(std::string_view line, long& number, OverviewRecord& r) {
    std::uint64_t sum = 0;
    if (!NextNumber(line, sum, 16)) return false;
    if (Checksum("\n", Checksum(line)) != sum) return false;
    std::string_view path;
    if (!NextNumber(line, number) || number < 1 || number > kMaxArticleNumber ||
        !NextStamp(line, r.index) || !NextStamp(line, r.content) || !NextField(line, path) ||
        path.empty() || !line.ends_with('\r'))
        return false;
    r.contentPath.assign(path);
    r.fields.assign(line);
    r.fields += '\n';
    return true;
}

void AppendStamp(std::string& out, const FileStamp& s) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "%llu\t%llu\t%llu\t%llu\t%llu\t", s.dev, s.ino, s.size,
                  s.mtimeNs, s.ctimeNs);
    out += buf;
}

}  // namespace

FileStamp FileStamp::Of(const struct stat& st) {
    FileStamp s;
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.size = static_cast<unsigned long long>(st.st_size);
    s.mtimeNs = static_cast<unsigned long long>(st.st_mtim.tv_sec) * 1000000000ull +
                static_cast<unsigned long long>(st.st_mtim.tv_nsec);
    s.ctimeNs = static_cast<unsigned long long>(st.st_ctim.tv_sec) * 1000000000ull +
                static_cast<unsigned long long>(st.st_ctim.tv_nsec);
    return s;
}

std::string FormatOverviewRecord(long number, const OverviewRecord& r) {
    if (r.contentPath.empty() || r.contentPath.find_first_of("\t\r\n") != std::string::npos ||
        !r.fields.ends_with("\r\n") || r.fields.find('\n') != r.fields.size() - 1)
        return {};
    std::string body = std::to_string(number) + "\t";
    AppendStamp(body, r.index);
    AppendStamp(body, r.content);
    body += r.contentPath;
    body += '\t';
    body += r.fields;
    char sum[24];
    std::snprintf(sum, sizeof sum, "%016llx\t", static_cast<unsigned long long>(Checksum(body)));
    return sum + body;
}

OverviewFileContents ReadOverviewFile(const std::string& groupDir, std::size_t maxBytes) {
    OverviewFileContents out;
    const std::string path = PathOf(groupDir, kOverviewFileName);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return out;
    struct stat st {};
    std::string text;
    bool read = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (read) text.reserve(static_cast<std::size_t>(st.st_size) + 1);
    read = read && files::ReadAll(fd, text);
    ::close(fd);
    if (!read) return out;
    if (!std::string_view(text).starts_with(kFirstLine)) {
        // Another layout, or garbage from its first byte: made anew.
        ::unlink(path.c_str());
        return out;
    }
    std::string_view rest(text);
    rest.remove_prefix(kFirstLine.size());
    while (!rest.empty()) {
        const std::size_t lf = rest.find('\n');
        if (lf == std::string_view::npos) {  // cut off by a kill while appending
            ++out.lines;
            ++out.damaged;
            break;
        }
        const std::string_view line = rest.substr(0, lf);
        rest.remove_prefix(lf + 1);
        ++out.lines;
        long number = 0;
        OverviewRecord r;
        if (!ParseRecord(line, number, r)) {
            ++out.damaged;
            continue;
        }
        const std::size_t b = r.fields.size() + r.contentPath.size() + kRecordOverhead;
        auto [it, added] = out.records.insert_or_assign(number, std::move(r));
        (void)it;
        if (added) out.bytes += b;  // a replaced record is counted once (roughly)
        while (out.bytes > maxBytes && !out.records.empty()) {
            const auto low = out.records.begin();
            out.bytes -= std::min(out.bytes, low->second.fields.size() +
                                                 low->second.contentPath.size() + kRecordOverhead);
            out.records.erase(low);
            out.partial = true;
        }
    }
    return out;
}

bool AppendOverviewLines(const std::string& groupDir, std::string_view lines) {
    if (lines.empty()) return true;
    const std::string path = PathOf(groupDir, kOverviewFileName);
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return false;
    struct stat st {};
    std::string data;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok && st.st_size == 0) {
        data = kFirstLine;
    } else if (ok) {
        char last = '\n';
        if (::pread(fd, &last, 1, st.st_size - 1) != 1 || last != '\n') data = "\n";
    }
    data += lines;
    ok = ok && files::WriteAll(fd, data);
    return ::close(fd) == 0 && ok;
}

bool RewriteOverviewFile(const std::string& groupDir, const OverviewRecords& records) {
    std::string text(kFirstLine);
    for (const auto& [number, r] : records) text += FormatOverviewRecord(number, r);
    const std::string work = PathOf(groupDir, kOverviewWorkName);
    const int fd =
        ::open(work.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return false;
    const bool written = files::WriteAll(fd, text);
    if (::close(fd) == 0 && written &&
        ::rename(work.c_str(), PathOf(groupDir, kOverviewFileName).c_str()) == 0)
        return true;
    ::unlink(work.c_str());
    return false;
}

}  // namespace store
