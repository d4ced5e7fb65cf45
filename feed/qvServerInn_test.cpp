// Feed sessions against a real INN on 127.0.0.1:11119 (started with
// /work/shared/tools/inn-upstream test.alpha test.beta). Skipped when no
// server answers there.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "feed/FeedTestHarness.h"
#include "settings/Profile.h"
#include "store/Subscription.h"

namespace {

using feedtest::FeedHome;
namespace fs = std::filesystem;

constexpr int kInnPort = 11119;
constexpr const char* kGroup = "test.alpha";

// A plain client for looking at INN directly.
class InnClient {
public:
    bool Connect() {
        if (!client_.Connect(kInnPort, std::chrono::seconds(2))) return false;
        const auto greeting = client_.ReadLine();
        return greeting && greeting->starts_with("20") && Command("MODE READER").starts_with("20");
    }
    std::string Command(const std::string& line) {
        client_.Send(line + "\r\n");
        return client_.ReadLine().value_or("");
    }

private:
    testutil::LineClient client_;
};

bool InnReachable() {
    InnClient c;
    return c.Connect();
}

std::string UniqueId(int n) {
    static const long stamp = static_cast<long>(std::time(nullptr));
    return "<qvfeed." + std::to_string(stamp) + "." + std::to_string(getpid()) + "." +
           std::to_string(n) + "@example.test>";
}

std::string Posting(const std::string& id, const std::string& subject) {
    return "From: Feed Test <feedtest@example.test>\r\nNewsgroups: " + std::string(kGroup) +
           "\r\nSubject: " + subject + "\r\nMessage-ID: " + id +
           "\r\n\r\nA test article.\r\n..a line that starts with a dot\r\n.\r\n";
}

std::vector<std::string> IndexFiles(const std::string& dir) {
    std::vector<std::string> names;
    if (!fs::exists(dir)) return names;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().starts_with("NEWS"))
            names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(FeedInn, RefreshWritesTheAllGroupsFile) {
    if (!InnReachable()) GTEST_SKIP() << "INN is not reachable on 127.0.0.1:" << kInnPort;
    FeedHome home;
    auto s = home.RunSession(kind::RefreshGroups, kInnPort);
    EXPECT_EQ(2, s->GetState());
    const std::string all = home.Read("feed01.all");
    EXPECT_TRUE(all.starts_with("215 ")) << all.substr(0, 80);
    EXPECT_NE(std::string::npos, all.find("\r\ntest.alpha ")) << all;
    EXPECT_NE(std::string::npos, all.find("\r\n.\r\n205")) << all;
    // INN answers LIST NEWSGROUPS: "name TAB description" lines, no status
    // line and no "." line (its test groups may have no description).
    ASSERT_TRUE(fs::exists(home.News() + "feed01.all.desc"));
    const std::string desc = home.Read("feed01.all.desc");
    for (std::size_t at = 0; at < desc.size();) {
        const std::size_t end = desc.find("\r\n", at);
        ASSERT_NE(std::string::npos, end) << desc.substr(at, 80);
        EXPECT_NE(std::string::npos, desc.substr(at, end - at).find('\t')) << desc.substr(at, 80);
        at = end + 2;
    }
    store::SubscriptionPage page(home.News(), "feed01.all", "feed01.sub");
    const auto cats = page.MsgLoadCat();
    ASSERT_TRUE(cats);
    EXPECT_NE(cats->end(), std::find(cats->begin(), cats->end(), "test"));
}

TEST(FeedInn, PostThenFetchEverythingThenOnlyWhatIsNew) {
    if (!InnReachable()) GTEST_SKIP() << "INN is not reachable on 127.0.0.1:" << kInnPort;
    FeedHome home;

    // Posting reaches INN and empties the queue.
    for (int i = 1; i <= 3; ++i)
        home.Write("POSTS/QVE" + std::to_string(i) + ".TMP",
                   Posting(UniqueId(i), "post " + std::to_string(i)));
    auto post = home.RunSession(kind::PostArticles, kInnPort);
    EXPECT_EQ(2, post->GetState());
    EXPECT_TRUE(fs::is_empty(home.News() + "POSTS")) << home.Host().Joined();
    InnClient inn;
    ASSERT_TRUE(inn.Connect());
    for (int i = 1; i <= 3; ++i)
        EXPECT_TRUE(inn.Command("STAT " + UniqueId(i)).starts_with("223")) << i;
    const std::string group = inn.Command(std::string("GROUP ") + kGroup);
    ASSERT_TRUE(group.starts_with("211")) << group;
    const long first = std::atol(GetReplyWord(3, group).c_str());
    const long last = std::atol(GetReplyWord(4, group).c_str());

    // A new subscription fetches every article, the first included.
    home.Write("feed01.sub", std::string("Y0000000000 ") + kGroup + "\r\n");
    const auto begin = std::chrono::steady_clock::now();
    auto fetch = home.RunSession(kind::FetchArticles, kInnPort, std::chrono::seconds(120));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - begin)
                        .count();
    EXPECT_EQ(2, fetch->GetState());
    char want[64];
    std::snprintf(want, sizeof want, "Y%010ld %s\r\n", last, kGroup);
    EXPECT_EQ(want, home.Read("feed01.sub")) << home.Host().Joined();
    const std::string dir = home.News() + kGroup + "/";
    const std::size_t fetched = IndexFiles(dir).size();
    EXPECT_GE(fetched, 2u);
    EXPECT_LE(static_cast<long>(fetched), last - first + 1);
    std::printf("fetched %zu articles in %lld ms\n", fetched, static_cast<long long>(ms));
    // The newest article is ours, stored as INN sent it.
    const std::string newest = dir + UniqueId(3).substr(1, UniqueId(3).size() - 2);
    const std::string content = testutil::ReadFile(newest);
    EXPECT_TRUE(content.starts_with("220 ")) << content;
    EXPECT_NE(std::string::npos, content.find("\r\n..a line that starts with a dot\r\n"));
    EXPECT_TRUE(content.ends_with("\r\n.\r\n"));

    // A second run fetches only the new article.
    home.Write("POSTS/QVE9.TMP", Posting(UniqueId(9), "post 9"));
    home.RunSession(kind::PostArticles, kInnPort);
    home.RunSession(kind::FetchArticles, kInnPort, std::chrono::seconds(60));
    EXPECT_EQ(fetched + 1, IndexFiles(dir).size());
    EXPECT_TRUE(fs::exists(dir + UniqueId(9).substr(1, UniqueId(9).size() - 2)));
    EXPECT_EQ(static_cast<long>(fetched) + 2,
              profile::GetInt(home.News() + "newsrc.ini", kGroup, "High", 0));
}

}  // namespace
