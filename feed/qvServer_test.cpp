#include "feed/qvServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "feed/FeedTestHarness.h"
#include "settings/Profile.h"

namespace {

using feedtest::FeedHome;
namespace fs = std::filesystem;

struct FakeArticle {
    long number;
    std::string id;  // with angle brackets
};

// The article text the fake serves for an id: header, empty line, body,
// CR LF line ends, without the "." line.
std::string ArticleText(const FakeArticle& a) {
    return "From: tester@example.test\r\nSubject: article " + std::to_string(a.number) +
           "\r\nMessage-ID: " + a.id + "\r\n\r\nBody of " + std::to_string(a.number) +
           "\r\n..dot line\r\n";
}

// A scripted upstream on loopback, served from its own thread with plain
// blocking sockets: a small NNTP server with groups, a current-article
// pointer and a posting queue, and a hook to misbehave on any command.
class FakeUpstream {
public:
    class Conn {
    public:
        explicit Conn(int fd) : fd_(fd) {}
        void Send(std::string_view s) {
            while (!s.empty() && fd_ >= 0) {
                const ssize_t n = ::send(fd_, s.data(), s.size(), MSG_NOSIGNAL);
                if (n <= 0) return;
                s.remove_prefix(static_cast<std::size_t>(n));
            }
        }
        void Close() {
            if (fd_ >= 0) ::close(fd_);
            fd_ = -1;
        }
        bool Open() const { return fd_ >= 0; }
        int Fd() const { return fd_; }

    private:
        int fd_;
    };
    // Returns true when it handled the command itself.
    using Hook = std::function<bool(const std::string& line, Conn& conn)>;

