#include "store/GroupPage.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "settings/Profile.h"
#include "settings/Setup.h"
#include "store/GroupIndex.h"
#include "store/PostQueue.h"
#include "tests/util/TestUtil.h"

namespace store {
namespace {

bool IsDir(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class GroupPageTest : public ::testing::Test {
protected:
    std::string News() const { return dir_.Path() + "/"; }
    std::string Ini() const { return News() + "newsrc.ini"; }
    std::string Get(std::string_view section, std::string_view key) const {
        return profile::GetString(Ini(), section, key, "<absent>");
    }
    GroupPage Page() const {
        return GroupPage(News(), "feed01.sub", gePacket("31", "9999", "999", "9999"));
    }
    void Add(GroupPage& page, const std::string& name) {
        page.Packet().newGroup = name;
        ASSERT_EQ(std::nullopt, page.AddGroup()) << name;
    }
    AskYesNo Answer(bool yes) {
        return [this, yes](const PageMessage& q) {
            asked_.push_back(q);
            return yes;
        };
    }
    testutil::TempDir dir_;
    std::vector<PageMessage> asked_;
};

TEST_F(GroupPageTest, AddLocalGroup) {
    GroupPage page = Page();
    page.Packet().allowPost = false;
    page.Packet().newGroup = "  my.local ";
    EXPECT_EQ(std::nullopt, page.AddGroup());
    EXPECT_EQ("", page.Packet().newGroup);
    EXPECT_EQ((std::vector<std::string>{"my.local"}), page.Packet().groups);
    EXPECT_TRUE(IsDir(News() + "my.local"));
    EXPECT_EQ("Yes", Get("my.local", "Local"));
    EXPECT_EQ("No", Get("my.local", "AllowPost"));
    EXPECT_EQ("1", Get("my.local", "Low"));
    EXPECT_EQ("1", Get("my.local", "High"));
    EXPECT_EQ("<absent>", Get("my.local", "ExpireAge"));  // limits equal the defaults
    EXPECT_EQ("my.local", Get("Groups", "G00001"));
    EXPECT_EQ(2, GroupIndex(News()).NextArticleNumber("my.local"));

    page.Packet().newGroup = "second";
    page.Packet().condAge = "7";
    EXPECT_EQ(std::nullopt, page.AddGroup());
    EXPECT_EQ("7", Get("second", "ExpireCondAge"));
    EXPECT_EQ("31", Get("second", "ExpireAge"));
    EXPECT_EQ("2", Get("Groups", "Total"));
}

TEST_F(GroupPageTest, AddGroupRefusals) {
    GroupPage page = Page();
    Add(page, "comp.lang.c");
    const std::string before = testutil::ReadFile(Ini());
    const struct {
        std::string name;
        std::string text;
    } cases[] = {
        {"comp.lang.c", "Group already exists.\n Add Aborted."},
        {"COMP.LANG.C", "Group already exists.\n Add Aborted."},
        {"", "A group name is required.\n Add Aborted."},
        {"   ", "A group name is required.\n Add Aborted."},
        {"..", "Invalid group name.\n Add Aborted."},
        {"../escape", "Invalid group name.\n Add Aborted."},
        {".hidden", "Invalid group name.\n Add Aborted."},
        {"a/b", "Invalid group name.\n Add Aborted."},
        {"groups", "Invalid group name.\n Add Aborted."},
        {"two words", "Invalid group name.\n Add Aborted."},
    };
    for (const auto& c : cases) {
        page.Packet().newGroup = c.name;
        EXPECT_EQ((PageMessage{"ERROR", c.text}), page.AddGroup()) << c.name;
        EXPECT_EQ("", page.Packet().newGroup);
    }
    EXPECT_EQ(before, testutil::ReadFile(Ini()));
    EXPECT_EQ(1u, page.Packet().groups.size());
    EXPECT_FALSE(IsDir(dir_.Path() + "/../escape"));
}

TEST_F(GroupPageTest, ShowAndSaveGroup) {
    GroupPage page = Page();
    Add(page, "g");
    ASSERT_TRUE(profile::WriteString(Ini(), "g", "ExpireAge", "5"));
    ASSERT_TRUE(profile::WriteString(Ini(), "g", "ExpireSize", "*"));
    EXPECT_TRUE(page.ShowGroup("g"));
    EXPECT_EQ("5", page.Packet().age);
    EXPECT_EQ("9999", page.Packet().size);  // "*": the page default
    EXPECT_TRUE(page.Packet().local);
    EXPECT_FALSE(page.Packet().allowPost);

    // The group has limits of its own, so all four are written even when
    // they now equal the defaults.
    page.Packet().age = "31";
    page.Packet().allowPost = true;
    EXPECT_EQ(std::nullopt, page.SaveGroup("g"));
    EXPECT_EQ("31", Get("g", "ExpireAge"));
    EXPECT_EQ("9999", Get("g", "ExpireSize"));
    EXPECT_EQ("Yes", Get("g", "AllowPost"));
    EXPECT_EQ("Yes", Get("g", "Local"));

    // A group without limits of its own and unchanged texts gets none.
    Add(page, "h");
    EXPECT_TRUE(page.ShowGroup("h"));
    EXPECT_EQ(std::nullopt, page.SaveGroup("h"));
    EXPECT_EQ("<absent>", Get("h", "ExpireAge"));

    EXPECT_FALSE(page.ShowGroup("nothing"));
    EXPECT_EQ("31", page.Packet().age);
    EXPECT_FALSE(page.Packet().local);
    EXPECT_EQ((PageMessage{"ERROR", "The group does not exist."}), page.SaveGroup("nothing"));
    EXPECT_EQ("<absent>", Get("nothing", "AllowPost"));
    EXPECT_EQ(std::nullopt, page.SaveGroup(""));
}

TEST_F(GroupPageTest, LoadGroups) {
    GroupPage page = Page();
    for (const char* g : {"b", "a", "c"}) Add(page, g);
    GroupPage fresh = Page();
    fresh.LoadGroups();
    EXPECT_EQ((std::vector<std::string>{"b", "a", "c"}), fresh.Packet().groups);
}

TEST_F(GroupPageTest, DelGroupRemovesEverything) {
    GroupPage page = Page();
    for (const char* g : {"a", "dead", "b"}) Add(page, g);
    dir_.Write("dead/NEWS0000000002", "x\r\n");
    dir_.Write("dead/1234@host", "220 article\r\n");
    dir_.Write("a/NEWS0000000002", "y\r\n");
    // A short line in the middle ends the fetch's walk, but the records
    // after it belong to the owner and stay.
    dir_.Write("feed01.sub",
               "Y0000000012 a\r\n"
               "Y0000000040 dead\r\n"
               "\r\n"
               "Y*000000025 later.group\r\n"
               "Y0000000003 dead\r\n"
               "Y0000000003 dead.sub\r\n");

    EXPECT_EQ((PageMessage{"Operation Complete", "Newsgroup has been removed."}),
              page.DelGroup("dead", Answer(true)));
    ASSERT_EQ(1u, asked_.size());
    EXPECT_EQ((PageMessage{"Delete Group",
                           "Are you sure you want to remove this group and all of its articles?"}),
              asked_[0]);
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), page.Packet().groups);
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), GroupIndex(News()).ListGroups());
    EXPECT_EQ("<absent>", Get("dead", "High"));
    EXPECT_FALSE(IsDir(News() + "dead"));
    EXPECT_EQ("y\r\n", dir_.Read("a/NEWS0000000002"));
    EXPECT_EQ(
        "Y0000000012 a\r\n"
        "\r\n"
        "Y*000000025 later.group\r\n"
        "Y0000000003 dead.sub\r\n",
        dir_.Read("feed01.sub"));
    EXPECT_EQ("", testutil::ReadFile(News() + "wksub.txt"));
}

