#include "reader/ReaderSession.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "settings/Profile.h"
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
    "Message-ID: <abc@example.com>\r\nDate: Mon, 1 Jan 2024 10:00:00 GMT\r\nLines: 2\r\n\r\n";
const char kFetchedBody[] = "line one\r\n..dotted\r\n.\r\n";

// A local article without a Message-ID header.
const char kLocal[] =
    "220 3 <x>\r\nFrom: c@d.example\r\nSubject:  Second\r\nReferences: "
    "<abc@example.com>\r\n\r\nbody\r\n.\r\n";

class ReaderSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
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
        session->SetToday("20240615");
        session->Start(true);
        Drain();
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

    testutil::TempDir tmp;
    std::string news;
    std::unique_ptr<ReaderSession> session;
    std::vector<std::string> log;
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
            {"DATE\r\n", "500 Command not recognized\r\n"},
            {"LISTGROUP local.test\r\n", "500 Command not recognized\r\n"},
            {"XOVERVIEW 2\r\n", "500 Command not recognized\r\n"},
            {"HEADER 2\r\n", "500 Command not recognized\r\n"},
            {"\r\n", "500 Command not recognized\r\n"},
            {"mode reader\r\n", "200 Quorvel Ready - posting allowed \r\n"},
            {"Ihave <x@y>\r\n", "435 Your mother must be so proud\r\n"},
            {"slave\n", "202 Slave Status Noted.\r\n"},
            {"AUTHINFO USER joe\r\n", "200 ok\r\n"},
            {"last\r\n", "500 Command Disabled.\r\n"},
            {"NEWNEWS * 240101 000000\r\n", "502 Command Disabled by Administrator.\r\n"},
            {"group local.test\n", "211 5 1 6 local.test group selected\r\n"},
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
        "211 5 1 6 local.test group selected\r\n"
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
    EXPECT_EQ("211 5 1 6 local.test group selected\r\n", Chat("\nSTAT 3\r"));
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
            {"ARTICLE\r\n", "423 No article selected.\r\n"},
            {"ARTICLE 2\r\n", "421 No Group Selected.\r\n"},
            {"STAT 2\r\n", "421 No Group Selected.\r\n"},
            {"GROUP local.test\r\n", "211 5 1 6 local.test group selected\r\n"},
            {"ARTICLE <abc@example.com>\r\n", "423 Bad Article ID.\r\n"},
            {"ARTICLE 9\r\n", "423 Internal index error.\r\n"},
            {"BODY\r\n", "423 Internal index error.\r\n"},  // article 9 again
            {"ARTICLE 4\r\n", "423 No such article number in this group\r\n"},
            {"HEAD 4\r\n", "423 No such article number in this group\r\n"},
            {"BODY 4\r\n", "423 No such article number in this group\r\n"},
            {"ARTICLE 5\r\n", "423 No such article number in this group\r\n"},  // still arriving
            {"STAT 4\r\n", "423 No such article number in this group\r\n"},
            {"STAT 9\r\n", "423 Bad Article Number.\r\n"},
            {"STAT\r\n", "423 Bad Article Number.\r\n"},
            {"STAT <abc@example.com>\r\n", "423 Bad Article ID.\r\n"},
        },
        [this](std::string_view in) { return Chat(in); });
    EXPECT_EQ(0, session->CurrentArticle());
}

TEST_F(ReaderSessionTest, GroupStartsAtTheFirstArticle) {
    RunTable(
        {
            {"GROUP local.test\r\n", "211 5 1 6 local.test group selected\r\n"},
            {"NEXT\r\n", "223 3 <RAW0000000003>\r\n"},
            {"NEXT\r\n", "423 No such article number in this group\r\n"},  // 4: no content
            {"NEXT\r\n", "423 No such article number in this group\r\n"},  // 5: incomplete
            {"NEXT\r\n", "421 No next to retrieve.\r\n"},
            {"GROUP local.test\r\n", "211 5 1 6 local.test group selected\r\n"},
            {"STAT\r\n", "423 Bad Article Number.\r\n"},
            {"GROUP local.new\r\n", "211 0 1 1 local.new group selected\r\n"},
            {"NEXT\r\n", "421 No next to retrieve.\r\n"},
            {"ARTICLE\r\n", "423 No article selected.\r\n"},
        },
        [this](std::string_view in) { return Chat(in); });
    // ARTICLE without a number right after GROUP is the group's first article.
    Chat("GROUP local.test\r\n");
    EXPECT_EQ("221 2 <abc@example.com>", Chat("HEAD\r\n").substr(0, 23));
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
        EXPECT_EQ("421 No Group Selected.\r\n", Chat("STAT 2\r\n")) << name;
    }
    EXPECT_EQ("411 No such group.\r\n", Chat("GROUP no.such\r\n"));
}