    FakeUpstream() {
        listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        ::listen(listen_, 4);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeUpstream() {
        stop_ = true;
        thread_.join();
        ::close(listen_);
    }

    int Port() const { return port_; }
    void AddArticle(const std::string& group, long number, const std::string& id) {
        std::lock_guard<std::mutex> lock(mu_);
        groups_[group].push_back({number, id});
    }
    void AddGroup(const std::string& group) {
        std::lock_guard<std::mutex> lock(mu_);
        groups_[group];
    }
    void SetHook(Hook hook) {
        std::lock_guard<std::mutex> lock(mu_);
        hook_ = std::move(hook);
    }
    void SetGreeting(std::string g) {
        std::lock_guard<std::mutex> lock(mu_);
        greeting_ = std::move(g);
    }
    void SetPostReplies(std::vector<std::string> replies) {
        std::lock_guard<std::mutex> lock(mu_);
        postReplies_ = std::move(replies);
    }
    std::vector<std::string> Commands() {
        std::lock_guard<std::mutex> lock(mu_);
        return commands_;
    }
    // The commands once the last one is `last` (the session does not wait
    // for the reply to its QUIT, so the fake may still be reading it).
    std::vector<std::string> CommandsEndingWith(const std::string& last) {
        for (int i = 0; i < 100; ++i) {
            auto c = Commands();
            if (!c.empty() && c.back() == last) return c;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return Commands();
    }
    std::vector<std::string> Posted() {
        std::lock_guard<std::mutex> lock(mu_);
        return posted_;
    }
    int Connections() const { return connections_; }

private:
    void Serve() {
        while (!stop_) {
            pollfd p{listen_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int fd = ::accept(listen_, nullptr, nullptr);
            if (fd < 0) continue;
            ++connections_;
            Conn conn(fd);
            Session(conn);
            conn.Close();
        }
    }

    bool ReadLine(Conn& c, std::string& buf, std::string& line) {
        for (;;) {
            const std::size_t lf = buf.find('\n');
            if (lf != std::string::npos) {
                line = buf.substr(0, lf);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                buf.erase(0, lf + 1);
                return true;
            }
            pollfd p{c.Fd(), POLLIN, 0};
            if (stop_ || !c.Open()) return false;
            if (::poll(&p, 1, 50) <= 0) continue;
            char tmp[4096];
            const ssize_t n = ::recv(c.Fd(), tmp, sizeof tmp, 0);
            if (n <= 0) return false;
            buf.append(tmp, static_cast<std::size_t>(n));
        }
    }

    void Session(Conn& c) {
        std::string buf, line, group;
        std::size_t current = 0;
        {
            std::lock_guard<std::mutex> lock(mu_);
            c.Send(greeting_ + "\r\n");
        }
        while (c.Open() && ReadLine(c, buf, line)) {
            Hook hook;
            {
                std::lock_guard<std::mutex> lock(mu_);
                commands_.push_back(line);
                hook = hook_;
            }
            if (hook && hook(line, c)) continue;
            std::string word = line.substr(0, line.find(' '));
            for (char& ch : word)
                ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            std::lock_guard<std::mutex> lock(mu_);
            static const std::vector<FakeArticle> kNone;
            const auto entry = groups_.find(group);
            const auto& arts = entry == groups_.end() ? kNone : entry->second;
            if (word == "MODE") {
                c.Send("200 reader mode\r\n");
            } else if (word == "GROUP") {
                group = line.substr(6);
                auto it = groups_.find(group);
                if (it == groups_.end()) {
                    c.Send("411 no such group\r\n");
                    group.clear();
                    continue;
                }
                const auto& g = it->second;
                current = 0;
                if (g.empty())
                    c.Send("211 0 1 0 " + group + "\r\n");
                else
                    c.Send("211 " + std::to_string(g.size()) + " " +
                           std::to_string(g.front().number) + " " +
                           std::to_string(g.back().number) + " " + group + "\r\n");
            } else if (word == "STAT") {
                const long n = std::atol(line.c_str() + 5);
                bool found = false;
                for (std::size_t i = 0; i < arts.size(); ++i)
                    if (arts[i].number == n) {
                        current = i;
                        found = true;
                        c.Send("223 " + std::to_string(n) + " " + arts[i].id + "\r\n");
                    }
                if (!found) c.Send("423 no such article\r\n");
            } else if (word == "NEXT") {
                if (current + 1 < arts.size()) {
                    ++current;
                    c.Send("223 " + std::to_string(arts[current].number) + " " + arts[current].id +
                           "\r\n");
                } else {
                    c.Send("421 no next article\r\n");
                }
            } else if (word == "ARTICLE") {
                if (current >= arts.size()) {
                    c.Send("420 no current article\r\n");
                    continue;
                }
                const FakeArticle& a = arts[current];
                c.Send("220 " + std::to_string(a.number) + " " + a.id + "\r\n" + ArticleText(a) +
                       ".\r\n");
            } else if (word == "LIST") {
                std::string reply = "215 list follows\r\n";
                for (const auto& [name, g] : groups_)
                    reply += name + " " + std::to_string(g.empty() ? 0 : g.back().number) + " " +
                             std::to_string(g.empty() ? 1 : g.front().number) + " y\r\n";
                c.Send(reply + ".\r\n");
            } else if (word == "POST") {
                const std::string first = postReplies_.empty() ? "240 ok" : postReplies_.front();
                if (first.starts_with("440")) {
                    postReplies_.erase(postReplies_.begin());
                    c.Send(first + "\r\n");
                    continue;
                }
                c.Send("340 send article\r\n");
                std::string article, l;
                mu_.unlock();
                while (ReadLine(c, buf, l) && l != ".") article += l + "\r\n";
                mu_.lock();
                posted_.push_back(article);
                std::string reply = "240 article posted";
                if (!postReplies_.empty()) {
                    reply = postReplies_.front();
                    postReplies_.erase(postReplies_.begin());
                }
                c.Send(reply + "\r\n");
            } else if (word == "QUIT") {
                c.Send("205 bye\r\n");
                c.Close();
            } else {
                c.Send("500 what?\r\n");
            }
        }
    }

    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
    std::mutex mu_;
    std::map<std::string, std::vector<FakeArticle>> groups_;
    std::vector<std::string> commands_;
    std::vector<std::string> posted_;
    std::vector<std::string> postReplies_;
    std::string greeting_ = "200 fake news server ready";
    Hook hook_;
};

std::string IndexName(long n) {
    char b[32];
    std::snprintf(b, sizeof b, "NEWS%010ld", n);
    return b;
}

// Index files of a group directory, in order.
std::vector<std::string> IndexFiles(const std::string& dir) {
    std::vector<std::string> names;
    if (!fs::exists(dir)) return names;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().starts_with("NEWS"))
            names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> AllFiles(const std::string& dir) {
    std::vector<std::string> names;
    if (!fs::exists(dir)) return names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(GetReplyWord, CountsSingleBlanks) {
    struct Case {
        int n;
        const char* line;
        const char* want;
    } cases[] = {
        {1, "211 40 101 140 comp.lang.c", "211"},
        {3, "211 40 101 140 comp.lang.c", "101"},
        {4, "211 40 101 140 comp.lang.c", "140"},
        {9, "211 40 101 140 comp.lang.c", "comp.lang.c"},
        {2, "421", "421"},
        {2, "223  7 <a@b>", ""},
        {3, "411 no such group", "such"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.want, GetReplyWord(c.n, c.line)) << c.n << " " << c.line;
}

TEST(FeedFetch, NewGroupFetchesEverythingAfterTheFirstArticle) {
    FakeUpstream up;
    for (long n = 101; n <= 105; ++n)
        up.AddArticle("comp.lang.c", n, "<a" + std::to_string(n) + "@x.test>");
    FeedHome home;
    home.Write("feed01.sub", "Y0000000000 comp.lang.c\r\n");
    auto s = home.RunSession(kind::FetchArticles, up.Port());
    ASSERT_EQ(2, s->GetState()) << home.Pane().Joined();

    const std::vector<std::string> want{
        "MODE READER", "GROUP comp.lang.c", "STAT 101 ", "NEXT",    "article", "NEXT", "article",
        "NEXT",        "article",           "NEXT",      "article", "NEXT",    "QUIT"};
    EXPECT_EQ(want, up.CommandsEndingWith("QUIT"));
    EXPECT_TRUE(home.Pane().Logged("[127.0.0.1] Processing comp.lang.c (4)"))
        << home.Pane().Joined();
    EXPECT_EQ("Y0000000105 comp.lang.c\r\n", home.Read("feed01.sub"));
    const std::string dir = home.News() + "comp.lang.c/";
    EXPECT_EQ((std::vector<std::string>{IndexName(2), IndexName(3), IndexName(4), IndexName(5)}),
              IndexFiles(dir));
    // Article 2 is upstream 102: its index names the content file, which is
    // the raw reply, status line and "." line included.
    const std::string content = dir + "a102@x.test";
    EXPECT_EQ(content + "\r\n", testutil::ReadFile(dir + IndexName(2)));
    EXPECT_EQ("220 102 <a102@x.test>\r\n" + ArticleText({102, "<a102@x.test>"}) + ".\r\n",
              testutil::ReadFile(content));
    const std::string index = home.News() + "newsrc.ini";
    EXPECT_EQ(5, profile::GetInt(index, "comp.lang.c", "High", 0));
    EXPECT_EQ(1, profile::GetInt(index, "comp.lang.c", "Low", 0));
    EXPECT_EQ("No", profile::GetString(index, "comp.lang.c", "Local", ""));
    EXPECT_EQ("comp.lang.c", profile::GetString(index, "Groups", "G00001", ""));
    EXPECT_GT(home.Pane().received, 0);
    EXPECT_GT(home.Pane().sent, 0);

    // A second run fetches only what is new.
    up.AddArticle("comp.lang.c", 106, "<a106@x.test>");
    auto again = home.RunSession(kind::FetchArticles, up.Port());
    EXPECT_EQ("Y0000000106 comp.lang.c\r\n", home.Read("feed01.sub"));
    EXPECT_EQ(5u, IndexFiles(dir).size());
    EXPECT_EQ(6, profile::GetInt(index, "comp.lang.c", "High", 0));
    const auto cmds = up.CommandsEndingWith("QUIT");
    ASSERT_GT(cmds.size(), want.size() + 2);
    EXPECT_EQ("STAT 105 ", cmds[want.size() + 2]);
}

TEST(FeedFetch, LastNArticlesAndSeveralGroups) {
    FakeUpstream up;
    for (long n = 1; n <= 20; ++n) up.AddArticle("alt.test", n, "<t" + std::to_string(n) + "@x>");
    up.AddArticle("alt.small", 7, "<s7@x>");
    up.AddArticle("alt.small", 8, "<s8@x>");
    FeedHome home;
    home.Write("feed01.sub",
               "Y*000000003 alt.test\r\n"
               "Y*000000010 alt.small\r\n"    // fewer than 10 upstream: none now
               "Y0000000000 alt.missing\r\n"  // refused GROUP: record unchanged
               "Y*000000002 alt.test2\r\n");
    up.AddArticle("alt.test2", 1, "<t1@x>");  // cross-posted id, other group
    up.AddArticle("alt.test2", 2, "<u2@x>");
    up.AddArticle("alt.test2", 3, "<u3@x>");
    home.RunSession(kind::FetchArticles, up.Port());
    EXPECT_EQ(
        "Y0000000020 alt.test\r\nY0000000008 alt.small\r\nY0000000000 alt.missing\r\n"
        "Y0000000003 alt.test2\r\n",
        home.Read("feed01.sub"));
    EXPECT_TRUE(home.Pane().Logged("Processing alt.test (3)"));
    EXPECT_TRUE(home.Pane().Logged("Processing alt.small (0)"));
    EXPECT_TRUE(home.Pane().Logged("Group alt.missing not available: 411 no such group"));
    EXPECT_EQ(3u, IndexFiles(home.News() + "alt.test").size());
    EXPECT_TRUE(fs::exists(home.News() + "alt.test/t20@x"));
    EXPECT_FALSE(fs::exists(home.News() + "alt.test/t17@x"));
    EXPECT_EQ(0u, IndexFiles(home.News() + "alt.small").size());
    EXPECT_EQ(2u, IndexFiles(home.News() + "alt.test2").size());
}

TEST(FeedFetch, DuplicatesUnsafeIdsAndMissingIds) {
    FakeUpstream up;
    up.AddArticle("comp.lang.c", 1, "<first@x>");
    up.AddArticle("comp.lang.c", 2, "<dup@x>");
    up.AddArticle("comp.lang.c", 3, "<../../escape@x>");
    up.AddArticle("comp.lang.c", 4, "<*@x>");
    up.AddArticle("comp.lang.c", 5, "<after@x>");
    up.AddArticle("comp.lang.c", 6, "no id here");
    up.AddArticle("comp.lang.c", 7, "<never@x>");
    FeedHome home;
    home.Write("feed01.sub", "Y0000000000 comp.lang.c\r\n");
    fs::create_directories(home.News() + "comp.lang.c");
    home.Write("comp.lang.c/dup@x", "stored earlier");
    home.Write("comp.lang.c/other@x", "a file a wildcard would match");
    home.RunSession(kind::FetchArticles, up.Port());

    const std::string dir = home.News() + "comp.lang.c/";
    EXPECT_EQ("stored earlier", testutil::ReadFile(dir + "dup@x"));
    // 3, 4 and 5 stored as 2, 3, 4; the duplicate took no number.
    EXPECT_EQ((std::vector<std::string>{IndexName(2), IndexName(3), IndexName(4)}),
              IndexFiles(dir));
    EXPECT_TRUE(fs::exists(dir + "after@x"));
    EXPECT_FALSE(fs::exists(home.News() + "escape@x"));
    for (const std::string& f : AllFiles(dir)) EXPECT_EQ(std::string::npos, f.find('/')) << f;
    EXPECT_EQ(std::string::npos, testutil::ReadFile(dir + IndexName(2)).find("../"));
    // A NEXT reply without an id ends the group there: 7 is never asked for.
    EXPECT_FALSE(fs::exists(dir + "never@x"));
    EXPECT_TRUE(home.Pane().Logged("No message-id in reply to NEXT"));
    EXPECT_EQ("Y0000000005 comp.lang.c\r\n", home.Read("feed01.sub"));
}

TEST(FeedFetch, OverlongIdIsPassedNotStoppedAt) {
    // An id too long for a reply line is cut with its ">": the article is
    // passed, and the group goes on, now and in every later fetch.
    FakeUpstream up;
    up.AddArticle("comp.lang.c", 1, "<m1@x>");
    up.AddArticle("comp.lang.c", 2, "<m2@x>");
    up.AddArticle("comp.lang.c", 3, "<" + std::string(2000, 'x') + "@x>");
    up.AddArticle("comp.lang.c", 4, "<m4@x>");
    FeedHome home;
    home.Write("feed01.sub", "Y0000000000 comp.lang.c\r\n");
    home.RunSession(kind::FetchArticles, up.Port());
    const std::string dir = home.News() + "comp.lang.c/";
    EXPECT_EQ((std::vector<std::string>{IndexName(2), IndexName(3), "m2@x", "m4@x"}),
              AllFiles(dir));
    EXPECT_EQ("Y0000000004 comp.lang.c\r\n", home.Read("feed01.sub"));
}

TEST(FeedFetch, EndlessArticleIsCutOffAndPassed) {
    // An article that never ends would fill the disk: the idle timer never
    // fires while bytes flow. Past the limit the session ends, nothing of
    // the article stays, and the next fetch goes on after it.
    FakeUpstream up;
    for (long n = 1; n <= 4; ++n) up.AddArticle("comp.lang.c", n, "<m" + std::to_string(n) + "@x>");
    std::atomic<long long> sent{0};
    int articles = 0;
    up.SetHook([&](const std::string& line, FakeUpstream::Conn& c) {
        if (line != "article" || ++articles != 2) return false;
        c.Send("220 3 <m3@x>\r\nSubject: endless\r\n\r\n");
        const std::string piece(64 * 1024, 'z');
        while (sent < static_cast<long long>(2 * qvServer::kArticleLimit)) {
            const ssize_t n = ::send(c.Fd(), piece.data(), piece.size(), MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += n;
        }
        c.Close();
        return true;
    });
    FeedHome home;
    home.Write("feed01.sub", "Y0000000000 comp.lang.c\r\n");
    home.RunSession(kind::FetchArticles, up.Port(), std::chrono::seconds(60));
    EXPECT_LT(sent.load(), static_cast<long long>(2 * qvServer::kArticleLimit));
    EXPECT_TRUE(home.Pane().Logged("not stored"));
    const std::string dir = home.News() + "comp.lang.c/";
    EXPECT_EQ((std::vector<std::string>{IndexName(2), "m2@x"}), AllFiles(dir));
    EXPECT_EQ("Y0000000003 comp.lang.c\r\n", home.Read("feed01.sub"));

    home.RunSession(kind::FetchArticles, up.Port());
    EXPECT_EQ((std::vector<std::string>{IndexName(2), IndexName(4), "m2@x", "m4@x"}),
              AllFiles(dir));
    EXPECT_EQ("Y0000000004 comp.lang.c\r\n", home.Read("feed01.sub"));
}

TEST(FeedRefresh, NothingEndlessAfterTheGroupList) {
    // The QUIT reply goes into the list file after its "." line; a server
    // that keeps talking there must not grow the file without end.
    FakeUpstream up;
    up.AddGroup("comp.lang.c");
    up.SetHook([&](const std::string& line, FakeUpstream::Conn& c) {
        if (line != "QUIT") return false;
        c.Send("205 bye\r\n");
        const std::string piece(64 * 1024, 'q');
        for (int i = 0; i < 64; ++i)
            if (::send(c.Fd(), piece.data(), piece.size(), MSG_NOSIGNAL) <= 0) break;
        c.Close();
        return true;
    });
    FeedHome home;
    home.RunSession(kind::RefreshGroups, up.Port());
    const std::string list = home.Read("feed01.all");
    EXPECT_TRUE(list.starts_with("215 ")) << list.substr(0, 80);
    EXPECT_NE(std::string::npos, list.find("\r\n.\r\n205 bye\r\n"));
    EXPECT_LE(list.size(), std::size_t{1024} + qvServer::kAfterListLimit);
}

TEST(FeedFetch, ErrorReplyToArticleStoresNothing) {
    FakeUpstream up;
    for (long n = 1; n <= 4; ++n) up.AddArticle("comp.lang.c", n, "<m" + std::to_string(n) + "@x>");
    int articles = 0;
    up.SetHook([&](const std::string& line, FakeUpstream::Conn& c) {
        if (line != "article" || ++articles != 2) return false;
        c.Send("430 no such article\r\n");
        return true;
    });
    FeedHome home;
    home.Write("feed01.sub", "Y0000000000 comp.lang.c\r\n");
    auto s = home.RunSession(kind::FetchArticles, up.Port());
    EXPECT_EQ(2, s->GetState());
    const std::string dir = home.News() + "comp.lang.c/";
    EXPECT_FALSE(fs::exists(dir + "m3@x"));
    // Number 3 stays unused; the walk went on to 4.
    EXPECT_EQ((std::vector<std::string>{IndexName(2), IndexName(4)}), IndexFiles(dir));
    EXPECT_TRUE(home.Pane().Logged("Article not stored: 430 no such article"));
    EXPECT_EQ((std::vector<std::string>{IndexName(2), IndexName(4), "m2@x", "m4@x"}),
              AllFiles(dir));
    EXPECT_FALSE(home.Pane().Logged("Session Timeout"));
}

TEST(FeedFetch, DroppedMidArticleLeavesNoPartialArticle) {
    for (bool split : {false, true}) {
        FakeUpstream up;
        for (long n = 1; n <= 4; ++n)
            up.AddArticle("comp.lang.c", n, "<m" + std::to_string(n) + "@x>");
        int articles = 0;
        up.SetHook([&](const std::string& line, FakeUpstream::Conn& c) {
            if (line != "article") return false;
            ++articles;
            if (articles == 1 && split) {
                // The terminator straddles two reads.
                c.Send("220 2 <m2@x>\r\nSubject: s\r\n\r\nbody\r\n.");
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                c.Send("\r\n");
                return true;
            }
            if (articles != 2) return false;
            c.Send("220 3 <m3@x>\r\nSubject: half\r\n\r\nhalf of the bo");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            c.Close();
            return true;
        });
        FeedHome home;
        home.Write("feed01.sub", "Y0000000000 comp.lang.c\r\n");
        auto s = home.RunSession(kind::FetchArticles, up.Port());
        EXPECT_EQ(2, s->GetState());
        EXPECT_TRUE(home.Pane().Logged("Session terminated by Server")) << home.Pane().Joined();
        const std::string dir = home.News() + "comp.lang.c/";
        EXPECT_EQ((std::vector<std::string>{IndexName(2), "m2@x"}), AllFiles(dir)) << split;
        if (split) {
            EXPECT_EQ("220 2 <m2@x>\r\nSubject: s\r\n\r\nbody\r\n.\r\n",
                      testutil::ReadFile(dir + "m2@x"));
        }
        // The cut-off article is asked for again next time.
        EXPECT_EQ("Y0000000002 comp.lang.c\r\n", home.Read("feed01.sub"));
        EXPECT_EQ(3, profile::GetInt(home.News() + "newsrc.ini", "comp.lang.c", "High", 0));

        up.SetHook(nullptr);
        home.RunSession(kind::FetchArticles, up.Port());
        EXPECT_TRUE(fs::exists(dir + "m3@x"));
        EXPECT_EQ((std::vector<std::string>{IndexName(2), IndexName(4), IndexName(5)}),
                  IndexFiles(dir));
    }
}

TEST(FeedFetch, UnusableRecordsAreSkippedWithALogLine) {
    FakeUpstream up;
    up.AddArticle("alt.good", 1, "<g1@x>");
    up.AddArticle("alt.good", 2, "<g2@x>");
    FeedHome home;
    home.Write("feed01.sub", "Y00000x0000 alt.bad\r\nY0000000000 " + std::string(300, 'z') +
                                 "\r\nY0000000000 alt.good\r\n");
    home.RunSession(kind::FetchArticles, up.Port());
    EXPECT_TRUE(home.Pane().Logged("Subscription record skipped (garbled number field"));
    EXPECT_TRUE(home.Pane().Logged("Subscription record skipped (record longer"));
    EXPECT_TRUE(fs::exists(home.News() + "alt.good/g2@x"));
    EXPECT_TRUE(home.Read("feed01.sub").ends_with("Y0000000002 alt.good\r\n"));
}

TEST(FeedSession, OverlongReplyLineEndsTheSession) {
    FakeUpstream up;
    up.SetHook([](const std::string& line, FakeUpstream::Conn& c) {
        if (line != "MODE READER") return false;
        c.Send(std::string(30000, 'x'));
        return true;
    });
    FeedHome home;
    home.Write("feed01.sub", "Y0000000000 comp.lang.c\r\n");
    auto s = home.RunSession(kind::FetchArticles, up.Port());
    EXPECT_EQ(2, s->GetState());
    EXPECT_TRUE(home.Pane().Logged("!!Buffer Overflow!!"));
    EXPECT_TRUE(home.Pane().Logged("Server Session Ended."));
}

TEST(FeedSession, IdleTimeoutEndsTheSession) {
    FakeUpstream up;
    up.SetHook([](const std::string& line, FakeUpstream::Conn&) { return line == "MODE READER"; });
    FeedHome home;
    home.Settings().SetServerTimeout(1L);
    home.Write("feed01.sub", "Y0000000000 comp.lang.c\r\n");
    const auto begin = std::chrono::steady_clock::now();
    auto s = home.RunSession(kind::FetchArticles, up.Port(), std::chrono::seconds(10));
    EXPECT_EQ(2, s->GetState());
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
    EXPECT_TRUE(home.Pane().Logged("[127.0.0.1] Session Timeout"));
    // A timer message that arrives after the end changes nothing.
    s->HandleMessage(qvServer::kSessionTimeout, 0, 0);
    EXPECT_EQ(1, std::count(home.Pane().log.begin(), home.Pane().log.end(),
                            "[127.0.0.1] Server Session Ended."));
}

TEST(FeedSession, RefusedConnectionEndsAtOnce) {
    const int port = testutil::FreePort();
    FeedHome home;
    home.Write("feed01.sub", "Y0000000000 comp.lang.c\r\n");
    const auto begin = std::chrono::steady_clock::now();
    auto s = home.RunSession(kind::FetchArticles, port);
    EXPECT_EQ(2, s->GetState());
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
    EXPECT_TRUE(home.Pane().Logged("Error on Connect()")) << home.Pane().Joined();
    EXPECT_FALSE(home.Pane().Logged("Connected to server"));
    EXPECT_EQ("[] Attempting Server Connection", home.Pane().log.front());
}

TEST(FeedSession, UnresolvedHostIsReported) {
    FeedHome home;
    home.Write("feed01.sub", "Y0000000000 comp.lang.c\r\n");
    auto s = std::make_unique<qvServer>(home.Loop());
    s->SetupWindow();
    s->SetKind(kind::FetchArticles);
    s->SetServerAddress("news.invalid");
    s->SetSubGroupFile("feed01.sub");
    s->Run();
    EXPECT_EQ(2, s->GetState());
    EXPECT_TRUE(home.Pane().Logged("DNS Error: Could not connect to the specified host."));
}

TEST(FeedRefresh, ListGoesToTheAllGroupsFile) {
    FakeUpstream up;
    up.AddArticle("comp.lang.c", 101, "<a@x>");
    up.AddArticle("comp.lang.c", 140, "<b@x>");
    up.AddGroup("alt.empty");
    FeedHome home;
    home.Write("feed01.all", "old list\r\n");
    auto s = home.RunSession(kind::RefreshGroups, up.Port());
    EXPECT_EQ(2, s->GetState());
    EXPECT_EQ("215 list follows\r\nalt.empty 0 1 y\r\ncomp.lang.c 140 101 y\r\n.\r\n205 bye\r\n",
              home.Read("feed01.all"));
    EXPECT_EQ((std::vector<std::string>{"MODE READER", "LIST", "QUIT"}),
              up.CommandsEndingWith("QUIT"));
    EXPECT_TRUE(home.Pane().Logged("Session terminated by Server"));
    EXPECT_EQ((std::vector<std::string>{"POSTS", "feed01.all"}), AllFiles(home.News()));

    // A refused LIST keeps the old list.
    up.SetHook([](const std::string& line, FakeUpstream::Conn& c) {
        if (line != "LIST") return false;
        c.Send("502 not allowed\r\n");
        return true;
    });
    home.RunSession(kind::RefreshGroups, up.Port());
    EXPECT_TRUE(home.Read("feed01.all").starts_with("215 list follows\r\n"));
    EXPECT_TRUE(home.Pane().Logged("Group list not received: 502 not allowed"));
}

TEST(FeedPost, AcceptedFilesAreDeletedRefusedOnesKept) {
    FakeUpstream up;
    up.SetPostReplies({"240 ok", "441 refused", "240 fine"});
    FeedHome home;
    const std::string a = "Newsgroups: alt.test\r\nSubject: one\r\n\r\nbody one\r\n.\r\n";
    const std::string b = "Newsgroups: alt.test\r\nSubject: two\r\n\r\nbody two\r\n.\r\n";
    const std::string c =
        "Newsgroups: alt.test\r\nSubject: three\r\n\r\n" + std::string(200000, 'x') + "\r\n.\r\n";
    home.Write("POSTS/QVE1.TMP", a);
    home.Write("POSTS/QVE2.TMP", b);
    home.Write("POSTS/QVE3.TMP", c);
    home.Write("POSTS/QVE4.WRK", "still arriving");
    home.Write("POSTS/QVE5.TMP", "Subject: cut off\r\n\r\nno end");
    auto s = home.RunSession(kind::PostArticles, up.Port());
    EXPECT_EQ(2, s->GetState());
    EXPECT_EQ((std::vector<std::string>{"QVE2.TMP", "QVE4.WRK", "QVE5.TMP"}),
              AllFiles(home.News() + "POSTS"));
    const auto posted = up.Posted();
    ASSERT_EQ(3u, posted.size());
    EXPECT_EQ(a.substr(0, a.size() - 3), posted[0]);
    EXPECT_EQ(c.size() - 3, posted[2].size());
    const auto cmds = up.CommandsEndingWith("QUIT");
    EXPECT_EQ("MODE READER", cmds.front());
    EXPECT_EQ(".", cmds[cmds.size() - 2]);
    EXPECT_EQ("QUIT", cmds.back());
    EXPECT_TRUE(home.Pane().Logged("Starting Post Operation"));
    EXPECT_TRUE(home.Pane().Logged("Article not accepted, kept in the queue: 441 refused"));
    EXPECT_TRUE(home.Pane().Logged("Queued article incomplete, not sent"));
}

TEST(FeedPost, RefusedPostSendsNoArticle) {
    FakeUpstream up;
    up.SetPostReplies({"440 posting not allowed"});
    FeedHome home;
    home.Write("POSTS/QVE1.TMP", "Subject: x\r\n\r\nQUIT\r\n.\r\n");
    home.RunSession(kind::PostArticles, up.Port());
    EXPECT_TRUE(fs::exists(home.News() + "POSTS/QVE1.TMP"));
    EXPECT_TRUE(up.Posted().empty());
    EXPECT_EQ((std::vector<std::string>{"MODE READER", "POST", ".", "QUIT"}),
              up.CommandsEndingWith("QUIT"));
}

TEST(FeedPost, EmptyQueueDoesNotConnect) {
    FakeUpstream up;
    FeedHome home;
    home.Write("POSTS/QVE1.WRK", "still arriving");
    auto s = home.RunSession(kind::PostArticles, up.Port());
    EXPECT_EQ(2, s->GetState());
    EXPECT_EQ(0, up.Connections());
    EXPECT_TRUE(home.Pane().Logged("No articles to post"));
}

TEST(FeedFetch, StartArticleGoneUpstreamGoesOnByNumber) {
    // After a refused STAT the server still stands where GROUP put it, on
    // the group's first article: NEXT from there would pass over that first
    // article, or walk the group again and store anew what expire removed
    // here. The fetch instead goes on with the numbers after the record's.
    struct Case {
        const char* name;
        std::vector<long> upstream;  // the article numbers the server holds
        const char* record;
        std::vector<std::string> commands;  // from STAT to QUIT
        std::vector<long> stored;
        const char* after;
    } cases[] = {
        {"start cancelled",
         {1, 2, 3, 5, 6},
         "Y0000000004",
         {"STAT 4 ", "STAT 5", "article", "NEXT", "article", "NEXT", "QUIT"},
         {5, 6},
         "Y0000000006"},
        {"a run of numbers gone",
         {1, 2, 3, 7},
         "Y0000000004",
         {"STAT 4 ", "STAT 5", "STAT 6", "STAT 7", "article", "NEXT", "QUIT"},
         {7},
         "Y0000000007"},
        {"expired past the record",
         {8, 9, 10},
         "Y0000000004",
         {"STAT 4 ", "STAT 8", "article", "NEXT", "article", "NEXT", "article", "NEXT", "QUIT"},
         {8, 9, 10},
         "Y0000000010"},
        {"start still there",
         {1, 2, 3, 4, 5},
         "Y0000000004",
         {"STAT 4 ", "NEXT", "article", "NEXT", "QUIT"},
         {5},
         "Y0000000005"},
    };
    for (const Case& c : cases) {
        FakeUpstream up;
        for (long n : c.upstream) up.AddArticle("comp.lang.c", n, "<m" + std::to_string(n) + "@x>");
        FeedHome home;
        home.Write("feed01.sub", std::string(c.record) + " comp.lang.c\r\n");
        home.RunSession(kind::FetchArticles, up.Port());
        auto cmds = up.CommandsEndingWith("QUIT");
        ASSERT_GE(cmds.size(), 2u) << c.name;
        cmds.erase(cmds.begin(), cmds.begin() + 2);  // MODE READER, GROUP
        EXPECT_EQ(c.commands, cmds) << c.name << "\n" << home.Pane().Joined();
        std::vector<std::string> want;
        for (long n : c.stored) want.push_back("m" + std::to_string(n) + "@x");
        std::vector<std::string> got;
        for (const std::string& f : AllFiles(home.News() + "comp.lang.c"))
            if (!f.starts_with("NEWS")) got.push_back(f);
        std::sort(want.begin(), want.end());
        EXPECT_EQ(want, got) << c.name;
        EXPECT_EQ(std::string(c.after) + " comp.lang.c\r\n", home.Read("feed01.sub")) << c.name;
    }
}

TEST(FeedFetch, GoingOnByNumberIsBoundedPerSession) {
    // A server that claims numbers it never had is asked about a bounded
    // run of them; the record keeps the progress for the next fetch.
    FakeUpstream up;
    up.AddArticle("comp.lang.c", 1, "<m1@x>");
    up.AddArticle("comp.lang.c", 5000, "<m5000@x>");
    FeedHome home;
    home.Write("feed01.sub", "Y0000000002 comp.lang.c\r\n");
    home.RunSession(kind::FetchArticles, up.Port(), std::chrono::seconds(60));
    char after[64];
    std::snprintf(after, sizeof after, "Y%010ld comp.lang.c\r\n", 2 + qvServer::kMaxProbes);
    EXPECT_EQ(after, home.Read("feed01.sub")) << home.Pane().Joined();
    EXPECT_TRUE(home.Pane().Logged("going on next time"));
    EXPECT_TRUE(home.Pane().Logged("Server Session Ended."));
}

TEST(FeedFetch, GoingOnByNumberStopsAtOtherReplies) {
    // Only "423" says a number is gone: another refusal must not move the
    // record past articles the server may still have.
    FakeUpstream up;
    for (long n : {1, 2, 3, 7}) up.AddArticle("comp.lang.c", n, "<m" + std::to_string(n) + "@x>");
    up.SetHook([](const std::string& line, FakeUpstream::Conn& c) {
        if (line != "STAT 6") return false;
        c.Send("503 program fault\r\n");
        return true;
    });
    FeedHome home;
    home.Write("feed01.sub", "Y0000000004 comp.lang.c\r\n");
    home.RunSession(kind::FetchArticles, up.Port());
    EXPECT_EQ("Y0000000005 comp.lang.c\r\n", home.Read("feed01.sub")) << home.Pane().Joined();
    EXPECT_TRUE(IndexFiles(home.News() + "comp.lang.c").empty());

    up.SetHook(nullptr);
    home.RunSession(kind::FetchArticles, up.Port());
    EXPECT_EQ("Y0000000007 comp.lang.c\r\n", home.Read("feed01.sub"));
    EXPECT_TRUE(fs::exists(home.News() + "comp.lang.c/m7@x"));
    EXPECT_EQ(1u, IndexFiles(home.News() + "comp.lang.c").size());
}

}  // namespace
