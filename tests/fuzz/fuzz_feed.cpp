// The feed's reply handling: the protocol core of a feed session of the
// kind the first byte chooses (refresh, post, fetch) takes the fuzzer's
// bytes as the upstream's replies. The rest of the input is a list of
// replies separated by 0x1E: the first is the greeting, each later one is
// given once the session has settled after the previous. Within a reply,
// 0x1F splits it into separate reads. When the replies run out the
// upstream closes the connection, and the session must then end.
//
// Afterwards the store must hold only what a feed may write, every article
// index must name a complete article of its own group, High must cover
// every index file, and the subscription file must keep its size.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/Host.h"
#include "feed/FeedSession.h"
#include "reader/ArticleFile.h"
#include "settings/Profile.h"
#include "store/StoreNames.h"
#include "tests/fuzz/FuzzCommon.h"

namespace {

class QuietHost : public Host {
public:
    void UpdLog(std::string_view line) override {
        fuzz::Check(line.find_first_of("\r\n") == std::string_view::npos,
                    "feed log line with a line break");
        if (dump_) std::fprintf(stderr, "log: %.*s\n", static_cast<int>(line.size()), line.data());
    }
    void IncSent(std::int64_t) override {}
    void IncRecvd(std::int64_t) override {}
    void MessageBox(std::string_view, std::string_view) override {}
    bool dump_ = std::getenv("QV_FUZZ_DUMP") != nullptr;
};

constexpr std::string_view kFeedIndex =
    "[Groups]\r\nTotal=2\r\nG00001=comp.known\r\nG00002=local.only\r\n"
    "[comp.known]\r\nLocal=No\r\nAllowPost=Yes\r\nLow=1\r\nHigh=3\r\nAdddate=20240110\r\naddtime="
    "120000\r\n"
    "[local.only]\r\nLocal=Yes\r\nAllowPost=Yes\r\nLow=1\r\nHigh=1\r\nAdddate=20240110\r\naddtime="
    "120000\r\n";

// Groups the fetch walks: a known one, one new to the index, a "last N"
// record, an unusable record in between.
constexpr std::string_view kSubscriptions =
    "Y0000000000 comp.known\r\n"
    "Y00000x0000 garbled.record\r\n"
    "Y0000000005 alt.new.group\r\n"
    "Y*000000002 misc.last.two\r\n";

constexpr const char* kGroups[] = {"comp.known", "local.only", "alt.new.group", "misc.last.two"};

QuietHost& TheHost() {
    static QuietHost* host = new QuietHost;
    return *host;
}

std::string NewsDir() { return fuzz::Root() + "/news/"; }

void ResetFeedStore() {
    const std::string news = NewsDir();
    fuzz::Clear(news);
    std::error_code ec;
    std::filesystem::create_directories(news + "POSTS", ec);
    std::filesystem::create_directories(news + "comp.known", ec);
    fuzz::WriteFile(news + "newsrc.ini", kFeedIndex);
    fuzz::WriteFile(news + "feed01.sub", kSubscriptions);
    fuzz::WriteFile(news + "feed01.all", "215 old list\r\ncomp.known 3 1 y\r\n.\r\n");
    for (long n = 1; n <= 3; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "NEWS%010ld", n);
        const std::string content = news + "comp.known/old" + std::to_string(n) + "@example.com";
        fuzz::WriteFile(news + "comp.known/" + name, content + "\r\n");
        fuzz::WriteFile(content, "220 " + std::to_string(n) + " <old" + std::to_string(n) +
                                     "@example.com>\r\nSubject: old\r\n\r\nbody\r\n.\r\n");
    }
    fuzz::WriteFile(news + "POSTS/QVE1.TMP",
                    "Newsgroups: comp.known\r\nSubject: a\r\n\r\nbody\r\n.\r\n");
    fuzz::WriteFile(news + "POSTS/QVE2.TMP",
                    "Newsgroups: comp.known\r\nSubject: unfinished\r\n\r\nbo");
    fuzz::WriteFile(news + "POSTS/QVE3.TMP",
                    "Newsgroups: comp.known\r\n\r\n" + std::string(70000, 'x') + "\r\n.\r\n");
}

// Runs the session's queued steps and takes (and drops) what it sends.
void Settle(FeedSession& session) {
    for (int guard = 0; guard < 10000 && session.HasWork(); ++guard) session.Advance();
    for (std::string_view out; !(out = session.Output()).empty();) session.Consume(out.size());
}

