#include "sched/NmDialUp.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <optional>

#include "net/EventLoop.h"
#include "sched/SimDialUp.h"
#include "settings/Profile.h"
#include "settings/Setup.h"
#include "tests/util/TestUtil.h"

namespace {

// A stand-in for nmcli: answers the calls we make and records them.
constexpr const char* kFakeNmcli = R"SH(#!/bin/sh
echo "$*" >> "$(dirname "$0")/calls"
case "$*" in
  "-t -f NAME connection show --active") printf 'Wired\nMy\\:ISP\n' ;;
  "-t -f NAME connection show") printf 'Wired\nMy\\:ISP\nBack\\\\slash\n' ;;
  "connection up id MyISP") echo "Connection successfully activated (D-Bus active path: /x/1)"; exit 0 ;;
  "connection up id Secret passwd-file "*)
    # What nmcli would read: the file's mode, whether it is still named, its lines.
    stat -L -c %a "$6" > "$(dirname "$0")/secrets.mode"
    readlink "$6" > "$(dirname "$0")/secrets.link"
    cat "$6" > "$(dirname "$0")/secrets.text"
    echo "Connection successfully activated"; exit 0 ;;
  "connection up id Locked") echo "Error: Connection activation failed: Secrets were required, but not provided" >&2; exit 4 ;;
  "connection up id Broken") echo "Error: Connection activation failed: device gone" >&2; exit 4 ;;
  "connection up id Missing") echo "Error: unknown connection 'Missing'." >&2; exit 10 ;;
  "connection up id Slow") exec sleep 30 ;;
  "connection down id "*) exit 0 ;;
  *) echo "Error: unexpected $*" >&2; exit 2 ;;
esac
)SH";

class NmDialUpTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir.Write("nmcli", kFakeNmcli);
        ::chmod((dir / "nmcli").c_str(), 0755);
        nm = std::make_unique<NmDialUp>(
            loop, [this](std::string_view l) { log.emplace_back(l); }, dir / "nmcli");
    }
    template <typename Pred>
    bool RunUntil(Pred pred, int ms = 30000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!pred()) {
            if (std::chrono::steady_clock::now() > end) return false;
            loop.RunOnce(10);
        }
        return true;
    }
    std::string Calls() const { return dir.Read("calls"); }

    EventLoop loop;
    testutil::TempDir dir;
    std::vector<std::string> log;
    std::unique_ptr<NmDialUp> nm;
};

TEST_F(NmDialUpTest, ListsProfilesAndActiveConnections) {
    std::optional<std::vector<std::string>> entries, active;
    nm->ListEntries([&](bool ok, std::vector<std::string> names) {
        EXPECT_TRUE(ok);
        entries = names;
    });
    nm->ListActive([&](bool ok, std::vector<std::string> names) {
        EXPECT_TRUE(ok);
        active = names;
    });
    EXPECT_FALSE(entries.has_value());  // never answered inside the call
    ASSERT_TRUE(RunUntil([&] { return entries && active; }));
    EXPECT_EQ((std::vector<std::string>{"Wired", "My:ISP", "Back\\slash"}), *entries);
    EXPECT_EQ((std::vector<std::string>{"Wired", "My:ISP"}), *active);
    EXPECT_EQ(0u, nm->ActiveChildren());
}

TEST_F(NmDialUpTest, DialOutcomes) {
    struct Case {
        const char* entry;
        int finalState;
        int error;
    } cases[] = {
        {"MyISP", rasstate::Connected, 0},
        {"Locked", rasstate::OpenPort, 691},
        {"Broken", rasstate::OpenPort, 651},
        {"Missing", rasstate::OpenPort, 623},
    };
    for (const Case& c : cases) {
        std::vector<std::pair<int, int>> events;
        std::uintptr_t handle = 0;
        ASSERT_EQ(0, nm->Dial(
                         {c.entry, "", ""},
                         [&](int state, int error) { events.emplace_back(state, error); }, handle))
            << c.entry;
        EXPECT_NE(0u, handle);
        ASSERT_TRUE(RunUntil([&] { return events.size() == 2; })) << c.entry;
        EXPECT_EQ(std::make_pair(rasstate::OpenPort, 0), events[0]) << c.entry;
        EXPECT_EQ(std::make_pair(c.finalState, c.error), events[1]) << c.entry;
        nm->HangUp(handle);
    }
    ASSERT_TRUE(RunUntil([&] { return nm->ActiveChildren() == 0; }));
    // Only the line that came up is taken down again.
    EXPECT_NE(std::string::npos, Calls().find("connection down id MyISP"));
    EXPECT_EQ(std::string::npos, Calls().find("connection down id Locked"));
}

