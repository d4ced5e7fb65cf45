#include "core/File.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

void FileDescriptor::Reset(int fd) {
    Close();
    fd_ = fd;
}

bool FileDescriptor::Close() {
    if (fd_ < 0) return true;
    const int fd = Release();
    return ::close(fd) == 0;
}

namespace files {

bool ReadAll(int fd, std::string& out) {
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0)
            out.append(buf, static_cast<std::size_t>(n));
        else if (n == 0)
            return true;
        else if (errno != EINTR)
            return false;
    }
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) return std::nullopt;
    std::string data;
    if (!ReadAll(fd.Get(), data)) return std::nullopt;
    return data;
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string DirectoryOf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

}  // namespace files
