#include "store/Subscription.h"

#include <gtest/gtest.h>

#include "tests/util/TestUtil.h"

using testutil::TempDir;

namespace store {
namespace {

TEST(Subscription, AppendWritesFixedWidthRecords) {
    struct Case {
        const char* retrieve;
        const char* want;
    } cases[] = {
        {"all", "Y0000000000 comp.lang.c\r\n"},   {"25", "Y*000000025 comp.lang.c\r\n"},
        {"0", "Y0000000000 comp.lang.c\r\n"},     {"x12", "Y0000000000 comp.lang.c\r\n"},
        {"99999", "Y*000099999 comp.lang.c\r\n"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        SubscriptionPage page(dir.Path() + "/", "feed01.all", "feed01.sub");
        EXPECT_EQ(SubscriptionPage::Change::Done, page.UnsubClick("comp.lang.c", c.retrieve));
        EXPECT_EQ(c.want, dir.Read("feed01.sub")) << c.retrieve;
    }
}

TEST(Subscription, AppendRefusesNamesThatWouldBreakTheFile) {
    TempDir dir;
    const std::string sub = dir / "feed01.sub";
    for (const std::string& bad :
         {std::string("alt"), std::string("a b.c"), std::string("../etc"),
          std::string("comp.x\r\nY0000000000 evil"), std::string(250, 'a')})
        EXPECT_FALSE(AppendSubscription(sub, bad, 0)) << bad;
    EXPECT_EQ("", dir.Read("feed01.sub"));
    // A hand-edited file without its last line end keeps its last record.
    dir.Write("feed01.sub", "Y0000000005 alt.test");
    EXPECT_TRUE(AppendSubscription(sub, "comp.lang.c", 0));
    EXPECT_EQ("Y0000000005 alt.test\r\nY0000000000 comp.lang.c\r\n", dir.Read("feed01.sub"));
}

TEST(Subscription, UnsubscribeRewritesWithoutTheGroup) {
    struct Case {
        const char* before;
        const char* name;
        const char* after;
    } cases[] = {
        {"Y0000000000 comp.lang.c\r\n", "comp.lang.c", ""},
        {"Y0000000001 a.one\r\nY0000000002 b.two\r\nY0000000003 c.three\r\n", "b.two",
         "Y0000000001 a.one\r\nY0000000003 c.three\r\n"},
        {"Y0000000000 Comp.Lang.C\r\nY0000000000 alt.test\r\n", "comp.lang.c",
         "Y0000000000 alt.test\r\n"},
        // Short lines in the middle are kept, and so is everything after them.
        {"Y0000000001 a.one\r\n\r\nY0000000002 b.two\r\n", "a.one", "\r\nY0000000002 b.two\r\n"},
        // LF-only files come back with CR LF.
        {"Y0000000001 a.one\nY0000000002 b.two\n", "b.two", "Y0000000001 a.one\r\n"},
        {"Y0000000001 a.one\r\n", "a.on", "Y0000000001 a.one\r\n"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        dir.Write("feed01.sub", c.before);
        EXPECT_TRUE(RemoveSubscription(dir / "feed01.sub", c.name)) << c.before;
        EXPECT_EQ(c.after, dir.Read("feed01.sub")) << c.before;
    }
    TempDir dir;
    dir.Write("feed01.sub", "Y0000000000 Comp.Lang.C\r\n");
    EXPECT_TRUE(RemoveSubscription(dir / "feed01.sub", "comp.lang.c", false));
    EXPECT_EQ("Y0000000000 Comp.Lang.C\r\n", dir.Read("feed01.sub"));
}

TEST(Subscription, WalkByByteOffsets) {
    TempDir dir;
    const std::string file =
        "Y0000000140 comp.lang.c\r\n"  // 0..24
        "Y*000000010 alt.test\r\n"     // 25..46
        "Y12345 broken.number\r\n"     // garbled: skipped
        "Y0000000007 " +
        std::string(260, 'x') +
        "\r\n"                       // too long: skipped
        "Yabcdefghij bad.digits\n"   // LF-only line end
        "Y0000000001 ../escape\r\n"  // unsafe name
        "Y0000000002 last.group";    // no line end at all
    dir.Write("feed01.sub", file);
    const std::string sub = dir / "feed01.sub";

    std::vector<std::string> groups;
    std::vector<long> starts;
    int unusable = 0;
    long offset = 0;
    for (int guard = 0; guard < 20; ++guard) {
        const RecordRead r = ReadSubscriptionRecord(sub, offset);
        if (r.status == RecordStatus::End) break;
        EXPECT_EQ(offset, r.record.offset);
        EXPECT_GT(r.record.next, offset);
        if (r.status == RecordStatus::Ok) {
            groups.push_back(r.record.group);
            starts.push_back(r.record.start);
        } else {
            ++unusable;
            EXPECT_FALSE(r.problem.empty());
        }
        offset = r.record.next;
    }
    EXPECT_EQ((std::vector<std::string>{"comp.lang.c", "alt.test", "last.group"}), groups);
    EXPECT_EQ((std::vector<long>{140, -10, 2}), starts);
    EXPECT_EQ(4, unusable);
    EXPECT_EQ(static_cast<long>(file.size()), offset);
    EXPECT_EQ(25, ReadSubscriptionRecord(sub, 0).record.next);
}

TEST(Subscription, ShortRecordEndsTheWalk) {
    for (const char* file : {"", "\r\nY0000000001 comp.lang.c\r\n",
                             "Y0000000001 abc\r\nY0000000001 comp.lang.c\r\n"}) {
        TempDir dir;
        dir.Write("feed01.sub", file);
        EXPECT_EQ(RecordStatus::End, ReadSubscriptionRecord(dir / "feed01.sub", 0).status) << file;
    }
    TempDir dir;
    EXPECT_EQ(RecordStatus::End, ReadSubscriptionRecord(dir / "missing", 0).status);
}

TEST(Subscription, CheckpointOverwritesOnlyTheNumberField) {
    TempDir dir;
    dir.Write("feed01.sub", "Y0000000000 comp.lang.c\r\nY*000000010 alt.test\r\n");
    const std::string sub = dir / "feed01.sub";
    EXPECT_TRUE(WriteSubscriptionNumber(sub, 0, 140));
    EXPECT_TRUE(WriteSubscriptionNumber(sub, 25, 500));
    EXPECT_EQ("Y0000000140 comp.lang.c\r\nY0000000500 alt.test\r\n", dir.Read("feed01.sub"));
    // Offsets that do not start a record, and numbers that do not fit, are
    // refused rather than written into the middle of a name.
    EXPECT_FALSE(WriteSubscriptionNumber(sub, 3, 1));
    EXPECT_FALSE(WriteSubscriptionNumber(sub, 46, 1));
    EXPECT_FALSE(WriteSubscriptionNumber(sub, 0, -1));
    EXPECT_FALSE(WriteSubscriptionNumber(dir / "missing", 0, 1));
    EXPECT_EQ("Y0000000140 comp.lang.c\r\nY0000000500 alt.test\r\n", dir.Read("feed01.sub"));
}

TEST(Subscription, PageListsCategoriesAndGroups) {
    TempDir dir;
    dir.Write("feed01.all",
              "215 Newsgroups in form \"group high low flags\".\r\n"
              "comp.lang.c 0000000140 0000000101 y\r\n"
              "comp.lang.ada 0000000010 0000000001 y\r\n"
              "alt.test 0000000500 0000000001 y\r\n"
              "control 0000000001 0000000001 n\r\n"
              "Comp.misc 0000000001 0000000001 y\r\n"
              ".\r\n"
              "205 Bye!\r\n");
    dir.Write("feed01.sub", "Y0000000000 comp.lang.c\r\n");
    SubscriptionPage page(dir.Path() + "/", "feed01.all", "feed01.sub");
    EXPECT_EQ((std::vector<std::string>{"alt", "comp", "control"}), page.MsgLoadCat().value());
    const auto comp = page.CategoryClick("comp");
    EXPECT_EQ((std::vector<std::string>{"comp.lang.c"}), comp.subscribed);
    EXPECT_EQ((std::vector<std::string>{"comp.lang.ada"}), comp.unsubscribed);
    EXPECT_EQ((std::vector<std::string>{"control"}), page.CategoryClick("control").unsubscribed);

    EXPECT_FALSE(SubscriptionPage(dir.Path() + "/", "?", "feed01.sub").MsgLoadCat());
    EXPECT_FALSE(SubscriptionPage(dir.Path() + "/", "nothere.all", "feed01.sub").MsgLoadCat());
}

TEST(Subscription, ScanInSlicesGivesTheWholeLoadsResult) {
    TempDir dir;
    // One category of 30,000 groups, the rest spread over many: a load that
    // compared every name with every other would take minutes.
    std::string all = "215 list\r\n";
    for (int i = 0; i < 30000; ++i) all += "alt.g" + std::to_string(i) + " 10 1 y\r\n";
    for (int i = 0; i < 3000; ++i)
        all += "c" + std::to_string(i % 700) + ".x" + std::to_string(i) + " 1 1 y\r\n";
    all += "ALT.G7 1 1 y\r\n.\r\n205 bye\r\nnot.a.group 1 1 y\r\n";
    dir.Write("feed01.all", all);
    dir.Write("feed01.sub", "Y0000000000 alt.g5\r\n");
    const SubscriptionPage page(dir.Path() + "/", "feed01.all", "feed01.sub");

    GroupListScan cats = GroupListScan::Categories(page);
    std::size_t steps = 0;
    while (cats.Step(1000) == GroupListScan::Status::Running) {
        ASSERT_LE(cats.LinesRead(), (steps + 1) * 1000);
        ++steps;
    }
    EXPECT_GE(steps, 33u);
    ASSERT_EQ(GroupListScan::Status::Done, cats.GetStatus());
    EXPECT_EQ(701u, cats.CategoryList().size());  // "alt" once, c0 ... c699
    EXPECT_EQ("alt", cats.CategoryList().front());

    GroupListScan alt = GroupListScan::Category(page, "alt");
    while (alt.Step(997) == GroupListScan::Status::Running) {}
    EXPECT_EQ((std::vector<std::string>{"alt.g5"}), alt.Subscribed());
    // Neither the subscribed group nor a second spelling of a listed one,
    // nor anything after the "." line.
    EXPECT_EQ(29999u, alt.Unsubscribed().size());
    EXPECT_EQ("alt.g0", alt.Unsubscribed().front());

    struct Case {
        const char* allGroupFile;
        GroupListScan::Status want;
    } cases[] = {{"?", GroupListScan::Status::NotConfigured},
                 {" ", GroupListScan::Status::NotConfigured},
                 {"nothere.all", GroupListScan::Status::Unreadable}};
    for (const Case& c : cases) {
        const SubscriptionPage other(dir.Path() + "/", c.allGroupFile, "feed01.sub");
        EXPECT_EQ(c.want, GroupListScan::Categories(other).Step(10)) << c.allGroupFile;
        // A category without a group list still shows its subscriptions.
        GroupListScan scan = GroupListScan::Category(other, "alt");
        EXPECT_EQ(c.want, scan.Finish()) << c.allGroupFile;
        EXPECT_EQ(1u, scan.Subscribed().size()) << c.allGroupFile;
    }
}

TEST(Subscription, PageRefusesChangesWhileFeedRuns) {
    TempDir dir;
    dir.Write("feed01.sub", "Y0000000000 comp.lang.c\r\n");
    dir.Write("feed01.lck", "**");
    SubscriptionPage page(dir.Path() + "/", "feed01.all", "feed01.sub");
    EXPECT_EQ(SubscriptionPage::Change::Locked, page.UnsubClick("alt.test", "all"));
    EXPECT_EQ(SubscriptionPage::Change::Locked, page.SubClick("comp.lang.c"));
    EXPECT_EQ("Y0000000000 comp.lang.c\r\n", dir.Read("feed01.sub"));
}

TEST(Subscription, SearchDoesNotWrap) {
    const std::vector<std::string> e{"alt.test", "comp.lang.c", "comp.lang.ada", "rec.arts"};
    struct Case {
        long after;
        const char* needle;
        std::optional<std::size_t> want;
    } cases[] = {
        {-1, "lang", 1}, {1, "lang", 2},        {2, "lang", std::nullopt},  {-1, "", 0},
        {2, "", 3},      {3, "", std::nullopt}, {-1, "LANG", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.want, SubscriptionPage::CmSearch(e, c.after, c.needle))
            << c.after << " " << c.needle;
}

}  // namespace
}  // namespace store
