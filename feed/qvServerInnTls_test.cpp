// Feed sessions over TLS and with a login, against INN's nnrpd. The suite
// makes its own CA and server certificate with the openssl command, a
// password file for ckpasswd and a readers.conf that wants a login, and
// starts two nnrpd daemons on loopback beside the INN on 127.0.0.1:11119
// (/work/shared/tools/inn-upstream test.alpha): one speaks TLS from the
// first byte, the other offers STARTTLS. Skipped when INN or nnrpd is not
// there; every wait is bounded.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "feed/FeedTestHarness.h"
#include "settings/Profile.h"

namespace {

using feedtest::FeedHome;
namespace fs = std::filesystem;

constexpr const char* kNnrpd = "/usr/lib/news/bin/nnrpd";
constexpr const char* kGroup = "test.alpha";

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

bool Answers(int port) {
    testutil::LineClient c;
    return c.Connect(port, std::chrono::seconds(2));
}

class InnTls : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ::signal(SIGPIPE, SIG_IGN);
        if (!fs::exists(kNnrpd) || !Answers(11119)) {
            why_ = "INN is not running on 127.0.0.1:11119";
            return;
        }
        dir_ = new testutil::TempDir();
        tlsPort_ = FreePort();
        plainPort_ = FreePort();
        const std::string d = dir_->Path();
        // nnrpd runs as news and must read these; the key stays private.
        const std::string script =
            "set -e; cd '" + d +
            "'; chmod 755 .; exec >setup.log 2>&1\n"
            "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 "
            "-subj '/CN=Quorvel Test CA'\n"
            "openssl req -newkey rsa:2048 -nodes -keyout key.pem -out srv.csr -subj /CN=localhost\n"
            "printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' > ext.cnf\n"
            "openssl x509 -req -in srv.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out cert.pem "
            "-days 2 -extfile ext.cnf\n"
            "openssl x509 -noout -fingerprint -sha256 -in cert.pem | sed 's/.*=//' > fingerprint\n"
            "cp /etc/news/inn.conf inn.conf\n"
            "printf 'tlscapath: %s\\ntlscertfile: %s/cert.pem\\ntlskeyfile: %s/key.pem\\n' "
            "\"$PWD\" \"$PWD\" \"$PWD\" >> inn.conf\n"
            "echo \"joe:$(openssl passwd -6 secret)\" > passwd\n"
            "printf 'auth \"login\" {\\n hosts: \"localhost, 127.0.0.1, ::1\"\\n"
            " auth: \"ckpasswd -f %s/passwd\"\\n}\\naccess \"login\" {\\n users: \"joe\"\\n"
            " newsgroups: \"*\"\\n access: RPA\\n}\\n' \"$PWD\" > readers.conf\n"
            "chown -R news:news . && chmod 600 key.pem ca.key\n"
            "for p in '" +
            std::to_string(tlsPort_) + " -S' '" + std::to_string(plainPort_) +
            "'; do\n"
            "  set -- $p\n"
            "  setpriv --reuid=news --regid=news --init-groups env INNCONF=\"$PWD/inn.conf\" " +
            kNnrpd +
            " -D -f -b 127.0.0.1 -p $1 $2 -c \"$PWD/readers.conf\" >nnrpd-$1.log 2>&1 &\n"
            "  echo $! > nnrpd-$1.pid\n"
            "done\n";
        if (testutil::RunCommand(script) != 0) {
            why_ = "the certificates or nnrpd could not be set up: " + dir_->Read("setup.log");
            return;
        }
        for (int i = 0; i < 50 && !(Answers(tlsPort_) && Answers(plainPort_)); ++i)
            ::usleep(100 * 1000);
        if (!Answers(tlsPort_) || !Answers(plainPort_)) why_ = "nnrpd did not start";
    }

    static void TearDownTestSuite() {
        if (dir_ == nullptr) return;
        for (const int port : {tlsPort_, plainPort_}) {
            const long pid =
                std::atol(dir_->Read("nnrpd-" + std::to_string(port) + ".pid").c_str());
            if (pid > 1) ::kill(static_cast<pid_t>(pid), SIGTERM);
        }
        testutil::RunCommand("chown -R root '" + dir_->Path() + "'");
        delete dir_;
        dir_ = nullptr;
    }

    void SetUp() override {
        if (!why_.empty()) GTEST_SKIP() << why_;
    }

    static std::string File(const char* name) { return dir_->Path() + "/" + name; }
    static std::string Fingerprint() {
        std::string f = dir_->Read("fingerprint");
        while (!f.empty() && (f.back() == '\n' || f.back() == '\r')) f.pop_back();
        return f;
    }

    // One session of a kind against 127.0.0.1:port, checking the name.
    static std::unique_ptr<qvServer> Run(FeedHome& home, int kind, int port,
                                         const std::string& hostName) {
        auto s = std::make_unique<qvServer>(home.Ctx());
        s->SetupWindow();
        s->SetKind(kind);
        s->SetPort(port);
        s->SetServerAddress("127.0.0.1");
        s->SetHostName(hostName);
        s->SetAllGroupFile("feed01.all");
        s->SetSubGroupFile("feed01.sub");
        s->Run();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (s->GetState() != 2 && std::chrono::steady_clock::now() < deadline)
            home.Loop().RunOnce(50);
        return s;
    }

    static testutil::TempDir* dir_;
    static std::string why_;
    static int tlsPort_;
    static int plainPort_;
};

