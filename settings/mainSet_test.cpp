#include "settings/mainSet.h"

#include <gtest/gtest.h>

#include "settings/Profile.h"
#include "settings/Setup.h"
#include "tests/util/TestUtil.h"

namespace {

TEST(mainSet, FillsFromTheSettingsAndTheAllowList) {
    testutil::TempDir dir;
    dir.Write("Quorvel.INI", "[admin]\r\nListenPort=1119\r\nNewsPath=spool\r\n");
    const std::string longLine(120, '1');
    dir.Write("allowip.ini", "127.0.0.1\r\n192.168.1.*\n" + longLine + "\n1.2\n10.0.0.*\n");
    ::Setup setup(dir / "Quorvel.INI");
    mainSet page(setup);
    page.SetupWindow();
    const msPacket& p = page.Transfer();
    EXPECT_EQ("1119", p.listenPort);
    EXPECT_EQ("spool/", p.newsPath);
    EXPECT_EQ("!", p.postingHost);  // not configured, as the settings say
    EXPECT_EQ("60", p.timeout);
    // Lines of up to 89 characters, up to the first shorter than 5.
    EXPECT_EQ((std::vector<std::string>{"127.0.0.1", "192.168.1.*", longLine.substr(0, 89)}),
              p.allowList);
}

TEST(mainSet, AddRemoveAndApply) {
    testutil::TempDir dir;
    dir.Write("allowip.ini", "127.0.0.1\n");
    ::Setup setup(dir / "Quorvel.INI");
    mainSet page(setup);
    page.SetupWindow();
    // Only looked at: nothing written, not even the defaults.
    ASSERT_TRUE(page.Apply());
    EXPECT_EQ("", dir.Read("Quorvel.INI"));
    msPacket& p = page.Transfer();
    struct Case {
        const char* mask;
        bool added;
    } cases[] = {{"10.0.0", true}, {"*.*.*.*", true}, {"1.2", false}, {"", false}};
    for (const Case& c : cases) {
        p.mask = c.mask;
        EXPECT_EQ(c.added, page.AddIpButton()) << c.mask;
        // Added as typed and the field emptied; a refused mask stays for
        // correction.
        EXPECT_EQ(c.added ? "" : c.mask, p.mask) << c.mask;
    }
    p.selected = 0;
    page.DelIpButton();
    EXPECT_EQ((std::vector<std::string>{"10.0.0", "*.*.*.*"}), p.allowList);

    p.listenPort = "1563";
    p.newsPath = "store";
    p.postingHost = "news.example.net";
    p.timeout = "90";
    ASSERT_TRUE(page.Apply());
    EXPECT_EQ("10.0.0\n*.*.*.*\n", dir.Read("allowip.ini"));
    EXPECT_EQ(1563, setup.GetListenPort());
    EXPECT_EQ("store/", setup.GetNewsDirectory());
    EXPECT_EQ("news.example.net", setup.GetPostingHost());
    EXPECT_EQ(90, setup.GetServerTimeout());
}

}  // namespace
