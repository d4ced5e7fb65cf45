#include "reader/OverviewCache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>

#include "store/DirList.h"
#include "store/StoreNames.h"
#include "tests/util/TestUtil.h"

namespace {

using testutil::TempDir;
using testutil::WriteFile;

std::string Article(std::string_view subject, std::string_view id) {
    return "220 1 <" + std::string(id) +
           ">\r\nFrom: a@b.example\r\nSubject: " + std::string(subject) +
           "\r\nDate: Mon, 1 Jan 2024 10:00:00 GMT\r\nMessage-ID: <" + std::string(id) +
           ">\r\nLines: 1\r\n\r\nbody\r\n.\r\n";
}

std::string Line(long n, std::string_view subject, std::string_view id, std::size_t bytes) {
    return std::to_string(n) + "\t" + std::string(subject) +
           "\ta@b.example\tMon, 1 Jan 2024 10:00:00 GMT\t<" + std::string(id) + ">\t\t" +
           std::to_string(bytes) + "\t1\t\r\n";
}

// File times have a coarse clock; a change meant to come "later" than what
// the cache saw must land on a later tick.
void NextTick() { std::this_thread::sleep_for(std::chrono::milliseconds(25)); }

// Run with change reports (the normal case) and without (identity checks).
class OverviewCacheTest : public ::testing::TestWithParam<bool> {
public:
    void SetUp() override {
        if (!GetParam()) cache.DisableWatching();
        dir = tmp.Path() + "/g";
        std::filesystem::create_directories(dir);
        Put(1, "one@x", Article("first", "one@x"));
        Put(2, "two@x", Article("second", "two@x"));
    }

    // The index file of n naming the content file `name`, and that file.
    void Put(long n, const std::string& name, const std::string& content) {
        ASSERT_TRUE(WriteFile(dir + "/" + name, content));
        char index[32];
        std::snprintf(index, sizeof index, "/NEWS%010ld", n);
        ASSERT_TRUE(WriteFile(dir + index, dir + "/" + name + "\r\n"));
    }

    // Files written by the test count as long settled.
    void Settle() {
        cache.SetClock([] { return std::time(nullptr) + 100; });
    }

    std::optional<std::string> Over(long n) {
        std::string out = "x";
        if (!cache.AppendOverview(dir, n, out)) {
            EXPECT_EQ(out, "x");  // nothing appended
            return std::nullopt;
        }
        return out.substr(1);
    }

    std::vector<long> Numbers() {
        auto p = cache.Numbers(dir);
        return p ? *p : std::vector<long>{999};
    }

    TempDir tmp;
    std::string dir;
    OverviewCache cache;
};

TEST_P(OverviewCacheTest, LineHasTheOverviewFields) {
    const std::string art =
        "220 1 <t@x>\r\nsubject: a\tb\r\nFROM: c\r\nMessage-ID: <t@x>\r\n"
        "References: <r@x>\r\nLines: 9\r\nSubject: later\r\n\r\nSubject: body\r\n.\r\n";
    Put(3, "t@x", art);
    EXPECT_EQ(Over(3), "3\tlater\tc\t\t<t@x>\t<r@x>\t" + std::to_string(art.size()) + "\t9\t\r\n");
    EXPECT_EQ(Over(1), Line(1, "first", "one@x", Article("first", "one@x").size()));
}

TEST_P(OverviewCacheTest, ListingFollowsTheDirectory) {
    Settle();
    std::filesystem::create_directories(dir + "/NEWS0000000009");  // not a file
    ASSERT_TRUE(WriteFile(dir + "/NEWS12", "short name\r\n"));
    EXPECT_EQ(Numbers(), (std::vector<long>{1, 2}));
    const auto hits = cache.Hits();
    EXPECT_EQ(Numbers(), (std::vector<long>{1, 2}));
    EXPECT_EQ(cache.Hits(), hits + 1);

    NextTick();
    Put(5, "five@x", Article("five", "five@x"));
    EXPECT_EQ(Numbers(), (std::vector<long>{1, 2, 5}));
    NextTick();
    std::filesystem::remove(dir + "/NEWS0000000001");
    EXPECT_EQ(Numbers(), (std::vector<long>{2, 5}));
    NextTick();
    std::filesystem::remove_all(dir);
    EXPECT_EQ(cache.Numbers(dir), nullptr);
}

// However the directory changes, the listing equals a fresh reading.
TEST_P(OverviewCacheTest, ListingMatchesAFreshReading) {
    Settle();
    const auto fresh = [&] {
        std::vector<long> v;
        const auto names = store::ListFileNames(dir);
        for (const std::string& name : names.value())
            if (auto n = store::ParseIndexFileName(name)) v.push_back(*n);
        return v;
    };
    const std::string d = dir + "/";
    const std::function<void()> steps[] = {
        [&] { Put(3, "three@x", Article("three", "three@x")); },
        [&] { std::filesystem::remove(d + "NEWS0000000001"); },
        [&] { std::filesystem::rename(d + "NEWS0000000003", d + "NEWS0000000010"); },
        [&] { std::filesystem::create_directories(d + "NEWS0000000011"); },
        [&] { ::mkfifo((d + "NEWS0000000012").c_str(), 0600); },
        [&] { std::filesystem::create_symlink(d + "NEWS0000000002", d + "NEWS0000000013"); },
        [&] { std::filesystem::create_symlink(d + "nothing", d + "NEWS0000000014"); },
        [&] {  // created and gone again before anyone looks
            Put(15, "fifteen@x", Article("x", "fifteen@x"));
            std::filesystem::remove(d + "NEWS0000000015");
        },
        [&] {  // gone and back
            std::filesystem::remove(d + "NEWS0000000002");
            Put(2, "two@x", Article("second", "two@x"));
        },
        [&] { ASSERT_TRUE(WriteFile(d + "NEWS0000000001.tmp", "x")); },
        [&] { std::filesystem::rename(d + "NEWS0000000001.tmp", d + "NEWS0000000001"); },
        [&] { std::filesystem::rename(d + "NEWS0000000010", d + "NEWS0000000001"); },
    };
    ASSERT_EQ(Numbers(), fresh());
    int i = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE("step " + std::to_string(i++));
        NextTick();
        step();
        EXPECT_EQ(Numbers(), fresh());
        EXPECT_EQ(Numbers(), fresh());
    }
}