testutil::TempDir* InnTls::dir_ = nullptr;
std::string InnTls::why_;
int InnTls::tlsPort_ = 0;
int InnTls::plainPort_ = 0;

std::size_t StoredArticles(const FeedHome& home) {
    const std::string dir = home.News() + kGroup;
    std::size_t n = 0;
    if (fs::exists(dir))
        for (const auto& e : fs::directory_iterator(dir))
            n += e.path().filename().string().starts_with("NEWS") ? 1 : 0;
    return n;
}

TEST_F(InnTls, FetchOverTlsWithLoginOrRefuseWithTheReason) {
    struct Case {
        const char* what;
        const char* security;
        bool tlsPort;        // else the plain port
        const char* verify;  // "pin": the certificate's fingerprint
        bool caFile;
        const char* hostName;
        const char* password;
        const char* wantLog;
        bool fetched;
    } cases[] = {
        {"tls, chain and name checked", "tls", true, "Yes", true, "localhost", "secret",
         "TLS established with localhost (TLSv1.", true},
        {"tls, pinned", "tls", true, "pin", false, "localhost", "secret", "Logged in", true},
        {"tls, address checked", "tls", true, "Yes", true, "127.0.0.1", "secret", "Logged in",
         true},
        {"starttls", "starttls", false, "Yes", true, "localhost", "secret",
         "TLS established with localhost", true},
        {"wrong host name", "tls", true, "Yes", true, "news.example.test", "secret",
         "TLS handshake with news.example.test failed: hostname mismatch", false},
        {"untrusted chain", "tls", true, "Yes", false, "localhost", "secret",
         "TLS handshake with localhost failed: unable to get local issuer certificate", false},
        {"other pin", "tls", true,
         "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false, "localhost",
         "secret", "is not the one configured to accept", false},
        {"wrong password", "starttls", false, "Yes", true, "localhost", "wrong",
         "Login refused by the server: 481", false},
        {"tls spoken to a plain port", "tls", false, "Yes", true, "localhost", "secret",
         "TLS handshake with localhost failed", false},
    };
    for (const Case& c : cases) {
        FeedHome home;
        ::Setup& setup = home.Settings();
        setup.SetFeedSecurity(c.security);
        setup.SetFeedVerifyCert(std::string(c.verify) == "pin" ? Fingerprint() : c.verify);
        if (c.caFile) setup.SetFeedCAFile(File("ca.pem"));
        setup.SetFeedUser("joe");
        setup.SetFeedPassword(c.password);
        home.Write("feed01.sub", std::string("Y*000000003 ") + kGroup + "\r\n");
        auto s = Run(home, kind::FetchArticles, c.tlsPort ? tlsPort_ : plainPort_, c.hostName);
        EXPECT_EQ(2, s->GetState()) << c.what;
        EXPECT_TRUE(home.Host().Logged(c.wantLog)) << c.what << "\n" << home.Host().Joined();
        EXPECT_EQ(c.fetched ? 3u : 0u, StoredArticles(home)) << c.what << "\n"
                                                             << home.Host().Joined();
    }
}

TEST_F(InnTls, PostOverStartTlsWithLogin) {
    FeedHome home;
    ::Setup& setup = home.Settings();
    setup.SetFeedSecurity("starttls");
    setup.SetFeedCAFile(File("ca.pem"));
    setup.SetFeedUser("joe");
    setup.SetFeedPassword("secret");
    // The posting host shares the feed's login only when it is the feed's host.
    profile::WriteString(setup.IniPath(), "Newsfeed01", "Name", "localhost");
    const std::string id = "<qvtls." + std::to_string(std::time(nullptr)) + "." +
                           std::to_string(getpid()) + "@example.test>";
    home.Write("POSTS/QVE1.TMP",
               "From: Tls Test <tls@example.test>\r\nNewsgroups: " + std::string(kGroup) +
                   "\r\nSubject: over TLS\r\nMessage-ID: " + id +
                   "\r\n\r\nSent encrypted.\r\n.\r\n");
    auto s = Run(home, kind::PostArticles, plainPort_, "localhost");
    EXPECT_EQ(2, s->GetState());
    EXPECT_TRUE(fs::is_empty(home.News() + "POSTS")) << home.Host().Joined();
    testutil::LineClient inn;
    ASSERT_TRUE(inn.Connect(11119, std::chrono::seconds(2)));
    inn.ReadLine();
    inn.Send("STAT " + id + "\r\n");
    EXPECT_TRUE(inn.ReadLine().value_or("").starts_with("223")) << id;
}

}  // namespace
