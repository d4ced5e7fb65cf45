#include "app/ControlChannel.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <future>
#include <sstream>

#include "tests/util/TestUtil.h"

namespace {

using namespace std::chrono_literals;

class ControlChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        char buf[PATH_MAX];
        ASSERT_NE(nullptr, ::getcwd(buf, sizeof buf));
        old_ = buf;
        ASSERT_EQ(0, ::chdir(home_.Path().c_str()));
    }
    void TearDown() override { ASSERT_EQ(0, ::chdir(old_.c_str())); }

    // Runs the client on its own thread while the loop serves it.
    int Ask(const std::vector<std::string>& words, std::string* out, std::string* err = nullptr) {
        auto result = std::async(std::launch::async, [words] {
            std::ostringstream o, e;
            const int code = RunCtlClient("HOME", words, o, e);
            return std::make_tuple(code, o.str(), e.str());
        });
        while (result.wait_for(0ms) != std::future_status::ready) loop_.RunOnce(10);
        auto [code, o, e] = result.get();
        if (out) *out = o;
        if (err) *err = e;
        return code;
    }

    static int RawConnect(const char* path) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strcpy(a.sun_path, path);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    testutil::TempDir home_;
    std::string old_;
    EventLoop loop_;
    std::vector<std::vector<std::string>> seen_;
};

CtlReply Echo(const std::vector<std::string>& words) {
    if (words.empty()) return {CtlReply::Unknown, "empty\n"};
    if (words[0] == "no") return {CtlReply::Refused, "refused: " + words[1] + "\n"};
    if (words[0] == "what") return {CtlReply::Unknown, "unknown command\n"};
    std::string t;
    for (const auto& w : words) t += "[" + w + "]";
    return {CtlReply::Ok, t};
}

TEST_F(ControlChannelTest, AnswersAndOutcomesBecomeExitCodes) {
    ControlChannel ctl(loop_, Echo);
    ASSERT_EQ(ControlChannel::OpenResult::Opened, ctl.Open(ControlChannel::kSocketName));
    const struct {
        std::vector<std::string> words;
        int code;
        const char* out;
    } cases[] = {
        {{"status"}, 0, "[status]\n"},
        {{"addgroup", "local.test", "noposting"}, 0, "[addgroup][local.test][noposting]\n"},
        {{"no", "x"}, 3, "refused: x\n"},
        {{"what"}, 2, "unknown command\n"},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(c.code, Ask(c.words, &out)) << c.words[0];
        EXPECT_EQ(c.out, out) << c.words[0];
    }
    struct stat st {};
    ASSERT_EQ(0, ::stat(ControlChannel::kSocketName, &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
}

TEST_F(ControlChannelTest, NoServerIsReportedWithTheHome) {
    std::string out, err;
    EXPECT_EQ(1, Ask({"status"}, &out, &err));
    EXPECT_EQ("quorvel: no server is running in HOME\n", err);
    EXPECT_EQ("", out);
}

TEST_F(ControlChannelTest, StaleSocketIsReplacedLiveOneIsNot) {
    {
        // A crashed server leaves its socket file behind.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strcpy(a.sun_path, ControlChannel::kSocketName);
        ASSERT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
        ::close(fd);
    }
    ControlChannel first(loop_, Echo);
    ASSERT_EQ(ControlChannel::OpenResult::Opened, first.Open(ControlChannel::kSocketName));
    ControlChannel second(loop_, Echo);
    EXPECT_EQ(ControlChannel::OpenResult::InUse, second.Open(ControlChannel::kSocketName));
    std::string out;
    EXPECT_EQ(0, Ask({"still", "first"}, &out));
}

TEST_F(ControlChannelTest, AnOrdinaryFileInTheWayIsKept) {
    home_.Write("quorvel.ctl", "mine");
    ControlChannel ctl(loop_, Echo);
    std::string why;
    EXPECT_EQ(ControlChannel::OpenResult::Failed, ctl.Open(ControlChannel::kSocketName, &why));
    EXPECT_FALSE(why.empty());
    EXPECT_EQ("mine", home_.Read("quorvel.ctl"));
}

TEST_F(ControlChannelTest, SilentClientsDoNotHoldTheServer) {
    ControlChannel ctl(loop_, Echo);
    ctl.SetIdleTimeout(300);
    ASSERT_EQ(ControlChannel::OpenResult::Opened, ctl.Open(ControlChannel::kSocketName));
    const int silent = RawConnect(ControlChannel::kSocketName);
    ASSERT_GE(silent, 0);
    const int partial = RawConnect(ControlChannel::kSocketName);
    ASSERT_EQ(6, ::write(partial, "status", 6));  // no line end, side left open
    for (int i = 0; i < 5; ++i) loop_.RunOnce(10);
    EXPECT_EQ(2u, ctl.Connections());
    std::string out;
    EXPECT_EQ(0, Ask({"status"}, &out));  // served meanwhile
    const auto end = std::chrono::steady_clock::now() + 3s;
    while (ctl.Connections() != 0 && std::chrono::steady_clock::now() < end) loop_.RunOnce(20);
    EXPECT_EQ(0u, ctl.Connections());
    char c;
    EXPECT_EQ(0, ::read(silent, &c, 1));  // closed by the server
    ::close(silent);
    ::close(partial);
}

TEST_F(ControlChannelTest, SocketFileGoesWithTheChannel) {
    {
        ControlChannel ctl(loop_, Echo);
        ASSERT_EQ(ControlChannel::OpenResult::Opened, ctl.Open(ControlChannel::kSocketName));
        EXPECT_EQ(0, ::access(ControlChannel::kSocketName, F_OK));
    }
    EXPECT_NE(0, ::access(ControlChannel::kSocketName, F_OK));
}

}  // namespace