TEST_F(NmDialUpTest, LoginAndPasswordGoThroughARemovedOwnerOnlyFile) {
    std::vector<std::pair<int, int>> events;
    std::uintptr_t handle = 0;
    ASSERT_EQ(0, nm->Dial(
                     {"Secret", "alice", "pa ss:word"},
                     [&](int s, int e) { events.emplace_back(s, e); }, handle));
    ASSERT_TRUE(RunUntil([&] { return events.size() == 2; }));
    EXPECT_EQ(std::make_pair(rasstate::Connected, 0), events[1]) << dir.Read("calls");
    EXPECT_EQ("600\n", dir.Read("secrets.mode"));
    // Gone from the directory before nmcli ran: only the descriptor reached it.
    EXPECT_NE(std::string::npos, dir.Read("secrets.link").find("(deleted)"))
        << dir.Read("secrets.link");
    const std::string text = dir.Read("secrets.text");
    for (const char* line : {"gsm.username:alice\n", "gsm.password:pa ss:word\n",
                             "pppoe.username:alice\n", "pppoe.password:pa ss:word\n",
                             "802-1x.password:pa ss:word\n", "vpn.secrets.password:pa ss:word\n"})
        EXPECT_NE(std::string::npos, text.find(line)) << line << " in\n" << text;
    EXPECT_EQ(std::string::npos, Calls().find("pa ss")) << Calls();
    EXPECT_EQ(std::string::npos, Calls().find("alice")) << Calls();
    nm->HangUp(handle);
    // Without a login the profile's own credentials are used: no file.
    events.clear();
    ASSERT_EQ(
        0, nm->Dial(
               {"MyISP", " ", "unused"}, [&](int s, int e) { events.emplace_back(s, e); }, handle));
    ASSERT_TRUE(RunUntil([&] { return events.size() == 2; }));
    EXPECT_EQ(std::make_pair(rasstate::Connected, 0), events[1]);
    EXPECT_EQ(std::string::npos, Calls().find("unused"));
    nm->HangUp(handle);
    ASSERT_TRUE(RunUntil([&] { return nm->ActiveChildren() == 0; }));
}

TEST_F(NmDialUpTest, HangUpDuringActivationStopsIt) {
    std::vector<std::pair<int, int>> events;
    std::uintptr_t handle = 0;
    ASSERT_EQ(0, nm->Dial(
                     {"Slow", "", ""}, [&](int s, int e) { events.emplace_back(s, e); }, handle));
    ASSERT_TRUE(RunUntil([&] { return events.size() == 1; }));
    nm->HangUp(handle);
    ASSERT_TRUE(RunUntil([&] { return nm->ActiveChildren() == 0; }, 3000));
    EXPECT_EQ(1u, events.size());  // nothing after the hang-up
    EXPECT_NE(std::string::npos, Calls().find("connection down id Slow"));
}

TEST_F(NmDialUpTest, MissingProgramIsReportedNotFatal) {
    NmDialUp absent(
        loop, [this](std::string_view l) { log.emplace_back(l); }, dir / "no-such-nmcli");
    std::string why;
    EXPECT_FALSE(absent.Available(&why));
    EXPECT_NE(std::string::npos, why.find("was not found")) << why;
    std::optional<bool> listed;
    absent.ListActive([&](bool ok, std::vector<std::string>) { listed = ok; });
    ASSERT_TRUE(RunUntil([&] { return listed.has_value(); }));
    EXPECT_FALSE(*listed);
    std::uintptr_t handle = 0;
    EXPECT_NE(0, absent.Dial(
                     {"MyISP", "", ""}, [](int, int) {}, handle));
    EXPECT_FALSE(log.empty());
}

TEST(NmDialUpParse, TerseNamesAndErrorCodes) {
    EXPECT_EQ((std::vector<std::string>{"a:b", "c\\d", "e"}),
              NmDialUp::ParseNames("a\\:b\nc\\\\d\r\n\ne"));
    struct Case {
        int exit;
        const char* output;
        int want;
    } cases[] = {{10, "", 623},
                 {8, "", 711},
                 {3, "", 638},
                 {4, "Error: ... Secrets were required", 691},
                 {4, "Error: authentication failed", 691},
                 {4, "Error: IP configuration could not be reserved", 651},
                 {1, "", 635},
                 {-1, "", 635}};
    for (const Case& c : cases) EXPECT_EQ(c.want, NmDialUp::ErrorCode(c.exit, c.output)) << c.exit;
}

TEST(MakeDialUpTest, BackendChosenBySettings) {
    EventLoop loop;
    testutil::TempDir dir;
    ::Setup setup(dir / "Quorvel.INI");
    EXPECT_NE(nullptr, dynamic_cast<NmDialUp*>(MakeDialUp(loop, setup, {}).get()));

    dir.Write("sim.txt", "entry One\nactive One\nbogus line\n");
    setup.SetRasBackend("sim");
    profile::WriteString(setup.IniPath(), "ras", "SimScript", dir / "sim.txt");
    std::vector<std::string> log;
    auto d = MakeDialUp(loop, setup, [&](std::string_view l) { log.emplace_back(l); });
    auto* sim = dynamic_cast<SimDialUp*>(d.get());
    ASSERT_NE(nullptr, sim);
    EXPECT_EQ(std::vector<std::string>{"One"}, sim->ActiveNames());
    EXPECT_EQ(std::vector<std::string>{"[RAS] Simulation script line 3 not understood: bogus line"},
              log);
}

}  // namespace
