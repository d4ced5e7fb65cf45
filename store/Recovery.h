#pragma once
// Start-up repair of the news store after the process was killed.
//
// Every store write is built so that a kill leaves no half state that
// readers can see: the feed receives under a work name and renames, the
// index line is linked into place, an article's content comes before its
// index file. What a kill can leave are the work files themselves and
// content files whose index file was never written (a fetch or a local
// posting killed between the two) or already removed (an expire run killed
// between its two deletes). The work files only take space. The unindexed
// content files do harm: the fetch takes "the content file exists" for
// "already stored", so an article killed in that window would never be
// fetched again.
//
// Run at start, before any session: nothing else may be writing the store.

#include <functional>
#include <string>
#include <string_view>

namespace store {

struct RecoveryResult {
    int workFilesRemoved = 0;
    int contentFilesRemoved = 0;
};

// Removes, in the news directory and in the folder of every group listed in
// the group index:
//  - the work files of the feed (".qvrecv-N.tmp"), of the index writer
//    (".NEWS%010d.wrk"), of local postings (".qvpost-%010d.tmp") and of the
//    group index rewrite (".newsrc.ini.tmpXXXXXX", news directory only);
//  - content files of a group folder that no index file names: regular
//    files that are not index files, do not begin with ".", have one link,
//    and are store content ("RAW%010d", or beginning with "220").
// A file counts as named when an index file of its folder names it (by file
// name, whatever directory the line spells), or when any index file's line
// leads to it (same device and inode) however it is spelt. When an index
// file cannot be read, no content file is removed at all: what it names is
// unknown. Reads every folder's listing once and each index file once.
// log receives one "[QV] ..." line per file removed and per problem.
RecoveryResult RecoverStore(const std::string& newsDir,
                            const std::function<void(std::string_view)>& log);

// The clean-stop marker (".qvclean" in the news directory): written by a run
// that ended with the store whole (no feed work in progress, every High
// written back), and taken away by the next start before anything else
// writes the store. A start that finds it skips the scan, whose cost grows
// with the spool; a start after a kill finds none and repairs. Take returns
// whether the marker was there (and is now gone).
bool TakeCleanStopMarker(const std::string& newsDir);
void WriteCleanStopMarker(const std::string& newsDir);

}  // namespace store
