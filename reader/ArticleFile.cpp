#include "reader/ArticleFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "reader/ReaderText.h"

namespace {

constexpr std::string_view kTerminator = "\r\n.\r\n";

// Reads up to want bytes at offset into out (appended); false on error.
bool ReadAt(int fd, off_t offset, std::size_t want, std::string& out) {
    const std::size_t base = out.size();
    out.resize(base + want);
    std::size_t got = 0;
    while (got < want) {
        const ssize_t n =
            ::pread(fd, out.data() + base + got, want - got, offset + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            out.resize(base);
            return false;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    out.resize(base + got);
    return true;
}

}  // namespace

ArticleFile::~ArticleFile() { Close(); }

void ArticleFile::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool ArticleFile::Open(const std::string& path, std::size_t firstRead, bool* isLink) {
    Close();
    path_ = path;
    head_.clear();
    statusEnd_ = 0;
    headerEnd_ = std::string::npos;
    // O_NONBLOCK: a FIFO under an article's name must not stall the server
    // in open; it is then refused as not a regular file.
    constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
    if (isLink != nullptr) {
        // Asking costs nothing for a plain file: the open refuses only a link.
        fd_ = ::open(path.c_str(), kFlags | O_NOFOLLOW);
        *isLink = fd_ < 0 && errno == ELOOP;
        if (*isLink) fd_ = ::open(path.c_str(), kFlags);
    } else {
        fd_ = ::open(path.c_str(), kFlags);
    }
    if (fd_ < 0) return false;
    struct stat& st = st_;
    st = {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size < static_cast<off_t>(kTerminator.size())) {
        Close();
        return false;
    }
    size_ = st.st_size;
    const std::size_t want =
        static_cast<std::size_t>(std::min<off_t>(size_, static_cast<off_t>(firstRead)));
    if (!ReadAt(fd_, 0, want, head_) || head_.size() < want) {
        Close();
        return false;
    }
    // Complete files end with the "." line; a short file holds its end already.
    std::string tail;
    if (static_cast<off_t>(head_.size()) == size_) {
        tail = head_.substr(head_.size() - kTerminator.size());
    } else if (!ReadAt(fd_, size_ - static_cast<off_t>(kTerminator.size()), kTerminator.size(),
                       tail)) {
        Close();
        return false;
    }
    if (tail != kTerminator) {
        Close();
        return false;
    }
    if (head_.starts_with("220")) {
        const std::size_t lf = head_.find('\n');
        statusEnd_ = lf == std::string::npos ? head_.size() : lf + 1;
    }
    FindHeaderEnd();
    return true;
}

void ArticleFile::FindHeaderEnd() {
    if (headerEnd_ != std::string::npos) return;
    std::size_t pos = statusEnd_;
    while (pos < head_.size()) {
        const std::size_t lf = head_.find('\n', pos);
        if (lf == std::string::npos) return;
        const std::size_t len = (lf > pos && head_[lf - 1] == '\r') ? lf - pos - 1 : lf - pos;
        if (len == 0) {
            headerEnd_ = pos;
            return;
        }
        pos = lf + 1;
    }
}

bool ArticleFile::ExtendHeader(std::size_t cap) {
    while (headerEnd_ == std::string::npos && fd_ >= 0 &&
           static_cast<off_t>(head_.size()) < size_ && head_.size() < cap) {
        const std::size_t want = std::min<std::size_t>(
            static_cast<std::size_t>(size_ - static_cast<off_t>(head_.size())),
            std::min<std::size_t>(cap - head_.size(), 16384));
        const std::size_t before = head_.size();
        if (!ReadAt(fd_, static_cast<off_t>(before), want, head_) || head_.size() == before) break;
        FindHeaderEnd();
    }
    return headerEnd_ != std::string::npos;
}

std::string_view ArticleFile::HeaderText() const {
    std::string_view all = head_;
    const std::size_t end = headerEnd_ == std::string::npos ? head_.size() : headerEnd_;
    return all.substr(statusEnd_, end - statusEnd_);
}

std::string ArticleFile::HeaderValue(std::string_view name) const {
    std::string_view text = HeaderText();
    while (!text.empty()) {
        const std::size_t lf = text.find('\n');
        const std::string_view line = text.substr(0, lf);
        if (line.size() > name.size() && line[name.size()] == ':' && StartsWithNoCase(line, name))
            return GetHeaderField(line);
        if (lf == std::string_view::npos) break;
        text.remove_prefix(lf + 1);
    }
    return {};
}

std::string ArticleFile::MessageId() const {
    std::string id(BareMessageId(HeaderValue("Message-ID")));
    if (!id.empty()) return id;
    const std::size_t slash = path_.rfind('/');
    return slash == std::string::npos ? path_ : path_.substr(slash + 1);
}

long ArticleFile::BodyLines() const {
    if (headerEnd_ == std::string::npos || fd_ < 0) return -1;
    // The empty line's own line end, then every line end up to the file's
    // end; the last of them ends the "." line.
    off_t pos = static_cast<off_t>(head_.find('\n', headerEnd_));
    if (pos < 0) return -1;
    ++pos;
    long count = 0;
    const std::string_view held(head_);
    if (pos < static_cast<off_t>(held.size())) {
        const std::string_view rest = held.substr(static_cast<std::size_t>(pos));
        count += static_cast<long>(std::count(rest.begin(), rest.end(), '\n'));
        pos = static_cast<off_t>(held.size());
    }
    char buf[65536];
    while (pos < size_) {
        const ssize_t n = ::pread(fd_, buf, sizeof buf, pos);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        count += static_cast<long>(std::count(buf, buf + n, '\n'));
        pos += n;
    }
    return count > 0 ? count - 1 : 0;
}

std::string ArticleFile::LinesValue() const {
    std::string value = HeaderValue("Lines");
    if (value.find_first_not_of(" \t") != std::string::npos) return value;
    const long n = BodyLines();
    return n < 0 ? std::string() : std::to_string(n);
}
