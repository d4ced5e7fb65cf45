#include "reader/ReaderSession.h"

#include <gtest/gtest.h>

#include <utime.h>

#include <filesystem>

#include "settings/Profile.h"
#include "store/StoreNames.h"
#include "tests/util/TestUtil.h"

namespace {

const char kIndex[] =
    "[Groups]\r\nTotal=4\r\nG00001=local.test\r\nG00002=comp.ext\r\nG00003=local.closed\r\n"
    "G00004=local.new\r\n"
    "[local.test]\r\nLocal=Yes\r\nAllowPost=Yes\r\nLow=1\r\nHigh=6\r\nAdddate=20240110\r\naddtime="
    "120000\r\n"
    "[comp.ext]\r\nLocal=No\r\nAllowPost=Yes\r\nLow=3\r\nHigh=10\r\nAdddate=20240110\r\naddtime="
    "120001\r\n"
    "[local.closed]\r\nLocal=Yes\r\nAllowPost=No\r\nLow=1\r\nHigh=1\r\nAdddate=20240301\r\naddtime="
    "000000\r\n"
    "[local.new]\r\nLocal=Yes\r\nAllowPost=Yes\r\nLow=1\r\nHigh=1\r\nAdddate=19991231\r\naddtime="
    "235959\r\n";

// A fetched article: the upstream's number in its stored status line.
const char kFetched[] =
    "220 9876 <abc@example.com> article\r\n"
    "Path: up!not-for-mail\r\n"
    "From: a@b.example\r\n"
    "Subject: Hello\tthere\r\n"
    "Message-ID: <abc@example.com>\r\n"
    "Date: Mon, 1 Jan 2024 10:00:00 GMT\r\n"
    "Lines: 2\r\n"
    "\r\n"
    "line one\r\n"
    "..dotted\r\n"
    ".\r\n";
const char kFetchedHead[] =
    "Path: up!not-for-mail\r\nFrom: a@b.example\r\nSubject: Hello\tthere\r\n"
    "Message-ID: <abc@example.com>\r\nDate: Mon, 1 Jan 2024 10:00:00 GMT\r\nLines: 2\r\n";
const char kFetchedBody[] = "line one\r\n..dotted\r\n.\r\n";

// A local article without a Message-ID header.
const char kLocal[] =
    "220 3 <x>\r\nFrom: c@d.example\r\nSubject:  Second\r\nReferences: "
    "<abc@example.com>\r\n\r\nbody\r\n.\r\n";

// 2024-06-15 10:00:00 UTC, the sessions' clock.
constexpr std::time_t kNow = 1718445600;

class ReaderSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Dates the session writes and reads are local times: fix the zone.
        const char* tz = std::getenv("TZ");
        savedTz = tz ? std::optional<std::string>(tz) : std::nullopt;
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        news = tmp.Path() + "/news/";
        tmp.Write("news/newsrc.ini", kIndex);
        std::filesystem::create_directories(news + "POSTS");
        std::filesystem::create_directories(news + "local.closed");
        std::filesystem::create_directories(news + "local.new");
        AddArticle("local.test", 2, "abc@example.com", kFetched);
        AddArticle("local.test", 3, "RAW0000000003", kLocal);
        AddArticle("local.test", 4, "gone@example.com", nullptr);  // content missing
        AddArticle("local.test", 5, "half@example.com",
                   "220 1 <half@example.com>\r\nSubject: half\r\n");
        session = std::make_unique<ReaderSession>(news, "10.0.0.5");
        session->SetLogSink([this](std::string_view l) { log.emplace_back(l); });
        session->SetClock([] { return kNow; });
        session->SetMessageIdHost("news.example.org");
        session->SetAllGroupsFile(news + "feed01.all");
        session->Start(true);
        Drain();
    }

    void TearDown() override {
        session.reset();
        if (savedTz)
            ::setenv("TZ", savedTz->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

    void AddArticle(const std::string& group, long n, const std::string& file,
                    const char* content) {
        char name[32];
        std::snprintf(name, sizeof name, "NEWS%010ld", n);
        const std::string path = news + group + "/" + file;
        tmp.Write("news/" + group + "/" + name, path + "\r\n");
        if (content) testutil::WriteFile(path, content);
    }

    std::string Drain() {
        std::string all;
        for (int guard = 0; guard < 100000; ++guard) {
            session->Advance();
            const std::string_view out = session->Output();
            if (out.empty()) break;
            all.append(out);
            session->Consume(out.size());
        }
        return all;
    }
    std::string Chat(std::string_view in) {
        session->Receive(in);
        return Drain();
    }
    bool Logged(std::string_view part) const {
        for (const auto& l : log)
            if (l.find(part) != std::string::npos) return true;
        return false;
    }
    std::vector<std::string> PostsFiles() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(news + "POSTS"))
            names.push_back(e.path().filename().string());
        return names;
    }

    // The files of a group directory other than index files, sorted.
    std::vector<std::string> ContentFiles(const std::string& group) const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(news + group)) {
            const std::string name = e.path().filename().string();
            if (!name.starts_with("NEWS") && name != store::kOverviewFileName)
                names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    testutil::TempDir tmp;
    std::string news;
    std::unique_ptr<ReaderSession> session;
    std::vector<std::string> log;
    std::optional<std::string> savedTz;
};

struct Exchange {
    const char* in;
    const char* want;
};

void RunTable(std::initializer_list<Exchange> table,
              const std::function<std::string(std::string_view)>& chat) {
    for (const Exchange& e : table) EXPECT_EQ(e.want, chat(e.in)) << e.in;
}