TEST_F(ReaderSessionTest, ListForms) {
    const char* groups =
        "local.test 0000000006 0000000001 y \r\n"
        "comp.ext 0000000010 0000000003 y \r\n"
        "local.closed 0000000001 0000000001 n \r\n"
        "local.new 0000000001 0000000001 y \r\n";
    Chat("GROUP local.test\r\n");
    RunTable(
        {
            {"LIST\r\n", (std::string("215 Newsgroups follow\r\n") + groups + ".\r\n").c_str()},
            {"list active\r\n",
             (std::string("215 Newsgroups follow\r\n") + groups + ".\r\n").c_str()},
            {"LIST OVERVIEW.FMT\r\n",
             "215 Order of fields in overview database.\r\nSubject:\r\nFrom:\r\nDate:\r\n"
             "Message-ID:\r\nReferences:\r\nBytes:\r\nLines:\r\n.\r\n"},
            {"LIST NEWSGROUPS\r\n", "215 Descriptions follow\r\n.\r\n"},
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
        {"NEWGROUPS 240301 000000\r\n", ""},
        {"newgroups 991231 235958\r\n", "local.test comp.ext local.closed local.new "},
        {"NEWGROUPS 991231 235959\r\n", "local.test comp.ext local.closed "},
        {"NEWGROUPS 240616 000000\r\n", "local.test comp.ext local.closed local.new "},  // 1924
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

TEST_F(ReaderSessionTest, XoverRanges) {
    const std::string fetchedSize = std::to_string(sizeof kFetched - 1);
    const std::string localSize = std::to_string(sizeof kLocal - 1);
    const std::string line2 =
        "2\tHello there\ta@b.example\tMon, 1 Jan 2024 10:00:00 GMT\t<abc@example.com>\t\t" +
        fetchedSize + "\t2\t\r\n";
    const std::string line3 =
        "3\tSecond\tc@d.example\t\t\t<abc@example.com>\t" + localSize + "\t\t\r\n";
    EXPECT_EQ("412 No group selected.\r\n", Chat("XOVER 2-3\r\n"));
    Chat("GROUP local.test\r\n");
    RunTable(
        {
            {"XOVER\r\n", "412 No group selected.\r\n"},
            {"XOVER 2-3\r\n", ("224 Data follows\r\n" + line2 + line3 + ".\r\n").c_str()},
            {"XOVER 3\r\n", ("224 Data follows\r\n" + line3 + ".\r\n").c_str()},
            {"XOVER 3-\r\n", ("224 Data follows\r\n" + line3 + ".\r\n").c_str()},
            {"XOVER 1-2000000000\r\n", ("224 Data follows\r\n" + line2 + line3 + ".\r\n").c_str()},
            {"XOVER 7-\r\n", "224 Data follows\r\n.\r\n"},
            {"XOVER 4-3\r\n", "224 Data follows\r\n.\r\n"},
        },
        [this](std::string_view in) { return Chat(in); });
}

TEST_F(ReaderSessionTest, XhdrRanges) {
    EXPECT_EQ("412 No group selected.\r\n", Chat("XHDR subject 2-3\r\n"));
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
            {"XHDR\r\n", "501 Syntax error\r\n"},
        },
        [this](std::string_view in) { return Chat(in); });
}

TEST_F(ReaderSessionTest, PostToLocalGroup) {
    EXPECT_EQ("340 Continue posting; Period on a line by itself to end\r\n", Chat("POST\r\n"));
    const std::string longLine(30000, 'x');
    // The terminator arrives split over two reads, and a command follows it.
    EXPECT_EQ("", Chat("From: me@here\r\nNewsgroups: local.new\r\nSubject: hi\r\n\r\none\r\n" +
                       longLine + "\r\n..three\r\n."));
    EXPECT_EQ("240 Article Received\r\n211 1 1 2 local.new group selected\r\n",
              Chat("\r\nGROUP local.new\r\n"));
    EXPECT_EQ("2", profile::GetString(news + "newsrc.ini", "local.new", "High", ""));
    const std::string raw = news + "local.new/RAW0000000002";
    EXPECT_EQ(raw + "\r\n", testutil::ReadFile(news + "local.new/NEWS0000000002"));
    const std::string content = testutil::ReadFile(raw);
    ASSERT_TRUE(content.starts_with("220 2 <" + news + "POSTS/QVE")) << content.substr(0, 80);
    const std::string workPath = content.substr(7, content.find('>') - 7);
    EXPECT_TRUE(workPath.ends_with(".WRK"));
    EXPECT_EQ("220 2 <" + workPath +
                  ">\r\nFrom: me@here\r\nNewsgroups: local.new\r\nSubject: hi\r\n" +
                  "Message-ID: <" + workPath + ">\r\nLines: 3\r\n\r\none\r\n" + longLine +
                  "\r\n..three\r\n.\r\n",
              content);
    EXPECT_TRUE(PostsFiles().empty());
    EXPECT_TRUE(Logged("Posting Local Article to: local.new."));
    EXPECT_EQ("221 2 <" + workPath + ">", Chat("HEAD 2\r\n").substr(0, 8 + workPath.size()));
}

TEST_F(ReaderSessionTest, PostKeepsItsOwnMessageId) {
    Chat("POST\r\n");
    EXPECT_EQ("240 Article Received\r\n",
              Chat("Newsgroups: LOCAL.NEW\r\nmessage-id: <mine@here>\r\n\r\nbody\r\n.\r\n"));
    const std::string content = testutil::ReadFile(news + "local.new/RAW0000000002");
    EXPECT_NE(std::string::npos,
              content.find("message-id: <mine@here>\r\nLines: 1\r\n\r\nbody\r\n.\r\n"))
        << content;
    EXPECT_EQ(std::string::npos, content.find("Message-ID:"));
    Chat("GROUP local.new\r\n");
    EXPECT_EQ("223 2 <mine@here>\r\n", Chat("STAT 2\r\n"));
}

TEST_F(ReaderSessionTest, PostToClosedLocalGroupIsRefused) {
    Chat("POST\r\n");
    EXPECT_EQ("441 Posting not allowed\r\n", Chat("Newsgroups: local.closed\r\n\r\nx\r\n.\r\n"));
    EXPECT_TRUE(Logged("*ERROR* Could not post local article."));
    EXPECT_TRUE(PostsFiles().empty());
    EXPECT_EQ("1", profile::GetString(news + "newsrc.ini", "local.closed", "High", ""));
    EXPECT_TRUE(std::filesystem::is_empty(news + "local.closed"));
}

TEST_F(ReaderSessionTest, PostToExternalGroupIsQueuedByteForByte) {
    struct Case {
        const char* article;
    } cases[] = {
        {"Newsgroups: comp.ext\r\nSubject: s\r\n\r\nbody\r\n..dot\r\n.\r\n"},
        {"Newsgroups: local.new,comp.ext\r\n\r\nx\r\n.\r\n"},  // cross-post: upstream
        {"Subject: no groups\r\n\r\nx\r\n.\r\n"},
        {".\r\n"},  // nothing but the end, right after 340
    };
    for (const Case& c : cases) {
        for (const auto& e : std::filesystem::directory_iterator(news + "POSTS"))
            std::filesystem::remove(e);
        EXPECT_EQ("340 Continue posting; Period on a line by itself to end\r\n", Chat("POST\r\n"));
        EXPECT_EQ("240 Article Received\r\n", Chat(c.article)) << c.article;
        const auto files = PostsFiles();
        ASSERT_EQ(1u, files.size()) << c.article;
        EXPECT_TRUE(files[0].starts_with("QVE") && files[0].ends_with(".TMP")) << files[0];
        EXPECT_EQ(c.article, testutil::ReadFile(news + "POSTS/" + files[0]));
    }
    EXPECT_EQ("1", profile::GetString(news + "newsrc.ini", "local.new", "High", ""));
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
        const std::string head = "Newsgroups: " + group + "\r\n\r\n";
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
    EXPECT_EQ("2", profile::GetString(news + "newsrc.ini", "local.new", "High", ""));
    EXPECT_TRUE(std::filesystem::exists(news + "local.new/RAW0000000002"));
    EXPECT_FALSE(std::filesystem::exists(news + "local.new/RAW0000000003"));
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
