#include "reader/qvClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include "sched/TimeManager.h"
#include "settings/Setup.h"
#include "tests/util/TestUtil.h"

namespace {

using namespace std::chrono_literals;

// A blocking client on its own thread; every wait has a deadline.
class RawClient {
public:
    explicit RawClient(int port, int receiveBuffer = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer > 0)
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawClient() { Close(); }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool Connected() const { return connected_; }
    void Send(std::string_view s) { ::send(fd_, s.data(), s.size(), MSG_NOSIGNAL); }
    void ShutdownWrite() { ::shutdown(fd_, SHUT_WR); }
    // Reads until want bytes have come, the peer closes or the time is up.
    std::string Read(std::size_t want, std::chrono::milliseconds timeout, std::size_t step = 65536,
                     std::chrono::microseconds pause = 0us) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::vector<char> buf(step);
        while (got.size() < want && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const ssize_t n = ::recv(fd_, buf.data(), std::min(step, want - got.size()), 0);
            if (n <= 0) break;
            got.append(buf.data(), static_cast<std::size_t>(n));
            if (pause.count() > 0) std::this_thread::sleep_for(pause);
        }
        return got;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

class QvClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        news = tmp.Path() + "/news/";
        tmp.Write("news/newsrc.ini",
                  "[Groups]\nTotal=1\nG00001=big.group\n"
                  "[big.group]\nLocal=Yes\nAllowPost=Yes\nLow=1\nHigh=2\nAdddate=20240101\naddtime="
                  "000000\n");
        std::filesystem::create_directories(news + "POSTS");
        article = "220 5 <big@x>\r\nMessage-ID: <big@x>\r\nSubject: big\r\n\r\n";
        for (int i = 0; article.size() < 3'000'000; ++i)
            article += "line " + std::to_string(i) + std::string(60, '.') + "\r\n";
        article += ".\r\n";
        tmp.Write("news/big.group/NEWS0000000002", news + "big.group/big@x\r\n");
        tmp.Write("news/big.group/big@x", article);
        tmp.Write("allowip.ini", "10.1.1.1\n127.0.0.*\n");

        listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ASSERT_EQ(0, ::bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a));
        ASSERT_EQ(0, ::listen(listenFd, 5));
        ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    void TearDown() override { ::close(listenFd); }

    // Accepts the waiting connection into a new session and runs it.
    std::unique_ptr<qvClient> Accept() {
        const int fd = ::accept(listenFd, nullptr, nullptr);
        EXPECT_GE(fd, 0);
        auto c = std::make_unique<qvClient>(ctx);
        c->SetNewsDirectory(news);
        c->SetAllowFile(tmp / "allowip.ini");
        c->SetSocket(StreamSocket(loop, FileDescriptor(fd)));
        EXPECT_EQ("127.0.0.1", c->GetPeerAddress());
        c->Run();
        return c;
    }

    // Runs the loop until done() or the time is up; records the largest
    // backlog the session held.
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                  const qvClient* c = nullptr) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            loop.RunOnce(20);
            if (c && c->Session()) maxPending = std::max(maxPending, c->Session()->Pending());
        }
        return true;
    }

    testutil::TempDir tmp;
    std::string news;
    std::string article;
    SocketManager sockets{1, 1, true};
    EventLoop loop;
    ::Setup setup{tmp / "Quorvel.INI"};
    TimeManager timers{loop};
    testutil::RecordingHost host;
    Context ctx{loop, setup, timers, host};
    int listenFd = -1;
    int port = 0;
    std::size_t maxPending = 0;
};

