#include "store/PostQueue.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <set>

#include "store/DirList.h"
#include "tests/util/TestUtil.h"

namespace store {
namespace {

class PostQueueTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, ::mkdir((News() + "POSTS").c_str(), 0777)); }
    std::string News() const { return dir_.Path() + "/"; }
    std::string Posts() const { return News() + "POSTS/"; }
    testutil::TempDir dir_;
};

TEST_F(PostQueueTest, WorkFilesAreUniqueAndCreated) {
    const std::regex pattern("QVE[0-9A-F]+\\.WRK");
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const auto path = CreateWorkFile(News());
        ASSERT_TRUE(path);
        ASSERT_TRUE(path->starts_with(Posts())) << *path;
        const std::string name = path->substr(Posts().size());
        EXPECT_TRUE(std::regex_match(name, pattern)) << name;
        EXPECT_TRUE(seen.insert(name).second) << name;
        struct stat st {};
        EXPECT_EQ(0, ::stat(path->c_str(), &st)) << *path;
    }
    EXPECT_EQ(200u, ListFileNames(Posts())->size());
}

TEST_F(PostQueueTest, WorkFileNeedsPostsDirectory) {
    EXPECT_FALSE(CreateWorkFile(News() + "missing/").has_value());
}

TEST_F(PostQueueTest, QueuingNeverReplacesAWaitingPosting) {
    const auto work = CreateWorkFile(News());
    ASSERT_TRUE(work);
    testutil::WriteFile(*work, "new posting");
    const std::string queued = QueuePathFor(*work);
    EXPECT_EQ(work->substr(0, work->size() - 3) + "TMP", queued);

    testutil::WriteFile(queued, "older posting");
    EXPECT_FALSE(QueueWorkFile(*work));
    EXPECT_EQ("older posting", testutil::ReadFile(queued));
    EXPECT_EQ("new posting", testutil::ReadFile(*work));

    ::unlink(queued.c_str());
    EXPECT_TRUE(QueueWorkFile(*work));
    EXPECT_EQ("new posting", testutil::ReadFile(queued));
    EXPECT_EQ("", testutil::ReadFile(*work));
}

TEST_F(PostQueueTest, QueueListingIsSortedAndOnlyQueueFiles) {
    for (const char* name :
         {"QVEB.TMP", "QVE10.TMP", "QVEA.WRK", "QVE2.TMP", "other.TMP", "QVE3.tmp", "QVEFFFF.TMP"})
        dir_.Write(std::string("POSTS/") + name, "x");
    ::mkdir((Posts() + "QVEDIR.TMP").c_str(), 0777);
    const auto files = ListQueueFiles(News());
    ASSERT_TRUE(files);
    EXPECT_EQ((std::vector<std::string>{Posts() + "QVE10.TMP", Posts() + "QVE2.TMP",
                                        Posts() + "QVEB.TMP", Posts() + "QVEFFFF.TMP"}),
              *files);
    EXPECT_FALSE(ListQueueFiles(News() + "missing/").has_value());
}

TEST_F(PostQueueTest, LockFile) {
    EXPECT_FALSE(IsFeedLocked(News()));
    EXPECT_TRUE(RemoveLockFile(News()));  // nothing to remove is no failure
    ASSERT_TRUE(CreateLockFile(News()));
    EXPECT_EQ(News() + "feed01.lck", LockFilePath(News()));
    EXPECT_EQ("**", testutil::ReadFile(LockFilePath(News())));
    EXPECT_TRUE(IsFeedLocked(News()));
    ASSERT_TRUE(CreateLockFile(News()));  // a second feed start rewrites it
    EXPECT_EQ("**", testutil::ReadFile(LockFilePath(News())));
    EXPECT_TRUE(RemoveLockFile(News()));
    EXPECT_FALSE(IsFeedLocked(News()));
    EXPECT_FALSE(CreateLockFile(News() + "missing/"));
}

}  // namespace
}  // namespace store
