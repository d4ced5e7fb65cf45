#include "store/Subscription.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <unordered_set>

#include "core/File.h"
#include "core/Text.h"
#include "settings/Profile.h"
#include "settings/Setup.h"
#include "store/StoreNames.h"

namespace store {
namespace {

// Flag, ten-character number field, blank.
constexpr std::size_t kNameOffset = 12;
// A record this short holds a name of fewer than 4 characters (or none) and
// ends the fetch's walk.
constexpr std::size_t kShortestRecord = 15;
constexpr std::size_t kMaxRecord = kNameOffset + kMaxSubscribedGroupName;

using text::EqualsNoCase;

bool LessNoCase(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) <
               std::tolower(static_cast<unsigned char>(y));
    });
}

bool AllDigits(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The number field's value: -N for "*" and nine digits, the number for ten
// digits; nullopt for anything else or a value beyond 32 bits.
std::optional<long> ParseNumberField(std::string_view field) {
    if (field.size() != 10) return std::nullopt;
    const bool last = field[0] == '*';
    const std::string_view digits = last ? field.substr(1) : field;
    if (!AllDigits(digits)) return std::nullopt;
    const long long v = std::strtoll(std::string(digits).c_str(), nullptr, 10);
    if (v > kMaxArticleNumber) return std::nullopt;
    return last ? -static_cast<long>(v) : static_cast<long>(v);
}

// A name that can stand in a record and in a GROUP command.
bool UsableGroupName(std::string_view name) {
    return name.size() >= 4 && name.size() <= kMaxSubscribedGroupName && IsSafeGroupName(name) &&
           name.find_first_of(" \t") == std::string_view::npos;
}

// Lines without their ends; CR LF, LF and a lone CR each end a line.
std::vector<std::string> SplitLines(std::string_view data) {
    std::vector<std::string> lines;
    std::size_t i = 0;
    while (i < data.size()) {
        const std::size_t end = data.find_first_of("\r\n", i);
        if (end == std::string_view::npos) {
            lines.emplace_back(data.substr(i));
            break;
        }
        lines.emplace_back(data.substr(i, end - i));
        i = end + 1;
        if (data[end] == '\r' && i < data.size() && data[i] == '\n') ++i;
    }
    return lines;
}

std::optional<std::vector<std::string>> ReadLines(const std::string& path) {
    auto data = files::ReadWholeFile(path);
    if (!data) return std::nullopt;
    return SplitLines(*data);
}

using files::WriteAll;

using files::DirectoryOf;

void SortNoCase(std::vector<std::string>& v) { std::sort(v.begin(), v.end(), LessNoCase); }

bool ContainsNoCase(const std::vector<std::string>& v, std::string_view s) {
    return std::any_of(v.begin(), v.end(),
                       [&](const std::string& e) { return EqualsNoCase(e, s); });
}

}  // namespace

