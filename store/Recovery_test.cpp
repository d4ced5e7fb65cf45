#include "store/Recovery.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "store/GroupIndex.h"
#include "tests/util/TestUtil.h"

namespace store {
namespace {

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// The store as the server sees it: the home is the current directory and
// the news directory the relative "news/", as the wizard sets it up.
class RecoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char cwd[PATH_MAX];
        ASSERT_NE(nullptr, ::getcwd(cwd, sizeof cwd));
        oldCwd_ = cwd;
        ASSERT_EQ(0, ::chdir(home_.Path().c_str()));
        ASSERT_EQ(0, ::mkdir("news", 0755));
    }
    void TearDown() override { ASSERT_EQ(0, ::chdir(oldCwd_.c_str())); }

    void MakeGroup(const std::string& name) {
        ASSERT_TRUE(index_.CreateGroup(name, false, true)) << name;
        ASSERT_TRUE(index_.MakeGroupDirectory(name)) << name;
    }
    // A content file and, when number > 0, its index file naming it by the
    // line given (the store's own spelling when empty).
    void Article(const std::string& group, const std::string& name, long number,
                 std::string line = "") {
        ASSERT_TRUE(Put("news/" + group + "/" + name, "220 1 <" + name + ">\r\n\r\nx\r\n.\r\n"));
        if (line.empty()) line = "news/" + group + "/" + name;
        if (number > 0) {
            ASSERT_TRUE(index_.WriteArticleIndex(group, number, line));
        }
    }
    // Writes a file below the home, making its folders.
    bool Put(const std::string& path, std::string_view contents) const {
        home_.Write(path, contents);
        return Exists(path);
    }
    RecoveryResult Recover() {
        return RecoverStore("news/", [this](std::string_view l) { log_.emplace_back(l); });
    }

    testutil::TempDir home_;
    std::string oldCwd_;
    GroupIndex index_{"news/"};
    std::vector<std::string> log_;
};

TEST_F(RecoveryTest, RemovesTheWorkFilesAnInterruptedRunLeaves) {
    MakeGroup("comp.lang.c");
    struct Case {
        std::string path;
        bool removed;
    };
    const Case cases[] = {
        {"news/comp.lang.c/.qvrecv-17.tmp", true},          // an article under reception
        {"news/comp.lang.c/.NEWS0000000003.wrk", true},     // an index line not yet linked
        {"news/comp.lang.c/.qvpost-0000000004.tmp", true},  // a local posting being written
        {"news/comp.lang.c/.qvpost-4.tmp", false},
        {"news/comp.lang.c/.qvoverview.tmp", true},  // the overview file written anew
        {"news/comp.lang.c/.qvoverview", false},     // the overview file itself
        {"news/.qvrecv-4.tmp", true},                // the group list under reception
        {"news/.newsrc.ini.tmpa1B2c3", true},        // a group index rewrite
        {"news/comp.lang.c/.qvrecv-x.tmp", false},   // not a name the feed gives
        {"news/comp.lang.c/.NEWS12.wrk", false},
        {"news/comp.lang.c/.newsrc.ini.tmpa1B2c3", false},  // only beside the group index
        {"news/.NEWS0000000003.wrk", false},
        {"news/comp.lang.c/.profile", false},
        {"news/feed01.sub", false},
        {".qvrecv-5.tmp", false},  // the home is not the news directory
    };
    for (const Case& c : cases) ASSERT_TRUE(Put(c.path, "220 x\r\n")) << c.path;

    const RecoveryResult r = Recover();
    int removed = 0;
    for (const Case& c : cases) {
        EXPECT_EQ(!c.removed, Exists(c.path)) << c.path;
        removed += c.removed ? 1 : 0;
    }
    EXPECT_EQ(removed, r.workFilesRemoved);
    EXPECT_EQ(0, r.contentFilesRemoved);
    ASSERT_EQ(static_cast<std::size_t>(removed), log_.size());
    for (const std::string& line : log_)
        EXPECT_TRUE(line.starts_with("[QV] Removed news/")) << line;
}

