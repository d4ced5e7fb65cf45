#include "net/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct Note {
    WPARAM handle;
    int event;
    int error;
};

// A session stand-in: records every forwarded notification and runs an
// optional reaction to it.
class Recorder : public MessageTarget {
public:
    using MessageTarget::MessageTarget;
    bool HandleMessage(int message, WPARAM wParam, LPARAM lParam) override {
        if (message != SocketWindow::snMsgSocketNotification) return false;
        Note n{wParam, static_cast<int>(lParam & 0xFFFF), static_cast<int>(lParam >> 16)};
        notes.push_back(n);
        if (react) react(n);
        return true;
    }
    int Count(int event) const {
        int c = 0;
        for (const Note& n : notes) c += n.event == event;
        return c;
    }
    std::vector<Note> notes;
    std::function<void(const Note&)> react;
};

// A socket that keeps its own handler calls.
class HandlerSocket : public StreamSocket {
public:
    explicit HandlerSocket(EventLoop& loop) : StreamSocket(loop, INetSocketAddress(), 2, 1, 0) {}
    int DoReadNotification(Handle h, int e) override {
        events.push_back(1);
        return StreamSocket::DoReadNotification(h, e);
    }
    int DoCloseNotification(Handle h, int e) override {
        events.push_back(32);
        return StreamSocket::DoCloseNotification(h, e);
    }
    std::vector<int> events;
};

bool RunUntil(EventLoop& loop, const std::function<bool()>& done, int ms = 3000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        loop.RunOnce(20);
    }
    return true;
}

// A plain blocking client for the other end of the connection.
int Dial(std::uint16_t portNetworkOrder) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = portNetworkOrder;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&in), sizeof in) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

class SocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, listener.CreateSocket());
        listener.SetNotificationWindow(&controller);
        ASSERT_EQ(0, listener.StartAcceptNotification());
        ASSERT_EQ(0, listener.BindSocket(
                         INetSocketAddress(0, INetSocketAddress::ConvertAddress("127.0.0.1"))));
        ASSERT_EQ(0, listener.Listen(5));
        SocketAddress mine;
        int length = 16;
        ASSERT_EQ(0, listener.GetMyAddress(mine, length));
        port = INetSocketAddress(mine).GetPort();
    }

    // Connects a client and hands the accepted connection over to session,
    // the way the controller does.
    int Connected(StreamSocket& session) {
        const int client = Dial(port);
        EXPECT_GE(client, 0);
        EXPECT_TRUE(RunUntil(loop, [&] { return controller.Count(sockev::Accept) > 0; }));
        {
            StreamSocket temporary;
            temporary.SetKeepHandle(true);
            EXPECT_EQ(0, listener.Accept(temporary));
            session = temporary;
            session.SetKeepHandle(false);
        }
        controller.notes.clear();
        return client;
    }

    SocketManager manager{1, 1, true};
    EventLoop loop;
    Recorder controller{loop};
    StreamSocket listener{loop, INetSocketAddress(), 2, 1, 0};
    std::uint16_t port = 0;
};

TEST_F(SocketTest, AcceptEventReachesTheOwnerWithTheListenerHandle) {
    const int client = Dial(port);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(RunUntil(loop, [&] { return !controller.notes.empty(); }));
    EXPECT_EQ(static_cast<WPARAM>(listener.GetHandle()), controller.notes[0].handle);
    EXPECT_EQ(sockev::Accept, controller.notes[0].event);
    EXPECT_EQ(0, controller.notes[0].error);
    close(client);
}

