#include "reader/ReaderText.h"

#include <gtest/gtest.h>

#include "tests/util/TestUtil.h"

TEST(ReaderText, ParseIP) {
    struct Case {
        const char* text;
        long a, b, c, d;
    } cases[] = {
        {"192.168.1.7", 192, 168, 1, 7},
        {"192.168.1.*", 192, 168, 1, -1},
        {"*.*.*.*", -1, -1, -1, -1},
        {"10.0.0", -2, 10, 0, 0},       // three parts: matches nothing
        {"", -2, -2, -2, 0},            // a blank line
        {"1.2.3.4.5", -2, -2, -2, -2},  // not a mask at all
        {"10.x.0.1", 10, 0, 0, 1},
        {" 10.0.0.1", 10, 0, 0, 1},
    };
    for (const Case& c : cases) {
        long a, b, cc, d;
        ParseIP(c.text, a, b, cc, d);
        EXPECT_EQ(c.a, a) << c.text;
        EXPECT_EQ(c.b, b) << c.text;
        EXPECT_EQ(c.c, cc) << c.text;
        EXPECT_EQ(c.d, d) << c.text;
    }
}

TEST(ReaderText, AllowConnection) {
    testutil::TempDir dir;
    struct Case {
        const char* file;  // nullptr: no file
        const char* peer;
        bool admitted;
    } cases[] = {
        {"10.0.0.*\n", "10.0.0.5", true},
        {"10.0.0\n", "10.0.0.5", false},
        {"", "10.0.0.5", false},
        {nullptr, "127.0.0.1", false},
        {"127.0.0.1\r\n192.168.*.*\r\n", "192.168.44.3", true},
        {"127.0.0.1\r\n192.168.*.*\r\n", "192.169.44.3", false},
        {"\n\n*.*.*.*\n", "8.8.8.8", true},
        {"1.2.3.4.5\n", "2.3.4.5", false},
    };
    int i = 0;
    for (const Case& c : cases) {
        const std::string path = dir / ("allow" + std::to_string(i++));
        if (c.file) dir.Write("allow" + std::to_string(i - 1), c.file);
        EXPECT_EQ(c.admitted, AllowConnection(c.peer, path))
            << (c.file ? c.file : "(none)") << c.peer;
    }
}

