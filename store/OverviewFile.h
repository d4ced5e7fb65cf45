#pragma once
// The overview lines of a group's articles, kept in a file of the group's
// directory so that the first XOVER after a start does not open and parse
// every article file.
//
// The file is only a cache: each record carries the identity of the index
// file and of the content file it was made from (device, inode, size,
// modification and change times) and a checksum, and a record is used only
// while both files still have that identity. A damaged, cut-off or stale
// record is never served; the line is made from the files again and
// appended. Records are appended without fsync: after a crash the worst
// case is a record that fails its checksum.
//
// Layout: the line "QVOVERVIEW 1", then one record per line:
//   checksum TAB number TAB index stamp (5 fields) TAB content stamp
//   (5 fields) TAB content path TAB overview fields CR LF
// where the checksum (16 hex digits) covers everything after its TAB up to
// and including the LF. A later record of a number replaces an earlier one.

#include <sys/stat.h>

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace store {

// A file's identity as its status tells it; all zero: none.
struct FileStamp {
    unsigned long long dev = 0, ino = 0, size = 0, mtimeNs = 0, ctimeNs = 0;
    static FileStamp Of(const struct stat& st);
    bool operator==(const FileStamp&) const = default;
};

struct OverviewRecord {
    FileStamp index;
    FileStamp content;
    std::string contentPath;
    std::string fields;  // everything after the number and its TAB, CR LF included
};

// Ordered by number so that a file too big for memory keeps its newest.
using OverviewRecords = std::map<long, OverviewRecord>;

// The record as a line of the file; empty when it cannot be one (a path or
// fields holding a TAB, CR or LF where the layout has none).
std::string FormatOverviewRecord(long number, const OverviewRecord& r);

struct OverviewFileContents {
    OverviewRecords records;
    std::size_t lines = 0;    // record lines read, damaged ones included
    std::size_t damaged = 0;  // lines that failed their checksum or layout
    std::size_t bytes = 0;    // memory held by records (roughly)
    bool partial = false;     // records were left out for want of memory
};

// Reads the group's file. A file of another layout is removed (the records
// are then made anew from the files as they are read). Past maxBytes of
// records the lowest numbers are dropped.
OverviewFileContents ReadOverviewFile(const std::string& groupDir, std::size_t maxBytes);

// Appends lines made by FormatOverviewRecord, creating the file (with its
// first line) where there is none. A cut-off last line left by a kill is
// ended first, so that it spoils only itself.
bool AppendOverviewLines(const std::string& groupDir, std::string_view lines);

// Replaces the file by one holding these records (work file, then rename).
bool RewriteOverviewFile(const std::string& groupDir, const OverviewRecords& records);

}  // namespace store
