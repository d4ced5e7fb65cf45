#include "net/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct Note {
    int event;
    int error;
};

// A session stand-in: records every event it is given and runs an optional
// reaction to it.
class Recorder : public SocketEvents {
public:
    void OnReadable() override { Record(sockev::Read, 0); }
    void OnWritable() override { Record(sockev::Write, 0); }
    void OnOutOfBand() override { Record(sockev::OOB, 0); }
    void OnAccept() override { Record(sockev::Accept, 0); }
    void OnConnected(int error) override { Record(sockev::Connect, error); }
    void OnClosed(int error) override { Record(sockev::Close, error); }
    void Record(int event, int error) {
        notes.push_back(Note{event, error});
        if (react) react(notes.back());
    }
    int Count(int event) const {
        int c = 0;
        for (const Note& n : notes) c += n.event == event;
        return c;
    }
    std::vector<Note> notes;
    std::function<void(const Note&)> react;
};

// A socket that keeps its own handler calls; with drain set, its read
// handler reads what waits.
class HandlerSocket : public StreamSocket {
public:
    explicit HandlerSocket(EventLoop& loop) : StreamSocket(loop, INetSocketAddress(), 2, 1, 0) {}
    int DoReadNotification(int e) override {
        events.push_back(sockev::Read);
        if (drain) {
            char buf[64];
            int length = sizeof buf;
            Read(buf, length);
        }
        return StreamSocket::DoReadNotification(e);
    }
    int DoCloseNotification(int e) override {
        events.push_back(sockev::Close);
        return StreamSocket::DoCloseNotification(e);
    }
    std::vector<int> events;
    bool drain = false;
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
            EXPECT_EQ(0, listener.Accept(temporary));
            session = std::move(temporary);
        }
        controller.notes.clear();
        return client;
    }

    SocketManager manager{1, 1, true};
    EventLoop loop;
    Recorder controller;
    StreamSocket listener{loop, INetSocketAddress(), 2, 1, 0};
    std::uint16_t port = 0;
};

TEST_F(SocketTest, AcceptEventReachesTheOwner) {
    const int client = Dial(port);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(RunUntil(loop, [&] { return !controller.notes.empty(); }));
    EXPECT_EQ(sockev::Accept, controller.notes[0].event);
    EXPECT_EQ(0, controller.notes[0].error);
    close(client);
}

TEST_F(SocketTest, HandOverKeepsTheConnectionOpenAfterTheTemporaryGoes) {
    StreamSocket session;
    Recorder window;
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
        while (got.size() < session.events.size() && session.events[got.size()] == sockev::Read) {
            char c;
            int length = 1;
            session.Read(&c, length);
            if (length == 1)
                got += c;
            else
                break;
        }
        return !session.events.empty() && session.events.back() == sockev::Close;
    }));
    EXPECT_EQ("QUIT\r\n", got);
    EXPECT_EQ(1, std::count(session.events.begin(), session.events.end(), sockev::Close));
    EXPECT_EQ(0, session.LastError());
    loop.RunOnce(30);  // no second close
    EXPECT_EQ(1, std::count(session.events.begin(), session.events.end(), sockev::Close));
}

