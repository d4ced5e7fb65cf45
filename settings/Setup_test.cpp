#include "settings/Setup.h"

#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "settings/Profile.h"
#include "tests/util/TestUtil.h"

namespace {

class SetupTest : public ::testing::Test {
protected:
    std::string Ini() const { return dir_ / "Quorvel.INI"; }
    void Put(std::string_view text) const { dir_.Write("Quorvel.INI", text); }
    std::string Raw(std::string_view section, std::string_view key) const {
        return profile::GetString(Ini(), section, key, "<missing>", 4096);
    }
    testutil::TempDir dir_;
    ::Setup setup_{Ini()};  // qualified: gtest hides the name Setup in fixtures
};

TEST_F(SetupTest, DefaultsWithoutFile) {
    struct Case {
        const char* what;
        std::string got, want;
    } cases[] = {
        {"ListenPort", std::to_string(setup_.GetListenPort()), "119"},
        {"ServerTimeout", std::to_string(setup_.GetServerTimeout()), "60"},
        {"SleepTime", std::to_string(setup_.GetSleepTime()), "0"},
        {"NewsPath", setup_.GetNewsDirectory(), "!"},
        {"PostingHost", setup_.GetPostingHost(), "!"},
        {"Profile", setup_.GetRasProfile(), "(None)"},
        {"Login", setup_.GetRasLogin(), " "},
        {"Password", setup_.GetRasPassword(), ""},
        {"WaitForConnect", std::to_string(setup_.GetWaitForConnect()), "60"},
        {"redialattempts", std::to_string(setup_.GetRedialAttempts()), "5"},
        {"DropConnect", setup_.GetDropConnection() ? "true" : "false", "true"},
        {"Backend", setup_.GetRasBackend(), "nm"},
        {"age", setup_.GetExpireAge(), "31"},
        {"size", setup_.GetExpireSize(), "9999"},
        {"CondAge", setup_.GetExpireCondAge(), "999"},
        {"CondSize", setup_.GetExpireCondSize(), "9999"},
        {"RunAsService", setup_.GetRunAsService() ? "true" : "false", "false"},
        {"ServiceName", setup_.GetServiceName(), "Quorvel"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.want, c.got) << c.what;
    std::string dep;
    EXPECT_FALSE(setup_.GetDependancy(dep, 1));
    EXPECT_FALSE(std::filesystem::exists(Ini())) << "reading must not create the file";
}

TEST_F(SetupTest, NumbersReadAsAtolWithinNineCharacters) {
    struct Case {
        const char* stored;
        int want;
    } cases[] = {
        {"8119", 8119},
        {"  25", 25},
        {"12abc", 12},
        {"abc", 0},
        {"", 0},
        {"-1", -1},
        {"1234567890123", 123456789},  // only the first nine characters are read
    };
    for (const Case& c : cases) {
        Put(std::string("[ADMIN]\nlistenport=") + c.stored + "\n");
        EXPECT_EQ(c.want, setup_.GetListenPort()) << c.stored;
    }
}

TEST_F(SetupTest, NewsDirectoryEndsWithSlash) {
    const std::string longPath = "/" + std::string(300, 'n');
    struct Case {
        std::string stored;  // "<missing>": no key
        std::string want, fileAfter;
    } cases[] = {
        {"/var/news", "/var/news/", "/var/news/"},  // corrected in the file as well
        {"news/", "news/", "news/"},
        {"!", "!", "!"},
        {"!unset", "!unset", "!unset"},
        {"<missing>", "!", "<missing>"},             // nothing written
        {"", "!", ""},                               // never the root directory
        {longPath, longPath + "/", longPath + "/"},  // long paths are not cut
    };
    for (const Case& c : cases) {
        Put(c.stored == "<missing>" ? "[admin]\n" : "[admin]\nNewspath=" + c.stored + "\n");
        EXPECT_EQ(c.want, setup_.GetNewsDirectory()) << c.stored;
        EXPECT_EQ(c.fileAfter, Raw("admin", "NewsPath")) << c.stored;
    }
}

TEST_F(SetupTest, SetNewsDirectoryNormalises) {
    struct Case {
        const char* given;
        const char* stored;
    } cases[] = {
        {"news", "news/"}, {"news/", "news/"}, {"  /srv/news  ", "/srv/news/"},
        {"", "!"},         {"   ", "!"},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(setup_.SetNewsDirectory(c.given)) << c.given;
        EXPECT_EQ(c.stored, Raw("admin", "NewsPath")) << c.given;
    }
}

TEST_F(SetupTest, TruthValuesTestFirstCharacter) {
    struct Case {
        const char* stored;  // nullptr: key missing
        bool drop;           // DropConnect: false only for an upper-case N
        bool service;        // RunAsService: Y or y
    } cases[] = {
        {"Yes", true, true},  {"Y", true, true},   {"yes", true, true},
        {"No", false, false}, {"N", false, false}, {"no", true, false},
        {"1", true, false},   {"", true, false},   {nullptr, true, false},
    };
    for (const Case& c : cases) {
        Put(c.stored ? std::string("[ras]\nDropConnect=") + c.stored +
                           "\n[Service]\nRunAsService=" + c.stored + "\n"
                     : std::string("[ras]\n"));
        EXPECT_EQ(c.drop, setup_.GetDropConnection()) << (c.stored ? c.stored : "(missing)");
        EXPECT_EQ(c.service, setup_.GetRunAsService()) << (c.stored ? c.stored : "(missing)");
    }
    setup_.SetDropConnection(false);
    EXPECT_EQ("No", Raw("ras", "DropConnect"));
    setup_.SetRunAsService(true);
    EXPECT_EQ("Yes", Raw("Service", "RunAsService"));
}

TEST_F(SetupTest, DependencyListEndsAtFirstGap) {
    Put("[Service]\nDependancy1=network-online.target\nDependancy3=never.reached\n");
    std::vector<std::string> list;
    std::string name;
    for (int n = 1; setup_.GetDependancy(name, n); ++n) list.push_back(name);
    EXPECT_EQ(std::vector<std::string>{"network-online.target"}, list);
    EXPECT_EQ("/", name);
}

std::string Bytes(std::size_t n, unsigned first) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += static_cast<char>(first + i * 7 % 90);
    return s;
}

TEST_F(SetupTest, PasswordsRoundTripWhole) {
    std::string allHigh;
    for (int b = 128; b < 227; ++b) allHigh += static_cast<char>(b);
    struct Case {
        const char* what;
        std::string password;
    } cases[] = {
        {"empty", ""},
        {"one", "x"},
        {"42", Bytes(42, 33)},
        {"43: encoded ends with a line break", Bytes(43, 33)},
        {"45", Bytes(45, 33)},
        {"46: break inside the value", Bytes(46, 33)},
        {"99: the longest", Bytes(99, 32)},
        {"bytes above 127", allHigh},
        {"first byte scrambles to 0",
         "\xC4"
         "abc"},  // 0xC4 + '<' = 256
        {"blanks kept", "  pass word  "},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(setup_.SetRasPassword(c.password)) << c.what;
        const std::string stored = Raw("ras", "Password");
        EXPECT_EQ(std::string::npos, stored.find_first_of("\r\n")) << c.what;
        EXPECT_EQ(c.password, setup_.GetRasPassword()) << c.what;
        EXPECT_EQ(std::string::npos, dir_.Read("Quorvel.INI").find("\r\n\r\n")) << c.what;
    }
    EXPECT_TRUE(setup_.SetRasPassword(""));
    EXPECT_EQ("", Raw("ras", "Password")) << "the empty password stores the empty value";
}

TEST_F(SetupTest, PasswordFormatMatchesStoredFiles) {
    // 'a' + '<' = 0x9D; '4' + 'W' = 0x8B: fixed vectors keep old files readable.
    struct Case {
        const char* stored;
        const char* plain;
    } cases[] = {{"nQ==", "a"}, {"nYs=", "a4"}, {" ", ""}, {"", ""}};
    for (const Case& c : cases) {
        Put(std::string("[ras]\nPassword=") + c.stored + "\n");
        EXPECT_EQ(c.plain, setup_.GetRasPassword()) << c.stored;
    }
    setup_.SetRasPassword("a4");
    EXPECT_EQ("nYs=", Raw("ras", "Password"));
    // A 45-character password stored by a writer that kept the line break
    // after the 60th character still reads back whole.
    const std::string p45 = Bytes(45, 40);
    ASSERT_TRUE(setup_.SetRasPassword(p45));
    Put("[ras]\r\nPassword=" + Raw("ras", "Password") + "\r\n\r\n");
    EXPECT_EQ(p45, setup_.GetRasPassword());
}

TEST_F(SetupTest, OverlongPasswordRefusedAndOldKept) {
    ASSERT_TRUE(setup_.SetRasPassword("secret"));
    EXPECT_FALSE(setup_.SetRasPassword(std::string(100, 'p')));
    EXPECT_EQ("secret", setup_.GetRasPassword());
}

TEST_F(SetupTest, SettersRefuseLineBreaks) {
    setup_.SetPostingHost("news.example");
    EXPECT_FALSE(setup_.SetPostingHost("evil\r\n[admin]\r\nListenPort=1"));
    EXPECT_EQ("news.example", setup_.GetPostingHost());
    EXPECT_EQ(119, setup_.GetListenPort());
}

TEST_F(SetupTest, CanonicalFileName) {
    struct Case {
        std::string given, want;
    } cases[] = {
        {dir_ / "QUORVEL.INI", dir_ / "Quorvel.INI"},
        {dir_ / "quorvel.ini", dir_ / "Quorvel.INI"},
        {dir_ / "other.ini", dir_ / "other.ini"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.want, ::Setup(c.given).IniPath()) << c.given;

    // A relative name is fixed against the directory current at construction.
    const auto old = std::filesystem::current_path();
    std::filesystem::current_path(dir_.Path());
    const ::Setup relative("QUORVEL.INI");
    std::filesystem::current_path(old);
    EXPECT_EQ(std::filesystem::canonical(dir_.Path()).string() + "/Quorvel.INI",
              relative.IniPath());
}

}  // namespace