TEST_F(GroupPageTest, DelGroupRefusedOrDeclined) {
    GroupPage page = Page();
    Add(page, "g");
    dir_.Write("g/NEWS0000000002", "x\r\n");
    dir_.Write("feed01.sub", "Y0000000000 g\r\n");
    const std::string index = testutil::ReadFile(Ini());

    ASSERT_TRUE(CreateLockFile(News()));
    EXPECT_EQ((PageMessage{"Operation Unsuccessful",
                           "Modification are not allowed while a server session is in progress."}),
              page.DelGroup("g", Answer(true)));
    EXPECT_TRUE(asked_.empty());
    ASSERT_TRUE(RemoveLockFile(News()));

    EXPECT_EQ(std::nullopt, page.DelGroup("g", Answer(false)));
    EXPECT_EQ(std::nullopt, page.DelGroup("", Answer(true)));
    EXPECT_EQ(1u, asked_.size());

    EXPECT_EQ(index, testutil::ReadFile(Ini()));
    EXPECT_EQ("Y0000000000 g\r\n", dir_.Read("feed01.sub"));
    EXPECT_EQ("x\r\n", dir_.Read("g/NEWS0000000002"));
    EXPECT_EQ(1u, page.Packet().groups.size());
}

TEST_F(GroupPageTest, DelGroupListedTwiceAndUnsafeEntry) {
    GroupPage page = Page();
    Add(page, "dup");
    Add(page, "keep");
    ASSERT_TRUE(profile::WriteString(Ini(), "Groups", "G00003", "dup"));
    ASSERT_TRUE(profile::WriteString(Ini(), "Groups", "G00004", ".."));
    ASSERT_TRUE(profile::WriteString(Ini(), "Groups", "Total", "4"));
    page.LoadGroups();

    EXPECT_TRUE(page.DelGroup("dup", Answer(true)));
    EXPECT_EQ((std::vector<std::string>{"keep", ".."}), page.Packet().groups);

    // An entry that would name the news directory's parent is dropped from
    // the index without any file being touched.
    dir_.Write("sentinel", "stays");
    EXPECT_TRUE(page.DelGroup("..", Answer(true)));
    EXPECT_EQ((std::vector<std::string>{"keep"}), GroupIndex(News()).ListGroups());
    EXPECT_EQ("stays", dir_.Read("sentinel"));
    EXPECT_TRUE(IsDir(News() + "keep"));
}

