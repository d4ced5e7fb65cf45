#include "store/GroupIndex.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "settings/Profile.h"
#include "store/StoreNames.h"
#include "tests/util/TestUtil.h"

namespace store {
namespace {

class GroupIndexTest : public ::testing::Test {
protected:
    std::string News() const { return dir_.Path() + "/"; }
    std::string Ini() const { return News() + "newsrc.ini"; }
    std::string Get(std::string_view section, std::string_view key) const {
        return profile::GetString(Ini(), section, key, "<absent>");
    }
    // A group with its directory, as the feed or the groups page leaves it.
    void MakeGroup(GroupIndex& index, const std::string& name, bool local = false) {
        ASSERT_TRUE(index.CreateGroup(name, local, true)) << name;
        ASSERT_TRUE(index.MakeGroupDirectory(name)) << name;
    }
    testutil::TempDir dir_;
};

TEST_F(GroupIndexTest, NewGroupStartsAtOneAndFirstArticleIsTwo) {
    GroupIndex index(News());
    MakeGroup(index, "comp.lang.c");
    EXPECT_EQ("1", Get("comp.lang.c", "Low"));
    EXPECT_EQ("1", Get("comp.lang.c", "High"));
    EXPECT_EQ("No", Get("comp.lang.c", "Local"));
    EXPECT_EQ("Yes", Get("comp.lang.c", "AllowPost"));
    EXPECT_EQ(8u, Get("comp.lang.c", "AddDate").size());
    EXPECT_EQ(6u, Get("comp.lang.c", "AddTime").size());
    EXPECT_EQ("1", Get("Groups", "Total"));
    EXPECT_EQ("comp.lang.c", Get("Groups", "G00001"));

    EXPECT_EQ(2, index.NextArticleNumber("comp.lang.c"));
    ASSERT_TRUE(index.RaiseHighs({{"comp.lang.c", 2}}));
    EXPECT_EQ("2", Get("comp.lang.c", "High"));
    EXPECT_EQ(3, index.NextArticleNumber("comp.lang.c"));
    // Numbers given out since High was written come first.
    EXPECT_EQ(8, index.NextArticleNumber("comp.lang.c", 7));
    EXPECT_EQ(3, index.NextArticleNumber("comp.lang.c", 1));
}

TEST_F(GroupIndexTest, NumbersAreNeverGivenOutTwice) {
    GroupIndex index(News());
    MakeGroup(index, "g");
    // The feed writes index files and only writes High at the end of the
    // group; a stop in between leaves articles above High.
    for (long n : {2L, 3L, 4L})
        ASSERT_TRUE(index.WriteArticleIndex("g", n, "news/g/x" + std::to_string(n)));
    EXPECT_EQ(5, index.NextArticleNumber("g"));
    // Several groups in one write: raised only, and only where a group is.
    ASSERT_TRUE(profile::WriteString(Ini(), "half", "Low", "2"));
    ASSERT_TRUE(index.RaiseHighs({{"g", 5}, {"no.such.group", 3}, {"half", 4}}));
    EXPECT_EQ("5", Get("g", "High"));
    EXPECT_EQ("<absent>", Get("no.such.group", "High"));
    EXPECT_EQ("<absent>", Get("half", "High"));
    ASSERT_TRUE(index.RaiseHighs({{"g", 4}}));
    EXPECT_EQ("5", Get("g", "High"));

    // An existing index file is never replaced.
    EXPECT_FALSE(index.WriteArticleIndex("g", 3, "other"));
    EXPECT_EQ("news/g/x3", index.ResolveArticle("g", 3).contentPath);

    // High never goes down.
    EXPECT_TRUE(index.SetHigh("g", 2));
    EXPECT_EQ("5", Get("g", "High"));
    EXPECT_TRUE(index.SetHigh("g", 9));
    EXPECT_EQ("9", Get("g", "High"));

    // Expired articles below High leave their numbers unused.
    EXPECT_EQ(10, index.NextArticleNumber("g"));

    ASSERT_TRUE(profile::WriteString(Ini(), "g", "High", "2147483647"));
    EXPECT_FALSE(index.NextArticleNumber("g").has_value());
    EXPECT_FALSE(index.NextArticleNumber("no.such.group").has_value());
    EXPECT_FALSE(index.SetHigh("no.such.group", 5));
    EXPECT_EQ("<absent>", Get("no.such.group", "High"));
}

TEST_F(GroupIndexTest, CreateGroupRefusesExistingAndBadNames) {
    GroupIndex index(News());
    MakeGroup(index, "comp.lang.c");
    ASSERT_TRUE(index.SetHigh("comp.lang.c", 2));
    for (const char* name : {"comp.lang.c", "Comp.Lang.C", "", "..", "a/b", ".x", "Groups"})
        EXPECT_FALSE(index.CreateGroup(name, true, true)) << name;
    EXPECT_EQ("2", Get("comp.lang.c", "High"));  // not reset to 1
    EXPECT_EQ("1", Get("Groups", "Total"));
}

TEST_F(GroupIndexTest, ReadGroup) {
    GroupIndex index(News());
    MakeGroup(index, "loc", /*local=*/true);
    ASSERT_TRUE(profile::WriteString(Ini(), "loc", "AllowPost", "no"));
    ASSERT_TRUE(profile::WriteString(Ini(), "loc", "Low", "3"));
    const auto info = index.ReadGroup("LOC");  // section names ignore case
    ASSERT_TRUE(info);
    EXPECT_EQ(3, info->low);
    EXPECT_EQ(1, info->high);
    EXPECT_TRUE(info->local);
    EXPECT_FALSE(info->allowPost);
    EXPECT_FALSE(index.ReadGroup("missing"));
    EXPECT_FALSE(index.ReadGroup("../loc"));
}

TEST_F(GroupIndexTest, ArticlesListInNumberOrder) {
    GroupIndex index(News());
    MakeGroup(index, "g");
    for (long n : {12L, 3L, 100L, 7L, 2L}) ASSERT_TRUE(index.WriteArticleIndex("g", n, "p"));
    // Content files and strays are not articles.
    for (const char* other : {"RAW0000000005", "1234@host", "NEWS12", "NEWS0000000009.tmp"})
        dir_.Write(std::string("g/") + other, "x");
    ::mkdir((News() + "g/NEWS0000000050").c_str(), 0777);
    EXPECT_EQ((std::vector<long>{2, 3, 7, 12, 100}), index.ListArticles("g"));

    MakeGroup(index, "empty");
    EXPECT_EQ(std::vector<long>{}, index.ListArticles("empty"));
    EXPECT_FALSE(index.ListArticles("no.dir").has_value());
    EXPECT_FALSE(index.ListArticles("..").has_value());
}

TEST_F(GroupIndexTest, ResolveArticle) {
    GroupIndex index(News());
    MakeGroup(index, "g");
    const struct {
        const char* content;  // nullptr: no index file
        ArticleStatus status;
        std::string path;
    } cases[] = {
        {"news/g/abc@host\r\n", ArticleStatus::kFound, "news/g/abc@host"},
        {"news/g/RAW0000000003\n", ArticleStatus::kFound, "news/g/RAW0000000003"},
        {"no-line-end", ArticleStatus::kFound, "no-line-end"},
        {"first\r\nsecond\r\n", ArticleStatus::kFound, "first"},
        {"", ArticleStatus::kUnreadable, ""},
        {"\r\n", ArticleStatus::kUnreadable, ""},
        {nullptr, ArticleStatus::kNoSuchArticle, ""},
    };
    long n = 2;
    for (const auto& c : cases) {
        if (c.content) dir_.Write("g/" + IndexFileName(n), c.content);
        const ArticleLookup got = index.ResolveArticle("g", n);
        EXPECT_EQ(c.status, got.status) << (c.content ? c.content : "(none)");
        EXPECT_EQ(c.path, got.contentPath) << (c.content ? c.content : "(none)");
        ++n;
    }
    // The index file alone makes the article exist; its content file may be missing.
    EXPECT_TRUE(index.ArticleExists("g", 2));
    EXPECT_FALSE(index.ArticleExists("g", 0));
    EXPECT_EQ(ArticleStatus::kNoSuchArticle, index.ResolveArticle("g", -1).status);

    const std::string longPath(600, 'p');
    dir_.Write("g/" + IndexFileName(20), longPath + "\r\n");
    EXPECT_EQ(511u, index.ResolveArticle("g", 20).contentPath.size());
}

TEST_F(GroupIndexTest, RemoveGroupListedTwice) {
    GroupIndex index(News());
    for (const char* g : {"a", "dup", "b", "c"}) MakeGroup(index, g);
    // A hand-edited index may list a name twice.
    ASSERT_TRUE(profile::WriteString(Ini(), "Groups", "G00005", "dup"));
    ASSERT_TRUE(profile::WriteString(Ini(), "Groups", "Total", "5"));
    ASSERT_TRUE(profile::WriteString(Ini(), "wkgroups", "G00001", "stale"));

    EXPECT_TRUE(index.RemoveGroup("dup"));
    EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), index.ListGroups());
    EXPECT_EQ("3", Get("Groups", "Total"));
    EXPECT_EQ("<absent>", Get("Groups", "G00004"));
    EXPECT_EQ("<absent>", Get("Groups", "G00005"));
    EXPECT_FALSE(index.GroupExists("dup"));
    EXPECT_TRUE(profile::KeyNames(Ini(), "wkgroups").empty());
    EXPECT_EQ("1", Get("b", "High"));  // other sections untouched
}

