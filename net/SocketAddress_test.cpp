#include "net/SocketAddress.h"

#include <arpa/inet.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(INetSocketAddress, ConvertAddressParsesOnlyFourDecimalParts) {
    const struct {
        const char* text;
        const char* parsed;  // nullptr: not a dotted address
    } cases[] = {
        {"127.0.0.1", "127.0.0.1"},    {"0.0.0.0", "0.0.0.0"},
        {"10.1.2.254", "10.1.2.254"},  {"192.168.001.010", "192.168.1.10"},
        {"255.255.255.255", nullptr},  // its value is the failure value
        {"256.1.1.1", nullptr},        {"1.2.3", nullptr},
        {"1.2.3.4.5", nullptr},        {"1.2.3.", nullptr},
        {".1.2.3", nullptr},           {"1..2.3", nullptr},
        {"news.example.com", nullptr}, {"localhost", nullptr},
        {"1.2.3.4 ", nullptr},         {" 1.2.3.4", nullptr},
        {"0x7f.0.0.1", nullptr},       {"1.2.3.-4", nullptr},
        {"1234.1.1.1", nullptr},       {"", nullptr},
    };
    for (const auto& c : cases) {
        const std::uint32_t a = INetSocketAddress::ConvertAddress(c.text);
        EXPECT_EQ(c.parsed != nullptr, INetSocketAddress::IsAddressDottedDecimal(c.text)) << c.text;
        if (c.parsed != nullptr) {
            EXPECT_EQ(inet_addr(c.parsed), a) << c.text;
            EXPECT_EQ(c.parsed, INetSocketAddress::ConvertAddress(a)) << c.text;
        } else {
            EXPECT_EQ(INetSocketAddress::kAddressNone, a) << c.text;
        }
    }
    EXPECT_FALSE(INetSocketAddress::IsAddressDottedDecimal(nullptr));
}

TEST(INetSocketAddress, LayoutMatchesTheSystemRecord) {
    INetSocketAddress a(htons(119), "10.0.0.7");
    sockaddr_in in{};
    a.ToSockAddr(in);
    EXPECT_EQ(AF_INET, in.sin_family);
    EXPECT_EQ(htons(119), in.sin_port);
    EXPECT_EQ(inet_addr("10.0.0.7"), in.sin_addr.s_addr);
    INetSocketAddress b;
    b.FromSockAddr(in);
    EXPECT_TRUE(a == b);
    b.SetPort(htons(120));
    EXPECT_FALSE(a == b);

    INetSocketAddress any;
    EXPECT_EQ(2, any.GetFamily());
    EXPECT_EQ(0, any.GetPort());
    EXPECT_EQ(0u, any.GetNetworkAddress());
    for (int i = 6; i < 14; ++i) EXPECT_EQ(0, any.GetData()[i]);

    // The generic form copies at most 14 bytes.
    const unsigned char bytes[20] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    SocketAddress generic(7, bytes, 20);
    EXPECT_EQ(14, generic.GetData()[13]);
    INetSocketAddress copy(generic);
    EXPECT_TRUE(copy == generic);
}

TEST(INetSocketAddress, ClassNetworkAndNode) {
    const struct {
        const char* text;
        int cls;
        std::uint32_t network;
        std::uint32_t node;
    } cases[] = {
        {"10.1.2.3", 0, 0x0A000000u, 0x00010203u},
        {"127.0.0.1", 0, 0x7F000000u, 1u},
        {"128.9.8.7", 1, 0x80090000u, 0x0807u},
        {"191.255.1.1", 1, 0xBFFF0000u, 0x0101u},
        {"192.168.1.20", 2, 0xC0A80100u, 20u},
        {"223.1.2.3", 2, 0xDF010200u, 3u},
        {"224.0.0.1", 3, 0u, 0u},
        {"240.1.1.1", 3, 0u, 0u},
    };
    for (const auto& c : cases) {
        INetSocketAddress a(0, c.text);
        EXPECT_EQ(c.cls, a.GetClass()) << c.text;
        EXPECT_EQ(c.network, a.GetNetwork()) << c.text;
        EXPECT_EQ(c.node, a.GetNode()) << c.text;
    }
}