// Each change to an article's files after its line was kept shows at once.
TEST_P(OverviewCacheTest, KeptLineIsCheckedAgainstBothFiles) {
    struct Case {
        const char* what;
        std::function<void(OverviewCacheTest&)> change;
        std::optional<std::string> expect;
    };
    const std::string same = Article("SECOND", "two@x");  // same size as "second"
    const std::string longer = Article("second, longer", "two@x");
    const Case cases[] = {
        {"content rewritten in place, same size",
         [&](OverviewCacheTest& t) { ASSERT_TRUE(WriteFile(t.dir + "/two@x", same)); },
         Line(2, "SECOND", "two@x", same.size())},
        {"content replaced by rename",
         [&](OverviewCacheTest& t) {
             ASSERT_TRUE(WriteFile(t.dir + "/new.tmp", longer));
             std::filesystem::rename(t.dir + "/new.tmp", t.dir + "/two@x");
         },
         Line(2, "second, longer", "two@x", longer.size())},
        {"index file names another content file",
         [&](OverviewCacheTest& t) {
             ASSERT_TRUE(WriteFile(t.dir + "/other@x", Article("other", "other@x")));
             ASSERT_TRUE(WriteFile(t.dir + "/NEWS0000000002", t.dir + "/other@x\r\n"));
         },
         Line(2, "other", "other@x", Article("other", "other@x").size())},
        {"content removed", [](OverviewCacheTest& t) { std::filesystem::remove(t.dir + "/two@x"); },
         std::nullopt},
        {"index removed",
         [](OverviewCacheTest& t) { std::filesystem::remove(t.dir + "/NEWS0000000002"); },
         std::nullopt},
        {"content cut short (still arriving)",
         [](OverviewCacheTest& t) { ASSERT_EQ(::truncate((t.dir + "/two@x").c_str(), 40), 0); },
         std::nullopt},
        {"index emptied",
         [](OverviewCacheTest& t) { ASSERT_TRUE(WriteFile(t.dir + "/NEWS0000000002", "")); },
         std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        cache.Clear();
        Put(2, "two@x", Article("second", "two@x"));
        Settle();
        const std::string before = Line(2, "second", "two@x", Article("second", "two@x").size());
        ASSERT_EQ(Over(2), before);
        const auto hits = cache.Hits();
        ASSERT_EQ(Over(2), before);
        ASSERT_EQ(cache.Hits(), hits + 1);  // the second one came from memory
        NextTick();
        c.change(*this);
        EXPECT_EQ(Over(2), c.expect);
        EXPECT_EQ(Over(2), c.expect);  // and stays so
        std::filesystem::remove(dir + "/other@x");
    }
}

// Rewritten within one tick of the file clock, a file may keep all its
// times; such files are read anew each time rather than kept.
TEST_P(OverviewCacheTest, RewriteWithinOneTickIsSeen) {
    const std::string a = Article("aaaa", "two@x");
    const std::string b = Article("bbbb", "two@x");
    ASSERT_TRUE(WriteFile(dir + "/two@x", a));
    EXPECT_EQ(Over(2), Line(2, "aaaa", "two@x", a.size()));
    ASSERT_TRUE(WriteFile(dir + "/two@x", b));
    EXPECT_EQ(Over(2), Line(2, "bbbb", "two@x", b.size()));
    if (!GetParam()) {
        EXPECT_EQ(cache.Hits(), 0u);
        EXPECT_EQ(cache.Bytes(), 0u);
    }

    // Likewise a fresh directory listing.
    EXPECT_EQ(Numbers(), (std::vector<long>{1, 2}));
    Put(3, "three@x", Article("three", "three@x"));
    EXPECT_EQ(Numbers(), (std::vector<long>{1, 2, 3}));
}

TEST_P(OverviewCacheTest, MemoryStaysWithinTheLimit) {
    OverviewCache small(64 * 1024);
    small.SetClock([] { return std::time(nullptr) + 100; });
    const std::string other = tmp.Path() + "/h";
    std::filesystem::create_directories(other);
    for (long n = 1; n <= 300; ++n) {
        const std::string name = "m" + std::to_string(n) + "@x";
        ASSERT_TRUE(WriteFile(other + "/" + name, Article(std::string(200, 's'), name)));
        char index[32];
        std::snprintf(index, sizeof index, "/NEWS%010ld", n);
        ASSERT_TRUE(WriteFile(other + index, other + "/" + name + "\r\n"));
    }
    std::string out;
    ASSERT_TRUE(small.AppendOverview(dir, 1, out));
    for (long n = 1; n <= 300; ++n) {
        out.clear();
        ASSERT_TRUE(small.AppendOverview(other, n, out));
        EXPECT_LE(small.Bytes(), 64u * 1024);
    }
    EXPECT_GT(small.Bytes(), 0u);
    // The newest articles' lines are the ones kept; an old line is still
    // served, and asking for it does not push the newer ones out.
    for (long n : {300L, 1L, 300L, 299L}) {
        const auto hits = small.Hits();
        out.clear();
        ASSERT_TRUE(small.AppendOverview(other, n, out)) << n;
        EXPECT_NE(out.find("\t<m" + std::to_string(n) + "@x>\t"), std::string::npos) << n;
        EXPECT_EQ(n == 1 ? hits : hits + 1, small.Hits()) << n;
        EXPECT_LE(small.Bytes(), 64u * 1024);
    }
}

// A content file outside the group directory sends no reports there: its
// line is checked against the file itself.
TEST_P(OverviewCacheTest, ContentElsewhereIsChecked) {
    const std::string elsewhere = tmp.Path() + "/elsewhere";
    const std::string a = Article("aaaa", "far@x");
    ASSERT_TRUE(WriteFile(elsewhere, a));
    ASSERT_TRUE(WriteFile(dir + "/NEWS0000000007", elsewhere + "\r\n"));
    Settle();
    ASSERT_EQ(Over(7), Line(7, "aaaa", "far@x", a.size()));
    NextTick();
    const std::string b = Article("bbbb", "far@x");
    ASSERT_TRUE(WriteFile(elsewhere, b));
    EXPECT_EQ(Over(7), Line(7, "bbbb", "far@x", b.size()));
}

// A second name for a content file lets it change without a report.
TEST_P(OverviewCacheTest, LinkedContentIsChecked) {
    ASSERT_EQ(::link((dir + "/two@x").c_str(), (tmp.Path() + "/alias").c_str()), 0);
    Settle();
    ASSERT_EQ(Over(2), Line(2, "second", "two@x", Article("second", "two@x").size()));
    NextTick();
    const std::string same = Article("SECOND", "two@x");
    ASSERT_TRUE(WriteFile(tmp.Path() + "/alias", same));
    EXPECT_EQ(Over(2), Line(2, "SECOND", "two@x", same.size()));
}

// A FIFO where a file belongs would block a plain open until some writer
// came: it is no article.
TEST_P(OverviewCacheTest, FifoIsNoArticle) {
    ASSERT_EQ(::mkfifo((dir + "/fifo@x").c_str(), 0600), 0);
    ASSERT_TRUE(WriteFile(dir + "/NEWS0000000003", dir + "/fifo@x\r\n"));
    EXPECT_EQ(Over(3), std::nullopt);
    ASSERT_EQ(::mkfifo((dir + "/NEWS0000000004").c_str(), 0600), 0);
    EXPECT_EQ(Over(4), std::nullopt);
    EXPECT_EQ(Numbers(), (std::vector<long>{1, 2, 3}));
}

// The lines a cache started afresh serves for articles 1 and 2.
std::vector<std::optional<std::string>> FreshLines(const std::string& dir, bool watching) {
    OverviewCache fresh;
    if (!watching) fresh.DisableWatching();
    fresh.SetClock([] { return std::time(nullptr) + 100; });
    fresh.Numbers(dir);
    std::vector<std::optional<std::string>> lines;
    for (long n : {1L, 2L}) {
        std::string out;
        lines.push_back(fresh.AppendOverview(dir, n, out) ? std::optional(out) : std::nullopt);
    }
    return lines;
}

// A record of the overview file is served only while the index file and the
// content file it was made from are unchanged; otherwise the line comes from
// the files and a new record replaces the stale one.
TEST_P(OverviewCacheTest, OverviewFileServesOnlyUnchangedArticles) {
    const std::string first = Article("first", "one@x"), second = Article("second", "two@x");
    struct Case {
        const char* what;
        std::function<void()> change;
        std::optional<std::string> line1;
    };
    const std::string fromDisk = "1\tFROM DISK\r\n";
    const std::vector<Case> cases = {
        {"nothing changed", [] {}, fromDisk},
        {"content rewritten",
         [&] { ASSERT_TRUE(WriteFile(dir + "/one@x", Article("FIRST", "one@x"))); },
         Line(1, "FIRST", "one@x", first.size())},
        {"index names another file",
         [&] { ASSERT_TRUE(WriteFile(dir + "/NEWS0000000001", dir + "/two@x\r\n")); },
         Line(1, "second", "two@x", second.size())},
        {"content gone", [&] { ::unlink((dir + "/one@x").c_str()); }, std::nullopt},
        {"content replaced by a link to the same text",
         [&] {
             ASSERT_TRUE(WriteFile(tmp.Path() + "/elsewhere", first));
             ::unlink((dir + "/one@x").c_str());
             ASSERT_EQ(::symlink((tmp.Path() + "/elsewhere").c_str(), (dir + "/one@x").c_str()), 0);
         },
         Line(1, "first", "one@x", first.size())},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Put(1, "one@x", first);
        ASSERT_TRUE(RecordOverview(dir, 1));
        ASSERT_TRUE(RecordOverview(dir, 2));
        // A record whose fields differ from the files' shows where a line came from.
        store::OverviewFileContents disk = store::ReadOverviewFile(dir, 1u << 20);
        ASSERT_EQ(disk.records.size(), 2u);
        disk.records.at(1).fields = "FROM DISK\r\n";
        ASSERT_TRUE(store::RewriteOverviewFile(dir, disk.records));
        NextTick();
        c.change();

        std::vector<std::optional<std::string>> want = {c.line1,
                                                        Line(2, "second", "two@x", second.size())};
        EXPECT_EQ(FreshLines(dir, GetParam()), want);
        // The stale record was replaced: the next start serves the same.
        EXPECT_EQ(FreshLines(dir, GetParam()), want);
        ::unlink((dir + "/one@x").c_str());
        ::unlink((dir + "/" + std::string(store::kOverviewFileName)).c_str());
    }
}

// A kill while the file is appended to or written anew leaves it cut short
// anywhere, or full of garbage: every such file gives the lines the files
// give, and is made whole again as it is read.
TEST_P(OverviewCacheTest, CutOrGarbageOverviewFileIsNeverServedAndIsRebuilt) {
    const std::string path = dir + "/" + std::string(store::kOverviewFileName);
    ASSERT_TRUE(RecordOverview(dir, 1));
    ASSERT_TRUE(RecordOverview(dir, 2));
    const std::string whole = testutil::ReadFile(path);
    const std::vector<std::optional<std::string>> want = {
        Line(1, "first", "one@x", Article("first", "one@x").size()),
        Line(2, "second", "two@x", Article("second", "two@x").size())};
    std::vector<std::string> damaged;
    for (std::size_t cut = 0; cut < whole.size(); ++cut) damaged.push_back(whole.substr(0, cut));
    damaged.push_back(whole + whole.substr(0, whole.size() / 3));
    damaged.push_back(std::string(whole.size(), '\0'));
    damaged.push_back("QVOVERVIEW 1\n" + std::string(300, 'x') + "\n\t\t\t\n");
    for (const std::string& text : damaged) {
        SCOPED_TRACE(::testing::PrintToString(text));
        ASSERT_TRUE(WriteFile(path, text));
        EXPECT_EQ(FreshLines(dir, GetParam()), want);
        const store::OverviewFileContents rebuilt = store::ReadOverviewFile(dir, 1u << 20);
        ASSERT_EQ(rebuilt.records.size(), 2u);
        EXPECT_EQ("1\t" + rebuilt.records.at(1).fields, want[0]);
        EXPECT_EQ("2\t" + rebuilt.records.at(2).fields, want[1]);
    }
}

INSTANTIATE_TEST_SUITE_P(Watching, OverviewCacheTest, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "Reports" : "IdentityOnly"; });

}  // namespace