TEST_F(GroupIndexTest, RemoveOnlyGroupLeavesEmptyList) {
    GroupIndex index(News());
    MakeGroup(index, "only");
    EXPECT_TRUE(index.RemoveGroup("only"));
    EXPECT_EQ("0", Get("Groups", "Total"));
    EXPECT_EQ((std::vector<std::string>{"Total"}), profile::KeyNames(Ini(), "Groups"));
    EXPECT_EQ((std::vector<std::string>{"Groups"}), profile::SectionNames(Ini()));
}

// A section is a group only with its "AddDate": what an interrupted add or a
// write after a delete leaves is no group for any reader, and adding the
// group again makes it whole.
TEST_F(GroupIndexTest, SectionWithoutAddDateIsNoGroup) {
    struct Case {
        const char* what;
        const char* index;
        bool exists;
    } cases[] = {
        {"low alone", "[Groups]\r\nTotal=1\r\nG00001=g\r\n[g]\r\nLow=2\r\n", false},
        {"all but AddDate", "[g]\r\nLocal=Yes\r\nLow=1\r\nHigh=7\r\naddtime=1\r\nExpireAge=3\r\n",
         false},
        {"AddDate of the GROUP default", "[g]\r\nAddDate=!\r\n", false},
        {"whole", "[Groups]\r\nTotal=1\r\nG00001=g\r\n[g]\r\nLow=1\r\nadddate=20240101\r\n", true},
    };
    for (const Case& c : cases) {
        testutil::WriteFile(Ini(), c.index);
        GroupIndex index(News());
        EXPECT_EQ(c.exists, index.GroupExists("g")) << c.what;
        EXPECT_EQ(c.exists, index.ReadGroup("G").has_value()) << c.what;
        EXPECT_EQ(c.exists, index.ReadTable().Find("g") != nullptr) << c.what;
        EXPECT_EQ(c.exists, index.SetLow("g", 5)) << c.what;
        if (c.exists) continue;
        EXPECT_FALSE(index.SetHigh("g", 9)) << c.what;
        ASSERT_TRUE(index.CreateGroup("g", true, false)) << c.what;
        EXPECT_EQ("1", Get("g", "Low")) << c.what;
        EXPECT_EQ("1", Get("g", "High")) << c.what;
        EXPECT_EQ("<absent>", Get("g", "ExpireAge")) << c.what;  // nothing of the half section
        EXPECT_EQ((std::vector<std::string>{"g"}), index.ListGroups()) << c.what;
        EXPECT_TRUE(index.GroupExists("g")) << c.what;
    }
}