RecordRead ReadSubscriptionRecord(const std::string& path, long offset) {
    RecordRead out;
    if (offset < 0) return out;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;  // a missing file reads as its end

    // One read covers any usable record; only an overlong one needs more to
    // find where the next record begins.
    std::string text;
    long pos = offset;
    long next = offset;
    char buf[512];
    for (;;) {
        const ssize_t n = ::pread(fd, buf, sizeof buf, pos);
        if (n <= 0) {
            next = pos;
            break;
        }
        const std::string_view chunk(buf, static_cast<std::size_t>(n));
        const std::size_t end = chunk.find_first_of("\r\n");
        if (end == std::string_view::npos) {
            if (text.size() <= kMaxRecord)
                text.append(chunk.substr(0, kMaxRecord + 1 - text.size()));
            pos += n;
            continue;
        }
        if (text.size() <= kMaxRecord)
            text.append(chunk.substr(0, std::min(end, kMaxRecord + 1 - text.size())));
        next = pos + static_cast<long>(end) + 1;
        if (chunk[end] == '\r') {
            char lf = 0;
            if (end + 1 < chunk.size())
                lf = chunk[end + 1];
            else if (::pread(fd, &lf, 1, next) != 1)
                lf = 0;
            if (lf == '\n') ++next;
        }
        break;
    }
    ::close(fd);

    if (text.size() <= kShortestRecord) return out;  // End
    out.record.offset = offset;
    out.record.next = next;
    out.status = RecordStatus::Unusable;
    if (text.size() > kMaxRecord) {
        out.problem = "record longer than " + std::to_string(kMaxRecord) + " characters";
        return out;
    }
    const std::optional<long> start = ParseNumberField(std::string_view(text).substr(1, 10));
    if (text[11] != ' ' || !start) {
        out.problem = "garbled number field: " + text.substr(0, kNameOffset);
        return out;
    }
    std::string group = text.substr(kNameOffset);
    if (!UsableGroupName(group)) {
        out.problem = "unusable group name: " + group;
        return out;
    }
    out.status = RecordStatus::Ok;
    out.record.group = std::move(group);
    out.record.start = *start;
    return out;
}

bool WriteSubscriptionNumber(const std::string& path, long recordOffset, long lastSeen) {
    if (recordOffset < 0 || lastSeen < 0 || lastSeen > kMaxArticleNumber) return false;
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    char head[kNameOffset];
    bool ok = ::pread(fd, head, sizeof head, recordOffset) == static_cast<ssize_t>(sizeof head) &&
              head[11] == ' ' && ParseNumberField(std::string_view(head + 1, 10)).has_value();
    if (ok) {
        char field[16];
        std::snprintf(field, sizeof field, "%010ld", lastSeen);
        ok = ::pwrite(fd, field, 10, recordOffset + 1) == 10;
    }
    ::close(fd);
    return ok;
}

std::string SubscriptionLine(std::string_view group, long retrieve) {
    char field[24];
    if (retrieve > 0)
        std::snprintf(field, sizeof field, "Y*%09ld ", std::min(retrieve, 999999999L));
    else
        std::snprintf(field, sizeof field, "Y0000000000 ");
    std::string line(field);
    line.append(group);
    line.append("\r\n");
    return line;
}

bool AppendSubscription(const std::string& path, std::string_view group, long retrieve) {
    if (!UsableGroupName(group)) return false;
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::string line = SubscriptionLine(group, retrieve);
    // A file edited by hand may lack the last line end; without one the new
    // record would run into the last old one.
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        char last = 0;
        if (::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n' && last != '\r')
            line.insert(0, "\r\n");
    }
    const bool ok = WriteAll(fd, line);
    return ::close(fd) == 0 && ok;
}

bool RemoveSubscription(const std::string& path, std::string_view group, bool ignoreCase) {
    const auto lines = ReadLines(path);
    if (!lines) return ::access(path.c_str(), F_OK) != 0;  // missing: nothing to remove
    std::string out;
    for (const std::string& line : *lines) {
        if (line.size() > kNameOffset) {
            const std::string_view name = std::string_view(line).substr(kNameOffset);
            if (ignoreCase ? EqualsNoCase(name, group) : name == group) continue;
        }
        out += line;
        out += "\r\n";
    }
    std::string tmp = DirectoryOf(path) + "QVEXXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0) return false;
    bool ok = WriteAll(fd, out);
    ok = ::close(fd) == 0 && ok;
    if (ok) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) ::chmod(tmp.c_str(), st.st_mode & 07777);
        ok = std::rename(tmp.c_str(), path.c_str()) == 0;
    }
    if (!ok) ::unlink(tmp.c_str());
    return ok;
}

std::vector<std::string> SubscribedGroups(const std::string& path) {
    std::vector<std::string> groups;
    const auto lines = ReadLines(path);
    if (!lines) return groups;
    for (const std::string& line : *lines) {
        if (line.size() < 5) break;
        if (line.size() > kNameOffset) groups.push_back(line.substr(kNameOffset));
    }
    return groups;
}