TEST_F(ReaderSessionTest, CommandWordsMatchWholeAndCaseBlind) {
    RunTable(
        {
            {"XYZZY\r\n", "500 Command not recognized\r\n"},
            {"LISTGROUPS local.test\r\n", "500 Command not recognized\r\n"},
            {"XOVERVIEW 2\r\n", "500 Command not recognized\r\n"},
            {"HEADER 2\r\n", "500 Command not recognized\r\n"},
            {"\r\n", "500 Command not recognized\r\n"},
            {"mode reader\r\n", "200 Quorvel Ready - posting allowed \r\n"},
            {"MODE\r\n", "501 Unknown MODE variant\r\n"},
            {"MODE NOTINNNTP\r\n", "501 Unknown MODE variant\r\n"},
            {"MODE NONSENSE\r\n", "501 Unknown MODE variant\r\n"},
            {"QUIT SMOKING\r\n", "501 Syntax error\r\n"},
            {"Ihave <x@y>\r\n", "435 Article not wanted\r\n"},
            {"slave\n", "202 Slave Status Noted.\r\n"},
            {"AUTHINFO USER joe\r\n", "200 ok\r\n"},
            {"date\r\n", "111 20240615100000\r\n"},
            {"capabilities\r\n",
             "101 Capability list:\r\nVERSION 2\r\nREADER\r\nPOST\r\n"
             "LIST ACTIVE NEWSGROUPS OVERVIEW.FMT HEADERS\r\nOVER MSGID\r\nHDR\r\nNEWNEWS\r\n"
             "IMPLEMENTATION Quorvel " QV_VERSION "\r\n.\r\n"},
            // Nothing selected yet.
            {"last\r\n", "412 No Group Selected.\r\n"},
            {"NEXT\r\n", "412 No Group Selected.\r\n"},
            {"ARTICLE 2\r\n", "412 No Group Selected.\r\n"},
            {"HEAD\r\n", "412 No Group Selected.\r\n"},
            {"STAT\r\n", "412 No Group Selected.\r\n"},
            {"LISTGROUP\r\n", "412 No Group Selected.\r\n"},
            {"group local.test\n", "211 4 2 6 local.test group selected\r\n"},
            {"help\r\n",
             "100 Legal Commands.\r\nARTICLE <MESSAGE-ID> | ARTICLE NUMBER \r\n"
             "BODY <MESSAGE-ID> | ARTICLE NUMBER \r\nSTAT <MESSAGE-ID> | ARTICLE NUMBER \r\n"
             "HEAD <MESSAGE-ID> | ARTICLE NUMBER \r\nGROUP group.name \r\nLAST \r\nNEXT \r\n"
             "LIST \r\nPOST \r\nQUIT \r\nXHDR \r\n.\r\n"},
        },
        [this](std::string_view in) { return Chat(in); });
}

TEST_F(ReaderSessionTest, PipelinedLinesAreAllAnsweredInOrder) {
    EXPECT_EQ(
        "211 4 2 6 local.test group selected\r\n"
        "223 2 <abc@example.com>\r\n"
        "223 3 <RAW0000000003>\r\n"
        "205 .\r\n",
        Chat("GROUP local.test\r\nSTAT 2\r\nNEXT\r\nQUIT\r\nSTAT 3\r\n"));
    EXPECT_TRUE(session->Ended());
}

TEST_F(ReaderSessionTest, LineEndSplitAcrossReads) {
    // The CR of a line end arrives alone at the end of one read.
    EXPECT_EQ("", Chat("GROUP local.te"));
    EXPECT_EQ("", Chat("st\r"));
    EXPECT_EQ("211 4 2 6 local.test group selected\r\n", Chat("\nSTAT 3\r"));
    EXPECT_EQ("local.test", session->CurrentGroup());
    EXPECT_EQ("223 3 <RAW0000000003>\r\n", Chat("\n"));
}

TEST_F(ReaderSessionTest, ArticleHeadBodyStat) {
    Chat("GROUP local.test\r\n");
    RunTable(
        {
            {"ARTICLE 2\r\n", "220 2 <abc@example.com>\r\n"},
            {"HEAD 2\r\n", "221 2 <abc@example.com>\r\n"},
            {"BODY 2\r\n", "222 2 <abc@example.com>\r\n"},
            {"STAT 2\r\n", "223 2 <abc@example.com>\r\n"},
            {"STAT 3\r\n", "223 3 <RAW0000000003>\r\n"},
            {"BODY\r\n", "222 3 <RAW0000000003>\r\n"},
            {"HEAD 3\r\n", "221 3 <RAW0000000003>\r\n"},
        },
        [this](std::string_view in) {
            const std::string out = Chat(in);
            return out.substr(0, out.find('\n') + 1);
        });
    const std::string fetched(kFetched);
    const std::string body = fetched.substr(fetched.find("\r\n") + 2);
    EXPECT_EQ("220 2 <abc@example.com>\r\n" + body, Chat("article 2\r\n"));
    EXPECT_EQ(std::string("221 2 <abc@example.com>\r\n") + kFetchedHead + ".\r\n",
              Chat("head 2\r\n"));
    EXPECT_EQ(std::string("222 2 <abc@example.com>\r\n") + kFetchedBody, Chat("body 2\r\n"));
    EXPECT_EQ(2, session->CurrentArticle());
    EXPECT_TRUE(Logged("S:<" + news + "local.test/abc@example.com> transmitting file."));
}

TEST_F(ReaderSessionTest, ArticleFailures) {
    RunTable(
        {
            {"GROUP local.test\r\n", "211 4 2 6 local.test group selected\r\n"},
            {"ARTICLE <nope@example.com>\r\n", "430 No article with that message-id\r\n"},
            {"STAT <nope@example.com>\r\n", "430 No article with that message-id\r\n"},
            {"ARTICLE 9\r\n", "423 Internal index error.\r\n"},
            {"BODY\r\n", "423 Internal index error.\r\n"},  // article 9 again
            {"ARTICLE 4\r\n", "423 No such article number in this group\r\n"},
            {"HEAD 4\r\n", "423 No such article number in this group\r\n"},
            {"BODY 4\r\n", "423 No such article number in this group\r\n"},
            {"ARTICLE 5\r\n", "423 No such article number in this group\r\n"},  // still arriving
            {"STAT 4\r\n", "423 No such article number in this group\r\n"},
            {"STAT 9\r\n", "423 Bad Article Number.\r\n"},
            {"STAT\r\n", "423 Bad Article Number.\r\n"},  // 9 is current
            {"STAT 0\r\n", "423 Bad Article Number.\r\n"},
            {"ARTICLE\r\n", "420 No article selected.\r\n"},
            {"NEXT\r\n", "420 No article selected.\r\n"},
            {"LAST\r\n", "420 No article selected.\r\n"},
        },
        [this](std::string_view in) { return Chat(in); });
    EXPECT_EQ(0, session->CurrentArticle());
}