// The table read in one go says what ReadGroup says group by group.
TEST_F(GroupIndexTest, ReadTableMatchesReadGroup) {
    GroupIndex index(News());
    for (const char* g : {"b.two", "a.one", "c.three"}) MakeGroup(index, g);
    ASSERT_TRUE(index.SetHigh("a.one", 40));
    ASSERT_TRUE(index.SetDescription("c.three", "the third"));
    // Listed twice in other letters, listed without a section, and a hole.
    ASSERT_TRUE(profile::WriteString(Ini(), "Groups", "G00004", "A.ONE"));
    ASSERT_TRUE(profile::WriteString(Ini(), "Groups", "G00006", "gone"));
    ASSERT_TRUE(profile::WriteString(Ini(), "Groups", "Total", "6"));
    const GroupTable table = index.ReadTable();
    std::vector<std::string> names;
    for (const GroupEntry& e : table.Groups()) {
        names.push_back(e.name);
        const auto info = index.ReadGroup(e.name);
        ASSERT_TRUE(info) << e.name;
        EXPECT_EQ(info->high, e.info.high) << e.name;
        EXPECT_EQ(info->low, e.info.low) << e.name;
        EXPECT_EQ(index.GetDescription(e.name), e.description) << e.name;
        EXPECT_EQ(Get(e.name, "AddDate"), e.addDate) << e.name;
    }
    EXPECT_EQ((std::vector<std::string>{"b.two", "a.one", "c.three"}), names);
    ASSERT_NE(nullptr, table.Find("A.One"));
    EXPECT_EQ(40, table.Find("A.One")->info.high);
    EXPECT_EQ(nullptr, table.Find("gone"));
}