std::string StripToPeriod(std::string_view text) {
    return std::string(text.substr(0, text.find_first_of(". ")));
}

std::string StripToSpace(std::string_view text) {
    return std::string(text.substr(0, text.find(' ')));
}

FeedServer ReadFeedServer(const Setup& setup) {
    const std::string& ini = setup.IniPath();
    return FeedServer{profile::GetString(ini, "Newsfeed01", "name", "?", 254),
                      profile::GetString(ini, "Newsfeed01", "port", "?", 8)};
}

bool WriteFeedServer(const Setup& setup, const FeedServer& server) {
    const std::string& ini = setup.IniPath();
    const bool named = profile::WriteString(ini, "Newsfeed01", "name", server.name);
    return profile::WriteString(ini, "Newsfeed01", "port", server.port) && named;
}

SubscriptionPage::SubscriptionPage(std::string newsDir, std::string allGroupFile,
                                   std::string subGroupFile)
    : newsDir_(std::move(newsDir)),
      allGroupFile_(std::move(allGroupFile)),
      subGroupFile_(std::move(subGroupFile)) {}

SubscriptionPage SubscriptionPage::FromSetup(const Setup& setup) {
    const std::string& ini = setup.IniPath();
    std::string news = profile::GetString(ini, "admin", "Newspath", "?", 255);
    if (!news.empty() && news[0] != '?' && news.back() != '/') news += '/';
    return SubscriptionPage(std::move(news),
                            profile::GetString(ini, "Newsfeed01", "allgroupfile", "?", 255),
                            profile::GetString(ini, "Newsfeed01", "subgroupfile", "?", 255));
}

bool SubscriptionPage::GroupFileConfigured() const {
    return !allGroupFile_.empty() && allGroupFile_[0] != '?' &&
           allGroupFile_.find_first_not_of(' ') != std::string::npos;
}

std::optional<std::vector<std::string>> SubscriptionPage::MsgLoadCat() const {
    GroupListScan scan = GroupListScan::Categories(*this);
    if (scan.Finish() != GroupListScan::Status::Done) return std::nullopt;
    return scan.CategoryList();
}

SubscriptionPage::CategoryGroups SubscriptionPage::CategoryClick(std::string_view category) const {
    GroupListScan scan = GroupListScan::Category(*this, category);
    scan.Finish();
    return CategoryGroups{scan.Subscribed(), scan.Unsubscribed()};
}

