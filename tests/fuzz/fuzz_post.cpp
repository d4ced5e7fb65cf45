// The posting receiver: the input is an article sent after POST (odd
// headers, no empty line, huge lines, NULs, lone CRs), split into reads
// where the fuzzer chooses. An article without its "." line gets one. The
// outcome is checked against what the Newsgroups header asks for: refused
// with 441 and nothing left behind, or stored in a local group that allows
// posting, refused for a local group that does not, queued byte for byte
// for one upstream group; never anything else in the store.
// Input layout: see SplitPlan.

#include <cstddef>
#include <cstdint>
#include <set>

#include "reader/ArticleFile.h"
#include "reader/ReaderText.h"
#include "tests/fuzz/ReaderDriver.h"

namespace {

// Offset just past the line holding a single "." (a CR before its LF
// allowed), or npos.
std::size_t ArticleEnd(std::string_view s) {
    std::size_t pos = 0;
    while (true) {
        const std::size_t lf = s.find('\n', pos);
        if (lf == std::string_view::npos) return std::string_view::npos;
        const std::string_view line = s.substr(pos, lf - pos);
        if (line == "." || line == ".\r") return lf + 1;
        pos = lf + 1;
    }
}

// The Newsgroups value of the header (up to the first line shorter than
// three characters), cut at a CR, without surrounding blanks and tabs.
std::string NewsgroupsOf(std::string_view article) {
    std::size_t pos = 0;
    while (pos < article.size()) {
        std::size_t lf = article.find('\n', pos);
        if (lf == std::string_view::npos) lf = article.size();
        std::string_view line = article.substr(pos, lf - pos);
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (line.size() < 3) break;
        if (StartsWithNoCase(line, "newsgroups:")) {
            std::string_view v = line.substr(11);
            v = v.substr(0, v.find('\r'));
            while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
            while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
            return std::string(v);
        }
        pos = lf + 1;
    }
    return {};
}

std::set<std::string> TreeSet() {
    const auto t = fuzz::Tree(fuzz::Root());
    return {t.begin(), t.end()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string news = fuzz::ResetStore();
    static const std::set<std::string> before = TreeSet();
    const fuzz::Plan plan = fuzz::SplitPlan(data, size);

    std::string article(plan.data);
    if (ArticleEnd(article) == std::string::npos) article += "\r\n.\r\n";
    article.resize(ArticleEnd(article));
    const std::string stream = "POST\r\n" + article;

    std::string reply;
    {
        fuzz::ReaderDriver driver(news);
        driver.Session().Start(true);
        driver.Feed(stream, plan.controls);
        driver.DrainAll();
        fuzz::Check(!driver.Session().Posting(), "still posting after the end of the article");
        const std::string head =
            "200 Quorvel Ready - posting allowed \r\n340 Continue posting; Period on a line by "
            "itself to end\r\n";
        fuzz::Check(driver.Output().starts_with(head), "no 340 reply to POST");
        reply = driver.Output().substr(head.size());
    }
    fuzz::CheckStoreTree();

    std::vector<std::string> added;
    for (const std::string& p : TreeSet())
        if (!before.count(p)) added.push_back(p);
    for (const std::string& p : before)
        fuzz::Check(TreeSet().count(p) == 1, "a template file went away: " + p);

    const std::string group = NewsgroupsOf(article);
    if (EqualsNoCase(group, "local.closed") && reply == "441 Posting not allowed\r\n") {
        fuzz::Check(added.empty(), "posting to a closed group left a file");
        return 0;
    }
    if (reply.starts_with("441 ")) {
        // Refused for its header (no From, Subject or known group, a bad or
        // known Message-ID): nothing of it may stay.
        fuzz::Check(added.empty(), "a refused posting left a file: " + reply);
        return 0;
    }
    fuzz::Check(reply == "240 Article Received\r\n", "posting not acknowledged: " + reply);
    fuzz::Check(!EqualsNoCase(group, "local.closed"), "posting to a closed group taken");

    const bool testGroup = EqualsNoCase(group, "local.test");
    if (testGroup || EqualsNoCase(group, "mixed.case")) {
        // Stored at once as the group's next number, under its Message-ID,
        // complete and servable.
        const std::string dir = testGroup ? "local.test" : "Mixed.Case";
        const long n = testGroup ? 7 : 1;
        char name[32];
        std::snprintf(name, sizeof name, "NEWS%010ld", n);
        const std::string index = news + dir + "/" + name;
        fuzz::Check(added.size() == 2, "a local posting should add two files");
        std::string content = fuzz::ReadFile(index);
        fuzz::Check(content.ends_with("\r\n"), "index file without its line end");
        content.resize(content.size() - 2);
        fuzz::Check(content.starts_with(news + dir + "/"), "content file outside its group");
        ArticleFile file;
        fuzz::Check(file.Open(content, 1 << 20), "stored local article cannot be served");
        fuzz::Check(file.Head().starts_with("220 " + std::to_string(n) + " <"), "bad status line");
        fuzz::Check(ValidMessageId("<" + file.MessageId() + ">"), "stored without a Message-ID");
        fuzz::Check(!file.HeaderValue("Lines").empty(), "no Lines header");
        return 0;
    }
    if (group.find(',') != std::string::npos) return 0;  // cross-posts: covered by unit tests
    // One upstream group: the posting waits in the queue exactly as received.
    fuzz::Check(
        added.size() == 1 && added[0].starts_with("news/POSTS/QVE") && added[0].ends_with(".TMP"),
        "a queued posting should add one queue file");
    fuzz::Check(fuzz::ReadFile(fuzz::Root() + "/" + added[0]) == article,
                "queue file differs from the posting");
    return 0;
}