TEST_F(ReaderSessionTest, GroupMakesTheFirstArticleCurrent) {
    RunTable(
        {
            {"GROUP local.test\r\n", "211 4 2 6 local.test group selected\r\n"},
            {"STAT\r\n", "223 2 <abc@example.com>\r\n"},
            {"LAST\r\n", "422 No previous to retrieve.\r\n"},
            {"NEXT\r\n", "223 3 <RAW0000000003>\r\n"},
            {"NEXT\r\n", "423 No such article number in this group\r\n"},  // 4: no content
            {"NEXT\r\n", "423 No such article number in this group\r\n"},  // 5: incomplete
            {"NEXT\r\n", "421 No next to retrieve.\r\n"},
            {"LAST\r\n", "423 No such article number in this group\r\n"},  // back to 4
            {"LAST\r\n", "223 3 <RAW0000000003>\r\n"},
            {"LAST\r\n", "223 2 <abc@example.com>\r\n"},
            // Empty groups: count 0, low = high + 1, nothing current.
            {"GROUP local.new\r\n", "211 0 2 1 local.new group selected\r\n"},
            {"NEXT\r\n", "420 No article selected.\r\n"},
            {"ARTICLE\r\n", "420 No article selected.\r\n"},
            {"GROUP comp.ext\r\n", "211 0 11 10 comp.ext group selected\r\n"},
            {"LISTGROUP local.test\r\n",
             "211 4 2 6 local.test list follows\r\n2\r\n3\r\n4\r\n5\r\n.\r\n"},
            {"LISTGROUP local.test 3-4\r\n",
             "211 4 2 6 local.test list follows\r\n3\r\n4\r\n.\r\n"},
            {"LISTGROUP local.test 5-\r\n", "211 4 2 6 local.test list follows\r\n5\r\n.\r\n"},
            {"LISTGROUP local.test 7-9\r\n", "211 4 2 6 local.test list follows\r\n.\r\n"},
            {"LISTGROUP\r\n", "211 4 2 6 local.test list follows\r\n2\r\n3\r\n4\r\n5\r\n.\r\n"},
            {"LISTGROUP local.new\r\n", "211 0 2 1 local.new list follows\r\n.\r\n"},
            {"LISTGROUP no.such\r\n", "411 No such group.\r\n"},
        },
        [this](std::string_view in) { return Chat(in); });
    // ARTICLE without a number right after GROUP is the group's first article.
    Chat("GROUP local.test\r\nNEXT\r\n");
    Chat("LISTGROUP local.test\r\n");
    EXPECT_EQ("221 2 <abc@example.com>", Chat("HEAD\r\n").substr(0, 23));
    // An article above the stored High (the feed writes High last) counts.
    AddArticle("local.test", 8, "new@example.com",
               "220 8 <new@example.com>\r\nMessage-ID: <new@example.com>\r\n\r\nx\r\n.\r\n");
    EXPECT_EQ("211 5 2 8 local.test group selected\r\n", Chat("GROUP local.test\r\n"));
}

TEST_F(ReaderSessionTest, ArticlesByMessageId) {
    AddArticle("local.new", 2, "other@example.com",
               "220 77 <other@example.com>\r\nMessage-ID: <other@example.com>\r\n"
               "Subject: elsewhere\r\n\r\nfar\r\n.\r\n");
    const std::string article = std::string(kFetched).substr(std::string(kFetched).find('\n') + 1);
    // In the current group an article has its number there; elsewhere 0.
    const auto table = [this, &article](const std::string& n, const char* other) {
        RunTable(
            {
                {"ARTICLE <abc@example.com>\r\n",
                 ("220 " + n + " <abc@example.com>\r\n" + article).c_str()},
                {"HEAD <abc@example.com>\r\n",
                 ("221 " + n + " <abc@example.com>\r\n" + kFetchedHead + ".\r\n").c_str()},
                {"BODY <abc@example.com>\r\n",
                 ("222 " + n + " <abc@example.com>\r\n" + kFetchedBody).c_str()},
                {"STAT <abc@example.com>\r\n", ("223 " + n + " <abc@example.com>\r\n").c_str()},
                {"STAT <other@example.com>\r\n", other},
                {"STAT <gone@example.com>\r\n", "430 No article with that message-id\r\n"},
                {"STAT <half@example.com>\r\n", "430 No article with that message-id\r\n"},
                {"HEAD <RAW0000000003>\r\n", "430 No article with that message-id\r\n"},
            },
            [this](std::string_view in) { return Chat(in); });
    };
    table("0", "223 0 <other@example.com>\r\n");
    EXPECT_EQ(0, session->CurrentArticle());
    Chat("GROUP local.test\r\nSTAT 3\r\n");
    table("2", "223 0 <other@example.com>\r\n");
    EXPECT_EQ(3, session->CurrentArticle());
    Chat("GROUP local.new\r\n");
    table("0", "223 2 <other@example.com>\r\n");
    // The current group and article stay.
    EXPECT_EQ("local.new", session->CurrentGroup());
    EXPECT_EQ(2, session->CurrentArticle());
}

TEST_F(ReaderSessionTest, NextSeesArticlesAddedAfterGroup) {
    Chat("GROUP local.test\r\nNEXT\r\nSTAT 5\r\n");
    AddArticle("local.test", 8, "new@example.com",
               "220 8 <new@example.com>\r\nMessage-ID: <new@example.com>\r\n\r\nx\r\n.\r\n");
    EXPECT_EQ("223 8 <new@example.com>\r\n", Chat("NEXT\r\n"));
}