TEST_F(SocketTest, HandOverKeepsTheConnectionOpenAfterTheTemporaryGoes) {
    StreamSocket session;
    Recorder window{loop};
    const int client = Connected(session);
    ASSERT_NE(Socket::kNoSocket, session.GetHandle());
    EXPECT_EQ(StreamSocket::Connected, session.GetConnectionState());
    EXPECT_EQ("127.0.0.1", INetSocketAddress::ConvertAddress(
                               INetSocketAddress(session.GetPeerAddress()).GetNetworkAddress()));
    EXPECT_TRUE(fcntl(session.GetHandle(), F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(fcntl(session.GetHandle(), F_GETFD) & FD_CLOEXEC);

    // No notifications until the session asks for them.
    ASSERT_EQ(6, write(client, "HELP\r\n", 6));
    loop.RunOnce(50);
    EXPECT_TRUE(window.notes.empty());
    session.SetNotificationWindow(&window);
    ASSERT_EQ(0, session.StartRegularNotification());
    ASSERT_TRUE(RunUntil(loop, [&] { return window.Count(sockev::Read) > 0; }));

    char buf[255];
    int length = sizeof buf;
    ASSERT_EQ(0, session.Read(buf, length));
    EXPECT_EQ("HELP\r\n", std::string(buf, static_cast<std::size_t>(length)));
    length = 5;
    ASSERT_EQ(0, session.Write("200\r\n", length));
    EXPECT_EQ(5, length);
    char reply[8] = {};
    EXPECT_EQ(5, read(client, reply, sizeof reply));
    close(client);
}

TEST_F(SocketTest, DataIsReportedBeforeThePeerCloses) {
    HandlerSocket session{loop};
    const int client = Connected(session);
    ASSERT_EQ(0, session.StartRegularNotification());
    ASSERT_EQ(6, write(client, "QUIT\r\n", 6));
    close(client);

    std::string got;
    // Reads one byte per event, as a slow session would.
    ASSERT_TRUE(RunUntil(loop, [&] {
        while (got.size() < session.events.size() && session.events[got.size()] == 1) {
            char c;
            int length = 1;
            session.Read(&c, length);
            if (length == 1)
                got += c;
            else
                break;
        }
        return !session.events.empty() && session.events.back() == 32;
    }));
    EXPECT_EQ("QUIT\r\n", got);
    EXPECT_EQ(1, std::count(session.events.begin(), session.events.end(), 32));
    EXPECT_EQ(0, session.LastError());
    loop.RunOnce(30);  // no second close
    EXPECT_EQ(1, std::count(session.events.begin(), session.events.end(), 32));
}

TEST_F(SocketTest, ResetIsACloseWithConnectionReset) {
    StreamSocket session;
    Recorder window{loop};
    const int client = Connected(session);
    session.SetNotificationWindow(&window);
    ASSERT_EQ(0, session.StartRegularNotification());
    linger l{1, 0};
    setsockopt(client, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(client);  // RST
    ASSERT_TRUE(RunUntil(loop, [&] { return window.Count(sockev::Close) > 0; }));
    EXPECT_EQ(wsa::ConnectionReset, window.notes.back().error);
    loop.RunOnce(30);
    EXPECT_EQ(1, window.Count(sockev::Close));
}

TEST_F(SocketTest, PausedReadsHoldDataAndCloseUntilResumed) {
    StreamSocket session;
    Recorder window{loop};
    const int client = Connected(session);
    session.SetNotificationWindow(&window);
    ASSERT_EQ(0, session.StartCustomNotification(sockev::RegularSet & ~sockev::Read));
    ASSERT_EQ(4, write(client, "ABCD", 4));
    close(client);
    for (int i = 0; i < 5; ++i) loop.RunOnce(10);
    EXPECT_TRUE(window.notes.empty());

    window.react = [&](const Note& n) {
        if (n.event != sockev::Read) return;
        char buf[16];
        int length = sizeof buf;
        session.Read(buf, length);
    };
    ASSERT_EQ(0, session.StartRegularNotification());
    ASSERT_TRUE(RunUntil(loop, [&] { return window.Count(sockev::Close) > 0; }));
    ASSERT_GE(window.notes.size(), 2u);
    EXPECT_EQ(sockev::Read, window.notes.front().event);
}

TEST_F(SocketTest, WriteThatWouldBlockGetsOneWriteEventWhenDrained) {
    StreamSocket session;
    Recorder window{loop};
    const int client = Connected(session);
    session.SetNotificationWindow(&window);
    session.SetSendBufferOption(4096);
    ASSERT_EQ(0, session.StartRegularNotification());

    const std::string block(65536, 'x');
    int rounds = 0;
    for (;; ++rounds) {
        ASSERT_LT(rounds, 10000);
        int length = static_cast<int>(block.size());
        ASSERT_EQ(0, session.Write(block.data(), length));
        if (length == 0) break;
    }
    EXPECT_EQ(wsa::WouldBlock, session.LastError());
    loop.RunOnce(30);
    EXPECT_EQ(0, window.Count(sockev::Write));  // nothing drained yet

    std::vector<char> sink(1 << 20);
    ASSERT_TRUE(RunUntil(loop, [&] {
        (void)!recv(client, sink.data(), sink.size(), MSG_DONTWAIT);
        return window.Count(sockev::Write) > 0;
    }));
    for (int i = 0; i < 5; ++i) {
        (void)!recv(client, sink.data(), sink.size(), MSG_DONTWAIT);
        loop.RunOnce(10);
    }
    EXPECT_EQ(1, window.Count(sockev::Write));
    close(client);
}

TEST_F(SocketTest, ConnectRefusedArrivesAsAConnectEvent) {
    // A port that was listening a moment ago and is closed now.
    StreamSocket gone(loop, INetSocketAddress(), 2, 1, 0);
    ASSERT_EQ(0, gone.CreateSocket());
    ASSERT_EQ(
        0, gone.BindSocket(INetSocketAddress(0, INetSocketAddress::ConvertAddress("127.0.0.1"))));
    SocketAddress address;
    int length = 16;
    ASSERT_EQ(0, gone.GetMyAddress(address, length));
    gone.CloseSocket();

    StreamSocket feed(loop, INetSocketAddress(), 2, 1, 0);
    Recorder window{loop};
    feed.SetNotificationWindow(&window);
    ASSERT_EQ(0, feed.CreateSocket());
    ASSERT_EQ(0, feed.StartRegularNotification());
    ASSERT_EQ(0, feed.BindSocket());
    EXPECT_EQ(-1, feed.Connect(address));
    EXPECT_EQ(wsa::WouldBlock, feed.LastError());
    ASSERT_TRUE(RunUntil(loop, [&] { return window.Count(sockev::Connect) > 0; }));
    EXPECT_EQ(wsa::ConnectionRefused, window.notes.back().error);
    EXPECT_EQ(0, window.Count(sockev::Write));

    // Without a window the socket's own handler records the outcome.
    StreamSocket own(loop, INetSocketAddress(), 2, 1, 0);
    ASSERT_EQ(0, own.CreateSocket());
    ASSERT_EQ(0, own.StartRegularNotification());
    EXPECT_EQ(-1, own.Connect(address));
    ASSERT_TRUE(RunUntil(loop, [&] { return own.LastError() == wsa::ConnectionRefused; }));
    EXPECT_EQ(StreamSocket::NotConnected, own.GetConnectionState());
}

TEST_F(SocketTest, ConnectSucceedsWithConnectThenWrite) {
    StreamSocket feed(loop, INetSocketAddress(), 2, 1, 0);
    Recorder window{loop};
    feed.SetNotificationWindow(&window);
    feed.SetNotificationSet(sockev::Write);  // connect goes to the socket itself
    ASSERT_EQ(0, feed.CreateSocket());
    ASSERT_EQ(0, feed.StartRegularNotification());
    const int rc =
        feed.Connect(INetSocketAddress(port, INetSocketAddress::ConvertAddress("127.0.0.1")));
    EXPECT_TRUE(rc == 0 || feed.LastError() == wsa::WouldBlock);
    ASSERT_TRUE(RunUntil(loop, [&] { return window.Count(sockev::Write) > 0; }));
    EXPECT_EQ(StreamSocket::Connected, feed.GetConnectionState());
}

TEST_F(SocketTest, NotificationForAnotherHandleIsNotHandled) {
    StreamSocket a, b;
    const int clientA = Connected(a);
    const int clientB = Connected(b);
    Recorder window{loop};
    a.SetNotificationWindow(&window);
    EXPECT_FALSE(a.Window().DoSocketNotification(static_cast<WPARAM>(b.GetHandle()), sockev::Read));
    EXPECT_TRUE(window.notes.empty());
    EXPECT_TRUE(a.Window().DoSocketNotification(static_cast<WPARAM>(a.GetHandle()), sockev::Read));
    EXPECT_EQ(1u, window.notes.size());
    // Unknown event bits are ignored but the message is still this socket's.
    EXPECT_TRUE(a.Window().DoSocketNotification(static_cast<WPARAM>(a.GetHandle()), 64));
    EXPECT_EQ(1u, window.notes.size());
    close(clientA);
    close(clientB);
}

TEST_F(SocketTest, NotificationSetSplitsBetweenWindowAndHandlers) {
    HandlerSocket s{loop};
    const int client = Connected(s);
    Recorder window{loop};
    s.SetNotificationWindow(&window);
    s.SetNotificationSet(sockev::Close);
    const auto h = static_cast<WPARAM>(s.GetHandle());
    s.Window().DoSocketNotification(h, sockev::Read);
    s.Window().DoSocketNotification(h, sockev::Close | (wsa::ConnectionReset << 16));
    EXPECT_EQ(std::vector<int>{1}, s.events);
    ASSERT_EQ(1u, window.notes.size());
    EXPECT_EQ(wsa::ConnectionReset, window.notes[0].error);
    close(client);
}

TEST_F(SocketTest, ReadWithNothingWaitingIsWouldBlock) {
    StreamSocket s;
    const int client = Connected(s);
    char buf[16];
    int length = sizeof buf;
    EXPECT_EQ(0, s.Read(buf, length));
    EXPECT_EQ(0, length);
    EXPECT_EQ(wsa::WouldBlock, s.LastError());
    close(client);
}

TEST_F(SocketTest, SessionMayCloseItsSocketInsideTheNotification) {
    StreamSocket session;
    Recorder window{loop};
    const int client = Connected(session);
    session.SetNotificationWindow(&window);
    window.react = [&](const Note&) { session.CloseSocket(); };
    ASSERT_EQ(0, session.StartRegularNotification());
    ASSERT_EQ(3, write(client, "abc", 3));
    close(client);
    ASSERT_TRUE(RunUntil(loop, [&] { return !window.notes.empty(); }));
    for (int i = 0; i < 3; ++i) loop.RunOnce(10);
    EXPECT_EQ(1u, window.notes.size());
    EXPECT_EQ(Socket::kNoSocket, session.GetHandle());
}

TEST(SocketRules, MaxReadBufferSizeIgnoresZeroAndNegative) {
    Socket s;
    s.SetMaxReadBufferSize(4000);
    for (int size : {0, -1, -8192}) {
        s.SetMaxReadBufferSize(size);
        EXPECT_EQ(4000, s.GetMaxReadBufferSize()) << size;
    }
}

TEST(SocketRules, ConvertProtocol) {
    Socket s;
    EXPECT_EQ(6, s.ConvertProtocol(nullptr));
    EXPECT_EQ(6, s.ConvertProtocol("tcp"));
    EXPECT_EQ(17, s.ConvertProtocol("udp"));
    EXPECT_EQ(0, s.ConvertProtocol("icmp"));
}

TEST(SocketRules, NoHandleFailsWithNotSocket) {
    EventLoop loop;
    StreamSocket s;
    EXPECT_EQ(-1, s.StartRegularNotification());
    EXPECT_EQ(wsa::NotSocket, s.LastError());
    EXPECT_EQ(0, s.ShutDownSocket(2));
    EXPECT_EQ(0, s.CloseSocket());
    EXPECT_EQ(0, s.GetDriverWaitingSize());
}

TEST(SocketRules, ErrnoMapsToWinsockCodes) {
    const struct {
        int errnoValue;
        int code;
    } cases[] = {
        {0, 0},
        {EAGAIN, 10035},
        {EINPROGRESS, 10035},
        {ECONNREFUSED, 10061},
        {ECONNRESET, 10054},
        {ETIMEDOUT, 10060},
        {EADDRINUSE, 10048},
        {EACCES, 10013},
        {ENETUNREACH, 10051},
        {EHOSTUNREACH, 10065},
        {ENOTSOCK, 10038},
        {EPIPE, 10058},
        {EMFILE, 10024},
        {ENOTCONN, 10057},
        {EADDRNOTAVAIL, 10049},
    };
    for (const auto& c : cases) EXPECT_EQ(c.code, WinsockError(c.errnoValue)) << c.errnoValue;
}

TEST(SocketManagerRules, StartAndShutDownCount) {
    SocketManager m(1, 1, false);
    EXPECT_EQ(-1, m.ShutDown());
    EXPECT_EQ(10093, m.LastError());
    ASSERT_EQ(0, m.Startup());
    ASSERT_EQ(0, m.Startup());
    EXPECT_EQ(2, m.StartCount());
    EXPECT_EQ(0x0101, m.Info().version);
    EXPECT_EQ(0, m.ShutDown());
    EXPECT_EQ(1, m.StartCount());
    SocketManager tooOld(0, 9, true);
    EXPECT_EQ(0, tooOld.StartCount());
    EXPECT_EQ(10092, tooOld.LastError());
}

}  // namespace