TEST_F(SocketTest, ResetIsACloseWithConnectionReset) {
    StreamSocket session;
    Recorder window;
    const int client = Connected(session);
    session.SetNotificationWindow(&window);
    ASSERT_EQ(0, session.StartRegularNotification());
    linger l{1, 0};
    setsockopt(client, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(client);  // RST
    ASSERT_TRUE(RunUntil(loop, [&] { return window.Count(sockev::Close) > 0; }));
    EXPECT_EQ(ECONNRESET, window.notes.back().error);
    loop.RunOnce(30);
    EXPECT_EQ(1, window.Count(sockev::Close));
}

TEST_F(SocketTest, PausedReadsHoldDataAndCloseUntilResumed) {
    StreamSocket session;
    Recorder window;
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
    Recorder window;
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
    EXPECT_EQ(EWOULDBLOCK, session.LastError());
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
    Recorder window;
    feed.SetNotificationWindow(&window);
    ASSERT_EQ(0, feed.CreateSocket());
    ASSERT_EQ(0, feed.StartRegularNotification());
    ASSERT_EQ(0, feed.BindSocket());
    EXPECT_EQ(-1, feed.Connect(address));
    EXPECT_EQ(EINPROGRESS, feed.LastError());
    ASSERT_TRUE(RunUntil(loop, [&] { return window.Count(sockev::Connect) > 0; }));
    EXPECT_EQ(ECONNREFUSED, window.notes.back().error);
    EXPECT_EQ(0, window.Count(sockev::Write));

    // Without a window the socket's own handler records the outcome.
    StreamSocket own(loop, INetSocketAddress(), 2, 1, 0);
    ASSERT_EQ(0, own.CreateSocket());
    ASSERT_EQ(0, own.StartRegularNotification());
    EXPECT_EQ(-1, own.Connect(address));
    ASSERT_TRUE(RunUntil(loop, [&] { return own.LastError() == ECONNREFUSED; }));
    EXPECT_EQ(StreamSocket::NotConnected, own.GetConnectionState());
}

TEST_F(SocketTest, ConnectSucceedsWithConnectThenWrite) {
    StreamSocket feed(loop, INetSocketAddress(), 2, 1, 0);
    Recorder window;
    feed.SetNotificationWindow(&window);
    feed.SetNotificationSet(sockev::Write);  // connect goes to the socket itself
    ASSERT_EQ(0, feed.CreateSocket());
    ASSERT_EQ(0, feed.StartRegularNotification());
    const int rc =
        feed.Connect(INetSocketAddress(port, INetSocketAddress::ConvertAddress("127.0.0.1")));
    EXPECT_TRUE(rc == 0 || feed.LastError() == EINPROGRESS);
    ASSERT_TRUE(RunUntil(loop, [&] { return window.Count(sockev::Write) > 0; }));
    EXPECT_EQ(StreamSocket::Connected, feed.GetConnectionState());
}

TEST_F(SocketTest, NotificationSetSplitsBetweenOwnerAndHandlers) {
    HandlerSocket s{loop};
    const int client = Connected(s);
    Recorder window;
    s.SetNotificationWindow(&window);
    s.SetNotificationSet(sockev::Close);
    s.drain = true;
    ASSERT_EQ(0, s.StartRegularNotification());
    ASSERT_EQ(3, write(client, "abc", 3));
    ASSERT_TRUE(RunUntil(loop, [&] { return !s.events.empty(); }));
    linger l{1, 0};
    setsockopt(client, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(client);  // RST
    ASSERT_TRUE(RunUntil(loop, [&] { return !window.notes.empty(); }));
    EXPECT_EQ(0, std::count(s.events.begin(), s.events.end(), sockev::Close));
    ASSERT_EQ(1u, window.notes.size());
    EXPECT_EQ(sockev::Close, window.notes[0].event);
    EXPECT_EQ(ECONNRESET, window.notes[0].error);
}

// The hand-over of a connection that is already being watched: the events
// follow the socket to its new object, the moved-from one lets go without
// closing, and a connection the target held before is closed.
TEST_F(SocketTest, MovingAWatchedSocketTakesItsEventsAlong) {
    StreamSocket first, second;
    const int clientA = Connected(first);
    const int clientB = Connected(second);
    Recorder window;
    first.SetNotificationWindow(&window);
    ASSERT_EQ(0, first.StartRegularNotification());
    const Socket::Handle handle = first.GetHandle();

    second = std::move(first);
    EXPECT_EQ(handle, second.GetHandle());
    EXPECT_EQ(Socket::kNoSocket, first.GetHandle());  // the moved-from socket holds nothing
    pollfd p{clientB, POLLIN, 0};
    ASSERT_EQ(1, poll(&p, 1, 1000));
    char byte;
    EXPECT_EQ(0, read(clientB, &byte, 1));  // the target's old connection was closed

    StreamSocket third(std::move(second));
    ASSERT_EQ(4, write(clientA, "LIST", 4));
    ASSERT_TRUE(RunUntil(loop, [&] { return window.Count(sockev::Read) > 0; }));
    char buf[16];
    int length = sizeof buf;
    ASSERT_EQ(0, third.Read(buf, length));
    EXPECT_EQ("LIST", std::string(buf, static_cast<std::size_t>(length)));
    first.CloseSocket();  // closing the moved-from sockets closes nothing
    second.CloseSocket();
    length = 3;
    EXPECT_EQ(0, third.Write("200", length));
    EXPECT_EQ(3, read(clientA, buf, sizeof buf));
    close(clientA);
    close(clientB);
}

TEST_F(SocketTest, ReadWithNothingWaitingIsWouldBlock) {
    StreamSocket s;
    const int client = Connected(s);
    char buf[16];
    int length = sizeof buf;
    EXPECT_EQ(0, s.Read(buf, length));
    EXPECT_EQ(0, length);
    EXPECT_EQ(EWOULDBLOCK, s.LastError());
    close(client);
}

TEST_F(SocketTest, SessionMayCloseItsSocketInsideTheNotification) {
    StreamSocket session;
    Recorder window;
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

TEST(SocketRules, ConvertProtocol) {
    EXPECT_EQ(6, Socket::ConvertProtocol(nullptr));
    EXPECT_EQ(6, Socket::ConvertProtocol("tcp"));
    EXPECT_EQ(17, Socket::ConvertProtocol("udp"));
    EXPECT_EQ(0, Socket::ConvertProtocol("icmp"));
}

TEST(SocketRules, NoHandleFailsWithNotSocket) {
    EventLoop loop;
    StreamSocket s;
    EXPECT_EQ(-1, s.StartRegularNotification());
    EXPECT_EQ(ENOTSOCK, s.LastError());
    EXPECT_EQ(0, s.ShutDownSocket(2));
    EXPECT_EQ(0, s.CloseSocket());
    EXPECT_EQ(0, s.GetDriverWaitingSize());
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