TEST_F(ReaderSessionTest, UnsafeGroupNames) {
    // A section named like the path must not make it a group.
    profile::WriteString(news + "newsrc.ini", "..", "Adddate", "20240101");
    for (const char* name : {"..", ".", ".hidden", "a/b", "../news", ""}) {
        Chat("GROUP local.test\r\n");
        EXPECT_EQ("411 No such group.\r\n", Chat(std::string("GROUP ") + name + "\r\n")) << name;
        EXPECT_EQ("", session->CurrentGroup()) << name;
        EXPECT_EQ("412 No Group Selected.\r\n", Chat("STAT 2\r\n")) << name;
    }
    EXPECT_EQ("411 No such group.\r\n", Chat("GROUP no.such\r\n"));
}

TEST_F(ReaderSessionTest, ListForms) {
    // High before low; low is the first article there is, and an empty
    // group has low = high + 1.
    const std::string test = "local.test 0000000006 0000000002 y \r\n";
    const std::string ext = "comp.ext 0000000010 0000000011 y \r\n";
    const std::string closed = "local.closed 0000000001 0000000002 n \r\n";
    const std::string fresh = "local.new 0000000001 0000000002 y \r\n";
    const std::string all = test + ext + closed + fresh;
    profile::WriteString(news + "newsrc.ini", "local.test", "Description", "Tests, locally");
    tmp.Write("news/feed01.all.desc",
              "comp.ext\tExternal things\r\nlocal.test\tNot this one\r\nother.grp\tNot here\r\n"
              "local.new \r\n");
    Chat("GROUP local.test\r\n");
    const std::string active = "215 Newsgroups follow\r\n";
    const std::string descs = "215 Descriptions follow\r\n";
    RunTable(
        {
            {"LIST\r\n", (active + all + ".\r\n").c_str()},
            {"list active\r\n", (active + all + ".\r\n").c_str()},
            {"LIST ACTIVE local.*\r\n", (active + test + closed + fresh + ".\r\n").c_str()},
            {"LIST ACTIVE local.*,!local.new\r\n", (active + test + closed + ".\r\n").c_str()},
            {"LIST ACTIVE comp.ext\r\n", (active + ext + ".\r\n").c_str()},
            {"LIST ACTIVE no.such\r\n", (active + ".\r\n").c_str()},
            {"LIST OVERVIEW.FMT\r\n",
             "215 Order of fields in overview database.\r\nSubject:\r\nFrom:\r\nDate:\r\n"
             "Message-ID:\r\nReferences:\r\nBytes:\r\nLines:\r\n.\r\n"},
            {"LIST HEADERS\r\n",
             "215 Header and metadata list follows\r\n:\r\n:bytes\r\n:lines\r\n.\r\n"},
            {"LIST HEADERS MSGID\r\n",
             "215 Header and metadata list follows\r\n:\r\n:bytes\r\n:lines\r\n.\r\n"},
            {"LIST HEADERS NONSENSE\r\n", "501 Syntax error\r\n"},
            {"LIST NEWSGROUPS\r\n",
             (descs + "local.test\tTests, locally\r\ncomp.ext\tExternal things\r\n.\r\n").c_str()},
            {"LIST NEWSGROUPS comp.*\r\n", (descs + "comp.ext\tExternal things\r\n.\r\n").c_str()},
            {"LIST NEWSGROUPS x.*\r\n", (descs + ".\r\n").c_str()},
            {"LIST ACTIVE.TIMES\r\n", "501 Syntax error\r\n"},
            {"LIST DISTRIBUTIONS\r\n", "501 Syntax error\r\n"},
        },
        [this](std::string_view in) { return Chat(in); });
    EXPECT_EQ("local.test", session->CurrentGroup());
    EXPECT_EQ("223 3 <RAW0000000003>\r\n", Chat("STAT 3\r\n"));
}

TEST_F(ReaderSessionTest, NewgroupsDates) {
    struct Case {
        const char* command;
        const char* groups;  // names listed, in index order
    } cases[] = {
        {"NEWGROUPS 240110 120000\r\n", "comp.ext local.closed "},
        {"NEWGROUPS 20240110 120000 GMT\r\n", "comp.ext local.closed "},
        {"NEWGROUPS 240110 120000 GMT local.*\r\n", "local.closed "},
        {"NEWGROUPS 240110 120000 <local>\r\n", "comp.ext local.closed "},
        {"NEWGROUPS 240301 000000\r\n", ""},
        {"newgroups 991231 235958\r\n", "local.test comp.ext local.closed local.new "},
        {"NEWGROUPS 991231 235959\r\n", "local.test comp.ext local.closed "},
        {"NEWGROUPS 240616 000000\r\n", ""},  // tomorrow, not 1924
        {"NEWGROUPS 250101 000000\r\n", "local.test comp.ext local.closed local.new "},  // 1925
    };
    Chat("GROUP local.test\r\n");
    for (const Case& c : cases) {
        const std::string out = Chat(c.command);
        ASSERT_TRUE(out.starts_with("231 New newsgroups follow\r\n")) << c.command << out;
        ASSERT_TRUE(out.ends_with(".\r\n")) << c.command;
        std::string names;
        std::string_view rest = std::string_view(out).substr(27);
        while (rest.size() > 3) {
            names += std::string(rest.substr(0, rest.find(' '))) + " ";
            rest.remove_prefix(rest.find('\n') + 1);
        }
        EXPECT_EQ(c.groups, names) << c.command;
    }
    EXPECT_EQ("501 Syntax error\r\n", Chat("NEWGROUPS 2401 000000\r\n"));
    EXPECT_EQ("501 Syntax error\r\n", Chat("NEWGROUPS 240101\r\n"));
    EXPECT_EQ("local.test", session->CurrentGroup());
}

