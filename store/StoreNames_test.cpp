#include "store/StoreNames.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace store {
namespace {

using namespace std::string_literals;

TEST(StoreNames, SafeGroupNames) {
    const struct {
        std::string name;
        bool safe;
    } cases[] = {
        {"comp.lang.c", true}, {"alt.2600", true}, {"local", true},      {"a..b", true},
        {"x.", true},          {"", false},        {".", false},         {"..", false},
        {".hidden", false},    {"../etc", false},  {"a/b", false},       {"/abs", false},
        {"a\0b"s, false},      {"a\r\nb", false},  {"tab\tname", false},
    };
    for (const auto& c : cases) EXPECT_EQ(c.safe, IsSafeGroupName(c.name)) << c.name;
}

TEST(StoreNames, NewGroupNames) {
    const struct {
        std::string name;
        bool ok;
    } cases[] = {
        {"my.local", true},
        {"", false},
        {"..", false},
        {"a/b", false},
        {"with blank", false},
        {"sec]tion", false},
        {"[x", false},
        {"back\\slash", false},
        {"Groups", false},
        {"groups", false},
        {"WKGROUPS", false},
        {"groups.misc", true},
        {std::string(249, 'g'), true},
        {std::string(250, 'g'), false},
    };
    for (const auto& c : cases) EXPECT_EQ(c.ok, !NewGroupNameProblem(c.name).has_value()) << c.name;
    EXPECT_EQ("A group name is required.\n Add Aborted.", NewGroupNameProblem("").value_or(""));
}

TEST(StoreNames, SafeArticleNameKeepsOrMaps) {
    const struct {
        std::string id;
        std::string name;
    } cases[] = {
        {"1234@example.com", "1234@example.com"},
        {"a%2Fb@host", "a%2Fb@host"},  // a plain "%" stays
        {"a/b@host", "%a%2Fb@host"},
        {"a%/b@host", "%a%25%2Fb@host"},
        {".", "%."},
        {"..", "%.."},
        {".x@host", "%.x@host"},
        {"%x@host", "%%25x@host"},
        {"NEWS0000000002", "%NEWS0000000002"},
        {"RAW0000000002", "%RAW0000000002"},
        {"", "%"},
        {"a\0b"s, "%a%00b"},
        {"news/POSTS/QVE1A.WRK", "%news%2FPOSTS%2FQVE1A.WRK"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.name, SafeArticleName(c.id)) << c.id;
}

// Distinct ids must never share a file, or the feed would take a new article
// for a duplicate; and no result may leave the group directory.
TEST(StoreNames, SafeArticleNameIsOneToOne) {
    const std::string ids[] = {
        "a/b@h", "a%2Fb@h", "%a%2Fb@h", "%a/b@h", "a%b@h", "a%25b@h", "%25",  "%",      "%%",
        "%2F",   "/",       "//",       "%2F%2F", ".",     "..",      "...",  "%.",     "%..",
        ".%",    "%2E",     ".a",       "%.a",    "",      "%00",     "\0"s,  "\0\0"s,  "a\0"s,
        "a%00",  "NEWS1",   "%NEWS1",   "RAW1",   "%RAW1", "x@y",     "x@y/", "x@y%2F",
    };
    std::set<std::string> seen;
    for (const std::string& id : ids) {
        const std::string name = SafeArticleName(id);
        ASSERT_FALSE(name.empty()) << id;
        EXPECT_TRUE(IsSafeGroupName(name)) << "unsafe file name for " << id << ": " << name;
        EXPECT_FALSE(ParseIndexFileName(name).has_value()) << id;
        EXPECT_TRUE(seen.insert(name).second) << "collision for " << id << ": " << name;
    }
}

TEST(StoreNames, SafeArticleNameTooLong) {
    EXPECT_EQ(255u, SafeArticleName(std::string(255, 'x')).size());
    EXPECT_EQ("", SafeArticleName(std::string(256, 'x')));
    EXPECT_EQ("", SafeArticleName(std::string(100, '/')));  // 1 + 300 characters
}

TEST(StoreNames, IndexFileNames) {
    EXPECT_EQ("NEWS0000000042", IndexFileName(42));
    EXPECT_EQ("RAW0000000002", RawFileName(2));
    const struct {
        std::string name;
        std::optional<long> number;
    } cases[] = {
        {"NEWS0000000042", 42},
        {"NEWS2147483647", 2147483647L},
        {"NEWS2147483648", std::nullopt},
        {"NEWS000000042", std::nullopt},
        {"NEWS00000000042", std::nullopt},
        {"news0000000042", std::nullopt},
        {"NEWS00000000x2", std::nullopt},
        {"RAW0000000042", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(c.number, ParseIndexFileName(c.name)) << c.name;
}

TEST(StoreNames, GroupDirectoryOnlyForSafeNames) {
    EXPECT_EQ("news/comp.lang.c", GroupDirectory("news/", "comp.lang.c").value_or(""));
    EXPECT_FALSE(GroupDirectory("news/", "../x").has_value());
    EXPECT_FALSE(GroupDirectory("news/", "").has_value());
}

}  // namespace
}  // namespace store