TEST(ReaderText, GetWord) {
    struct Case {
        const char* text;
        int n;
        const char* want;
    } cases[] = {
        {"GROUP comp.lang.c", 1, "GROUP"},
        {"GROUP comp.lang.c", 2, "comp.lang.c"},
        {"GROUP  comp.lang.c", 2, ""},
        {"GROUP", 2, ""},
        {"XHDR subject 2-3", 3, "2-3"},
        {"a\tb c", 1, "a\tb"},
        {"LIST ", 2, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(c.want, GetWord(c.n, c.text)) << c.text << " #" << c.n;
}

TEST(ReaderText, GetHeaderField) {
    struct Case {
        const char* line;
        const char* want;
    } cases[] = {
        {"Subject: Hi", "Hi"},     {"Subject:\tHi", "\tHi"}, {"Subject:   Hi  ", "Hi  "},
        {"Subject: Hi\r\n", "Hi"}, {"no colon", ""},         {"From: a: b", "a: b"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.want, GetHeaderField(c.line)) << c.line;
}

TEST(ReaderText, ParseRange) {
    struct Case {
        const char* text;
        long first, last;
        bool open;
    } cases[] = {
        {"5", 5, 5, false}, {"2-4", 2, 4, false}, {"5-", 5, 0, true},
        {"", 0, 0, false},  {"-7", 0, 7, false},  {"99999999999-", 2147483647, 0, true},
    };
    for (const Case& c : cases) {
        const ArticleRange r = ParseRange(c.text);
        EXPECT_EQ(c.first, r.first) << c.text;
        EXPECT_EQ(c.last, r.last) << c.text;
        EXPECT_EQ(c.open, r.openEnd) << c.text;
    }
}

TEST(ReaderText, NewgroupsDate) {
    struct Case {
        const char* date;
        const char* today;
        const char* want;  // nullptr: refused
    } cases[] = {
        {"240101", "20240615", "20240101"},   {"240615", "20240615", "20240615"},
        {"240616", "20240615", "20240616"},  // tomorrow is this century's too
        {"241231", "20240615", "20241231"},   {"250101", "20240615", "19250101"},
        {"991231", "20240615", "19991231"},   {"19991231", "20240615", "19991231"},
        {"000101", "20000615", "20000101"},   {"010101", "20000615", "19010101"},
        {"20300101", "20240615", "20300101"}, {"2401", "20240615", nullptr},
        {"24o101", "20240615", nullptr},
    };
    for (const Case& c : cases) {
        const auto got = NewgroupsDate(c.date, c.today);
        if (c.want == nullptr)
            EXPECT_FALSE(got) << c.date;
        else
            EXPECT_EQ(c.want, got.value_or("(none)")) << c.date;
    }
}

TEST(ReaderText, BareMessageId) {
    EXPECT_EQ("a@b", BareMessageId(" <a@b> "));
    EXPECT_EQ("a@b", BareMessageId("a@b"));
    EXPECT_EQ("<a@b", BareMessageId("<a@b"));
}

TEST(ReaderText, WildmatMatch) {
    struct Case {
        const char* wildmat;
        const char* name;
        bool want;
    } cases[] = {
        {"*", "comp.lang.c", true},
        {"comp.*", "comp.lang.c", true},
        {"comp.*", "compx", false},
        {"COMP.*", "comp.lang.c", true},  // the index ignores case
        {"comp.lang.?", "comp.lang.c", true},
        {"comp.lang.?", "comp.lang.cc", false},
        {"local.test", "local.test", true},
        {"local.test", "local.tests", false},
        {"comp.*,!comp.lang.*", "comp.lang.c", false},
        {"comp.*,!comp.lang.*", "comp.os", true},
        {"!comp.lang.*,comp.*", "comp.lang.c", true},  // the last match decides
        {"!comp.*", "comp.os", false},
        {"!comp.*", "misc.test", false},  // nothing matched
        {"a*b*c", "aXbYbZc", true},
        {"a*b*c", "aXbYbZ", false},
        {"*.test", "local.test", true},
        {"", "x", false},
        {"", "", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.want, WildmatMatch(c.wildmat, c.name)) << c.wildmat << " " << c.name;
    // Many stars against a long name stays quick.
    EXPECT_FALSE(WildmatMatch(std::string(200, '*') + "b", std::string(5000, 'a')));
}

TEST(ReaderText, SplitNewsgroups) {
    using V = std::vector<std::string>;
    EXPECT_EQ((V{"a.b"}), SplitNewsgroups("a.b"));
    EXPECT_EQ((V{"a.b", "c.d"}), SplitNewsgroups("a.b,c.d"));
    EXPECT_EQ((V{"local.qv"}), SplitNewsgroups("local.qv, local.qv"));
    EXPECT_EQ((V{"a.b", "c.d"}), SplitNewsgroups(" a.b ,\tc.d , ,A.B"));
    EXPECT_EQ(V{}, SplitNewsgroups(" , "));
    EXPECT_EQ(V{}, SplitNewsgroups(""));
}

TEST(ReaderText, Rfc5322DateAndCommandTime) {
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    ::tzset();
    EXPECT_EQ("Tue, 10 Dec 2024 14:03:05 +0100", Rfc5322Date(1733835785));
    EXPECT_EQ("Mon, 1 Jul 2024 02:00:00 +0200", Rfc5322Date(1719792000));
    EXPECT_EQ(1733835785, CommandTime("20241210", "130305", true).value_or(0));
    EXPECT_EQ(1733835785, CommandTime("20241210", "140305", false).value_or(0));
    EXPECT_FALSE(CommandTime("20241310", "000000", true));
    EXPECT_FALSE(CommandTime("20241210", "0000", true));
    EXPECT_FALSE(CommandTime("2024121x", "000000", true));
    if (old)
        ::setenv("TZ", saved.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

TEST(ReaderText, ValidMessageId) {
    for (const char* id : {"<a@b>", "<QVE1.67@host.example>", "<x.y$z@[1.2.3.4]>"})
        EXPECT_TRUE(ValidMessageId(id)) << id;
    for (const char* id :
         {"", "a@b", "<ab>", "<@b>", "<a@>", "<a b@c>", "<a@b", "<a<b@c>", "<news/POSTS/QVE1.WRK>"})
        EXPECT_FALSE(ValidMessageId(id)) << id;
    EXPECT_FALSE(ValidMessageId("<" + std::string(240, 'a') + "@" + std::string(9, 'b') + ">"));
}