TEST_F(ReaderSessionTest, NewnewsListsArticlesByIndexTime) {
    AddArticle("local.new", 2, "abc@example.com", kFetched);  // the same article again
    AddArticle("local.new", 3, "old@example.com",
               "220 3 <old@example.com>\r\nMessage-ID: <old@example.com>\r\n\r\nx\r\n.\r\n");
    // Index files written before 2024-06-01 are old.
    const auto age = [this](const std::string& group, long n, std::time_t t) {
        char name[32];
        std::snprintf(name, sizeof name, "/NEWS%010ld", n);
        const utimbuf times{t, t};
        ASSERT_EQ(0, ::utime((news + group + name).c_str(), &times));
    };
    age("local.test", 2, kNow - 3600);
    age("local.new", 2, kNow - 3600);
    age("local.test", 3, kNow - 30 * 86400);
    age("local.new", 3, kNow - 30 * 86400);
    RunTable(
        {
            {"NEWNEWS * 240601 000000\r\n",
             "230 list of new articles by message-id follows\r\n<abc@example.com>\r\n.\r\n"},
            {"NEWNEWS local.* 20240501 000000 GMT\r\n",
             "230 list of new articles by message-id follows\r\n<abc@example.com>\r\n"
             "<RAW0000000003>\r\n<old@example.com>\r\n.\r\n"},
            {"NEWNEWS local.new 240601 000000\r\n",
             "230 list of new articles by message-id follows\r\n<abc@example.com>\r\n.\r\n"},
            {"NEWNEWS * 240616 000000\r\n",
             "230 list of new articles by message-id follows\r\n.\r\n"},
            {"NEWNEWS * 240601\r\n", "501 Syntax error\r\n"},
            {"NEWNEWS\r\n", "501 Syntax error\r\n"},
        },
        [this](std::string_view in) { return Chat(in); });
}

TEST_F(ReaderSessionTest, XoverRanges) {
    const std::string fetchedSize = std::to_string(sizeof kFetched - 1);
    const std::string localSize = std::to_string(sizeof kLocal - 1);
    const std::string fields2 =
        "\tHello there\ta@b.example\tMon, 1 Jan 2024 10:00:00 GMT\t<abc@example.com>\t\t" +
        fetchedSize + "\t2\t\r\n";
    const std::string line2 = "2" + fields2;
    // No Lines header: the body's lines are counted.
    const std::string line3 =
        "3\tSecond\tc@d.example\t\t\t<abc@example.com>\t" + localSize + "\t1\t\r\n";
    const std::string data = "224 Data follows\r\n";
    EXPECT_EQ("412 No group selected.\r\n", Chat("XOVER 2-3\r\n"));
    EXPECT_EQ("412 No group selected.\r\n", Chat("OVER\r\n"));
    EXPECT_EQ(data + "0" + fields2 + ".\r\n", Chat("OVER <abc@example.com>\r\n"));
    Chat("GROUP local.test\r\n");
    RunTable(
        {
            {"XOVER\r\n", (data + line2 + ".\r\n").c_str()},  // the current article
            {"XOVER 2-3\r\n", (data + line2 + line3 + ".\r\n").c_str()},
            {"XOVER 3\r\n", (data + line3 + ".\r\n").c_str()},
            {"XOVER 3-\r\n", (data + line3 + ".\r\n").c_str()},
            {"XOVER 1-2000000000\r\n", (data + line2 + line3 + ".\r\n").c_str()},
            {"XOVER 7-\r\n", (data + ".\r\n").c_str()},
            {"XOVER 4-3\r\n", (data + ".\r\n").c_str()},
            {"XOVER 0\r\n", "501 Syntax error\r\n"},
            {"XOVER abc\r\n", "501 Syntax error\r\n"},
            {"OVER 2-3\r\n", (data + line2 + line3 + ".\r\n").c_str()},
            {"OVER 7-\r\n", "423 No articles in that range\r\n"},
            {"OVER 4-3\r\n", "423 No articles in that range\r\n"},
            {"OVER <abc@example.com>\r\n", (data + line2 + ".\r\n").c_str()},
            {"OVER <nope@example.com>\r\n", "430 No article with that message-id\r\n"},
            {"STAT 3\r\n", "223 3 <RAW0000000003>\r\n"},
            {"OVER\r\n", (data + line3 + ".\r\n").c_str()},
        },
        [this](std::string_view in) { return Chat(in); });
}

TEST_F(ReaderSessionTest, XhdrAndHdrRanges) {
    EXPECT_EQ("412 No group selected.\r\n", Chat("XHDR subject 2-3\r\n"));
    EXPECT_EQ("412 No group selected.\r\n", Chat("HDR subject 2-3\r\n"));
    EXPECT_EQ("225 Headers follow\r\n0 Hello there\r\n.\r\n",
              Chat("HDR Subject <abc@example.com>\r\n"));
    Chat("GROUP local.test\r\n");
    RunTable(
        {
            {"XHDR subject 2-3\r\n",
             "221 subject fields follow.\r\n2  Hello\tthere\r\n3   Second\r\n.\r\n"},
            {"XHDR Subject 3\r\n", "221 Subject fields follow.\r\n3   Second\r\n.\r\n"},
            {"XHDR subject 3-\r\n", "221 subject fields follow.\r\n3   Second\r\n.\r\n"},
            {"XHDR references 2-\r\n",
             "221 references fields follow.\r\n3  <abc@example.com>\r\n.\r\n"},
            {"XHDR subject\r\n", "221 subject fields follow.\r\n2  Hello\tthere\r\n.\r\n"},
            {"XHDR lines 2-3\r\n", "221 lines fields follow.\r\n2  2\r\n3 1\r\n.\r\n"},
            {"XHDR subject 7-\r\n", "221 subject fields follow.\r\n.\r\n"},
            {"XHDR\r\n", "501 Syntax error\r\n"},
            {"HDR subject 2-3\r\n", "225 Headers follow\r\n2 Hello there\r\n3 Second\r\n.\r\n"},
            {"HDR references 2-3\r\n", "225 Headers follow\r\n2\r\n3 <abc@example.com>\r\n.\r\n"},
            {"HDR Lines 2-3\r\n", "225 Headers follow\r\n2 2\r\n3 1\r\n.\r\n"},
            {"HDR :lines 2-3\r\n", "225 Headers follow\r\n2 2\r\n3 1\r\n.\r\n"},
            {"HDR :bytes 3\r\n",
             ("225 Headers follow\r\n3 " + std::to_string(sizeof kLocal - 1) + "\r\n.\r\n")
                 .c_str()},
            {"HDR subject\r\n", "225 Headers follow\r\n2 Hello there\r\n.\r\n"},
            {"HDR subject <abc@example.com>\r\n", "225 Headers follow\r\n2 Hello there\r\n.\r\n"},
            {"HDR subject <nope@example.com>\r\n", "430 No article with that message-id\r\n"},
            {"HDR subject 7-\r\n", "423 No articles in that range\r\n"},
            {"HDR :nonsense 2\r\n", "503 No such metadata item\r\n"},
            {"HDR\r\n", "501 Syntax error\r\n"},
        },
        [this](std::string_view in) { return Chat(in); });
}