TEST_F(GroupIndexTest, ListGroupsSkipsHolesAndClampsTotal) {
    GroupIndex index(News());
    testutil::WriteFile(Ini(), "[Groups]\r\nTotal=1000000000\r\nG00001=a\r\nG00003=c\r\n");
    EXPECT_EQ((std::vector<std::string>{"a", "c"}), index.ListGroups());
}

TEST_F(GroupIndexTest, ContentPathForMapsUnsafeIds) {
    GroupIndex index(News());
    EXPECT_EQ(News() + "g/abc@host", index.ContentPathFor("g", "abc@host"));
    EXPECT_EQ(News() + "g/%..", index.ContentPathFor("g", ".."));
    EXPECT_FALSE(index.ContentPathFor("..", "abc@host").has_value());
}

TEST_F(GroupIndexTest, IndexFileAppearsWholeOrNotAtAll) {
    // A process killed while writing leaves only the work file, which no
    // listing takes for an article and the next write of that number
    // replaces.
    GroupIndex index(News());
    MakeGroup(index, "g");
    const std::string dir = News() + "g/";
    testutil::WriteFile(dir + ".NEWS0000000002.wrk", "news/g/half");
    EXPECT_EQ(std::vector<long>{}, index.ListArticles("g").value());
    EXPECT_EQ(2, index.NextArticleNumber("g"));
    ASSERT_TRUE(index.WriteArticleIndex("g", 2, "news/g/whole@x"));
    EXPECT_EQ("news/g/whole@x\r\n", testutil::ReadFile(dir + "NEWS0000000002"));
    struct stat st {};
    EXPECT_NE(0, ::stat((dir + ".NEWS0000000002.wrk").c_str(), &st));
    EXPECT_FALSE(index.WriteArticleIndex("g", 2, "news/g/other@x"));
    EXPECT_EQ("news/g/whole@x\r\n", testutil::ReadFile(dir + "NEWS0000000002"));
}

TEST_F(GroupIndexTest, RaiseHighsToArticlesAfterAKilledFeed) {
    // A feed killed before its checkpoint leaves index files above High,
    // with gaps where articles failed.
    GroupIndex index(News());
    MakeGroup(index, "comp.lang.c");
    MakeGroup(index, "alt.quiet");
    MakeGroup(index, "alt.empty");
    ASSERT_TRUE(index.SetHigh("alt.quiet", 9));
    for (long n : {2, 3, 5, 6})
        ASSERT_TRUE(index.WriteArticleIndex("comp.lang.c", n,
                                            News() + "comp.lang.c/m" + std::to_string(n)));
    ASSERT_TRUE(index.WriteArticleIndex("alt.quiet", 4, News() + "alt.quiet/m4"));

    const auto raised = RaiseHighsToArticles(News());
    ASSERT_EQ(1u, raised.size());
    EXPECT_EQ("comp.lang.c", raised[0].first);
    EXPECT_EQ(6, raised[0].second);
    EXPECT_EQ("6", Get("comp.lang.c", "High"));
    EXPECT_EQ("9", Get("alt.quiet", "High"));  // never lowered
    EXPECT_EQ("1", Get("alt.empty", "High"));
    EXPECT_EQ(7, index.NextArticleNumber("comp.lang.c"));
    EXPECT_TRUE(RaiseHighsToArticles(News()).empty());
}

}  // namespace
}  // namespace store