TEST_F(RecoveryTest, RemovesContentFilesNoIndexNamesAndNothingElse) {
    MakeGroup("g");
    MakeGroup("h");
    char cwd[PATH_MAX];
    ASSERT_NE(nullptr, ::getcwd(cwd, sizeof cwd));
    const std::string absolute = std::string(cwd) + "/news/g/abs@x";

    Article("g", "kept@x", 2);                                // the store's own spelling
    Article("g", "abs@x", 3, absolute);                       // an absolute news directory
    Article("g", "moved@x", 4, "/gone/home/news/g/moved@x");  // a home since moved: same name
    Article("g", "./odd@x", 5, "news//g/./odd@x");            // another spelling of the same file
    Article("g", "aliased@x", 0);
    ASSERT_EQ(0, ::symlink("g/aliased@x", "news/alias"));
    ASSERT_TRUE(index_.WriteArticleIndex("g", 7, "news/alias"));  // a link to the file: same inode
    Article("h", "cross@x", 0);
    ASSERT_TRUE(index_.WriteArticleIndex("g", 6, "news/h/cross@x"));  // another folder's file
    Article("g", "killed@x", 0);                   // fetched, killed before its index
    Article("g", "expired@x", 0);                  // expire killed between its two deletes
    ASSERT_TRUE(Put("news/g/RAW0000000008", ""));  // a local post cut short
    ASSERT_TRUE(Put("news/g/README", "not an article\r\n"));
    ASSERT_TRUE(Put("news/g/RAW12", ""));
    ASSERT_TRUE(Put("news/g/NEWS0000000099x", "220 x\r\n"));
    Article("g", "linked@x", 0);
    ASSERT_EQ(0, ::link("news/g/linked@x", "news/linked-elsewhere"));
    ASSERT_TRUE(Put("outside", "220 outside\r\n"));
    ASSERT_EQ(0, ::symlink("../../outside", "news/g/symlink@x"));
    ASSERT_TRUE(Put("news/unlisted/orphan@x", "220 x\r\n"));  // not a listed group

    const RecoveryResult r = Recover();
    const struct {
        std::string path;
        bool removed;
    } cases[] = {
        {"news/g/kept@x", false},
        {"news/g/abs@x", false},
        {"news/g/moved@x", false},
        {"news/g/odd@x", false},
        {"news/h/cross@x", false},
        {"news/g/killed@x", true},
        {"news/g/expired@x", true},
        {"news/g/RAW0000000008", true},
        {"news/g/aliased@x", false},
        {"news/g/README", false},
        {"news/g/RAW12", false},
        {"news/g/NEWS0000000099x", true},
        {"news/g/linked@x", false},
        {"news/g/symlink@x", false},
        {"outside", false},
        {"news/unlisted/orphan@x", false},
        {"news/g/NEWS0000000002", false},
    };
    int removed = 0;
    for (const auto& c : cases) {
        EXPECT_EQ(!c.removed, Exists(c.path)) << c.path;
        removed += c.removed ? 1 : 0;
    }
    EXPECT_EQ(removed, r.contentFilesRemoved);
    EXPECT_EQ(0, r.workFilesRemoved);
    EXPECT_EQ(static_cast<std::size_t>(removed), log_.size());
    EXPECT_NE(log_.end(),
              std::find(log_.begin(), log_.end(),
                        "[QV] Removed news/g/killed@x, an article file no index file names"));

    // The fetch's duplicate test is the content file's presence: the killed
    // article's name is free again, and a second pass finds nothing to do.
    EXPECT_EQ(index_.ContentPathFor("g", "killed@x"),
              std::optional<std::string>("news/g/killed@x"));
    log_.clear();
    const RecoveryResult again = Recover();
    EXPECT_EQ(0, again.contentFilesRemoved + again.workFilesRemoved);
    EXPECT_TRUE(log_.empty());
}

TEST_F(RecoveryTest, AnUnreadableIndexFileKeepsEveryContentFile) {
    MakeGroup("g");
    MakeGroup("h");
    Article("g", "orphan@x", 0);
    Article("h", "orphan@x", 0);
    // A first line far longer than any path the store writes: what it names
    // cannot be known, so nothing counts as unnamed.
    ASSERT_TRUE(Put("news/h/NEWS0000000002", std::string(10000, 'a')));
    ASSERT_TRUE(Put("news/g/.qvrecv-1.tmp", "220 partial"));

    const RecoveryResult r = Recover();
    EXPECT_TRUE(Exists("news/g/orphan@x"));
    EXPECT_TRUE(Exists("news/h/orphan@x"));
    EXPECT_EQ(0, r.contentFilesRemoved);
    EXPECT_EQ(1, r.workFilesRemoved);  // work files are never named by an index
    EXPECT_FALSE(Exists("news/g/.qvrecv-1.tmp"));
    EXPECT_NE(log_.end(), std::find(log_.begin(), log_.end(),
                                    "[QV] Cannot read the index file news/h/NEWS0000000002"));
}

TEST_F(RecoveryTest, OnlyListedSafeGroupFoldersAreVisited) {
    // Names from a damaged or hand-edited index must not lead the removal
    // out of the news directory or into the posting queue.
    ASSERT_TRUE(Put("news/newsrc.ini",
                    "[Groups]\r\nTotal=4\r\nG00001=..\r\nG00002=.hidden\r\nG00003=POSTS\r\n"
                    "G00004=../news\r\n"
                    "[..]\r\nLow=1\r\n[.hidden]\r\nLow=1\r\n[POSTS]\r\nLow=1\r\n"));
    const std::string files[] = {"news/.hidden/orphan@x", "news/POSTS/QVE1A.TMP",
                                 "news/POSTS/QVE1B.WRK", "orphan@x", "news/orphan@x"};
    for (const std::string& f : files) ASSERT_TRUE(Put(f, "220 x\r\n")) << f;

    const RecoveryResult r = Recover();
    for (const std::string& f : files) EXPECT_TRUE(Exists(f)) << f;
    EXPECT_EQ(0, r.contentFilesRemoved + r.workFilesRemoved);
    EXPECT_TRUE(log_.empty());
}

}  // namespace
}  // namespace store