TEST_F(ReaderSessionTest, PostToLocalGroup) {
    EXPECT_EQ("340 Continue posting; Period on a line by itself to end\r\n", Chat("POST\r\n"));
    const std::string longLine(30000, 'x');
    // The terminator arrives split over two reads, and a command follows it.
    EXPECT_EQ("", Chat("From: me@here\r\nNewsgroups: local.new\r\nSubject: hi\r\n\r\none\r\n" +
                       longLine + "\r\n..three\r\n."));
    EXPECT_EQ("240 Article Received\r\n211 1 2 2 local.new group selected\r\n",
              Chat("\r\nGROUP local.new\r\n"));
    // A Message-ID of the work file's unique name, the time and the host,
    // and the Date of now, both added; the file is named after the id.
    const auto files = ContentFiles("local.new");
    ASSERT_EQ(1u, files.size());
    const std::string& id = files[0];
    EXPECT_TRUE(id.starts_with("QVE") && id.ends_with(".666D6620@news.example.org")) << id;
    EXPECT_EQ(news + "local.new/" + id + "\r\n",
              testutil::ReadFile(news + "local.new/NEWS0000000002"));
    EXPECT_EQ("220 2 <" + id + ">\r\nFrom: me@here\r\nNewsgroups: local.new\r\nSubject: hi\r\n" +
                  "Message-ID: <" + id + ">\r\nDate: Sat, 15 Jun 2024 10:00:00 +0000\r\n" +
                  "Lines: 3\r\n\r\none\r\n" + longLine + "\r\n..three\r\n.\r\n",
              testutil::ReadFile(news + "local.new/" + id));
    EXPECT_TRUE(PostsFiles().empty());
    EXPECT_TRUE(Logged("Posting Local Article to: local.new."));
    EXPECT_EQ("221 2 <" + id + ">\r\n", Chat("HEAD 2\r\n").substr(0, 10 + id.size()));
    Chat("GROUP local.test\r\n");
    EXPECT_EQ("223 0 <" + id + ">\r\n", Chat("STAT <" + id + ">\r\n"));
    session.reset();  // writes High back
    EXPECT_EQ("2", profile::GetString(news + "newsrc.ini", "local.new", "High", ""));
}

TEST_F(ReaderSessionTest, PostKeepsItsOwnHeaders) {
    Chat("POST\r\n");
    EXPECT_EQ("240 Article Received\r\n",
              Chat("Newsgroups: LOCAL.NEW\r\nFrom: a@b\r\nSubject: s\r\nmessage-id: <mine@here>\r\n"
                   "DATE: Mon, 1 Jan 2024 10:00:00 GMT\r\nLines: 7\r\n\r\nbody\r\n.\r\n"));
    EXPECT_EQ(
        "220 2 <mine@here>\r\nNewsgroups: LOCAL.NEW\r\nFrom: a@b\r\nSubject: s\r\n"
        "message-id: <mine@here>\r\nDATE: Mon, 1 Jan 2024 10:00:00 GMT\r\nLines: 7\r\n\r\n"
        "body\r\n.\r\n",
        testutil::ReadFile(news + "local.new/mine@here"));
    Chat("GROUP local.new\r\n");
    EXPECT_EQ("223 2 <mine@here>\r\n", Chat("STAT 2\r\n"));
    // The same id again is a duplicate, refused and not stored twice.
    Chat("POST\r\n");
    EXPECT_EQ("441 Duplicate Message-ID\r\n",
              Chat("Newsgroups: local.new, local.test\r\nFrom: a@b\r\nSubject: s\r\n"
                   "Message-ID: <mine@here>\r\n\r\nagain\r\n.\r\n"));
    session.reset();
    EXPECT_EQ("2", profile::GetString(news + "newsrc.ini", "local.new", "High", ""));
    EXPECT_EQ("6", profile::GetString(news + "newsrc.ini", "local.test", "High", ""));
}

TEST_F(ReaderSessionTest, PostsThatCanNeverBeDeliveredAreRefused) {
    // The upstream's group list knows comp.listed only.
    tmp.Write("news/feed01.all", "215 list\r\ncomp.listed 10 1 y\r\n.\r\n205 bye\r\n");
    const std::string fs = "From: a@b\r\nSubject: s\r\n";
    struct Case {
        std::string article;
        const char* want;
    } cases[] = {
        {"Newsgroups: local.new\r\nSubject: s\r\n\r\nx\r\n.\r\n",
         "441 Missing or empty From header\r\n"},
        {"From:  \r\nNewsgroups: local.new\r\nSubject: s\r\n\r\nx\r\n.\r\n",
         "441 Missing or empty From header\r\n"},
        {"From: a@b\r\nNewsgroups: local.new\r\n\r\nx\r\n.\r\n",
         "441 Missing or empty Subject header\r\n"},
        {fs + "\r\nx\r\n.\r\n", "441 Missing or empty Newsgroups header\r\n"},
        {fs + "Newsgroups: \r\n\r\nx\r\n.\r\n", "441 Missing or empty Newsgroups header\r\n"},
        {fs + "Newsgroups: , ,\r\n\r\nx\r\n.\r\n", "441 Missing or empty Newsgroups header\r\n"},
        {fs + "Newsgroups: alt.unknown,../x\r\n\r\nx\r\n.\r\n",
         "441 No known newsgroup in Newsgroups\r\n"},
        {fs + "Newsgroups: local.closed,comp.listed\r\n\r\nx\r\n.\r\n",
         "441 Posting not allowed\r\n"},
        {fs + "Newsgroups: local.new\r\nMessage-ID: <no-at-sign>\r\n\r\nx\r\n.\r\n",
         "441 Bad Message-ID\r\n"},
        {fs + "Newsgroups: local.new\r\nMessage-ID: <abc@example.com>\r\n\r\nx\r\n.\r\n",
         "441 Duplicate Message-ID\r\n"},
        {".\r\n", "441 Missing or empty From header\r\n"},  // nothing but the end
    };
    for (const Case& c : cases) {
        EXPECT_EQ("340 Continue posting; Period on a line by itself to end\r\n", Chat("POST\r\n"));
        EXPECT_EQ(c.want, Chat(c.article)) << c.article;
        EXPECT_TRUE(PostsFiles().empty()) << c.article;
    }
    EXPECT_TRUE(ContentFiles("local.new").empty());
    EXPECT_TRUE(std::filesystem::is_empty(news + "local.closed"));
    EXPECT_EQ("1", profile::GetString(news + "newsrc.ini", "local.new", "High", ""));
    EXPECT_TRUE(Logged("*ERROR* Could not post local article."));
}

