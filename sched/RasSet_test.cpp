#include "sched/RasSet.h"

#include <gtest/gtest.h>

#include "net/EventLoop.h"
#include "sched/SimDialUp.h"
#include "settings/Profile.h"
#include "settings/Setup.h"
#include "tests/util/TestUtil.h"

namespace {

// The page's list after the machinery has answered.
RasPacket Loaded(RasSet& page, DialUp* dialUp, EventLoop& loop) {
    bool done = false;
    page.LoadProfiles(dialUp, [&done] { done = true; });
    for (int i = 0; i < 100 && !done; ++i) loop.RunOnce(10);
    EXPECT_TRUE(done);
    return page.Transfer();
}

TEST(RasSet, ProfilesFromThePhoneBookWithTheStoredOneSelected) {
    testutil::TempDir dir;
    EventLoop loop;
    SimDialUp sim(loop, "entry Provider\nentry Backup\n");
    struct Case {
        const char* stored;
        int selected;
    } cases[] = {{nullptr, 0}, {"provider", 1}, {"Backup", 2}, {"Gone", -1}};
    for (const Case& c : cases) {
        const std::string ini = dir / "Quorvel.INI";
        profile::WriteString(ini, "ras", "Profile",
                             c.stored ? std::optional<std::string_view>(c.stored) : std::nullopt);
        ::Setup setup(ini);
        RasSet page(setup);
        const RasPacket p = Loaded(page, &sim, loop);
        EXPECT_EQ((std::vector<std::string>{"(None)", "Provider", "Backup"}), p.profiles);
        EXPECT_EQ(c.selected, p.selected) << (c.stored ? c.stored : "(default)");
    }
    // Without a machinery: "(None)" alone.
    ::Setup setup(dir / "Quorvel.INI");
    RasSet page(setup);
    EXPECT_EQ(std::vector<std::string>{"(None)"}, Loaded(page, nullptr, loop).profiles);
}

TEST(RasSet, ApplyKeepsAProfileNotInThePhoneBook) {
    testutil::TempDir dir;
    EventLoop loop;
    SimDialUp sim(loop, "entry Provider\n");
    const std::string ini = dir / "Quorvel.INI";
    profile::WriteString(ini, "ras", "Profile", "Gone");
    ::Setup setup(ini);
    RasSet page(setup);
    RasPacket& p = page.Transfer();
    Loaded(page, &sim, loop);
    const std::string password = "pa55 word with blanks and 45 characters......";
    p.password = password;
    p.redial = "3";
    p.drop = false;
    ASSERT_TRUE(page.Apply());
    // Applying never erases the profile just because the phone book lost it.
    EXPECT_EQ("Gone", setup.GetRasProfile());
    EXPECT_EQ(password, RasSet(setup).Transfer().password);
    EXPECT_EQ(3, setup.GetRedialAttempts());
    EXPECT_FALSE(setup.GetDropConnection());

    p.selected = 1;
    p.password = std::string(Setup::kMaxPassword + 1, 'x');
    std::string why;
    EXPECT_FALSE(page.Apply(&why));
    EXPECT_EQ("The password may have at most 99 characters.", why);
    EXPECT_EQ("Provider", setup.GetRasProfile());  // the rest is stored
    EXPECT_EQ(password, setup.GetRasPassword());
}

// A list that answers after the page has gone touches nothing.
TEST(RasSet, LateListAfterThePageHasGone) {
    testutil::TempDir dir;
    EventLoop loop;
    SimDialUp sim(loop, "entry Provider\n");
    ::Setup setup(dir / "Quorvel.INI");
    bool called = false;
    {
        RasSet page(setup);
        page.LoadProfiles(&sim, [&called] { called = true; });
    }
    for (int i = 0; i < 10; ++i) loop.RunOnce(5);
    EXPECT_FALSE(called);
}

}  // namespace
