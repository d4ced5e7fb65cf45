// The socket glue around FeedSession: connecting, moving bytes both ways,
// the idle timer and the end. The protocol is tested on FeedSession itself.

#include "feed/qvServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "feed/FeedTestHarness.h"

namespace {

using feedtest::FeedHome;

// An upstream on loopback served from the test's own thread between turns
// of the loop: it never blocks, so one thread runs both sides.
class LoopbackUpstream {
public:
    LoopbackUpstream() {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        ::listen(listen_, 4);
    }
    ~LoopbackUpstream() {
        if (conn_ >= 0) ::close(conn_);
        ::close(listen_);
    }
    int Port() const { return port_; }

    // Accepts, greets, and answers each complete command line by script;
    // "QUIT" is answered and the connection closed.
    void Serve(const std::vector<std::pair<std::string, std::string>>& script) {
        if (conn_ < 0) {
            conn_ = ::accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK);
            if (conn_ >= 0 && greet_) Send("200 loopback ready\r\n");
            if (conn_ < 0) return;
        }
        char buf[4096];
        for (ssize_t n; (n = ::recv(conn_, buf, sizeof buf, 0)) > 0;)
            in_.append(buf, static_cast<std::size_t>(n));
        for (std::size_t lf; (lf = in_.find("\r\n")) != std::string::npos;) {
            const std::string line = in_.substr(0, lf);
            in_.erase(0, lf + 2);
            commands.push_back(line);
            for (const auto& [command, reply] : script)
                if (command == line) Send(reply);
            if (line == "QUIT") {
                Send("205 bye\r\n");
                ::close(conn_);
                conn_ = -2;  // served, not to be accepted again
                return;
            }
        }
    }
    void Silent() { greet_ = false; }
    std::vector<std::string> commands;

private:
    void Send(std::string_view s) { ::send(conn_, s.data(), s.size(), MSG_NOSIGNAL); }
    int listen_ = -1;
    int conn_ = -1;
    int port_ = 0;
    bool greet_ = true;
    std::string in_;
};

TEST(FeedGlue, RefreshOverLoopback) {
    LoopbackUpstream up;
    FeedHome home;
    auto s = home.StartSession(kind::RefreshGroups, up.Port());
    const std::vector<std::pair<std::string, std::string>> script{
        {"MODE READER", "200 reader\r\n"},
        {"LIST", "215 list\r\nalt.a 2 1 y\r\n.\r\n"},
        {"LIST NEWSGROUPS", "215 descriptions\r\nalt.a\tA.\r\n.\r\n"},
    };
    for (int i = 0; i < 400 && s->GetState() != 2; ++i) {
        home.Loop().RunOnce(5);
        up.Serve(script);
    }
    ASSERT_EQ(2, s->GetState()) << home.Host().Joined();
    EXPECT_EQ("215 list\r\nalt.a 2 1 y\r\n.\r\n205 bye\r\n", home.Read("feed01.all"));
    EXPECT_EQ("alt.a\tA.\r\n", home.Read("feed01.all.desc"));
    EXPECT_EQ((std::vector<std::string>{"MODE READER", "LIST", "LIST NEWSGROUPS", "QUIT"}),
              up.commands);
    const std::vector<std::string> want{
        "[] Attempting Server Connection",        "[127.0.0.1] Requesting Group List",
        "[127.0.0.1] Connected to server",        "[127.0.0.1] Loading group list",
        "[127.0.0.1] Loading group descriptions", "[127.0.0.1] Session terminated by Server",
        "[127.0.0.1] Server Session Ended."};
    EXPECT_EQ(want, home.Host().log);
    // Sent: the commands' bytes; received: the greeting and every reply.
    EXPECT_EQ(13 + 6 + 17 + 6, home.Host().sent);
    EXPECT_EQ(20 + 12 + 26 + 31 + 9, home.Host().received);
}

TEST(FeedGlue, IdleTimeoutEndsTheSessionOnce) {
    LoopbackUpstream up;
    up.Silent();
    FeedHome home;
    home.Settings().SetServerTimeout(2L);
    home.Write("feed01.sub", "Y0000000000 comp.lang.c\r\n");
    auto s = home.StartSession(kind::FetchArticles, up.Port());
    for (int i = 0; i < 20; ++i) {
        home.Loop().RunOnce(5);
        up.Serve({});
    }
    ASSERT_EQ(1, s->GetState()) << home.Host().Joined();
    home.Timers().EvTimer();
    home.Loop().RunOnce(0);
    EXPECT_EQ(1, s->GetState()) << "one tick of two";
    home.Timers().EvTimer();
    home.Loop().RunOnce(0);
    EXPECT_EQ(2, s->GetState());
    EXPECT_TRUE(home.Host().Logged("[127.0.0.1] Session Timeout")) << home.Host().Joined();
    // A timer message that arrives after the end changes nothing.
    s->HandleMessage(qvServer::kSessionTimeout, 0, 0);
    EXPECT_EQ(1, std::count(home.Host().log.begin(), home.Host().log.end(),
                            "[127.0.0.1] Server Session Ended."));
}

TEST(FeedGlue, RefusedConnectionEndsAtOnce) {
    const int port = testutil::FreePort();
    FeedHome home;
    home.Write("feed01.sub", "Y0000000000 comp.lang.c\r\n");
    auto s = home.RunSession(kind::FetchArticles, port, std::chrono::seconds(3));
    EXPECT_EQ(2, s->GetState());
    // A message box, with the server's address.
    EXPECT_TRUE(home.Host().Logged("box Error: Error on Connect()")) << home.Host().Joined();
    EXPECT_TRUE(home.Host().Logged("(server 127.0.0.1)")) << home.Host().Joined();
    EXPECT_FALSE(home.Host().Logged("Connected to server"));
    EXPECT_EQ("[] Attempting Server Connection", home.Host().log.front());
}

TEST(FeedGlue, UnresolvedHostIsReported) {
    FeedHome home;
    home.Write("feed01.sub", "Y0000000000 comp.lang.c\r\n");
    auto s = std::make_unique<qvServer>(home.Ctx());
    s->SetupWindow();
    s->SetKind(kind::FetchArticles);
    s->SetServerAddress("news.invalid");
    s->SetSubGroupFile("feed01.sub");
    s->Run();
    EXPECT_EQ(2, s->GetState());
    EXPECT_TRUE(home.Host().Logged(
        "box DNS Error: Could not connect to the specified host. (server news.invalid)"))
        << home.Host().Joined();
}

TEST(FeedGlue, EmptyQueueDoesNotConnect) {
    LoopbackUpstream up;
    FeedHome home;
    auto s = home.StartSession(kind::PostArticles, up.Port());
    EXPECT_EQ(2, s->GetState());
    home.Loop().RunOnce(0);
    up.Serve({});
    EXPECT_TRUE(up.commands.empty());
    EXPECT_TRUE(home.Host().Logged("No articles to post"));
}

}  // namespace
