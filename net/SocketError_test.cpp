#include "net/SocketError.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(SocketError, ReasonTexts) {
    const struct {
        int code;
        const char* text;
    } cases[] = {
        {10061, "Winsock Error 10061 (WSAECONNREFUSED): The connection was refused"},
        {11001, "Winsock Error 11001 (WSAHOST_NOT_FOUND): The host was not found"},
        {0, "Winsock Error 0 (?\?\?): Unknown error or no error"},
        {12345, "Winsock Error 12345 (?\?\?): Unknown error or no error"},
        {10004, "Winsock Error 10004 (WSAEINTR): Interrupted system call"},
        {10058, "Winsock Error 10058 (WSAESHUTDOWN): Can't send data because socket is shut down"},
        {10101, "Winsock Error 10101 (WSAEDISCO): Disconnect"},
        {11004,
         "Winsock Error 11004 (WSANO_DATA): No information of the requested type was available"},
        {10072, "Winsock Error 10072 (?\?\?): Unknown error or no error"},
        {-1, "Winsock Error -1 (?\?\?): Unknown error or no error"},
    };
    for (const auto& c : cases) {
        SocketError e(c.code, 128);
        EXPECT_STREQ(c.text, e.GetReasonString()) << c.code;
        EXPECT_EQ(c.code, e.GetReasonValue());
    }
}

TEST(SocketError, EveryListedCodeHasItsOwnText) {
    int listed = 0;
    for (int code = 10000; code < 11010; ++code)
        if (std::strncmp(SocketError::ReasonText(code), "(?\?\?)", 5) != 0) ++listed;
    EXPECT_EQ(51, listed);
}

TEST(SocketError, AppendErrorJoinsAndRepeats) {
    SocketError e(10061, 128);
    EXPECT_STREQ(
        "Error on Connect()\n\nWinsock Error 10061 (WSAECONNREFUSED): The connection was refused",
        e.AppendError("Error on Connect()"));
    EXPECT_STREQ(
        "Again\n\nError on Connect()\n\nWinsock Error 10061 (WSAECONNREFUSED): The connection "
        "was refused",
        e.AppendError("Again"));
    e.ISocketError(11001);
    EXPECT_STREQ("Winsock Error 11001 (WSAHOST_NOT_FOUND): The host was not found",
                 e.GetReasonString());
}

TEST(SocketError, LongestJoinIsNotCut) {
    SocketError e(10044, 128);
    const std::string message = "Error on StartRegularNotification() Constructor.";
    const std::string want = message + "\n\n" + e.GetReasonString();
    ASSERT_GT(want.size(), 127u);
    EXPECT_EQ(want, e.AppendError(message));
}

TEST(SocketError, CallerBufferIsCutNotOverrun) {
    SocketError e(10061, 128);
    char small[16];
    std::memset(small, '#', sizeof small);
    EXPECT_EQ(small, e.AppendError("Error on Connect()", small, 12));
    EXPECT_STREQ("Error on Co", small);
    EXPECT_EQ('#', small[12]);
    // The object keeps its own text.
    EXPECT_STREQ("Winsock Error 10061 (WSAECONNREFUSED): The connection was refused",
                 e.GetReasonString());
    char copy[8];
    EXPECT_STREQ("Winsock", e.CopyReasonString(copy, sizeof copy));
}

TEST(SocketError, EqualityIsByCode) {
    SocketError a(10061, 128), b(10061, 16), c(10054, 128);
    b.AppendError("different text");
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a == c);
    c = a;
    EXPECT_STREQ(a.GetReasonString(), c.GetReasonString());
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

}  // namespace
