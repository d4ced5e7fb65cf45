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
        {"240616", "20240615", "19240616"},  // tomorrow in this century: the last one
        {"991231", "20240615", "19991231"},   {"19991231", "20240615", "19991231"},
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
