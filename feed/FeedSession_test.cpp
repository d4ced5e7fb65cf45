#include "feed/FeedSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>

#include "feed/FeedTestHarness.h"
#include "settings/Profile.h"
#include "store/OverviewFile.h"
#include "store/StoreNames.h"

namespace {

using feedtest::FeedHome;
namespace fs = std::filesystem;

struct FakeArticle {
    long number;
    std::string id;  // with angle brackets
};

// The article text the upstream serves for an id: header, empty line, body,
// CR LF line ends, without the "." line.
std::string ArticleText(const FakeArticle& a) {
    return "From: tester@example.test\r\nSubject: article " + std::to_string(a.number) +
           "\r\nMessage-ID: " + a.id + "\r\n\r\nBody of " + std::to_string(a.number) +
           "\r\n..dot line\r\n";
}

// What the upstream says to one command.
struct Reply {
    Reply() = default;
    Reply(std::vector<std::string> p, bool c = false, std::string f = {}, std::size_t fb = 0)
        : pieces(std::move(p)), close(c), flood(std::move(f)), floodBytes(fb) {}
    std::vector<std::string> pieces;  // delivered as separate reads
    bool close = false;               // then the connection closes
    std::string flood;                // then this, over and over, up to floodBytes
    std::size_t floodBytes = 0;
};

// A scripted upstream without a socket: a small NNTP server with groups, a
// current-article pointer and a posting queue, and a hook to misbehave on
// any command (it sees the command and the current article number).
class Upstream {
public:
    using Hook = std::function<std::optional<Reply>(const std::string& line, long current)>;

    void AddArticle(const std::string& group, long number, const std::string& id) {
        groups_[group].push_back({number, id});
    }
    void AddGroup(const std::string& group) { groups_[group]; }

    // Takes what the session sent; returns what the upstream answers.
    Reply Feed(std::string_view bytes) {
        in_.append(bytes);
        Reply all;
        for (std::size_t lf; (lf = in_.find('\n')) != std::string::npos;) {
            std::string line = in_.substr(0, lf);
            in_.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (posting_) {
                if (line != ".") {
                    article_ += line + "\r\n";
                    continue;
                }
                posting_ = false;
                posted.push_back(article_);
                std::string reply = "240 article posted";
                if (!postReplies.empty()) {
                    reply = postReplies.front();
                    postReplies.erase(postReplies.begin());
                }
                all.pieces.push_back(reply + "\r\n");
                continue;
            }
            commands.push_back(line);
            Reply r = Command(line);
            all.pieces.insert(all.pieces.end(), r.pieces.begin(), r.pieces.end());
            if (r.close || r.floodBytes > 0) {
                all.close = r.close;
                all.flood = r.flood;
                all.floodBytes = r.floodBytes;
                in_.clear();
                break;
            }
        }
        return all;
    }

    std::vector<std::string> commands;
    std::vector<std::string> posted;
    std::vector<std::string> postReplies;  // to the articles, in turn (default 240)
    std::string refusePost;                // the reply to POST instead of 340
    std::string descriptions = "215 descriptions follow\r\n";
    Hook hook;

private:
    Reply Command(const std::string& line) {
        static const std::vector<FakeArticle> kNone;
        const auto entry = groups_.find(group_);
        const auto& arts = entry == groups_.end() ? kNone : entry->second;
        const long number = current_ < arts.size() ? arts[current_].number : 0;
        if (hook)
            if (std::optional<Reply> r = hook(line, number)) return *r;
        std::string word = line.substr(0, line.find(' '));
        for (char& ch : word) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        const auto say = [](std::string text) { return Reply{{std::move(text)}}; };
        if (word == "MODE") return say("200 reader mode\r\n");
        if (word == "GROUP") {
            group_ = line.substr(6);
            auto it = groups_.find(group_);
            if (it == groups_.end()) {
                group_.clear();
                return say("411 no such group\r\n");
            }
            const auto& g = it->second;
            current_ = 0;
            if (g.empty()) return say("211 0 1 0 " + group_ + "\r\n");
            return say("211 " + std::to_string(g.size()) + " " + std::to_string(g.front().number) +
                       " " + std::to_string(g.back().number) + " " + group_ + "\r\n");
        }
        if (word == "STAT") {
            const long n = std::atol(line.c_str() + 5);
            for (std::size_t i = 0; i < arts.size(); ++i)
                if (arts[i].number == n) {
                    current_ = i;
                    return say("223 " + std::to_string(n) + " " + arts[i].id + "\r\n");
                }
            return say("423 no such article\r\n");
        }
        if (word == "NEXT") {
            if (current_ + 1 >= arts.size()) return say("421 no next article\r\n");
            ++current_;
            return say("223 " + std::to_string(arts[current_].number) + " " + arts[current_].id +
                       "\r\n");
        }
        if (word == "ARTICLE") {
            if (current_ >= arts.size()) return say("420 no current article\r\n");
            const FakeArticle& a = arts[current_];
            return say("220 " + std::to_string(a.number) + " " + a.id + "\r\n" + ArticleText(a) +
                       ".\r\n");
        }
        if (line == "LIST NEWSGROUPS") return say(descriptions + ".\r\n");
        if (word == "LIST") {
            std::string reply = "215 list follows\r\n";
            for (const auto& [name, g] : groups_)
                reply += name + " " + std::to_string(g.empty() ? 0 : g.back().number) + " " +
                         std::to_string(g.empty() ? 1 : g.front().number) + " y\r\n";
            return say(reply + ".\r\n");
        }
        if (word == "POST") {
            if (!refusePost.empty()) return say(refusePost + "\r\n");
            posting_ = true;
            article_.clear();
            return say("340 send article\r\n");
        }
        if (word == "QUIT") return Reply{{"205 bye\r\n"}, true};
        return say("500 what?\r\n");
    }