TEST(HostEntry, NthAddressOutOfRangeIsZero) {
    HostEntry e;
    e.addresses = {inet_addr("1.2.3.4"), inet_addr("5.6.7.8")};
    EXPECT_EQ(2, e.GetAddressCount());
    EXPECT_EQ(inet_addr("5.6.7.8"), e.GetNthINetAddress(1));
    EXPECT_EQ(0u, e.GetNthINetAddress(2));
    EXPECT_EQ(0u, e.GetNthINetAddress(-1));
}

TEST(HostInfoManager, BlockingLookupOfLocalhostAndAFailure) {
    HostInfoManager m(nullptr);
    std::string text = "";
    ASSERT_EQ(0, m.GetHostAddress(text, "localhost"));
    EXPECT_EQ("127.0.0.1", text);
    INetSocketAddress a;
    ASSERT_EQ(0, m.GetHostAddress(a, "localhost"));
    EXPECT_EQ(inet_addr("127.0.0.1"), a.GetNetworkAddress());

    std::string untouched = "";
    EXPECT_EQ(-1, m.GetHostAddress(untouched, "no-such-host.invalid"));
    EXPECT_EQ("", untouched);
    EXPECT_GE(m.LastError(), 11001);
    EXPECT_LE(m.LastError(), 11004);

    char name[256];
    EXPECT_EQ(0, m.GetHostName(name, sizeof name));
    EXPECT_GT(std::string(name).size(), 0u);
}

bool RunUntil(EventLoop& loop, const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < end) loop.RunOnce(20);
    return done();
}

class Target : public MessageTarget {
public:
    using MessageTarget::MessageTarget;
    bool HandleMessage(int message, WPARAM wParam, LPARAM lParam) override {
        got = message;
        handle = static_cast<int>(wParam);
        error = static_cast<int>(lParam >> 16);
        return true;
    }
    int got = 0, handle = 0, error = -1;
};

TEST(HostInfoManager, AsynchronousLookupCompletesOnTheLoop) {
    EventLoop loop;
    HostInfoManager m(&loop);
    int handle = 0;
    int error = -1;
    std::string address;
    ASSERT_EQ(0, m.GetHostInfoAsync(handle, "localhost", [&](int e, const HostEntry& entry) {
        error = e;
        HostInfoManager::HostEntryToAddress(entry, address);
    }));
    EXPECT_FALSE(m.Completed());
    ASSERT_TRUE(RunUntil(loop, [&] { return error != -1; }));
    EXPECT_EQ(0, error);
    EXPECT_EQ("127.0.0.1", address);
    EXPECT_TRUE(m.Completed());

    Target window(loop);
    ASSERT_EQ(0, m.GetHostInfoAsync(handle, &window, 1327, "no-such-host.invalid"));
    ASSERT_TRUE(RunUntil(loop, [&] { return window.got != 0; }));
    EXPECT_EQ(1327, window.got);
    EXPECT_EQ(handle, window.handle);
    EXPECT_GE(window.error, 11001);
}

TEST(HostInfoManager, CancelledRequestNeverCompletes) {
    EventLoop loop;
    bool called = false;
    {
        HostInfoManager m(&loop);
        int handle = 0;
        ASSERT_EQ(0, m.GetHostInfoAsync(handle, "localhost",
                                        [&](int, const HostEntry&) { called = true; }));
    }  // destroyed with the request outstanding
    HostInfoManager m2(&loop);
    int handle = 0;
    ASSERT_EQ(
        0, m2.GetHostInfoAsync(handle, "localhost", [&](int, const HostEntry&) { called = true; }));
    EXPECT_EQ(0, m2.CancelHostRequest());
    EXPECT_EQ(-1, m2.CancelHostRequest());
    EXPECT_EQ(10022, m2.LastError());
    for (int i = 0; i < 50; ++i) loop.RunOnce(10);
    EXPECT_FALSE(called);
}

}  // namespace