TEST_F(ReaderSessionTest, PostToUpstreamGroupsIsQueuedByteForByte) {
    struct Case {
        std::string list;  // the all-groups file; empty: none yet
        std::string article;
    } cases[] = {
        {"", "From: a@b\r\nNewsgroups: comp.ext\r\nSubject: s\r\n\r\nbody\r\n..dot\r\n.\r\n"},
        {"", "From: a@b\r\nNewsgroups: alt.anything\r\nSubject: s\r\n\r\nx\r\n.\r\n"},
        {"215 list\r\ncomp.listed 10 1 y\r\n.\r\n",
         "From: a@b\r\nNewsgroups: COMP.LISTED , alt.unknown\r\nSubject: s\r\n\r\nx\r\n.\r\n"},
    };
    for (const Case& c : cases) {
        for (const auto& e : std::filesystem::directory_iterator(news + "POSTS"))
            std::filesystem::remove(e);
        std::filesystem::remove(news + "feed01.all");
        if (!c.list.empty()) tmp.Write("news/feed01.all", c.list);
        EXPECT_EQ("340 Continue posting; Period on a line by itself to end\r\n", Chat("POST\r\n"));
        EXPECT_EQ("240 Article Received\r\n", Chat(c.article)) << c.article;
        const auto files = PostsFiles();
        ASSERT_EQ(1u, files.size()) << c.article;
        EXPECT_TRUE(files[0].starts_with("QVE") && files[0].ends_with(".TMP")) << files[0];
        EXPECT_EQ(c.article, testutil::ReadFile(news + "POSTS/" + files[0]));
    }
    EXPECT_EQ("1", profile::GetString(news + "newsrc.ini", "local.new", "High", ""));
}

TEST_F(ReaderSessionTest, CrossPostIsStoredInEachLocalGroupAndQueued) {
    Chat("POST\r\n");
    EXPECT_EQ("240 Article Received\r\n",
              Chat("From: a@b\r\nNewsgroups: local.new ,comp.ext,\tlocal.test, local.new\r\n"
                   "Subject: s\r\n\r\nbody\r\n.\r\n"));
    const auto files = ContentFiles("local.new");
    ASSERT_EQ(1u, files.size());
    const std::string id = files[0];
    // One copy per local group, each under its own number there.
    EXPECT_TRUE(testutil::ReadFile(news + "local.test/" + id).starts_with("220 7 <" + id + ">"));
    EXPECT_TRUE(testutil::ReadFile(news + "local.new/" + id).starts_with("220 2 <" + id + ">"));
    // The upstream gets it under the same Message-ID and Date, without Lines.
    const auto queued = PostsFiles();
    ASSERT_EQ(1u, queued.size());
    EXPECT_EQ(
        "From: a@b\r\nNewsgroups: local.new ,comp.ext,\tlocal.test, local.new\r\n"
        "Subject: s\r\nMessage-ID: <" +
            id + ">\r\nDate: Sat, 15 Jun 2024 10:00:00 +0000\r\n\r\nbody\r\n.\r\n",
        testutil::ReadFile(news + "POSTS/" + queued[0]));
    Chat("GROUP local.test\r\n");
    EXPECT_EQ("223 7 <" + id + ">\r\n", Chat("STAT <" + id + ">\r\n"));
    session.reset();
    EXPECT_EQ("2", profile::GetString(news + "newsrc.ini", "local.new", "High", ""));
    EXPECT_EQ("7", profile::GetString(news + "newsrc.ini", "local.test", "High", ""));
}

// A posting's number is taken by its index file, so sessions that have not
// written High back yet never give one out twice; High follows in batches
// and at each session's end, never lowered.
TEST_F(ReaderSessionTest, PostNumbersAreTakenByTheirFilesHighFollowsInBatches) {
    const auto high = [this] {
        return profile::GetString(news + "newsrc.ini", "local.new", "High", "");
    };
    int k = 0;
    const auto post = [&] {
        Chat("POST\r\n");
        return Chat("From: a@b\r\nNewsgroups: local.new\r\nSubject: s" + std::to_string(k++) +
                    "\r\n\r\nx\r\n.\r\n");
    };
    const std::string ok = "240 Article Received\r\n";
    ASSERT_EQ(ok, post());  // 2
    auto other = std::make_unique<ReaderSession>(news, "10.0.0.6");
    other->SetClock([] { return kNow; });
    other->Start(true);
    std::swap(session, other);
    Drain();
    ASSERT_EQ(ok, post());  // 3, from the other session
    std::swap(session, other);
    ASSERT_EQ(ok, post());  // 4
    EXPECT_EQ("1", high());
    EXPECT_EQ("211 3 2 4 local.new group selected\r\n", Chat("GROUP local.new\r\n"));
    EXPECT_EQ(3u, ContentFiles("local.new").size());
    other.reset();
    EXPECT_EQ("3", high());

    // This session has given out two numbers; a full batch is written at once.
    for (int i = 2; i < ReaderSession::kHighsPerWrite; ++i) ASSERT_EQ(ok, post());
    const long last = 4 + ReaderSession::kHighsPerWrite - 2;
    EXPECT_EQ(std::to_string(last), high());
    ASSERT_EQ(ok, post());
    EXPECT_EQ(std::to_string(last), high());
    session.reset();
    EXPECT_EQ(std::to_string(last + 1), high());
    EXPECT_EQ(static_cast<std::size_t>(last), ContentFiles("local.new").size());
}

