#include "store/OverviewFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "store/StoreNames.h"
#include "tests/util/TestUtil.h"

namespace store {
namespace {

using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

OverviewRecord Record(int k) {
    OverviewRecord r;
    r.index = {1, 100u + k, 20, 5000, 6000};
    r.content = {1, 200u + k, 300u + k, 7000, 8000};
    r.contentPath = "/news/g/id" + std::to_string(k) + "@x";
    r.fields = "subject " + std::to_string(k) + "\tfrom\tdate\t<id@x>\t\t300\t1\t\r\n";
    return r;
}

bool Same(const OverviewRecord& a, const OverviewRecord& b) {
    return a.index == b.index && a.content == b.content && a.contentPath == b.contentPath &&
           a.fields == b.fields;
}

// Each damage leaves exactly the records it did not touch; a record that
// follows damaged bytes is read again once it starts on its own line.
TEST(OverviewFileTest, DamageSpoilsOnlyWhatItTouches) {
    struct Case {
        const char* what;
        std::function<std::string(const std::string& text, const std::string& last)> damage;
        std::vector<long> kept;
        bool fileRemoved = false;
        bool endedByAppend = false;  // the append's LF completes the last record again
    };
    const std::vector<Case> cases = {
        {"intact", [](const std::string& t, const std::string&) { return t; }, {1, 2, 3}},
        {"last record cut off by a kill",
         [](const std::string& t, const std::string& last) {
             return t.substr(0, t.size() - last.size() / 2);
         },
         {1, 2}},
        {"last LF missing",
         [](const std::string& t, const std::string&) { return t.substr(0, t.size() - 1); },
         {1, 2},
         false,
         true},
        {"a byte of the middle record's fields changed",
         [](const std::string& t, const std::string& last) {
             std::string d = t;
             const std::size_t at = d.find("subject 2");
             d[at + 8] = '9';
             (void)last;
             return d;
         },
         {1, 3}},
        {"zeros where the end of the file was not written",
         [](const std::string& t, const std::string& last) {
             return t.substr(0, t.size() - last.size()) + std::string(last.size(), '\0');
         },
         {1, 2}},
        {"another layout",
         [](const std::string& t, const std::string&) { return "QVOVERVIEW 0\n" + t.substr(13); },
         {},
         true},
        {"garbage",
         [](const std::string&, const std::string&) {
             return std::string(
                 "\x7f"
                 "ELF\n\n\t\t");
         },
         {},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir tmp;
        const std::string dir = tmp.Path();
        std::string lines;
        for (int k = 1; k <= 3; ++k) lines += FormatOverviewRecord(k, Record(k));
        ASSERT_TRUE(AppendOverviewLines(dir, lines));
        const std::string path = dir + "/" + std::string(kOverviewFileName);
        ASSERT_TRUE(WriteFile(path, c.damage(ReadFile(path), FormatOverviewRecord(3, Record(3)))));

        OverviewFileContents got = ReadOverviewFile(dir, 1u << 20);
        std::vector<long> numbers;
        for (const auto& [n, r] : got.records) {
            numbers.push_back(n);
            EXPECT_TRUE(Same(r, Record(static_cast<int>(n)))) << n;
        }
        EXPECT_EQ(numbers, c.kept);
        EXPECT_EQ(::access(path.c_str(), F_OK) != 0, c.fileRemoved);

        // Appending after the damage: the new record reads back whole.
        ASSERT_TRUE(AppendOverviewLines(dir, FormatOverviewRecord(4, Record(4))));
        got = ReadOverviewFile(dir, 1u << 20);
        ASSERT_EQ(got.records.count(4), 1u);
        EXPECT_TRUE(Same(got.records.at(4), Record(4)));
        EXPECT_EQ(got.records.size(), c.kept.size() + (c.endedByAppend ? 2 : 1));
    }
}

TEST(OverviewFileTest, LaterRecordWinsAndRewriteKeepsWhatItIsGiven) {
    TempDir tmp;
    const std::string dir = tmp.Path();
    OverviewRecord newer = Record(1);
    newer.fields = "changed\tfrom\tdate\t<id@x>\t\t300\t1\t\r\n";
    ASSERT_TRUE(AppendOverviewLines(
        dir, FormatOverviewRecord(1, Record(1)) + FormatOverviewRecord(2, Record(2))));
    ASSERT_TRUE(AppendOverviewLines(dir, FormatOverviewRecord(1, newer)));
    OverviewFileContents got = ReadOverviewFile(dir, 1u << 20);
    ASSERT_EQ(got.records.size(), 2u);
    EXPECT_TRUE(Same(got.records.at(1), newer));
    EXPECT_EQ(got.lines, 3u);

    got.records.erase(2);
    ASSERT_TRUE(RewriteOverviewFile(dir, got.records));
    got = ReadOverviewFile(dir, 1u << 20);
    ASSERT_EQ(got.records.size(), 1u);
    EXPECT_TRUE(Same(got.records.at(1), newer));
    EXPECT_EQ(got.lines, 1u);

    // Too little memory for all: the newest records are kept.
    for (int k = 2; k <= 50; ++k)
        ASSERT_TRUE(AppendOverviewLines(dir, FormatOverviewRecord(k, Record(k))));
    got = ReadOverviewFile(dir, 2000);
    EXPECT_TRUE(got.partial);
    ASSERT_FALSE(got.records.empty());
    EXPECT_EQ(got.records.rbegin()->first, 50);
    EXPECT_GT(got.records.begin()->first, 1);
}

TEST(OverviewFileTest, ValuesTheLayoutCannotHoldAreNotWritten) {
    for (const auto& [path, fields] :
         std::vector<std::pair<std::string, std::string>>{{"/a\tb", "s\t\r\n"},
                                                          {"/a\nb", "s\t\r\n"},
                                                          {"", "s\t\r\n"},
                                                          {"/a", "s\t\n"},
                                                          {"/a", "s\nt\t\r\n"},
                                                          {"/a", "s\t"}}) {
        OverviewRecord r = Record(1);
        r.contentPath = path;
        r.fields = fields;
        EXPECT_EQ(FormatOverviewRecord(1, r), "") << path << " / " << fields;
    }
}

}  // namespace
}  // namespace store
