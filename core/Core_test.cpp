#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "core/File.h"
#include "core/Text.h"
#include "tests/util/TestUtil.h"

namespace {

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(Text, TrimAndCaseBlindCompare) {
    const struct {
        std::string_view in;
        std::string_view blanksTrimmed;
    } trims[] = {
        {"", ""}, {" \t ", ""}, {"a", "a"}, {"\t a b \t", "a b"}, {" \r\n ", "\r\n"},
    };
    for (const auto& t : trims) EXPECT_EQ(t.blanksTrimmed, text::TrimBlanks(t.in)) << t.in;
    EXPECT_EQ("x", text::Trim("\r x\t\r", " \t\r"));

    const struct {
        std::string_view a, b;
        bool equal, startsWith;
    } names[] = {
        {"Quorvel.INI", "quorvel.ini", true, true},
        {"LISTGROUP", "list", false, true},
        {"LIST", "listgroup", false, false},
        {"", "", true, true},
        // Only ASCII letters fold: "@" and "`" sit next to "A" and "a".
        {"@", "`", false, false},
    };
    for (const auto& n : names) {
        EXPECT_EQ(n.equal, text::EqualsNoCase(n.a, n.b)) << n.a << " " << n.b;
        EXPECT_EQ(n.startsWith, text::StartsWithNoCase(n.a, n.b)) << n.a << " " << n.b;
    }
}

TEST(Files, DirectoryOfKeepsTheFinalSlash) {
    const struct {
        std::string_view path, dir;
    } cases[] = {{"news/feed01.sub", "news/"}, {"feed01.sub", ""}, {"/a/b/", "/a/b/"}, {"/x", "/"}};
    for (const auto& c : cases) EXPECT_EQ(c.dir, files::DirectoryOf(c.path)) << c.path;
}

TEST(Files, ReadWholeFileTellsAMissingFileFromAnEmptyOne) {
    testutil::TempDir dir;
    dir.Write("empty", "");
    dir.Write("big", std::string(200000, 'x'));
    EXPECT_EQ("", files::ReadWholeFile(dir / "empty").value_or("missing"));
    EXPECT_EQ(200000u, files::ReadWholeFile(dir / "big").value_or("").size());
    errno = 0;
    EXPECT_FALSE(files::ReadWholeFile(dir / "none").has_value());
    EXPECT_EQ(ENOENT, errno);
}

TEST(FileDescriptor, ClosesExactlyOnceWhereverItIsMoved) {
    int fds[2];
    ASSERT_EQ(0, ::pipe(fds));
    FileDescriptor reader(fds[0]);
    {
        FileDescriptor writer(fds[1]);
        FileDescriptor moved(std::move(writer));
        EXPECT_FALSE(writer.Valid());
        FileDescriptor assigned;
        assigned = std::move(moved);
        EXPECT_TRUE(IsOpen(fds[1]));
        EXPECT_TRUE(files::WriteAll(assigned.Get(), "ab"));
    }
    EXPECT_FALSE(IsOpen(fds[1]));
    std::string got;
    EXPECT_TRUE(files::ReadAll(reader.Get(), got));  // end of file: the writer is gone
    EXPECT_EQ("ab", got);
    // A released descriptor is the caller's; Close after it does nothing.
    const int fd = reader.Release();
    EXPECT_TRUE(reader.Close());
    EXPECT_TRUE(IsOpen(fd));
    reader.Reset(fd);
    reader.Reset();
    EXPECT_FALSE(IsOpen(fd));
}

}  // namespace
