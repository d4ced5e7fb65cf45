#include "store/PostQueue.h"

#include <fcntl.h>
#include <stdio.h>  // NOLINT(modernize-deprecated-headers): renameat2 is declared here
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "core/File.h"
#include "store/DirList.h"
#include "store/StoreNames.h"

namespace store {
namespace {

// Tries before giving up on a directory that is full of our names.
constexpr int kNameAttempts = 4096;

// Where a call starts numbering its names: the clock and the process, so
// that two servers (or two sessions) seldom try the same name; a name that
// exists all the same is skipped, since creation is exclusive.
std::uint32_t NameSeed() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::uint32_t>(ts.tv_nsec) ^ (static_cast<std::uint32_t>(::getpid()) << 16);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

using files::WriteAll;

// Renames without replacing what is at to: false then, and from stays.
bool RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // File systems without RENAME_NOREPLACE: one thread, so test then rename.
    if (Exists(to)) {
        errno = EEXIST;
        return false;
    }
    return ::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace

std::string PostsDirectory(const std::string& newsDir) {
    return newsDir + std::string(kPostsDirName) + "/";
}

std::optional<std::string> CreateWorkFile(const std::string& newsDir) {
    const std::string dir = PostsDirectory(newsDir);
    const std::uint32_t seed = NameSeed();
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, "QVE%X.WRK",
                      static_cast<unsigned>(seed + static_cast<std::uint32_t>(attempt)));
        const std::string path = dir + name;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return std::nullopt;  // no POSTS directory, no permission: trying more will not help
        }
        ::close(fd);
        if (!Exists(QueuePathFor(path))) return path;
        ::unlink(path.c_str());
    }
    return std::nullopt;
}

std::string QueuePathFor(std::string_view workPath) {
    std::string path(workPath);
    if (path.size() >= 3) path.replace(path.size() - 3, 3, "TMP");
    return path;
}

bool QueueWorkFile(const std::string& workPath) {
    const std::string queuePath = QueuePathFor(workPath);
    if (queuePath == workPath) return false;
    return RenameNoReplace(workPath, queuePath);
}

std::string RejectedDirectory(const std::string& newsDir) {
    return PostsDirectory(newsDir) + std::string(kRejectedDirName) + "/";
}

std::optional<std::string> RejectQueueFile(const std::string& newsDir,
                                           const std::string& queuePath) {
    const std::string dir = RejectedDirectory(newsDir);
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return std::nullopt;
    const std::size_t slash = queuePath.rfind('/');
    const std::string name = dir + queuePath.substr(slash == std::string::npos ? 0 : slash + 1);
    for (int n = 0; n < kNameAttempts; ++n) {
        const std::string to = n == 0 ? name : name + "." + std::to_string(n);
        if (RenameNoReplace(queuePath, to)) return to;
        if (errno != EEXIST) return std::nullopt;
    }
    return std::nullopt;
}

bool IsQueueFileName(std::string_view name) {
    return name.size() >= 7 && name.starts_with("QVE") && name.ends_with(".TMP");
}

std::optional<std::vector<std::string>> ListQueueFiles(const std::string& newsDir) {
    const std::string dir = PostsDirectory(newsDir);
    auto names = ListFileNames(dir);
    if (!names) return std::nullopt;
    std::vector<std::string> paths;
    for (const std::string& name : *names)
        if (IsQueueFileName(name)) paths.push_back(dir + name);
    return paths;
}

std::string LockFilePath(const std::string& newsDir) {
    return newsDir + std::string(kLockFileName);
}

bool CreateLockFile(const std::string& newsDir) {
    const std::string path = LockFilePath(newsDir);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    const bool ok = WriteAll(fd, "**");
    return ::close(fd) == 0 && ok;
}

bool RemoveLockFile(const std::string& newsDir) {
    const std::string path = LockFilePath(newsDir);
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool IsFeedLocked(const std::string& newsDir) {
    const int fd = ::open(LockFilePath(newsDir).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

}  // namespace store