TEST_F(ReaderSessionTest, PostThatCannotBeStoredFails) {
    std::filesystem::remove_all(news + "POSTS");
    EXPECT_EQ("340 Continue posting; Period on a line by itself to end\r\n", Chat("POST\r\n"));
    EXPECT_EQ("441 Posting failed\r\n205 .\r\n",
              Chat("Newsgroups: comp.ext\r\n\r\nx\r\n.\r\nQUIT\r\n"));
}

TEST_F(ReaderSessionTest, UnfinishedPostLeavesNoWorkFile) {
    Chat("POST\r\nNewsgroups: comp.ext\r\n\r\npart");
    EXPECT_EQ(1u, PostsFiles().size());
    session.reset();
    EXPECT_TRUE(PostsFiles().empty());
}

TEST_F(ReaderSessionTest, PostOverTheSizeBoundIsDiscardedAndRefused) {
    // The bound counts every byte received for the posting, "." line included.
    session->SetPostLimit(1000);
    const auto article = [](const std::string& group, std::size_t size) {
        const std::string head = "From: a@b\r\nSubject: s\r\nNewsgroups: " + group + "\r\n\r\n";
        return head + std::string(size - head.size() - 5, 'b') + "\r\n.\r\n";
    };
    struct Case {
        std::string group;
        std::size_t size;
        const char* want;
    } cases[] = {
        {"comp.ext", 1001, "441 Posting failed\r\n"},
        {"comp.ext", 1000, "240 Article Received\r\n"},  // the count starts again
        {"local.new", 1001, "441 Posting failed\r\n"},
        {"local.new", 1000, "240 Article Received\r\n"},
    };
    for (const Case& c : cases) {
        for (const auto& e : std::filesystem::directory_iterator(news + "POSTS"))
            std::filesystem::remove(e);
        const std::string text = article(c.group, c.size);
        ASSERT_EQ(c.size, text.size());
        Chat("POST\r\n");
        EXPECT_EQ(c.want, Chat(text)) << c.group << " " << c.size;
        const bool accepted = c.want[0] == '2';
        EXPECT_EQ(accepted && c.group == "comp.ext" ? 1u : 0u, PostsFiles().size())
            << c.group << " " << c.size;
    }
    // Only the accepted local posting took a number.
    session.reset();
    EXPECT_EQ("2", profile::GetString(news + "newsrc.ini", "local.new", "High", ""));
    EXPECT_EQ(1u, ContentFiles("local.new").size());
}

TEST_F(ReaderSessionTest, EndlessPostDoesNotGrowTheWorkFile) {
    session->SetPostLimit(1000);
    Chat("POST\r\nNewsgroups: comp.ext\r\n\r\n");
    // Lines in pieces that straddle the bound; the work file goes once it
    // is passed, and the rest is read and dropped.
    const std::string line = "a line of the body that never ends\r\n";
    for (int i = 0; i < 200; ++i)
        for (std::size_t at = 0; at < line.size(); at += 7) EXPECT_EQ("", Chat(line.substr(at, 7)));
    EXPECT_TRUE(session->Posting());
    EXPECT_TRUE(PostsFiles().empty());
    EXPECT_TRUE(Logged("*ERROR* Posting larger than 1000 bytes discarded."));
    // The reader is still in step: its "." ends the posting, the next line
    // is a command again.
    EXPECT_EQ("441 Posting failed\r\n205 .\r\n", Chat(".\r\nQUIT\r\n"));
    EXPECT_TRUE(PostsFiles().empty());
}

TEST_F(ReaderSessionTest, OverlongLineEndsTheSession) {
    Chat(std::string(24999, 'a'));
    EXPECT_FALSE(session->Ended());
    EXPECT_EQ(1u, session->InputRoom());
    Chat("b");
    EXPECT_TRUE(session->Ended());
    EXPECT_EQ(0u, session->InputRoom());
    EXPECT_TRUE(Logged("!!Buffer Overflow!!"));
}

TEST_F(ReaderSessionTest, LongLineThatEndsInTimeIsHandled) {
    EXPECT_EQ("500 Command not recognized\r\n", Chat(std::string(24999, 'a') + "\n"));
    EXPECT_FALSE(session->Ended());
}

TEST_F(ReaderSessionTest, LargeArticleIsProducedWithinTheBound) {
    std::string big = "220 7 <big@x>\r\nMessage-ID: <big@x>\r\n\r\n";
    while (big.size() < 3'000'000) big += std::string(70, 'z') + "\r\n";
    big += ".\r\n";
    AddArticle("local.test", 7, "big@x", big.c_str());
    Chat("GROUP local.test\r\n");
    session->Receive("ARTICLE 7\r\nSTAT 3\r\n");
    EXPECT_LE(session->Pending(), ReaderSession::kOutputHighWater + 70 * 1024);
    // While the reply is unsent, a reader's further commands are held back.
    session->Receive(std::string(9000, 'x'));
    EXPECT_EQ(0u, session->InputRoom());
    std::string all;
    std::size_t maxPending = 0;
    while (!session->Output().empty()) {
        maxPending = std::max(maxPending, session->Pending());
        const std::string_view out = session->Output();
        const std::size_t n = std::min<std::size_t>(out.size(), 10000);
        all.append(out.substr(0, n));
        session->Consume(n);
        session->Advance();
    }
    EXPECT_LE(maxPending, ReaderSession::kOutputHighWater + 70 * 1024);
    EXPECT_EQ("220 7 <big@x>\r\n" + big.substr(15) + "223 3 <RAW0000000003>\r\n", all);
}

}  // namespace
