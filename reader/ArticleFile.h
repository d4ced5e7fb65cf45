#pragma once
// One article content file opened for a reply. The content file holds the
// article as an ARTICLE reply: a stored "220" status line, the header, an
// empty line, the dot-stuffed body and a final "." line, all CR LF.
//
// Only complete files are served: a file that does not end with CR LF "."
// CR LF may still be arriving from the feed, and sending it would leave the
// reader waiting for a terminator that never comes.

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <string_view>

class ArticleFile {
public:
    ArticleFile() = default;
    ~ArticleFile();
    ArticleFile(const ArticleFile&) = delete;
    ArticleFile& operator=(const ArticleFile&) = delete;

    // Opens the file and reads its first firstRead bytes (fewer when the
    // file is shorter). false: missing, unreadable, not a regular file, or
    // incomplete.
    // When isLink is given, it tells whether the path's last component was a
    // symbolic link (followed all the same).
    bool Open(const std::string& path, std::size_t firstRead, bool* isLink = nullptr);
    void Close();

    // Reads on until the whole header is held or cap bytes are; true when
    // the header's end is held.
    bool ExtendHeader(std::size_t cap);

    int Fd() const { return fd_; }
    off_t Size() const { return size_; }
    // The open file's status as Open found it (identity and times).
    const struct stat& Status() const { return st_; }
    // The bytes read so far, from the file's start.
    const std::string& Head() const { return head_; }
    // Offset just after the stored status line (0 when the file does not
    // start with one).
    std::size_t StatusLineEnd() const { return statusEnd_; }
    // The header lines (after the status line, without the empty line that
    // ends them) as far as they are held.
    std::string_view HeaderText() const;
    // The value of the first header line of that name ("Message-ID"),
    // compared without regard to case; empty when absent.
    std::string HeaderValue(std::string_view name) const;
    // The article's own Message-ID without angle brackets, or the file's
    // name when the header has none.
    std::string MessageId() const;
    // The number of body lines (after the empty line that ends the header,
    // without the final "." line), read from the file; -1 when the header's
    // end is not held (see ExtendHeader) or the file cannot be read.
    long BodyLines() const;
    // The Lines header's value, or the counted body lines when the article
    // has none (most servers inject none; readers show the number).
    std::string LinesValue() const;

private:
    void FindHeaderEnd();

    int fd_ = -1;
    off_t size_ = 0;
    struct stat st_ {};
    std::string path_;
    std::string head_;
    std::size_t statusEnd_ = 0;
    std::size_t headerEnd_ = std::string::npos;  // offset of the empty line
};
