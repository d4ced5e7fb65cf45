#include "store/GroupIndex.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "core/Text.h"
#include "settings/Profile.h"
#include "store/DirList.h"
#include "store/StoreNames.h"

namespace store {
namespace {

// "G%05d" keys cannot go past five digits; a larger "Total" comes from a
// damaged file and would otherwise make every listing crawl.
constexpr long kMaxGroups = 99999;

bool BeginsWithY(const std::string& v) { return !v.empty() && (v[0] == 'Y' || v[0] == 'y'); }

using text::EqualsNoCase;

long ClampedTotal(const profile::Snapshot& index) {
    const long total = index.GetInt("Groups", "Total", 0);
    if (total < 0) return 0;
    return total > kMaxGroups ? kMaxGroups : total;
}

bool ExistsIn(const profile::Snapshot& index, std::string_view group) {
    return IsSafeGroupName(group) && !index.GetString(group, "AddDate", "!", 10).starts_with('!');
}

std::string IdentityIn(const profile::Snapshot& index, std::string_view group) {
    if (!ExistsIn(index, group)) return {};
    return index.GetString(group, "AddDate", "", 10) + "/" +
           index.GetString(group, "AddTime", "", 10);
}

GroupInfo InfoIn(const profile::Snapshot& index, std::string_view group) {
    GroupInfo info;
    info.low = index.GetInt(group, "Low", 0);
    info.high = index.GetInt(group, "High", 0);
    info.allowPost = BeginsWithY(index.GetString(group, "AllowPost", "N"));
    info.local = BeginsWithY(index.GetString(group, "Local", "N"));
    return info;
}

std::string Lowered(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = text::LowerAscii(c);
    return out;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::tm LocalNow() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    return tm;
}

}  // namespace

std::string IndexDateNow() {
    const std::tm tm = LocalNow();
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return buf;
}

std::string IndexTimeNow() {
    const std::tm tm = LocalNow();
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d%02d%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

GroupIndex::GroupIndex(std::string newsDir)
    : newsDir_(std::move(newsDir)), indexPath_(newsDir_ + std::string(kGroupIndexName)) {}

std::vector<std::string> GroupIndex::ListGroups() const {
    const profile::Snapshot index(indexPath_);
    std::vector<std::string> groups;
    const long total = ClampedTotal(index);
    for (long i = 1; i <= total; ++i) {
        std::string name = index.GetString("Groups", GroupKey(i), "");
        if (!name.empty()) groups.push_back(std::move(name));
    }
    return groups;
}

const GroupEntry* GroupTable::Find(std::string_view name) const {
    const auto it = byName_.find(Lowered(name));
    return it == byName_.end() ? nullptr : &groups_[it->second];
}

GroupTable GroupIndex::ReadTable() const {
    const profile::Snapshot index(indexPath_);
    GroupTable table;
    const long total = ClampedTotal(index);
    for (long i = 1; i <= total; ++i) {
        std::string name = index.GetString("Groups", GroupKey(i), "");
        if (name.empty() || !ExistsIn(index, name)) continue;
        if (!table.byName_.emplace(Lowered(name), table.groups_.size()).second) continue;
        GroupEntry e;
        e.info = InfoIn(index, name);
        e.addDate = index.GetString(name, "AddDate", " ", 10);
        e.addTime = index.GetString(name, "AddTime", " ", 10);
        e.description = index.GetString(name, "Description", "", 1024);
        e.name = std::move(name);
        table.groups_.push_back(std::move(e));
    }
    return table;
}

bool GroupIndex::GroupExists(std::string_view group) const {
    return ExistsIn(profile::Snapshot(indexPath_), group);
}

std::string GroupIndex::Identity(std::string_view group) const {
    return IdentityIn(profile::Snapshot(indexPath_), group);
}

std::optional<GroupInfo> GroupIndex::ReadGroup(std::string_view group) const {
    const profile::Snapshot index(indexPath_);
    if (!ExistsIn(index, group)) return std::nullopt;
    return InfoIn(index, group);
}

bool GroupIndex::CreateGroup(std::string_view group, bool local, bool allowPost) {
    if (NewGroupNameProblem(group)) return false;
    const profile::Snapshot index(indexPath_);
    if (ExistsIn(index, group)) return false;
    const std::string date = IndexDateNow();
    const std::string time = IndexTimeNow();
    // A section without "AddDate" is no group: what it holds goes, and the
    // group starts afresh. Section and list entry are one rewrite.
    std::vector<profile::Change> changes = {
        {group, std::nullopt, std::nullopt},
        {group, "Local", local ? "Yes" : "No"},
        {group, "AllowPost", allowPost ? "Yes" : "No"},
        {group, "Low", "1"},
        {group, "High", "1"},
        {group, "addtime", time},
        {group, "Adddate", date},
    };
    // A list entry left by an interrupted earlier attempt is reused.
    bool listed = false;
    const long total = ClampedTotal(index);
    for (long i = 1; i <= total && !listed; ++i)
        listed = EqualsNoCase(index.GetString("Groups", GroupKey(i), ""), group);
    const std::string key = GroupKey(total + 1);
    const std::string count = std::to_string(total + 1);
    if (!listed) {
        if (total + 1 > kMaxGroups) return false;
        changes.push_back({"Groups", key, group});
        changes.push_back({"Groups", "Total", count});
    }
    return profile::WriteBatch(indexPath_, changes);
}

std::string GroupIndex::GetDescription(std::string_view group) const {
    const profile::Snapshot index(indexPath_);
    if (!ExistsIn(index, group)) return {};
    return index.GetString(group, "Description", "", 1024);
}

bool GroupIndex::SetDescription(std::string_view group, std::string_view text) {
    if (!GroupExists(group)) return false;
    std::string line(text);
    for (char& c : line)
        if (c == '\r' || c == '\n' || c == '\t') c = ' ';
    return profile::WriteString(indexPath_, group, "Description", line);
}

bool GroupIndex::MakeGroupDirectory(std::string_view group) const {
    const auto dir = GroupDirectory(newsDir_, group);
    if (!dir) return false;
    if (::mkdir(dir->c_str(), 0777) == 0) return true;
    struct stat st {};
    return errno == EEXIST && ::stat(dir->c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool GroupIndex::SetHigh(std::string_view group, long high) {
    const profile::Snapshot index(indexPath_);
    if (!ExistsIn(index, group)) return false;
    if (high <= index.GetInt(group, "High", 0)) return true;
    return profile::WriteString(indexPath_, group, "High", std::to_string(high));
}

bool GroupIndex::SetLow(std::string_view group, long low) {
    if (!GroupExists(group)) return false;
    return profile::WriteString(indexPath_, group, "Low", std::to_string(low));
}

bool GroupIndex::SetLows(const std::vector<LowUpdate>& updates) {
    const profile::Snapshot index(indexPath_);
    std::vector<std::string> values;
    values.reserve(updates.size());
    std::vector<profile::Change> changes;
    for (const LowUpdate& u : updates) {
        if (u.identity.empty() || IdentityIn(index, u.group) != u.identity) continue;
        values.push_back(std::to_string(u.low));
        changes.push_back({u.group, "Low", values.back()});
    }
    // values was reserved whole, so the views into it stay valid.
    return changes.empty() || profile::WriteBatch(indexPath_, changes);
}

bool GroupIndex::RemoveGroup(std::string_view group) {
    if (group.empty()) return false;
    const profile::Snapshot index(indexPath_);
    const long total = ClampedTotal(index);
    // The list closes up: entry i moves to k <= i. Replacing existing keys
    // comes first, since that keeps the rewrite linear; the keys past the
    // new end and the sections go after. Missing entries are dropped with
    // the name.
    std::vector<std::string> kept;
    std::vector<std::string> keys;
    kept.reserve(static_cast<std::size_t>(total));
    keys.reserve(static_cast<std::size_t>(total) + 1);
    for (long i = 1; i <= total; ++i) {
        std::string name = index.GetString("Groups", GroupKey(i), "");
        if (!name.empty() && name != group) kept.push_back(std::move(name));
    }
    const long k = static_cast<long>(kept.size());
    for (long i = 1; i <= total; ++i) keys.push_back(GroupKey(i));
    const std::string count = std::to_string(k);
    std::vector<profile::Change> changes;
    changes.reserve(static_cast<std::size_t>(total) + 4);
    for (long i = 1; i <= k; ++i)
        if (index.GetString("Groups", keys[static_cast<std::size_t>(i - 1)], "") !=
            kept[static_cast<std::size_t>(i - 1)])
            changes.push_back({"Groups", keys[static_cast<std::size_t>(i - 1)],
                               kept[static_cast<std::size_t>(i - 1)]});
    changes.push_back({"Groups", "Total", count});
    for (long i = k + 1; i <= total; ++i)
        changes.push_back({"Groups", keys[static_cast<std::size_t>(i - 1)], std::nullopt});
    // A scratch list left by an older program would otherwise stay forever.
    if (!index.KeyNames("wkgroups").empty())
        changes.push_back({"wkgroups", std::nullopt, std::nullopt});
    // A name such as "Groups" would take the list with it, and one that
    // cannot be a section name has no section.
    if (!EqualsNoCase(group, "Groups") && group.find_first_of("]\r\n") == std::string_view::npos)
        changes.push_back({group, std::nullopt, std::nullopt});
    return profile::WriteBatch(indexPath_, changes);
}

std::optional<std::vector<long>> GroupIndex::ListArticles(std::string_view group) const {
    const auto dir = GroupDirectory(newsDir_, group);
    if (!dir) return std::nullopt;
    auto names = ListFileNames(*dir);
    if (!names) return std::nullopt;
    std::vector<long> numbers;
    for (const std::string& name : *names)  // sorted names: ascending numbers
        if (auto n = ParseIndexFileName(name)) numbers.push_back(*n);
    return numbers;
}

std::optional<std::string> GroupIndex::IndexFilePath(std::string_view group, long number) const {
    if (number < 1 || number > kMaxArticleNumber) return std::nullopt;
    const auto dir = GroupDirectory(newsDir_, group);
    if (!dir) return std::nullopt;
    return *dir + "/" + IndexFileName(number);
}

std::optional<std::string> GroupIndex::ContentPathFor(std::string_view group,
                                                      std::string_view messageId) const {
    const auto dir = GroupDirectory(newsDir_, group);
    const std::string name = SafeArticleName(messageId);
    if (!dir || name.empty()) return std::nullopt;
    return *dir + "/" + name;
}

bool GroupIndex::ArticleExists(std::string_view group, long number) const {
    const auto path = IndexFilePath(group, number);
    return path && FileExists(*path);
}

ArticleLookup GroupIndex::ResolveArticle(std::string_view group, long number) const {
    ArticleLookup result;
    const auto path = IndexFilePath(group, number);
    if (!path) return result;
    const int fd =
        ::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // a FIFO must not stall us
    if (fd < 0) {
        result.status =
            errno == ENOENT ? ArticleStatus::kNoSuchArticle : ArticleStatus::kUnreadable;
        return result;
    }
    // The line is a path: readers take at most 511 characters of it.
    char buf[512];
    std::size_t got = 0;
    bool failed = false;
    while (got < sizeof buf) {
        const ssize_t n = ::read(fd, buf + got, sizeof buf - got);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            failed = true;
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    std::string_view line(buf, got);
    if (const auto lf = line.find('\n'); lf != std::string_view::npos) line = line.substr(0, lf);
    if (line.size() > 511) line = line.substr(0, 511);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (failed || line.empty()) {
        result.status = ArticleStatus::kUnreadable;
        return result;
    }
    result.status = ArticleStatus::kFound;
    result.contentPath.assign(line);
    return result;
}

std::optional<long> GroupIndex::NextArticleNumber(std::string_view group, long given) const {
    const profile::Snapshot index(indexPath_);
    if (!ExistsIn(index, group)) return std::nullopt;
    long n = std::max(index.GetInt(group, "High", 0), given);
    if (n < 0) n = 0;
    do {
        if (n >= kMaxArticleNumber) return std::nullopt;
        ++n;
    } while (ArticleExists(group, n));
    return n;
}

std::vector<std::pair<std::string, long>> RaiseHighsToArticles(const std::string& newsDir) {
    GroupIndex index(newsDir);
    std::vector<std::pair<std::string, long>> raised;
    const GroupTable table = index.ReadTable();
    for (const GroupEntry& e : table.Groups()) {
        const auto numbers = index.ListArticles(e.name);
        if (numbers && !numbers->empty() && numbers->back() > e.info.high)
            raised.emplace_back(e.name, numbers->back());
    }
    if (!index.RaiseHighs(raised)) raised.clear();
    return raised;
}

bool GroupIndex::RaiseHighs(const std::vector<std::pair<std::string, long>>& highs) {
    const profile::Snapshot index(indexPath_);
    std::vector<std::string> values;
    values.reserve(highs.size());
    std::vector<profile::Change> changes;
    for (const auto& [group, high] : highs) {
        if (!ExistsIn(index, group) || high <= index.GetInt(group, "High", 0)) continue;
        values.push_back(std::to_string(high));
        changes.push_back({group, "High", values.back()});
    }
    // values was reserved whole, so the views into it stay valid.
    return changes.empty() || profile::WriteBatch(indexPath_, changes);
}

bool GroupIndex::WriteArticleIndex(std::string_view group, long number,
                                   std::string_view contentPath) {
    const auto path = IndexFilePath(group, number);
    if (!path || contentPath.empty() || contentPath.find_first_of("\r\n") != std::string_view::npos)
        return false;
    // The line is written under a work name and then linked to the index
    // name, which fails when that exists: a process killed at any point
    // leaves either no index file or a whole one, never an empty one that
    // would hold its number with no article behind it. The work name starts
    // with "." so nothing takes it for an article.
    struct stat existing {};
    if (::lstat(path->c_str(), &existing) == 0) return false;
    const std::size_t slash = path->rfind('/');
    const std::string work = path->substr(0, slash + 1) + "." + path->substr(slash + 1) + ".wrk";
    const int fd = ::open(work.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    std::string line(contentPath);
    line += "\r\n";
    std::string_view rest = line;
    bool ok = true;
    while (ok && !rest.empty()) {
        const ssize_t n = ::write(fd, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            ok = false;
        else
            rest.remove_prefix(static_cast<std::size_t>(n));
    }
    if (::close(fd) != 0) ok = false;
    ok = ok && ::link(work.c_str(), path->c_str()) == 0;
    ::unlink(work.c_str());
    return ok;
}

}  // namespace store