TEST_F(GroupPageTest, DelGroupWithoutSubscriptionFile) {
    GroupPage page = Page();
    Add(page, "g");
    EXPECT_EQ((PageMessage{"Operation Complete", "Newsgroup has been removed."}),
              page.DelGroup("g", Answer(true)));
    // A missing subscription file is not invented.
    EXPECT_EQ("", testutil::ReadFile(News() + "feed01.sub"));
    struct stat st {};
    EXPECT_NE(0, ::stat((News() + "feed01.sub").c_str(), &st));
}

TEST_F(GroupPageTest, FromSetupAndApply) {
    const std::string ini = dir_ / "Quorvel.INI";
    testutil::WriteFile(
        ini, "[admin]\r\nNewsPath=" + dir_.Path() +
                 "\r\n[expire]\r\nage=10\r\n[Newsfeed01]\r\nSubGroupFile=feed01.sub\r\n");
    ::Setup setup(ini);
    GroupPage page = GroupPage::FromSetup(setup);
    EXPECT_EQ("10", page.Packet().defAge);
    EXPECT_EQ("10", page.Packet().age);
    EXPECT_EQ("9999", page.Packet().defSize);
    Add(page, "g");
    dir_.Write("feed01.sub", "Y0000000000 g\r\nY0000000000 h\r\n");
    EXPECT_TRUE(page.DelGroup("g", Answer(true)));
    EXPECT_EQ("Y0000000000 h\r\n", dir_.Read("feed01.sub"));

    page.Packet().defCondSize = "500";
    EXPECT_EQ(std::nullopt, page.Apply(setup));
    EXPECT_EQ("500", setup.GetExpireCondSize());
    EXPECT_EQ("10", setup.GetExpireAge());
}

TEST_F(GroupPageTest, NothingWrittenWithoutNewsDirectory) {
    GroupPage page("!", "feed01.sub", gePacket("31", "9999", "999", "9999"));
    const PageMessage missing{"ERROR", "The news directory is not configured."};
    page.Packet().newGroup = "g";
    EXPECT_EQ(missing, page.AddGroup());
    EXPECT_EQ(missing, page.SaveGroup("g"));
    EXPECT_EQ(missing, page.DelGroup("g", Answer(true)));
    EXPECT_FALSE(page.ShowGroup("g"));
    page.LoadGroups();
    EXPECT_TRUE(page.Packet().groups.empty());
    EXPECT_FALSE(IsDir("!g"));
}

TEST(RemoveSubscriptionRecords, KeepsEverythingElseByteForByte) {
    testutil::TempDir dir;
    const struct {
        std::string before;
        std::string after;
    } cases[] = {
        {"Y0000000000 g\r\n", ""},
        {"Y0000000000 g", ""},  // no line end on the last record
        {"Y0000000000 a\r\nY0000000000 g\r\nY0000000000 b", "Y0000000000 a\r\nY0000000000 b"},
        {"Y0000000000 G\r\n", "Y0000000000 G\r\n"},  // exact comparison
        {"short\r\nY0000000000 g\r\nY0000000000 h\r\n", "short\r\nY0000000000 h\r\n"},
        {"Y0000000000 gg\r\nY0000000000 g \r\n", "Y0000000000 gg\r\nY0000000000 g \r\n"},
        {"Y0000000000 g\nY0000000000 h\n", "Y0000000000 h\n"},
    };
    for (const auto& c : cases) {
        dir.Write("sub", c.before);
        EXPECT_TRUE(RemoveSubscriptionRecords(dir / "sub", dir / "wk", "g")) << c.before;
        EXPECT_EQ(c.after, dir.Read("sub")) << c.before;
    }
    EXPECT_TRUE(RemoveSubscriptionRecords(dir / "missing", dir / "wk", "g"));
}

}  // namespace
}  // namespace store
