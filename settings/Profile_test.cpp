#include "settings/Profile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

namespace {

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/qvprofileXXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        file_ = dir_ + "/test.ini";
    }
    void TearDown() override {
        ::chmod(dir_.c_str(), 0700);
        std::filesystem::remove_all(dir_);
    }
    void Put(const std::string& text) const { std::ofstream(file_, std::ios::binary) << text; }
    std::string Contents() const {
        std::ifstream in(file_, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::vector<std::string> DirEntries() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir_))
            names.push_back(e.path().filename().string());
        return names;
    }
    std::string dir_;
    std::string file_;
};

TEST_F(ProfileTest, ReadsMatchWithoutCaseAndTrim) {
    Put("; comment=not a key\n"
        "top=outside any section\n"
        "[Admin]\r\n"
        "  NewsPath  =  /var/news/  \r\n"
        "Empty=\n"
        "Long=abcdefghij\n"
        "not a key line\n"
        "[ras]\n"
        "Profile=home\n"
        "[ADMIN]\n"
        "newspath=second wins never\n"
        "Extra=from duplicate\n");
    struct Case {
        const char* section;
        const char* key;
        const char* def;
        std::size_t maxLen;
        const char* want;
    } cases[] = {
        {"admin", "newspath", "!", 256, "/var/news/"},
        {"ADMIN", "NEWSPATH", "!", 256, "/var/news/"},
        {" admin ", " NewsPath ", "!", 256, "/var/news/"},
        {"admin", "Empty", "dflt", 256, ""},  // present but empty is not missing
        {"admin", "Missing", "dflt", 256, "dflt"},
        {"nosection", "NewsPath", "?", 256, "?"},
        {"admin", "Long", "", 5, "abcd"},  // a buffer of 5 holds 4 characters
        {"admin", "Long", "", 1, ""},
        {"admin", "Long", "", 0, ""},
        {"admin", "Long", "", 11, "abcdefghij"},
        {"admin", "Missing", "defaultlong", 4, "def"},
        {"ras", "profile", "(None)", 256, "home"},
        {"admin", "Extra", "", 256, "from duplicate"},
        {"admin", "top", "x", 256, "x"},
        {"admin", "; comment", "x", 256, "x"},
        {"admin", "not a key line", "x", 256, "x"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.want, profile::GetString(file_, c.section, c.key, c.def, c.maxLen))
            << c.section << "/" << c.key << " max " << c.maxLen;
}

TEST_F(ProfileTest, GetIntReadsLeadingDigits) {
    Put("[n]\nplain=42\nblank= 17\ntrailing=8080abc\nneg=-5\nplus=+7\nword=abc\nempty=\n"
        "huge=99999999999999999999999\n");
    struct Case {
        const char* key;
        long want;
    } cases[] = {
        {"plain", 42}, {"blank", 17},   {"trailing", 8080},
        {"neg", -5},   {"plus", 7},     {"word", 0},  // no digits read as 0, not as the default
        {"empty", 99}, {"missing", 99}, {"huge", LONG_MAX},
    };
    for (const Case& c : cases) EXPECT_EQ(c.want, profile::GetInt(file_, "N", c.key, 99)) << c.key;
    EXPECT_EQ(99, profile::GetInt(dir_ + "/absent.ini", "n", "plain", 99));
}

TEST_F(ProfileTest, WritesCreateReplaceAndDelete) {
    struct Step {
        const char* what;
        std::string before;
        const char* section;
        std::optional<std::string_view> key;
        std::optional<std::string_view> value;
        std::string after;
    } steps[] = {
        {"new file", "", "admin", "Port", "119", "[admin]\r\nPort=119\r\n"},
        {"replace keeps spelling of others and comments",
         "; top\n[Admin]\n; about port\nPORT = 25\nName=x\n", "admin", "port", "119",
         "; top\r\n[Admin]\r\n; about port\r\nport=119\r\nName=x\r\n"},
        {"new key after last entry, before trailing blank and next section",
         "[a]\nk=1\n\n[b]\nz=2\n", "A", "new", "v", "[a]\r\nk=1\r\nnew=v\r\n\r\n[b]\r\nz=2\r\n"},
        {"new key in empty section", "[a]\n[b]\n", "a", "k", "v", "[a]\r\nk=v\r\n[b]\r\n"},
        {"new section appended after a blank line", "[a]\nk=1\n", "b", "x", "y",
         "[a]\r\nk=1\r\n\r\n[b]\r\nx=y\r\n"},
        {"delete key in every duplicate section", "[a]\nk=1\nj=2\n[A]\nK=3\n", "a", "k",
         std::nullopt, "[a]\r\nj=2\r\n[A]\r\n"},
        {"delete section with its comments", "[a]\nk=1\n; note\n[b]\nx=1\n[a]\nm=2\n", "A",
         std::nullopt, std::nullopt, "[b]\r\nx=1\r\n"},
        {"empty value is a value", "[a]\nk=1\n", "a", "k", "", "[a]\r\nk=\r\n"},
    };
    for (const Step& s : steps) {
        std::filesystem::remove(file_);
        if (!s.before.empty()) Put(s.before);
        EXPECT_TRUE(profile::WriteString(file_, s.section, s.key, s.value)) << s.what;
        EXPECT_EQ(s.after, Contents()) << s.what;
    }
}

TEST_F(ProfileTest, DeletingFromMissingFileCreatesNothing) {
    EXPECT_TRUE(profile::WriteString(file_, "a", "k", std::nullopt));
    EXPECT_TRUE(profile::WriteString(file_, "a", std::nullopt, std::nullopt));
    EXPECT_FALSE(std::filesystem::exists(file_));
}

TEST_F(ProfileTest, RefusesEntriesThatWouldNotReadBack) {
    Put("[a]\nk=1\n");
    struct Case {
        const char* section;
        std::optional<std::string_view> key;
        std::optional<std::string_view> value;
    } cases[] = {
        {"a", "k", "two\r\nlines"}, {"a", "k", "lf\nonly"}, {"a", "k=x", "v"}, {"a", "", "v"},
        {"a]", "k", "v"},           {"", "k", "v"},         {"a", "k\n", "v"}, {"a", ";k", "v"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(profile::WriteString(file_, c.section, c.key, c.value))
            << c.section << "/" << c.key.value_or("(none)");
        EXPECT_EQ("[a]\nk=1\n", Contents());
    }
}

TEST_F(ProfileTest, RewriteLeavesNoTemporaryFilesAndKeepsMode) {
    Put("[a]\nk=1\n");
    ::chmod(file_.c_str(), 0640);
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(profile::WriteString(file_, "a", "k", std::to_string(i)));
    EXPECT_EQ(std::vector<std::string>{"test.ini"}, DirEntries());
    struct stat st {};
    ASSERT_EQ(0, ::stat(file_.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
}

TEST_F(ProfileTest, FailedRewriteKeepsOldFile) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only directories";
    Put("[a]\nk=1\n");
    ASSERT_EQ(0, ::chmod(dir_.c_str(), 0500));
    EXPECT_FALSE(profile::WriteString(file_, "a", "k", "2"));
    ::chmod(dir_.c_str(), 0700);
    EXPECT_EQ("[a]\nk=1\n", Contents());
    EXPECT_EQ(std::vector<std::string>{"test.ini"}, DirEntries());
}

// A file we cannot read is not replaced by one holding only the new entry.
TEST_F(ProfileTest, UnreadableFileIsNotReplaced) {
    std::filesystem::create_directory(file_);
    EXPECT_FALSE(profile::WriteString(file_, "a", "k", "v"));
    EXPECT_EQ("d", profile::GetString(file_, "a", "k", "d"));
    EXPECT_TRUE(std::filesystem::is_directory(file_));
    std::filesystem::remove(file_);

    if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
    Put("[a]\nk=1\nother=keep\n");
    ASSERT_EQ(0, ::chmod(file_.c_str(), 0200));
    EXPECT_FALSE(profile::WriteString(file_, "a", "k", "2"));
    ::chmod(file_.c_str(), 0600);
    EXPECT_EQ("[a]\nk=1\nother=keep\n", Contents());
}

TEST_F(ProfileTest, SymbolicLinkStaysALink) {
    const std::string real = dir_ + "/real.ini";
    std::ofstream(real) << "[a]\nk=1\n";
    std::filesystem::create_symlink(real, file_);
    ASSERT_TRUE(profile::WriteString(file_, "a", "k", "2"));
    EXPECT_TRUE(std::filesystem::is_symlink(file_));
    EXPECT_EQ("2", profile::GetString(real, "a", "k", ""));
}

TEST_F(ProfileTest, ListsSectionsAndKeysOnceInFileOrder) {
    Put("[Zeta]\nb=1\na=2\n[alpha]\n[ZETA]\nB=3\nc=4\n; x=5\n");
    EXPECT_EQ((std::vector<std::string>{"Zeta", "alpha"}), profile::SectionNames(file_));
    EXPECT_EQ((std::vector<std::string>{"b", "a", "c"}), profile::KeyNames(file_, "zeta"));
    EXPECT_TRUE(profile::KeyNames(file_, "alpha").empty());
    EXPECT_TRUE(profile::SectionNames(dir_ + "/absent.ini").empty());
}

// A change by anyone is seen at the next read, including an in-place edit
// that keeps the size and puts the old modification time back.
TEST_F(ProfileTest, ReadsNeverStale) {
    Put("[a]\nk=1\n");
    EXPECT_EQ("1", profile::GetString(file_, "a", "k", ""));
    Put("[a]\nk=2\n");  // same size, same inode, probably the same timestamp tick
    EXPECT_EQ("2", profile::GetString(file_, "a", "k", ""));

    // Let the file settle so that the parse may be cached, then edit in place.
    std::this_thread::sleep_for(std::chrono::milliseconds(3100));
    struct stat before {};
    ASSERT_EQ(0, ::stat(file_.c_str(), &before));
    EXPECT_EQ("2", profile::GetString(file_, "a", "k", ""));
    EXPECT_EQ("2", profile::GetString(file_, "a", "k", ""));
    {
        const int fd = ::open(file_.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(1, ::pwrite(fd, "3", 1, 6));
        const timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(0, ::futimens(fd, times));
        ::close(fd);
    }
    EXPECT_EQ("3", profile::GetString(file_, "a", "k", ""));
    // Replaced by rename (another process's rewrite).
    std::ofstream(dir_ + "/other", std::ios::binary) << "[a]\nk=4\n";
    std::filesystem::rename(dir_ + "/other", file_);
    EXPECT_EQ("4", profile::GetString(file_, "a", "k", ""));
    std::filesystem::remove(file_);
    EXPECT_EQ("gone", profile::GetString(file_, "a", "k", "gone"));
}

// Several changes, one rewrite: all of them or, when one would be refused,
// none.
TEST_F(ProfileTest, WriteBatchAppliesAllOrNothing) {
    Put("[Groups]\r\nTotal=2\r\nG00001=a\r\nG00002=b\r\n[a]\r\nLow=1\r\n[b]\r\nLow=1\r\n");
    const std::vector<profile::Change> good = {
        {"Groups", "G00001", "b"}, {"Groups", "G00002", std::nullopt},
        {"Groups", "Total", "1"},  {"a", std::nullopt, std::nullopt},
        {"b", "Low", "4"},         {"new", "Key", "v"},
        {"new", "Other", "w"},
    };
    ASSERT_TRUE(profile::WriteBatch(file_, good));
    EXPECT_EQ(
        "[Groups]\r\nTotal=1\r\nG00001=b\r\n[b]\r\nLow=4\r\n\r\n[new]\r\nKey=v\r\nOther=w\r\n",
        Contents());
    EXPECT_EQ("4", profile::GetString(file_, "B", "low", ""));
    EXPECT_EQ("w", profile::GetString(file_, "new", "other", ""));

    const std::string before = Contents();
    const std::vector<profile::Change> bad = {{"b", "Low", "5"}, {"b", "k=ey", "x"}};
    EXPECT_FALSE(profile::WriteBatch(file_, bad));
    EXPECT_EQ(before, Contents());
    EXPECT_EQ("4", profile::GetString(file_, "b", "Low", ""));
}

// What we wrote ourselves is kept as the file's parse, and still an edit in
// place right after it (same size, same times) is seen.
TEST_F(ProfileTest, OwnWriteThenEditInPlace) {
    Put("[a]\nk=1\n");
    ASSERT_TRUE(profile::WriteString(file_, "a", "k", "2"));
    EXPECT_EQ("2", profile::GetString(file_, "a", "k", ""));
    struct stat before {};
    ASSERT_EQ(0, ::stat(file_.c_str(), &before));
    {
        const int fd = ::open(file_.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(1, ::pwrite(fd, "3", 1, 7));  // "[a]\r\nk=" is 7 bytes
        const timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(0, ::futimens(fd, times));
        ::close(fd);
    }
    EXPECT_EQ("3", profile::GetString(file_, "a", "k", ""));
    ASSERT_TRUE(profile::WriteString(file_, "a", "k", "4"));
    EXPECT_EQ("4", profile::GetString(file_, "a", "k", ""));
}

}  // namespace