bool SubscriptionPage::FeedSessionRunning() const {
    const std::string lock = newsDir_ + std::string(kLockFileName);
    const int fd = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

SubscriptionPage::Change SubscriptionPage::UnsubClick(std::string_view group,
                                                      std::string_view retrieve) const {
    if (FeedSessionRunning()) return Change::Locked;
    if (!UsableGroupName(group)) return Change::BadName;
    if (ContainsNoCase(SubscribedGroups(SubscriptionPath()), group)) return Change::Done;
    // "all", and any text that does not begin with digits, asks for everything.
    long n = 0;
    for (char c : retrieve) {
        if (c < '0' || c > '9') break;
        n = std::min(n * 10 + (c - '0'), 999999999L);
    }
    return AppendSubscription(SubscriptionPath(), group, n) ? Change::Done : Change::Failed;
}

SubscriptionPage::Change SubscriptionPage::SubClick(std::string_view group) const {
    if (FeedSessionRunning()) return Change::Locked;
    return RemoveSubscription(SubscriptionPath(), group, true) ? Change::Done : Change::Failed;
}

std::optional<std::size_t> SubscriptionPage::CmSearch(const std::vector<std::string>& entries,
                                                      long after, std::string_view needle) {
    const std::size_t from = after < 0 ? 0 : static_cast<std::size_t>(after) + 1;
    for (std::size_t i = from; i < entries.size(); ++i)
        if (entries[i].find(needle) != std::string::npos) return i;
    return std::nullopt;
}

struct GroupListScan::Seen {
    std::unordered_set<std::string> names;
    // false: the name was listed already.
    bool Add(std::string_view name) {
        std::string key(name);
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return names.insert(std::move(key)).second;
    }
};

GroupListScan::GroupListScan(Kind kind, std::string category)
    : kind_(kind), category_(std::move(category)), seen_(std::make_unique<Seen>()) {}
GroupListScan::GroupListScan(GroupListScan&&) noexcept = default;
GroupListScan& GroupListScan::operator=(GroupListScan&&) noexcept = default;
GroupListScan::~GroupListScan() = default;

GroupListScan GroupListScan::Categories(const SubscriptionPage& page) {
    GroupListScan scan(Kind::Categories, {});
    scan.Open(page);
    return scan;
}

GroupListScan GroupListScan::Category(const SubscriptionPage& page, std::string_view category) {
    GroupListScan scan(Kind::Category, std::string(category));
    for (std::string& name : SubscribedGroups(page.SubscriptionPath()))
        if (StripToPeriod(name) == category) {
            scan.seen_->Add(name);
            scan.subscribed_.push_back(std::move(name));
        }
    scan.Open(page);
    // Without a group list the category still shows what is subscribed.
    if (scan.status_ != Status::Running) scan.Complete();
    return scan;
}

GroupListScan GroupListScan::Search(const SubscriptionPage& page, std::string_view needle) {
    GroupListScan scan(Kind::Search, std::string(needle));
    for (const std::string& name : SubscribedGroups(page.SubscriptionPath())) scan.seen_->Add(name);
    scan.Open(page);
    return scan;
}

void GroupListScan::Open(const SubscriptionPage& page) {
    if (!page.GroupFileConfigured()) {
        status_ = Status::NotConfigured;
        return;
    }
    file_.reset(std::fopen(page.AllGroupsPath().c_str(), "rb"));
    if (!file_) status_ = Status::Unreadable;
}

GroupListScan::Status GroupListScan::Step(std::size_t maxLines) {
    if (status_ != Status::Running) return status_;
    char* buf = nullptr;
    std::size_t cap = 0;
    for (std::size_t n = 0; n < maxLines; ++n) {
        const ssize_t got = ::getline(&buf, &cap, file_.get());
        if (got <= 0) {
            Complete();
            break;
        }
        std::string_view line(buf, static_cast<std::size_t>(got));
        if (line.ends_with('\n')) line.remove_suffix(1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        // The first line is the reply's status line; the "." line (the
        // first one shorter than 5 characters) ends the list.
        if (lines_++ == 0) continue;
        if (line.size() < 5) {
            Complete();
            break;
        }
        Take(line);
    }
    std::free(buf);
    return status_;
}

GroupListScan::Status GroupListScan::Finish() {
    while (Step(4096) == Status::Running) {}
    return status_;
}

void GroupListScan::Take(std::string_view line) {
    if (kind_ == Kind::Categories) {
        std::string category = StripToPeriod(line);
        if (seen_->Add(category)) categories_.push_back(std::move(category));
        return;
    }
    if (kind_ == Kind::Search) {
        std::string name = StripToSpace(line);
        if (name.find(category_) != std::string::npos && seen_->Add(name))
            unsubscribed_.push_back(std::move(name));
        return;
    }
    if (StripToPeriod(line) != category_) return;
    std::string name = StripToSpace(line);
    if (seen_->Add(name)) unsubscribed_.push_back(std::move(name));
}

void GroupListScan::Complete() {
    file_.reset();
    if (status_ == Status::Running) status_ = Status::Done;
    SortNoCase(categories_);
    SortNoCase(subscribed_);
    SortNoCase(unsubscribed_);
    seen_->names.clear();
}

}  // namespace store