    std::map<std::string, std::vector<FakeArticle>> groups_;
    std::string group_;
    std::size_t current_ = 0;
    std::string in_;
    bool posting_ = false;
    std::string article_;
};

// One session of a kind in the home, with its files set.
std::unique_ptr<FeedSession> MakeSession(FeedHome& home, int kind) {
    auto s = std::make_unique<FeedSession>(home.Host());
    s->SetKind(kind);
    s->SetServerAddress("127.0.0.1");
    s->SetNewsDirectory(home.News());
    s->SetAllGroupFile("feed01.all");
    s->SetSubGroupFile("feed01.sub");
    return s;
}

std::string Drain(FeedSession& s) {
    std::string out;
    for (std::string_view o; !(o = s.Output()).empty();) {
        out.append(o);
        s.Consume(o.size());
    }
    return out;
}

void Deliver(FeedSession& s, std::string_view bytes, std::size_t chunk) {
    if (chunk == 0) chunk = bytes.size();
    for (std::size_t at = 0; at < bytes.size() && !s.Ended(); at += chunk)
        s.Receive(bytes.substr(at, chunk));
}

// Plays the conversation between a started session and the upstream until
// the session ends, the upstream closes or both are silent (then the caller
// may call Timeout). Replies are delivered in reads of at most chunk bytes
// (0: as the upstream sent them). Returns whether the connection closed.
bool Converse(FeedSession& s, Upstream& up, std::size_t chunk = 0) {
    s.Connected();
    Deliver(s, "200 fake news server ready\r\n", chunk);
    bool closed = false;
    for (int round = 0; round < 100000 && !s.Ended(); ++round) {
        while (s.HasWork()) s.Advance();
        const Reply r = up.Feed(Drain(s));
        for (const std::string& piece : r.pieces) Deliver(s, piece, chunk);
        for (std::size_t sent = 0; sent < r.floodBytes && !s.Ended(); sent += r.flood.size())
            s.Receive(r.flood);
        if (r.close) {
            s.PeerClosed();
            closed = true;
            break;
        }
        if (r.pieces.empty() && r.floodBytes == 0) break;
    }
    up.Feed(Drain(s));  // what went out with the end (QUIT)
    return closed;
}

// Runs one session of a kind against the upstream.
std::unique_ptr<FeedSession> RunKind(FeedHome& home, Upstream& up, int kind,
                                     std::size_t chunk = 0) {
    auto s = MakeSession(home, kind);
    if (s->Start()) Converse(*s, up, chunk);
    return s;
}

std::string IndexName(long n) {
    char b[32];
    std::snprintf(b, sizeof b, "NEWS%010ld", n);
    return b;
}

std::vector<std::string> AllFiles(const std::string& dir) {
    std::vector<std::string> names;
    if (!fs::exists(dir)) return names;
    // The overview file is the store's own cache; every other name counts.
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename() != store::kOverviewFileName)
            names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Index files of a group directory, in order.
std::vector<std::string> IndexFiles(const std::string& dir) {
    std::vector<std::string> names = AllFiles(dir);
    std::erase_if(names, [](const std::string& n) { return !n.starts_with("NEWS"); });
    return names;
}

std::vector<std::string> Commands(const std::vector<std::string>& cmds, std::size_t from) {
    return std::vector<std::string>(cmds.begin() + std::min(from, cmds.size()), cmds.end());
}

TEST(GetReplyWord, CountsSingleBlanks) {
    struct Case {
        int n;
        const char* line;
        const char* want;
    } cases[] = {
        {1, "211 40 101 140 comp.lang.c", "211"},
        {3, "211 40 101 140 comp.lang.c", "101"},
        {4, "211 40 101 140 comp.lang.c", "140"},
        {9, "211 40 101 140 comp.lang.c", "comp.lang.c"},
        {2, "421", "421"},
        {2, "223  7 <a@b>", ""},
        {3, "411 no such group", "such"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.want, GetReplyWord(c.n, c.line)) << c.n << " " << c.line;
}

TEST(FeedFetch, NewGroupFetchesEverythingFirstIncluded) {
    Upstream up;
    for (long n = 101; n <= 105; ++n)
        up.AddArticle("comp.lang.c", n, "<a" + std::to_string(n) + "@x.test>");
    FeedHome home;
    home.Write("feed01.sub", "Y0000000000 comp.lang.c\r\n");
    auto s = RunKind(home, up, kind::FetchArticles);
    ASSERT_TRUE(s->Ended()) << home.Host().Joined();

    const std::vector<std::string> want{"MODE READER", "GROUP comp.lang.c",
                                        "STAT 101",    "article",
                                        "NEXT",        "article",
                                        "NEXT",        "article",
                                        "NEXT",        "article",
                                        "NEXT",        "article",
                                        "NEXT",        "QUIT"};
    EXPECT_EQ(want, up.commands);
    EXPECT_TRUE(home.Host().Logged("[127.0.0.1] Processing comp.lang.c (5)"))
        << home.Host().Joined();
    EXPECT_EQ("Y0000000105 comp.lang.c\r\n", home.Read("feed01.sub"));
    const std::string dir = home.News() + "comp.lang.c/";
    EXPECT_EQ((std::vector<std::string>{IndexName(2), IndexName(3), IndexName(4), IndexName(5),
                                        IndexName(6)}),
              IndexFiles(dir));
    // Article 2 is upstream 101: its index names the content file, which is
    // the raw reply, status line and "." line included.
    const std::string content = dir + "a101@x.test";
    EXPECT_EQ(content + "\r\n", testutil::ReadFile(dir + IndexName(2)));
    EXPECT_EQ("220 101 <a101@x.test>\r\n" + ArticleText({101, "<a101@x.test>"}) + ".\r\n",
              testutil::ReadFile(content));
    const std::string index = home.News() + "newsrc.ini";
    EXPECT_EQ(6, profile::GetInt(index, "comp.lang.c", "High", 0));
    EXPECT_EQ(1, profile::GetInt(index, "comp.lang.c", "Low", 0));
    EXPECT_EQ("No", profile::GetString(index, "comp.lang.c", "Local", ""));
    EXPECT_EQ("comp.lang.c", profile::GetString(index, "Groups", "G00001", ""));
    EXPECT_GT(home.Host().sent, 0);

    // A second run resumes after the record: only what is new.
    up.AddArticle("comp.lang.c", 106, "<a106@x.test>");
    RunKind(home, up, kind::FetchArticles);
    EXPECT_EQ("Y0000000106 comp.lang.c\r\n", home.Read("feed01.sub"));
    EXPECT_EQ(6u, IndexFiles(dir).size());
    EXPECT_EQ(7, profile::GetInt(index, "comp.lang.c", "High", 0));
    EXPECT_EQ((std::vector<std::string>{"MODE READER", "GROUP comp.lang.c", "STAT 105 ", "NEXT",
                                        "article", "NEXT", "QUIT"}),
              Commands(up.commands, want.size()));
}

TEST(FeedFetch, NeverFetchedRecordTakesTheFirstArticleToo) {
    // A record of 0 has handled nothing: the first article counts as new.
    // It is asked for by number; when the server no longer has it, the
    // walk goes on by number to the first it has.
    struct Case {
        const char* name;
        std::vector<long> upstream;
        std::vector<std::string> commands;  // after MODE READER and GROUP
        std::vector<long> stored;
        const char* record;
        const char* logged;
    } cases[] = {
        {"from 1",
         {1, 2},
         {"STAT 1", "article", "NEXT", "article", "NEXT", "QUIT"},
         {1, 2},
         "Y0000000002",
         "Processing alt.x (2)"},
        {"starting at 5, a gap at 6",
         {5, 7},
         {"STAT 5", "article", "NEXT", "article", "NEXT", "QUIT"},
         {5, 7},
         "Y0000000007",
         "Processing alt.x (3)"},
        {"only one",
         {9},
         {"STAT 9", "article", "NEXT", "QUIT"},
         {9},
         "Y0000000009",
         "Processing alt.x (1)"},
        {"empty group", {}, {"QUIT"}, {}, "Y0000000000", "Processing alt.x (0)"},
    };
    for (const Case& c : cases) {
        Upstream up;
        up.AddGroup("alt.x");
        for (long n : c.upstream) up.AddArticle("alt.x", n, "<m" + std::to_string(n) + "@x>");
        FeedHome home;
        home.Write("feed01.sub", "Y0000000000 alt.x\r\n");
        RunKind(home, up, kind::FetchArticles);
        EXPECT_EQ(c.commands, Commands(up.commands, 2)) << c.name << "\n" << home.Host().Joined();
        std::vector<std::string> want;
        for (long n : c.stored) want.push_back("m" + std::to_string(n) + "@x");
        std::vector<std::string> got = AllFiles(home.News() + "alt.x");
        std::erase_if(got, [](const std::string& n) { return n.starts_with("NEWS"); });
        EXPECT_EQ(want, got) << c.name;
        EXPECT_EQ(std::string(c.record) + " alt.x\r\n", home.Read("feed01.sub")) << c.name;
        EXPECT_TRUE(home.Host().Logged(c.logged)) << c.name << "\n" << home.Host().Joined();
    }

    // The first number claimed but gone: the next one is asked for.
    Upstream up;
    for (long n = 1; n <= 4; ++n) up.AddArticle("alt.x", n, "<m" + std::to_string(n) + "@x>");
    up.hook = [](const std::string& line, long) -> std::optional<Reply> {
        if (line == "STAT 1" || line == "STAT 2") return Reply{{"423 no such article\r\n"}};
        return std::nullopt;
    };
    FeedHome home;
    home.Write("feed01.sub", "Y0000000000 alt.x\r\n");
    RunKind(home, up, kind::FetchArticles);
    EXPECT_EQ((std::vector<std::string>{"STAT 1", "STAT 2", "STAT 3", "article", "NEXT", "article",
                                        "NEXT", "QUIT"}),
              Commands(up.commands, 2));
    EXPECT_EQ("Y0000000004 alt.x\r\n", home.Read("feed01.sub"));
    EXPECT_FALSE(fs::exists(home.News() + "alt.x/m1@x"));
    EXPECT_TRUE(fs::exists(home.News() + "alt.x/m3@x"));
}

TEST(FeedFetch, LastNArticlesAndSeveralGroups) {
    Upstream up;
    for (long n = 1; n <= 20; ++n) up.AddArticle("alt.test", n, "<t" + std::to_string(n) + "@x>");
    up.AddArticle("alt.small", 7, "<s7@x>");
    up.AddArticle("alt.small", 8, "<s8@x>");
    FeedHome home;
    home.Write("feed01.sub",
               "Y*000000003 alt.test\r\n"
               "Y*000000010 alt.small\r\n"    // fewer than 10 upstream: none now
               "Y0000000000 alt.missing\r\n"  // refused GROUP: record unchanged
               "Y*000000002 alt.test2\r\n");
    up.AddArticle("alt.test2", 1, "<t1@x>");  // cross-posted id, other group
    up.AddArticle("alt.test2", 2, "<u2@x>");
    up.AddArticle("alt.test2", 3, "<u3@x>");
    RunKind(home, up, kind::FetchArticles);
    EXPECT_EQ(
        "Y0000000020 alt.test\r\nY0000000008 alt.small\r\nY0000000000 alt.missing\r\n"
        "Y0000000003 alt.test2\r\n",
        home.Read("feed01.sub"));
    EXPECT_TRUE(home.Host().Logged("Processing alt.test (3)"));
    EXPECT_TRUE(home.Host().Logged("Processing alt.small (0)"));
    EXPECT_TRUE(home.Host().Logged("Group alt.missing not available: 411 no such group"));
    EXPECT_EQ(3u, IndexFiles(home.News() + "alt.test").size());
    EXPECT_TRUE(fs::exists(home.News() + "alt.test/t20@x"));
    EXPECT_FALSE(fs::exists(home.News() + "alt.test/t17@x"));
    EXPECT_EQ(0u, IndexFiles(home.News() + "alt.small").size());
    EXPECT_EQ(2u, IndexFiles(home.News() + "alt.test2").size());
}

TEST(FeedFetch, DuplicatesUnsafeIdsAndMissingIds) {
    Upstream up;
    up.AddArticle("comp.lang.c", 1, "<first@x>");
    up.AddArticle("comp.lang.c", 2, "<dup@x>");
    up.AddArticle("comp.lang.c", 3, "<../../escape@x>");
    up.AddArticle("comp.lang.c", 4, "<*@x>");
    up.AddArticle("comp.lang.c", 5, "<after@x>");
    up.AddArticle("comp.lang.c", 6, "no id here");
    up.AddArticle("comp.lang.c", 7, "<never@x>");
    FeedHome home;
    home.Write("feed01.sub", "Y0000000000 comp.lang.c\r\n");
    fs::create_directories(home.News() + "comp.lang.c");
    home.Write("comp.lang.c/dup@x", "stored earlier");
    home.Write("comp.lang.c/other@x", "a file a wildcard would match");
    RunKind(home, up, kind::FetchArticles);

    const std::string dir = home.News() + "comp.lang.c/";
    EXPECT_EQ("stored earlier", testutil::ReadFile(dir + "dup@x"));
    // 1, 3, 4 and 5 stored as 2, 3, 4, 5; the duplicate took no number.
    EXPECT_EQ((std::vector<std::string>{IndexName(2), IndexName(3), IndexName(4), IndexName(5)}),
              IndexFiles(dir));
    EXPECT_TRUE(fs::exists(dir + "first@x"));
    EXPECT_TRUE(fs::exists(dir + "after@x"));
    EXPECT_FALSE(fs::exists(home.News() + "escape@x"));
    for (const std::string& f : AllFiles(dir)) EXPECT_EQ(std::string::npos, f.find('/')) << f;
    EXPECT_EQ(std::string::npos, testutil::ReadFile(dir + IndexName(3)).find("../"));
    // A NEXT reply without an id ends the group there: 7 is never asked for.
    EXPECT_FALSE(fs::exists(dir + "never@x"));
    EXPECT_TRUE(home.Host().Logged("No message-id in reply to NEXT"));
    EXPECT_EQ("Y0000000005 comp.lang.c\r\n", home.Read("feed01.sub"));
}

TEST(FeedFetch, OverlongIdIsPassedNotStoppedAt) {
    // An id too long for a reply line is cut with its ">": the article is
    // passed, and the group goes on, now and in every later fetch.
    Upstream up;
    up.AddArticle("comp.lang.c", 1, "<m1@x>");
    up.AddArticle("comp.lang.c", 2, "<m2@x>");
    up.AddArticle("comp.lang.c", 3, "<" + std::string(2000, 'x') + "@x>");
    up.AddArticle("comp.lang.c", 4, "<m4@x>");
    FeedHome home;
    home.Write("feed01.sub", "Y0000000000 comp.lang.c\r\n");
    RunKind(home, up, kind::FetchArticles);
    const std::string dir = home.News() + "comp.lang.c/";
    EXPECT_EQ((std::vector<std::string>{IndexName(2), IndexName(3), IndexName(4), "m1@x", "m2@x",
                                        "m4@x"}),
              AllFiles(dir));
    // Each stored article's overview record is written as it is stored.
    const store::OverviewRecords records = store::ReadOverviewFile(dir, 1u << 20).records;
    const std::vector<std::string> names = {"m1@x", "m2@x", "m4@x"};
    ASSERT_EQ(3u, records.size());
    for (const auto& [n, r] : records) EXPECT_EQ(dir + names.at(n - 2), r.contentPath) << n;
    EXPECT_EQ("Y0000000004 comp.lang.c\r\n", home.Read("feed01.sub"));
}

TEST(FeedFetch, EndlessArticleIsCutOffAndPassed) {
    // An article that never ends would fill the disk: the idle timer never
    // fires while bytes flow. Past the limit the session ends, nothing of
    // the article stays, and the next fetch goes on after it.
    Upstream up;
    for (long n = 1; n <= 4; ++n) up.AddArticle("comp.lang.c", n, "<m" + std::to_string(n) + "@x>");
    up.hook = [](const std::string& line, long current) -> std::optional<Reply> {
        if (line != "article" || current != 3) return std::nullopt;
        return Reply{{"220 3 <m3@x>\r\nSubject: endless\r\n\r\n"},
                     false,
                     std::string(64 * 1024, 'z'),
                     2 * FeedSession::kArticleLimit};
    };
    FeedHome home;
    home.Write("feed01.sub", "Y0000000000 comp.lang.c\r\n");
    auto s = RunKind(home, up, kind::FetchArticles);
    EXPECT_TRUE(s->Ended());
    EXPECT_TRUE(home.Host().Logged("Reply larger than 64 MB, not stored")) << home.Host().Joined();
    const std::string dir = home.News() + "comp.lang.c/";
    EXPECT_EQ((std::vector<std::string>{IndexName(2), IndexName(3), "m1@x", "m2@x"}),
              AllFiles(dir));
    EXPECT_EQ("Y0000000003 comp.lang.c\r\n", home.Read("feed01.sub"));

    up.hook = nullptr;
    RunKind(home, up, kind::FetchArticles);
    EXPECT_EQ((std::vector<std::string>{IndexName(2), IndexName(3), IndexName(5), "m1@x", "m2@x",
                                        "m4@x"}),
              AllFiles(dir));
    EXPECT_EQ("Y0000000004 comp.lang.c\r\n", home.Read("feed01.sub"));
}

TEST(FeedFetch, ErrorReplyToArticleStoresNothing) {
    Upstream up;
    for (long n = 1; n <= 4; ++n) up.AddArticle("comp.lang.c", n, "<m" + std::to_string(n) + "@x>");
    up.hook = [](const std::string& line, long current) -> std::optional<Reply> {
        if (line != "article" || current != 3) return std::nullopt;
        return Reply{{"430 no such article\r\n"}};
    };
    FeedHome home;
    home.Write("feed01.sub", "Y0000000000 comp.lang.c\r\n");
    auto s = RunKind(home, up, kind::FetchArticles);
    EXPECT_TRUE(s->Ended());
    const std::string dir = home.News() + "comp.lang.c/";
    // Number 4 stays unused; the walk went on to upstream 4.
    EXPECT_EQ((std::vector<std::string>{IndexName(2), IndexName(3), IndexName(5), "m1@x", "m2@x",
                                        "m4@x"}),
              AllFiles(dir));
    EXPECT_TRUE(home.Host().Logged("Article not stored: 430 no such article"));
    EXPECT_FALSE(home.Host().Logged("Session Timeout"));
}

TEST(FeedFetch, DroppedOrSilentMidArticleLeavesNoPartialArticle) {
    // "split": the terminator of article 2 straddles two reads; "silent":
    // the upstream stops in the middle of article 3 and the idle time ends
    // the session; otherwise it closes there.
    for (const char* how : {"close", "split", "silent"}) {
        const std::string mode = how;
        Upstream up;
        for (long n = 1; n <= 4; ++n)
            up.AddArticle("comp.lang.c", n, "<m" + std::to_string(n) + "@x>");
        up.hook = [&](const std::string& line, long current) -> std::optional<Reply> {
            if (line != "article") return std::nullopt;
            if (current == 2 && mode == "split")
                return Reply{{"220 2 <m2@x>\r\nSubject: s\r\n\r\nbody\r\n.", "\r\n"}};
            if (current != 3) return std::nullopt;
            return Reply{{"220 3 <m3@x>\r\nSubject: half\r\n\r\nhalf of the bo"}, mode != "silent"};
        };
        FeedHome home;
        home.Write("feed01.sub", "Y0000000000 comp.lang.c\r\n");
        auto s = RunKind(home, up, kind::FetchArticles);
        if (mode == "silent") {
            EXPECT_FALSE(s->Ended());
            s->Timeout();
            EXPECT_TRUE(home.Host().Logged("[127.0.0.1] Session Timeout"));
        } else {
            EXPECT_TRUE(home.Host().Logged("Session terminated by Server")) << how;
        }
        EXPECT_TRUE(s->Ended());
        const std::string dir = home.News() + "comp.lang.c/";
        EXPECT_EQ((std::vector<std::string>{IndexName(2), IndexName(3), "m1@x", "m2@x"}),
                  AllFiles(dir))
            << how;
        if (mode == "split") {
            EXPECT_EQ("220 2 <m2@x>\r\nSubject: s\r\n\r\nbody\r\n.\r\n",
                      testutil::ReadFile(dir + "m2@x"));
        }
        // The cut-off article is asked for again next time.
        EXPECT_EQ("Y0000000002 comp.lang.c\r\n", home.Read("feed01.sub")) << how;
        EXPECT_EQ(4, profile::GetInt(home.News() + "newsrc.ini", "comp.lang.c", "High", 0));

        up.hook = nullptr;
        RunKind(home, up, kind::FetchArticles);
        EXPECT_TRUE(fs::exists(dir + "m3@x"));
        EXPECT_EQ(
            (std::vector<std::string>{IndexName(2), IndexName(3), IndexName(5), IndexName(6)}),
            IndexFiles(dir))
            << how;
    }
}

TEST(FeedFetch, ArticleTerminatorSplitAtEveryPosition) {
    // However the reads cut the article reply, in particular its "\r\n.\r\n"
    // and a dot-stuffed line before it, the stored file is the reply and
    // the walk goes on with NEXT.
    const std::string reply = "220 1 <m1@x>\r\nSubject: s\r\n\r\n..\r\n.x\r\n.\r\n";
    for (std::size_t cut = 1; cut < reply.size(); ++cut) {
        Upstream up;
        up.AddArticle("alt.x", 1, "<m1@x>");
        up.hook = [&](const std::string& line, long) -> std::optional<Reply> {
            if (line != "article") return std::nullopt;
            return Reply{{reply.substr(0, cut), reply.substr(cut)}};
        };
        FeedHome home;
        home.Write("feed01.sub", "Y0000000000 alt.x\r\n");
        RunKind(home, up, kind::FetchArticles);
        EXPECT_EQ(reply, home.Read("alt.x/m1@x")) << cut;
        EXPECT_EQ((std::vector<std::string>{"STAT 1", "article", "NEXT", "QUIT"}),
                  Commands(up.commands, 2))
            << cut;
    }
    // And one byte per read, through a whole fetch.
    Upstream up;
    for (long n = 1; n <= 3; ++n) up.AddArticle("alt.x", n, "<m" + std::to_string(n) + "@x>");
    FeedHome home;
    home.Write("feed01.sub", "Y0000000000 alt.x\r\n");
    RunKind(home, up, kind::FetchArticles, 1);
    EXPECT_EQ(3u, IndexFiles(home.News() + "alt.x").size()) << home.Host().Joined();
    EXPECT_EQ("Y0000000003 alt.x\r\n", home.Read("feed01.sub"));
}

TEST(FeedFetch, UnusableRecordsAreSkippedWithALogLine) {
    Upstream up;
    up.AddArticle("alt.good", 1, "<g1@x>");
    up.AddArticle("alt.good", 2, "<g2@x>");
    FeedHome home;
    home.Write("feed01.sub", "Y00000x0000 alt.bad\r\nY0000000000 " + std::string(300, 'z') +
                                 "\r\nY0000000000 alt.good\r\n");
    RunKind(home, up, kind::FetchArticles);
    EXPECT_TRUE(home.Host().Logged("Subscription record skipped (garbled number field"));
    EXPECT_TRUE(home.Host().Logged("Subscription record skipped (record longer"));
    EXPECT_TRUE(fs::exists(home.News() + "alt.good/g2@x"));
    EXPECT_TRUE(home.Read("feed01.sub").ends_with("Y0000000002 alt.good\r\n"));
}

TEST(FeedFetch, StartArticleGoneUpstreamGoesOnByNumber) {
    // After a refused STAT the server still stands where GROUP put it, on
    // the group's first article: NEXT from there would pass over that first
    // article, or walk the group again and store anew what expire removed
    // here. The fetch instead goes on with the numbers after the record's.
    struct Case {
        const char* name;
        std::vector<long> upstream;  // the article numbers the server holds
        const char* record;
        std::vector<std::string> commands;  // from STAT to QUIT
        std::vector<long> stored;
        const char* after;
    } cases[] = {
        {"start cancelled",
         {1, 2, 3, 5, 6},
         "Y0000000004",
         {"STAT 4 ", "STAT 5", "article", "NEXT", "article", "NEXT", "QUIT"},
         {5, 6},
         "Y0000000006"},
        {"a run of numbers gone",
         {1, 2, 3, 7},
         "Y0000000004",
         {"STAT 4 ", "STAT 5", "STAT 6", "STAT 7", "article", "NEXT", "QUIT"},
         {7},
         "Y0000000007"},
        {"expired past the record",
         {8, 9, 10},
         "Y0000000004",
         {"STAT 4 ", "STAT 8", "article", "NEXT", "article", "NEXT", "article", "NEXT", "QUIT"},
         {8, 9, 10},
         "Y0000000010"},
        {"start still there",
         {1, 2, 3, 4, 5},
         "Y0000000004",
         {"STAT 4 ", "NEXT", "article", "NEXT", "QUIT"},
         {5},
         "Y0000000005"},
    };
    for (const Case& c : cases) {
        Upstream up;
        for (long n : c.upstream) up.AddArticle("comp.lang.c", n, "<m" + std::to_string(n) + "@x>");
        FeedHome home;
        home.Write("feed01.sub", std::string(c.record) + " comp.lang.c\r\n");
        RunKind(home, up, kind::FetchArticles);
        EXPECT_EQ(c.commands, Commands(up.commands, 2)) << c.name << "\n" << home.Host().Joined();
        std::vector<std::string> want;
        for (long n : c.stored) want.push_back("m" + std::to_string(n) + "@x");
        std::vector<std::string> got = AllFiles(home.News() + "comp.lang.c");
        std::erase_if(got, [](const std::string& n) { return n.starts_with("NEWS"); });
        std::sort(want.begin(), want.end());
        EXPECT_EQ(want, got) << c.name;
        EXPECT_EQ(std::string(c.after) + " comp.lang.c\r\n", home.Read("feed01.sub")) << c.name;
    }
}

TEST(FeedFetch, GoingOnByNumberIsBoundedPerSession) {
    // A server that claims numbers it never had is asked about a bounded
    // run of them; the record keeps the progress for the next fetch.
    Upstream up;
    up.AddArticle("comp.lang.c", 1, "<m1@x>");
    up.AddArticle("comp.lang.c", 5000, "<m5000@x>");
    FeedHome home;
    home.Write("feed01.sub", "Y0000000002 comp.lang.c\r\n");
    RunKind(home, up, kind::FetchArticles);
    char after[64];
    std::snprintf(after, sizeof after, "Y%010ld comp.lang.c\r\n", 2 + FeedSession::kMaxProbes);
    EXPECT_EQ(after, home.Read("feed01.sub")) << home.Host().Joined();
    EXPECT_TRUE(home.Host().Logged("going on next time"));
    EXPECT_TRUE(home.Host().Logged("Server Session Ended."));
}

TEST(FeedFetch, GoingOnByNumberStopsAtOtherReplies) {
    // Only "423" says a number is gone: another refusal must not move the
    // record past articles the server may still have.
    Upstream up;
    for (long n : {1, 2, 3, 7}) up.AddArticle("comp.lang.c", n, "<m" + std::to_string(n) + "@x>");
    up.hook = [](const std::string& line, long) -> std::optional<Reply> {
        if (line != "STAT 6") return std::nullopt;
        return Reply{{"503 program fault\r\n"}};
    };
    FeedHome home;
    home.Write("feed01.sub", "Y0000000004 comp.lang.c\r\n");
    RunKind(home, up, kind::FetchArticles);
    EXPECT_EQ("Y0000000005 comp.lang.c\r\n", home.Read("feed01.sub")) << home.Host().Joined();
    EXPECT_TRUE(IndexFiles(home.News() + "comp.lang.c").empty());

    up.hook = nullptr;
    RunKind(home, up, kind::FetchArticles);
    EXPECT_EQ("Y0000000007 comp.lang.c\r\n", home.Read("feed01.sub"));
    EXPECT_TRUE(fs::exists(home.News() + "comp.lang.c/m7@x"));
    EXPECT_EQ(1u, IndexFiles(home.News() + "comp.lang.c").size());
}

TEST(FeedSession, OverlongReplyLineEndsTheSession) {
    Upstream up;
    up.hook = [](const std::string& line, long) -> std::optional<Reply> {
        if (line != "MODE READER") return std::nullopt;
        return Reply{{std::string(30000, 'x')}};
    };
    FeedHome home;
    home.Write("feed01.sub", "Y0000000000 comp.lang.c\r\n");
    auto s = RunKind(home, up, kind::FetchArticles);
    EXPECT_TRUE(s->Ended());
    EXPECT_TRUE(home.Host().Logged("!!Buffer Overflow!!"));
    EXPECT_TRUE(home.Host().Logged("Server Session Ended."));
}

TEST(FeedSession, EndsOnceWhateverComesAfter) {
    // A time-out, a close or bytes that arrive after the end change nothing.
    Upstream up;
    up.hook = [](const std::string& line, long) -> std::optional<Reply> {
        if (line == "MODE READER") return Reply{};
        return std::nullopt;
    };
    FeedHome home;
    home.Write("feed01.sub", "Y0000000000 comp.lang.c\r\n");
    auto s = RunKind(home, up, kind::FetchArticles);
    s->Timeout();
    s->Timeout();
    s->PeerClosed();
    s->Receive("200 late\r\n");
    EXPECT_TRUE(s->Ended());
    EXPECT_EQ(1, std::count(home.Host().log.begin(), home.Host().log.end(),
                            "[127.0.0.1] Server Session Ended."));
    EXPECT_EQ(1, std::count(home.Host().log.begin(), home.Host().log.end(),
                            "[127.0.0.1] Session Timeout"));
}

TEST(FeedSession, NothingToDoEndsWithoutConnecting) {
    struct Case {
        int kind;
        const char* newsDir;  // nullptr: the home's
        const char* logged;
    } cases[] = {
        {kind::PostArticles, nullptr, "[127.0.0.1] No articles to post"},
        {kind::FetchArticles, "!", "No news directory configured"},
    };
    for (const Case& c : cases) {
        FeedHome home;
        home.Write("POSTS/QVE1.WRK", "still arriving");
        auto s = MakeSession(home, c.kind);
        if (c.newsDir) s->SetNewsDirectory(c.newsDir);
        EXPECT_FALSE(s->Start()) << c.logged;
        EXPECT_TRUE(s->Ended()) << c.logged;
        EXPECT_TRUE(home.Host().Logged(c.logged)) << home.Host().Joined();
    }
}

TEST(FeedRefresh, ListAndDescriptionsGoBesideEachOther) {
    Upstream up;
    up.AddArticle("comp.lang.c", 101, "<a@x>");
    up.AddArticle("comp.lang.c", 140, "<b@x>");
    up.AddGroup("alt.empty");
    up.descriptions =
        "215 descriptions follow\r\n"
        "alt.empty\tNothing here.\r\n"
        "comp.lang.c   Discussion about C.  \r\n"
        "..dot.group \t Stuffed\tname\r\n"
        "no.description\r\n";
    FeedHome home;
    home.Write("feed01.all", "old list\r\n");
    auto s = RunKind(home, up, kind::RefreshGroups);
    EXPECT_TRUE(s->Ended());
    EXPECT_EQ("215 list follows\r\nalt.empty 0 1 y\r\ncomp.lang.c 140 101 y\r\n.\r\n205 bye\r\n",
              home.Read("feed01.all"));
    EXPECT_EQ(
        "alt.empty\tNothing here.\r\ncomp.lang.c\tDiscussion about C.\r\n"
        ".dot.group\tStuffed\tname\r\nno.description\t\r\n",
        home.Read("feed01.all.desc"));
    EXPECT_EQ((std::vector<std::string>{"MODE READER", "LIST", "LIST NEWSGROUPS", "QUIT"}),
              up.commands);
    EXPECT_TRUE(home.Host().Logged("Session terminated by Server"));
    EXPECT_EQ((std::vector<std::string>{"POSTS", "feed01.all", "feed01.all.desc"}),
              AllFiles(home.News()));

    // Without descriptions upstream the old file stays, and the refresh
    // still takes the new list.
    up.AddGroup("alt.new");
    up.hook = [](const std::string& line, long) -> std::optional<Reply> {
        if (line != "LIST NEWSGROUPS") return std::nullopt;
        return Reply{{"503 not supported\r\n"}};
    };
    RunKind(home, up, kind::RefreshGroups);
    EXPECT_NE(std::string::npos, home.Read("feed01.all").find("\r\nalt.new 0 1 y\r\n"));
    EXPECT_TRUE(home.Read("feed01.all").ends_with("\r\n.\r\n205 bye\r\n"));
    EXPECT_TRUE(home.Read("feed01.all.desc").starts_with("alt.empty\tNothing here.\r\n"));
    EXPECT_TRUE(home.Host().Logged("Group descriptions not received: 503 not supported"));

    // Cut off in the middle, they stay too.
    up.hook = [](const std::string& line, long) -> std::optional<Reply> {
        if (line != "LIST NEWSGROUPS") return std::nullopt;
        return Reply{{"215 descriptions\r\nalt.half\tcut o"}, true};
    };
    RunKind(home, up, kind::RefreshGroups);
    EXPECT_TRUE(home.Read("feed01.all.desc").starts_with("alt.empty\tNothing here.\r\n"));
    EXPECT_EQ((std::vector<std::string>{"POSTS", "feed01.all", "feed01.all.desc"}),
              AllFiles(home.News()));

    // A refused LIST keeps the old list, and asks for nothing more.
    up.hook = [](const std::string& line, long) -> std::optional<Reply> {
        if (line != "LIST") return std::nullopt;
        return Reply{{"502 not allowed\r\n"}};
    };
    const std::size_t before = up.commands.size();
    RunKind(home, up, kind::RefreshGroups);
    EXPECT_TRUE(home.Read("feed01.all").starts_with("215 list follows\r\n"));
    EXPECT_TRUE(home.Host().Logged("Group list not received: 502 not allowed"));
    EXPECT_EQ((std::vector<std::string>{"MODE READER", "LIST", "QUIT"}),
              Commands(up.commands, before));
}

TEST(FeedRefresh, NothingEndlessAfterTheGroupList) {
    // The QUIT reply goes into the list file after its "." line; a server
    // that keeps talking there must not grow the file without end.
    Upstream up;
    up.AddGroup("comp.lang.c");
    up.hook = [](const std::string& line, long) -> std::optional<Reply> {
        if (line != "QUIT") return std::nullopt;
        return Reply{{"205 bye\r\n"}, false, std::string(64 * 1024, 'q'), 4u << 20};
    };
    FeedHome home;
    auto s = RunKind(home, up, kind::RefreshGroups);
    EXPECT_TRUE(s->Ended());
    EXPECT_TRUE(home.Host().Logged("Too much after the group list; session ended."));
    const std::string list = home.Read("feed01.all");
    EXPECT_TRUE(list.starts_with("215 ")) << list.substr(0, 80);
    EXPECT_NE(std::string::npos, list.find("\r\n.\r\n205 bye\r\n"));
    EXPECT_LE(list.size(), std::size_t{1024} + FeedSession::kAfterListLimit);
}

TEST(FeedPost, AcceptedFilesAreDeletedTemporaryRefusalsKept) {
    Upstream up;
    up.postReplies = {"240 ok", "436 try again later", "240 fine"};
    FeedHome home;
    const std::string a = "Newsgroups: alt.test\r\nSubject: one\r\n\r\nbody one\r\n.\r\n";
    const std::string b = "Newsgroups: alt.test\r\nSubject: two\r\n\r\nbody two\r\n.\r\n";
    const std::string c =
        "Newsgroups: alt.test\r\nSubject: three\r\n\r\n" + std::string(200000, 'x') + "\r\n.\r\n";
    home.Write("POSTS/QVE1.TMP", a);
    home.Write("POSTS/QVE2.TMP", b);
    home.Write("POSTS/QVE3.TMP", c);
    home.Write("POSTS/QVE4.WRK", "still arriving");
    home.Write("POSTS/QVE5.TMP", "Subject: cut off\r\n\r\nno end");
    auto s = RunKind(home, up, kind::PostArticles);
    EXPECT_TRUE(s->Ended());
    EXPECT_EQ((std::vector<std::string>{"QVE2.TMP", "QVE4.WRK", "QVE5.TMP"}),
              AllFiles(home.News() + "POSTS"));
    ASSERT_EQ(3u, up.posted.size());
    EXPECT_EQ(a.substr(0, a.size() - 3), up.posted[0]);
    EXPECT_EQ(c.size() - 3, up.posted[2].size());
    EXPECT_EQ("MODE READER", up.commands.front());
    ASSERT_GE(up.commands.size(), 2u);
    EXPECT_EQ(".", up.commands[up.commands.size() - 2]);
    EXPECT_EQ("QUIT", up.commands.back());
    EXPECT_TRUE(home.Host().Logged("Starting Post Operation"));
    EXPECT_TRUE(home.Host().Logged("Article not accepted, kept in the queue: 436 try again later"));
    EXPECT_TRUE(home.Host().Logged("Queued article incomplete, not sent"));
}

TEST(FeedPost, RefusedForGoodMovesToRejected) {
    // A 4xx refusal other than 400, 403 and 436, to POST or to the article,
    // will not change: the posting is kept in POSTS/rejected/ and no longer
    // offered. The others, and 5xx, leave it queued for the next run; so do
    // 480 and 483, which ask for a login or for encryption.
    struct Case {
        const char* reply;
        bool toPost;  // the reply to POST (else to the article)
        bool rejected;
    } cases[] = {
        {"441 posting failed", false, true},       {"437 article rejected", false, true},
        {"400 shutting down", false, false},       {"403 internal fault", false, false},
        {"436 try again later", false, false},     {"500 what?", false, false},
        {"440 posting not permitted", true, true}, {"400 service unavailable", true, false},
        {"502 no permission", true, false},        {"480 login first", true, false},
        {"483 encryption required", true, false},  {"480 login first", false, false},
    };
    for (const Case& c : cases) {
        Upstream up;
        if (c.toPost)
            up.refusePost = c.reply;
        else
            up.postReplies = {c.reply};
        FeedHome home;
        const std::string article = "Subject: x\r\n\r\nQUIT\r\n.\r\n";
        home.Write("POSTS/QVE1.TMP", article);
        fs::create_directories(home.News() + "POSTS/rejected");
        home.Write("POSTS/rejected/QVE1.TMP", "an earlier one of that name");
        RunKind(home, up, kind::PostArticles);
        EXPECT_EQ(c.toPost ? 0u : 1u, up.posted.size()) << c.reply;
        EXPECT_EQ(c.rejected, !fs::exists(home.News() + "POSTS/QVE1.TMP")) << c.reply;
        if (c.rejected) {
            EXPECT_EQ(article, home.Read("POSTS/rejected/QVE1.TMP.1")) << c.reply;
            EXPECT_TRUE(home.Host().Logged(
                "Article refused for good, moved to POSTS/rejected/QVE1.TMP.1: " +
                std::string(c.reply)))
                << home.Host().Joined();
        }
        EXPECT_EQ("an earlier one of that name", home.Read("POSTS/rejected/QVE1.TMP"));
        EXPECT_EQ("QUIT", up.commands.back()) << c.reply;
    }

    // A rejected posting is not offered again.
    Upstream up;
    up.postReplies = {"441 posting failed"};
    FeedHome home;
    home.Write("POSTS/QVE1.TMP", "Subject: x\r\n\r\nbody\r\n.\r\n");
    RunKind(home, up, kind::PostArticles);
    auto again = MakeSession(home, kind::PostArticles);
    EXPECT_FALSE(again->Start());
    EXPECT_TRUE(home.Host().Logged("No articles to post"));
}

// The upstream's login: sent after MODE READER, again once when GROUP or
// POST is answered 480, and a refusal ends the session naming the reply.
TEST(FeedLogin, LoginRepliesAndRetries) {
    struct Case {
        const char* what;
        const char* userReply;  // to AUTHINFO USER
        const char* passReply;  // to AUTHINFO PASS
        int groupRefusals;      // GROUP answered 480 this many times
        std::vector<std::string> wantCommands;
        const char* wantLog;
        bool fetched;
    } cases[] = {
        {"accepted",
         "381 password please",
         "281 welcome",
         0,
         {"MODE READER", "AUTHINFO USER joe", "AUTHINFO PASS se cret", "GROUP alt.test"},
         "Logged in",
         true},
        {"no password needed",
         "281 ok",
         "",
         0,
         {"MODE READER", "AUTHINFO USER joe", "GROUP alt.test"},
         "Logged in",
         true},
        {"wrong password",
         "381 password please",
         "481 authentication failed",
         0,
         {"MODE READER", "AUTHINFO USER joe", "AUTHINFO PASS se cret", "QUIT"},
         "Login refused by the server: 481 authentication failed",
         false},
        {"out of sequence",
         "482 out of sequence",
         "",
         0,
         {"MODE READER", "AUTHINFO USER joe", "QUIT"},
         "Login refused by the server: 482 out of sequence",
         false},
        {"not offered",
         "502 no login here",
         "",
         0,
         {"MODE READER", "AUTHINFO USER joe", "QUIT"},
         "Login refused by the server: 502 no login here",
         false},
        {"asked again once",
         "381 password please",
         "281 welcome",
         1,
         {"MODE READER", "AUTHINFO USER joe", "AUTHINFO PASS se cret", "GROUP alt.test",
          "AUTHINFO USER joe", "AUTHINFO PASS se cret", "GROUP alt.test"},
         "Logged in",
         true},
        {"asked again and again",
         "381 password please",
         "281 welcome",
         99,
         {"MODE READER", "AUTHINFO USER joe", "AUTHINFO PASS se cret", "GROUP alt.test",
          "AUTHINFO USER joe", "AUTHINFO PASS se cret", "GROUP alt.test", "QUIT"},
         "The server still wants a login after it accepted ours",
         false},
    };
    for (const Case& c : cases) {
        Upstream up;
        up.AddArticle("alt.test", 1, "<one@example.test>");
        int refusals = c.groupRefusals;
        up.hook = [&](const std::string& line, long) -> std::optional<Reply> {
            if (line.starts_with("AUTHINFO USER"))
                return Reply{{std::string(c.userReply) + "\r\n"}};
            if (line.starts_with("AUTHINFO PASS"))
                return Reply{{std::string(c.passReply) + "\r\n"}};
            if (line.starts_with("GROUP") && refusals > 0) {
                --refusals;
                return Reply{{"480 authentication required\r\n"}};
            }
            return std::nullopt;
        };
        FeedHome home;
        home.Write("feed01.sub", "Y0000000000 alt.test\r\n");
        auto s = MakeSession(home, kind::FetchArticles);
        s->SetLogin("joe", "se cret");
        ASSERT_TRUE(s->Start()) << c.what;
        Converse(*s, up);
        EXPECT_TRUE(s->Ended()) << c.what;
        const std::size_t n = std::min(up.commands.size(), c.wantCommands.size());
        EXPECT_EQ(c.wantCommands,
                  std::vector<std::string>(up.commands.begin(), up.commands.begin() + n))
            << c.what;
        EXPECT_TRUE(home.Host().Logged(c.wantLog)) << c.what << "\n" << home.Host().Joined();
        EXPECT_FALSE(home.Host().Logged("se cret")) << c.what << ": the password is never logged";
        EXPECT_EQ(c.fetched ? 1u : 0u, IndexFiles(home.News() + "alt.test/").size())
            << c.what << "\n"
            << home.Host().Joined();
        if (!c.fetched) {
            EXPECT_EQ("QUIT", up.commands.back()) << c.what;
        }
    }
}

// A 480 is about the login, not the article: the posting stays queued
// whether or not a login is configured, and the log says what is missing.
TEST(FeedLogin, PostAnswered480StaysQueued) {
    for (const bool withLogin : {false, true}) {
        Upstream up;
        up.refusePost = "480 login first";
        up.hook = [](const std::string& line, long) -> std::optional<Reply> {
            if (line.starts_with("AUTHINFO")) return Reply{{"281 ok\r\n"}};
            return std::nullopt;
        };
        FeedHome home;
        home.Write("POSTS/QVE1.TMP", "Subject: x\r\n\r\nbody\r\n.\r\n");
        auto s = MakeSession(home, kind::PostArticles);
        if (withLogin) s->SetLogin("joe", "pw");
        ASSERT_TRUE(s->Start());
        Converse(*s, up);
        EXPECT_TRUE(fs::exists(home.News() + "POSTS/QVE1.TMP")) << withLogin;
        EXPECT_FALSE(fs::exists(home.News() + "POSTS/rejected")) << withLogin;
        EXPECT_TRUE(home.Host().Logged(withLogin
                                           ? "The server still wants a login after it accepted ours"
                                           : "The server wants a login; none is set"))
            << home.Host().Joined();
        // With a login, POST was asked twice: once more after the second login.
        EXPECT_EQ(withLogin ? 2 : 1, std::count(up.commands.begin(), up.commands.end(), "POST"))
            << withLogin;
    }
}

// STARTTLS comes first; nothing else is sent before the caller has secured
// the connection, and a server that says no ends the session.
TEST(FeedLogin, StartTlsFirstAndNeverDowngraded) {
    FeedHome home;
    home.Write("feed01.sub", "Y0000000000 alt.test\r\n");
    {
        auto s = MakeSession(home, kind::FetchArticles);
        s->SetStartTls(true);
        ASSERT_TRUE(s->Start());
        s->Connected();
        s->Receive("200 ready\r\n");
        EXPECT_EQ("STARTTLS\r\n", Drain(*s));
        s->Receive("382 go ahead\r\n");
        EXPECT_EQ("", Drain(*s));
        EXPECT_TRUE(s->TakeStartTls());
        EXPECT_FALSE(s->TakeStartTls());
        s->TlsStarted();
        EXPECT_EQ("MODE READER\r\n", Drain(*s));
    }
    for (const char* refusal : {"502 not here", "500 what?", "580 cannot"}) {
        auto s = MakeSession(home, kind::FetchArticles);
        s->SetStartTls(true);
        s->SetLogin("joe", "secret");
        ASSERT_TRUE(s->Start());
        s->Connected();
        s->Receive("200 ready\r\n");
        Drain(*s);
        s->Receive(std::string(refusal) + "\r\n");
        EXPECT_TRUE(s->Ended()) << refusal;
        EXPECT_FALSE(s->TakeStartTls()) << refusal;
        EXPECT_EQ("QUIT\r\n", Drain(*s)) << refusal;
        EXPECT_TRUE(
            home.Host().Logged("The server does not offer STARTTLS (" + std::string(refusal) + ")"))
            << home.Host().Joined();
    }
}

}  // namespace