TEST_F(QvClientTest, LargeArticleToASlowReader) {
    std::atomic<bool> done{false};
    std::string greeting, reply, bye;
    std::thread reader([&] {
        RawClient client(port);
        greeting = client.Read(38, 5s);
        client.Send("group big.group\r\nARTICLE 2\r\n");
        const std::string want =
            "211 1 2 2 big.group group selected\r\n220 2 <big@x>\r\n" + article.substr(15);
        reply = client.Read(want.size(), 30s, 16384, 500us);
        client.Send("QUIT\r\n");
        bye = client.Read(7, 5s);
        done = true;
    });
    auto c = Accept();
    const bool finished = RunUntil([&] { return done.load(); }, 40s, c.get());
    reader.join();
    ASSERT_TRUE(finished);
    EXPECT_EQ("200 Quorvel Ready - posting allowed \r\n", greeting);
    EXPECT_EQ("211 1 2 2 big.group group selected\r\n220 2 <big@x>\r\n" + article.substr(15),
              reply);
    EXPECT_EQ("205 .\r\n", bye);
    EXPECT_TRUE(RunUntil([&] { return c->GetState() == qvClient::kEnded; }, 5s));
    // The reader was slower than the server: output had to wait, bounded.
    EXPECT_GT(maxPending, 0u);
    EXPECT_LE(maxPending, 2 * ReaderSession::kOutputHighWater);
}

TEST_F(QvClientTest, PipelinedCommandsThenHalfClose) {
    std::atomic<bool> done{false};
    std::string all;
    std::thread reader([&] {
        RawClient client(port);
        client.Send("GROUP big.group\r\nSTAT 2\r\nxover 2-\r\nNOPE\r\n");
        client.ShutdownWrite();
        all = client.Read(1 << 20, 10s);
        done = true;
    });
    auto c = Accept();
    const bool finished = RunUntil([&] { return done.load(); }, 15s);
    reader.join();
    ASSERT_TRUE(finished);
    // Lines counts the body: every line after the empty one but the ".".
    const std::size_t body = article.find("\r\n\r\n") + 4;
    const auto lines =
        std::count(article.begin() + static_cast<long>(body), article.end(), '\n') - 1;
    const std::string xover = "2\tbig\t\t\t<big@x>\t\t" + std::to_string(article.size()) + "\t" +
                              std::to_string(lines) + "\t\r\n";
    EXPECT_EQ(
        "200 Quorvel Ready - posting allowed \r\n"
        "211 1 2 2 big.group group selected\r\n223 2 <big@x>\r\n224 Data follows\r\n" +
            xover + ".\r\n500 Command not recognized\r\n",
        all);
    EXPECT_EQ(qvClient::kEnded, c->GetState());
}

TEST_F(QvClientTest, RefusedPeerIsToldAndDisconnected) {
    tmp.Write("allowip.ini", "10.1.1.1\n");
    std::atomic<bool> done{false};
    std::string all;
    std::thread reader([&] {
        RawClient client(port);
        all = client.Read(1 << 16, 5s);
        done = true;
    });
    auto c = Accept();
    RunUntil([&] { return done.load(); }, 10s);
    reader.join();
    EXPECT_EQ("502 Access Denied \r\n", all);
    EXPECT_EQ(qvClient::kEnded, c->GetState());
}

TEST_F(QvClientTest, ReaderLeavingMidArticleEndsTheSession) {
    std::atomic<bool> done{false};
    std::thread reader([&] {
        RawClient client(port, 8192);
        client.Read(38, 5s);
        client.Send("GROUP big.group\r\nARTICLE 2\r\n");
        client.Read(100000, 5s);
        client.Close();
        done = true;
    });
    auto c = Accept();
    RunUntil([&] { return done.load(); }, 10s);
    reader.join();
    EXPECT_TRUE(RunUntil([&] { return c->GetState() == qvClient::kEnded; }, 10s, c.get()));
}

TEST_F(QvClientTest, ReaderThatStopsReadingIsDisconnected) {
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        RawClient client(port, 4096);
        client.Send("GROUP big.group\r\nARTICLE 2\r\n");
        while (!stop) std::this_thread::sleep_for(10ms);
    });
    auto c = Accept();
    c->SetStallTimeout(300ms);
    const bool ended = RunUntil([&] { return c->GetState() == qvClient::kEnded; }, 10s, c.get());
    stop = true;
    reader.join();
    EXPECT_TRUE(ended);
    EXPECT_LE(maxPending, 2 * ReaderSession::kOutputHighWater);
}

}  // namespace
