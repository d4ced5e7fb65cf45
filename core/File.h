#pragma once
// The owning file descriptor and the few whole-file operations every
// subsystem needs. Nothing here throws; failures are return values with
// errno left as the failing call set it.

#include <optional>
#include <string>
#include <string_view>

// Owns one descriptor and closes it once: on destruction, Reset or Close.
// Moving hands the descriptor over; the moved-from object owns nothing.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { Close(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.Release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor held (if any) and owns fd instead.
    void Reset(int fd = -1);
    // Closes now. On Linux the number is released even when close reports
    // an error, so it is never closed twice; false: close reported one.
    bool Close();

private:
    int fd_ = -1;
};

namespace files {

// Appends what fd holds from its position to the end; false on a read error
// (what was read before it stays appended).
bool ReadAll(int fd, std::string& out);
// The whole file; nullopt when it cannot be opened or read, with errno
// telling why (ENOENT: no such file).
std::optional<std::string> ReadWholeFile(const std::string& path);
// Writes all of data, going on after short writes and interruptions; false
// on any other failure.
bool WriteAll(int fd, std::string_view data);
// The directory part of path, with its final "/"; empty when path has none.
std::string DirectoryOf(std::string_view path);

}  // namespace files
