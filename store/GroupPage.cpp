#include "store/GroupPage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/File.h"
#include "core/Text.h"
#include "settings/Profile.h"
#include "settings/Setup.h"
#include "store/DirList.h"
#include "store/GroupIndex.h"
#include "store/PostQueue.h"
#include "store/StoreNames.h"

namespace store {
namespace {

const PageMessage kLocked{"Operation Unsuccessful",
                          "Modification are not allowed while a server session is in progress."};
const PageMessage kConfirmDelete{
    "Delete Group", "Are you sure you want to remove this group and all of its articles?"};
const PageMessage kRemoved{"Operation Complete", "Newsgroup has been removed."};
const PageMessage kExists{"ERROR", "Group already exists.\n Add Aborted."};
const PageMessage kNoDirectory{"ERROR", "The group directory could not be created.\n Add Aborted."};
const PageMessage kIndexWriteFailed{"ERROR", "The group index newsrc.ini could not be written."};
const PageMessage kNoSuchGroup{"ERROR", "The group does not exist."};
const PageMessage kNoNewsDirectory{"ERROR", "The news directory is not configured."};
const PageMessage kSettingsWriteFailed{"ERROR", "The settings file could not be written."};
const PageMessage kSubscriptionFailed{
    "Error", "Newsgroup has been removed, but the subscription file could not be rewritten."};

// The index spells these keys so; case does not matter to the reader.
constexpr std::string_view kLimitKeys[] = {"ExpireAge", "ExpireSize", "ExpireCondAge",
                                           "ExpireCondSize"};

using text::TrimBlanks;

bool WriteWhole(const std::string& path, std::string_view data, mode_t mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return false;
    const bool ok = files::WriteAll(fd, data) && ::fsync(fd) == 0;
    return ::close(fd) == 0 && ok;
}

// Deletes the plain files of a group directory and then the directory.
// Anything else in it (a subdirectory someone put there) is left, and so is
// the directory then.
void RemoveGroupDirectory(const std::string& dir) {
    if (const auto names = ListFileNames(dir))
        for (const std::string& name : *names) ::unlink((dir + "/").append(name).c_str());
    ::rmdir(dir.c_str());
}

}  // namespace

gePacket::gePacket(std::string ageDefault, std::string sizeDefault, std::string condAgeDefault,
                   std::string condSizeDefault)
    : defAge(std::move(ageDefault)),
      defSize(std::move(sizeDefault)),
      defCondAge(std::move(condAgeDefault)),
      defCondSize(std::move(condSizeDefault)),
      age(defAge),
      size(defSize),
      condAge(defCondAge),
      condSize(defCondSize) {}

gePacket PacketFromSetup(const Setup& setup) {
    return gePacket(setup.GetExpireAge(), setup.GetExpireSize(), setup.GetExpireCondAge(),
                    setup.GetExpireCondSize());
}

GroupPage GroupPage::FromSetup(const Setup& setup) {
    return GroupPage(setup.GetNewsDirectory(),
                     profile::GetString(setup.IniPath(), "Newsfeed01", "subgroupfile", "?"),
                     PacketFromSetup(setup));
}

std::optional<PageMessage> GroupPage::Apply(Setup& setup) const {
    const bool ok = setup.SetExpireAge(packet_.defAge) && setup.SetExpireSize(packet_.defSize) &&
                    setup.SetExpireCondAge(packet_.defCondAge) &&
                    setup.SetExpireCondSize(packet_.defCondSize);
    if (!ok) return kSettingsWriteFailed;
    return std::nullopt;
}

bool GroupPage::HaveNewsDirectory() const {
    return !newsDir_.empty() && !newsDir_.starts_with('!');
}

GroupPage::GroupPage(std::string newsDir, std::string subscriptionFile, gePacket packet)
    : newsDir_(std::move(newsDir)),
      subscriptionFile_(std::move(subscriptionFile)),
      packet_(std::move(packet)) {}

void GroupPage::LoadGroups() {
    packet_.groups.clear();
    if (HaveNewsDirectory()) packet_.groups = GroupIndex(newsDir_).ListGroups();
}

bool GroupPage::ShowGroup(std::string_view group) {
    if (group.empty()) return false;
    const GroupIndex index(newsDir_);
    const bool exists = HaveNewsDirectory() && index.GroupExists(group);
    std::string* const texts[] = {&packet_.age, &packet_.size, &packet_.condAge, &packet_.condSize};
    const std::string* const defaults[] = {&packet_.defAge, &packet_.defSize, &packet_.defCondAge,
                                           &packet_.defCondSize};
    for (std::size_t i = 0; i < 4; ++i) {
        std::string value =
            exists ? profile::GetString(index.IndexPath(), group, kLimitKeys[i], "*", 10) : "*";
        if (value.starts_with('*'))
            *texts[i] = *defaults[i];
        else
            *texts[i] = std::move(value);
    }
    const auto info = exists ? index.ReadGroup(group) : std::nullopt;
    packet_.allowPost = info && info->allowPost;
    packet_.local = info && info->local;
    return exists;
}

bool GroupPage::LimitsDiffer() const {
    return packet_.age != packet_.defAge || packet_.size != packet_.defSize ||
           packet_.condAge != packet_.defCondAge || packet_.condSize != packet_.defCondSize;
}

std::optional<std::string> GroupPage::LimitProblem(std::string_view what, std::string_view value) {
    // The edits take nine characters; a text that is no number would read
    // as 0 and expire every article.
    if (text::DecimalIn(value, 0, 999999999) >= 0) return std::nullopt;
    return std::string(what) + " must be a number of at most nine digits.";
}

bool GroupPage::HasOwnLimits(std::string_view group) const {
    const GroupIndex index(newsDir_);
    return !profile::GetString(index.IndexPath(), group, "ExpireAge", "*", 10).starts_with('*');
}

bool GroupPage::WriteLimits(std::string_view group) const {
    const GroupIndex index(newsDir_);
    const std::string* const texts[] = {&packet_.age, &packet_.size, &packet_.condAge,
                                        &packet_.condSize};
    for (std::size_t i = 0; i < 4; ++i)
        if (!profile::WriteString(index.IndexPath(), group, kLimitKeys[i], *texts[i])) return false;
    return true;
}

std::optional<PageMessage> GroupPage::SaveGroup(std::string_view group) {
    if (group.empty()) return std::nullopt;
    if (!HaveNewsDirectory()) return kNoNewsDirectory;
    const GroupIndex index(newsDir_);
    // Writing to a name without a section would make a half group that
    // readers and the feed take for a real one.
    if (!index.GroupExists(group)) return kNoSuchGroup;
    if ((HasOwnLimits(group) || LimitsDiffer()) && !WriteLimits(group)) return kIndexWriteFailed;
    if (!profile::WriteString(index.IndexPath(), group, "AllowPost",
                              packet_.allowPost ? "Yes" : "No"))
        return kIndexWriteFailed;
    return std::nullopt;
}

std::optional<PageMessage> GroupPage::AddGroup() {
    const std::string name(TrimBlanks(packet_.newGroup));
    packet_.newGroup.clear();
    if (!HaveNewsDirectory()) return kNoNewsDirectory;
    if (auto problem = NewGroupNameProblem(name)) return PageMessage{"ERROR", *problem};

    GroupIndex index(newsDir_);
    if (index.GroupExists(name)) return kExists;
    if (!index.MakeGroupDirectory(name)) return kNoDirectory;
    if (!index.CreateGroup(name, /*local=*/true, packet_.allowPost)) return kIndexWriteFailed;
    packet_.groups.push_back(name);
    // A new group has no limits of its own yet, so only a difference from
    // the defaults is worth writing.
    if (LimitsDiffer() && !WriteLimits(name)) return kIndexWriteFailed;
    return std::nullopt;
}

std::optional<PageMessage> GroupPage::DelGroup(std::string_view group, const AskYesNo& ask) {
    if (!HaveNewsDirectory()) return kNoNewsDirectory;
    if (IsFeedLocked(newsDir_)) return kLocked;
    if (group.empty()) return std::nullopt;
    if (!ask || !ask(kConfirmDelete)) return std::nullopt;

    // Keep a copy: the name may point into the list we are about to change.
    const std::string name(group);
    GroupIndex index(newsDir_);
    if (!index.RemoveGroup(name)) return kIndexWriteFailed;

    bool subscriptionOk = true;
    if (!subscriptionFile_.empty() && !subscriptionFile_.starts_with('?'))
        subscriptionOk = RemoveSubscriptionRecords(
            newsDir_ + subscriptionFile_, newsDir_ + std::string(kSubscriptionWorkName), name);

    // A listed name that could leave the news directory is dropped from the
    // index but never becomes a path.
    if (const auto dir = GroupDirectory(newsDir_, name)) RemoveGroupDirectory(*dir);

    std::erase(packet_.groups, name);
    return subscriptionOk ? kRemoved : kSubscriptionFailed;
}

bool RemoveSubscriptionRecords(const std::string& subscriptionPath, const std::string& workPath,
                               std::string_view group) {
    const std::optional<std::string> read = files::ReadWholeFile(subscriptionPath);
    if (!read) return errno == ENOENT;
    const std::string& data = *read;

    std::string kept;
    kept.reserve(data.size());
    bool removed = false;
    std::size_t pos = 0;
    while (pos < data.size()) {
        const std::size_t lf = data.find('\n', pos);
        const std::size_t end = lf == std::string::npos ? data.size() : lf + 1;
        const std::string_view line(data.data() + pos, end - pos);
        std::string_view text = line;
        if (text.ends_with('\n')) text.remove_suffix(1);
        if (text.ends_with('\r')) text.remove_suffix(1);
        if (text.size() > 12 && text.substr(12) == group)
            removed = true;
        else
            kept.append(line);
        pos = end;
    }
    if (!removed) return true;

    struct stat st {};
    const mode_t mode = ::stat(subscriptionPath.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0666;
    // The rename replaces the file in one step: the fetch never finds it
    // missing or half written.
    if (!WriteWhole(workPath, kept, mode) ||
        ::rename(workPath.c_str(), subscriptionPath.c_str()) != 0) {
        ::unlink(workPath.c_str());
        return false;
    }
    return true;
}

}  // namespace store