std::vector<std::string_view> SplitAt(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    while (true) {
        const std::size_t at = s.find(sep);
        parts.push_back(s.substr(0, at));
        if (at == std::string_view::npos) break;
        s.remove_prefix(at + 1);
    }
    return parts;
}

bool Numbered(std::string_view name, std::string_view prefix, long* number) {
    if (!name.starts_with(prefix) || name.size() != prefix.size() + 10) return false;
    long n = 0;
    for (char c : name.substr(prefix.size())) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
    }
    *number = n;
    return true;
}

void CheckFeedStore() {
    const std::string news = NewsDir();
    std::map<std::string, long> maxIndex;
    for (const std::string& rel : fuzz::Tree(fuzz::Root())) {
        if (rel == "Quorvel.INI" || rel == "news/" || rel == "news/newsrc.ini" ||
            rel == "news/feed01.sub" || rel == "news/feed01.all" || rel == "news/feed01.all.desc" ||
            rel == "news/POSTS/" || rel == "news/POSTS/rejected/")
            continue;
        // Postings the upstream refused for good, kept under their names.
        if (rel.starts_with("news/POSTS/rejected/QVE") && rel.find('/', 20) == std::string::npos)
            continue;
        if (rel.starts_with("news/POSTS/QVE") && rel.ends_with(".TMP") &&
            rel.find('/', 11) == std::string::npos)
            continue;
        bool inGroup = false;
        for (const char* g : kGroups) {
            const std::string dir = std::string("news/") + g + "/";
            if (rel == dir) {
                inGroup = true;
                break;
            }
            if (!rel.starts_with(dir)) continue;
            const std::string name = rel.substr(dir.size());
            fuzz::Check(name.find('/') == std::string::npos && !name.starts_with("."),
                        "feed wrote an unexpected path: " + rel);
            long n = 0;
            if (Numbered(name, "NEWS", &n)) {
                maxIndex[g] = std::max(maxIndex[g], n);
                // An index names a complete article of its own group.
                const std::string content = fuzz::ReadFile(fuzz::Root() + "/" + rel);
                fuzz::Check(content.ends_with("\r\n"), "index file without its line end: " + rel);
                const std::string path = content.substr(0, content.size() - 2);
                fuzz::Check(path.starts_with(news + g + "/"),
                            "index names a file of another group: " + rel);
                ArticleFile f;
                fuzz::Check(f.Open(path, 64),
                            "index names an incomplete or missing article: " + rel);
                fuzz::Check(f.Head().starts_with("220"),
                            "stored article without its 220 line: " + rel);
            }
            inGroup = true;
            break;
        }
        fuzz::Check(inGroup, "feed wrote an unexpected path: " + rel);
    }
    for (const auto& [group, n] : maxIndex) {
        const long high = profile::GetInt(news + "newsrc.ini", group, "High", 0);
        fuzz::Check(high >= n, "High of " + group + " is below an index file");
    }
    if (std::getenv("QV_FUZZ_DUMP"))
        for (const std::string& rel : fuzz::Tree(fuzz::Root()))
            std::fprintf(stderr, "file: %s\n", rel.c_str());
    fuzz::Check(fuzz::ReadFile(news + "feed01.sub").size() == kSubscriptions.size(),
                "the subscription file changed its size");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    ResetFeedStore();
    static constexpr int kKinds[] = {kind::RefreshGroups, kind::PostArticles, kind::FetchArticles};
    const int kindValue = kKinds[data[0] % 3];
    const std::vector<std::string_view> replies =
        SplitAt(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1), '\x1e');

    auto session = std::make_unique<FeedSession>(TheHost());
    session->SetKind(kindValue);
    session->SetServerAddress("127.0.0.1");
    session->SetNewsDirectory(NewsDir());
    session->SetAllGroupFile("feed01.all");
    session->SetSubGroupFile("feed01.sub");
    if (session->Start()) {
        session->Connected();
        for (std::string_view reply : replies) {
            if (session->Ended()) break;
            for (std::string_view part : SplitAt(reply, '\x1f')) {
                session->Receive(part);
                Settle(*session);
            }
        }
        session->PeerClosed();
        Settle(*session);
    }
    fuzz::Check(session->Ended(), "the session did not end when the upstream closed");
    session.reset();
    CheckFeedStore();
    return 0;
}
