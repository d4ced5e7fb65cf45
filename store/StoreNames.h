#pragma once
// The store's vocabulary: file names inside the news directory and the
// checks that decide whether a name from the network may become a path.
//
// Every store path is the news directory (which always ends with "/")
// followed directly by a file or group name; inside a group directory the
// files are "NEWS%010d" (article index), "RAW%010d" (locally posted
// content) and content files named after message-ids.

#include <optional>
#include <string>
#include <string_view>

namespace store {

inline constexpr std::string_view kGroupIndexName = "newsrc.ini";
inline constexpr std::string_view kPostsDirName = "POSTS";
inline constexpr std::string_view kLockFileName = "feed01.lck";
inline constexpr std::string_view kSubscriptionWorkName = "wksub.txt";
// A group directory's overview lines. It begins with "." so that no
// content file (SafeArticleName never keeps a leading ".") and no index
// file can have its name.
inline constexpr std::string_view kOverviewFileName = ".qvoverview";
inline constexpr std::string_view kOverviewWorkName = ".qvoverview.tmp";

// Article numbers are positive signed 32-bit values.
inline constexpr long kMaxArticleNumber = 2147483647L;

// True when a group name can be appended to the news directory without
// leaving it or hiding: not empty, no "/", no NUL, no other control
// character, not "." or "..", not starting with ".". GROUP and every store
// operation test names with this before forming a path.
bool IsSafeGroupName(std::string_view name);

// Why a name cannot become a new group, or nullopt when it can. Stricter
// than IsSafeGroupName: a new name also becomes a section of the group index,
// a word of LIST replies and a subscription record, so blanks, "[", "]",
// "\", the index's own section names and overlong names are refused too.
std::optional<std::string> NewGroupNameProblem(std::string_view name);

// A file name for the content file of an article with this message-id (the
// id without its angle brackets). Ids that are already safe keep their
// name. The others are mapped one-to-one onto names beginning with "%":
// "%" + the id with "%", "/" and NUL written as "%25", "%2F" and "%00".
// So that no mapped name can equal a kept one, ids that begin with "%" are
// mapped as well, and so are ids that begin with "NEWS" or "RAW", which
// could otherwise be taken for the store's own files.
// Empty when the resulting name would be longer than a file name may be.
std::string SafeArticleName(std::string_view messageId);

// "NEWS%010d" and "RAW%010d".
std::string IndexFileName(long number);

// The key of the n-th entry of the group list in the index ("G%05ld").
std::string GroupKey(long n);
std::string RawFileName(long number);
// ".qvpost-%010ld.tmp": a local posting's content file being written, before
// it is linked to its own name.
std::string PostWorkName(long number);

// The article number of an index file name ("NEWS" and exactly ten
// digits), or nullopt for any other name.
std::optional<long> ParseIndexFileName(std::string_view name);

// The group directory (news directory + name, no trailing "/"), or nullopt
// when the name is not safe.
std::optional<std::string> GroupDirectory(const std::string& newsDir, std::string_view group);

}  // namespace store
