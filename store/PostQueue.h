#pragma once
// The posting queue in the "POSTS" directory of the news directory, and
// the feed lock file "feed01.lck".
//
// A posting arrives into a work file "QVE<hex>.WRK"; it is then either
// copied into a local group and deleted, or renamed to the queue file
// "QVE<hex>.TMP" that the next post session sends upstream. The post session
// only picks up ".TMP" files, so a posting still arriving is never sent.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace store {

// The news directory followed by "POSTS/".
std::string PostsDirectory(const std::string& newsDir);

// Creates an empty work file "QVE" + hexadecimal digits + ".WRK" in POSTS,
// exclusively, under a name whose ".TMP" twin does not exist either (so
// queuing it later cannot overwrite a posting still waiting to be sent).
// Returns its path (news directory + "POSTS/" + name), or nullopt when
// POSTS is missing or no name could be created.
std::optional<std::string> CreateWorkFile(const std::string& newsDir);

// The queue file path of a work file: its last three characters replaced
// by "TMP".
std::string QueuePathFor(std::string_view workPath);

// Renames a work file to its queue file. Never replaces an existing queue
// file: false then, and the work file stays.
bool QueueWorkFile(const std::string& workPath);

// True for "QVE*.TMP" names.
bool IsQueueFileName(std::string_view name);

// Paths of the queue files in POSTS, sorted by name; nullopt when POSTS
// cannot be read.
std::optional<std::vector<std::string>> ListQueueFiles(const std::string& newsDir);

// POSTS/rejected/: queue files the upstream refused for good, kept for
// their owner and never sent again.
inline constexpr std::string_view kRejectedDirName = "rejected";
std::string RejectedDirectory(const std::string& newsDir);
// Moves a queue file into POSTS/rejected/ (made when missing) under its own
// name, or with ".1", ".2", ... appended when an earlier one holds that
// name. Returns the new path; nullopt when it could not be moved (it then
// stays queued).
std::optional<std::string> RejectQueueFile(const std::string& newsDir,
                                           const std::string& queuePath);

// ---- lock file: present while a feed session exists

std::string LockFilePath(const std::string& newsDir);
// Writes "**" into the lock file; false when it cannot be written.
bool CreateLockFile(const std::string& newsDir);
// Deletes the lock file; true when none remains.
bool RemoveLockFile(const std::string& newsDir);
// True when the lock file can be opened for reading.
bool IsFeedLocked(const std::string& newsDir);

}  // namespace store
