// Reader command assembly and dispatch: the input is what a newsreader
// sends, split into reads where the fuzzer chooses, against a small store.
// Input layout: see SplitPlan (one count byte, that many control bytes,
// then the bytes to send).
//
// Besides the driver's checks, the output must split into whole replies,
// exactly one per command line the session took (so replies never
// interleave and no command goes unanswered), in the order the commands
// came: POST is answered 340 and its article 240 or 441, QUIT 205.
//
// A control byte with its top bit set also changes the store before its
// piece is sent (an article removed, rewritten in place or at another size,
// added, pointed elsewhere, cut short, renamed; the whole store replaced).
// Once the session has answered, the shared overview cache must agree with
// the files: the same listings and overview lines as a reading that keeps
// nothing, and no content path the index files no longer name.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "reader/OverviewCache.h"
#include "reader/ReaderText.h"
#include "store/StoreNames.h"
#include "tests/fuzz/ReaderDriver.h"

namespace {

constexpr std::string_view kGreeting = "200 Quorvel Ready - posting allowed \r\n";

// A multi-line reply by its status line: LISTGROUP's 211 is, GROUP's is not.
bool MultiLine(std::string_view status) {
    const std::string_view code = status.substr(0, 3);
    if (code == "211") return status.find(" list follows") != std::string_view::npos;
    for (std::string_view c :
         {"100", "101", "215", "220", "221", "222", "224", "225", "230", "231"})
        if (code == c) return true;
    return false;
}

// The status codes of the replies in out; nullopt when out does not split
// into whole replies (a status line, and for the multi-line codes the lines
// up to the "." line).
std::optional<std::vector<std::string>> SplitReplies(std::string_view out) {
    std::vector<std::string> codes;
    std::size_t pos = 0;
    while (pos < out.size()) {
        std::size_t lf = out.find('\n', pos);
        if (lf == std::string_view::npos) return std::nullopt;
        const std::string code(out.substr(pos, std::min<std::size_t>(3, lf - pos)));
        const std::string_view status = out.substr(pos, lf - pos);
        pos = lf + 1;
        if (MultiLine(status)) {
            while (true) {
                lf = out.find('\n', pos);
                if (lf == std::string_view::npos) return std::nullopt;
                std::string_view line = out.substr(pos, lf - pos);
                if (line.ends_with('\r')) line.remove_suffix(1);
                pos = lf + 1;
                if (line == ".") break;
            }
        }
        codes.push_back(code);
    }
    return codes;
}

// What the replies must be, worked out from the input alone: "" for any
// reply, or the code it must have.
std::vector<std::string> ExpectedReplies(std::string_view in) {
    std::vector<std::string> want;
    std::size_t pos = 0;
    while (true) {
        const std::size_t lf = in.find('\n', pos);
        // A line that reaches the read buffer's size without its end ends
        // the session unanswered.
        const std::size_t len = (lf == std::string_view::npos ? in.size() : lf) - pos;
        if (len >= ReaderSession::kReadBufferLimit || lf == std::string_view::npos) return want;
        std::string_view line = in.substr(pos, len);
        if (line.ends_with('\r')) line.remove_suffix(1);
        pos = lf + 1;
        const std::string_view word = GetWord(1, line);
        if (EqualsNoCase(word, "QUIT")) {
            // QUIT with an argument is a syntax error, not a farewell.
            if (!GetWord(2, line).empty()) {
                want.push_back("501");
                continue;
            }
            want.push_back("205");
            return want;
        }
        if (!EqualsNoCase(word, "POST")) {
            want.push_back("");
            continue;
        }
        want.push_back("340");
        // The article runs to its "." line; without one nothing more is said.
        while (true) {
            const std::size_t end = in.find('\n', pos);
            if (end == std::string_view::npos) return want;
            const std::string_view l = in.substr(pos, end - pos);
            pos = end + 1;
            if (l == "." || l == ".\r") break;
        }
        want.push_back("2or4");
    }
}

constexpr const char* kCachedGroups[] = {"local.test", "comp.ext", "local.closed", "Mixed.Case"};

std::string IndexLine(const std::string& indexPath) {
    std::string line = fuzz::ReadFile(indexPath);
    line = line.substr(0, line.find('\n'));
    if (line.ends_with('\r')) line.pop_back();
    return line;
}

// Changes local.test under the session; which change and which article
// come from the control byte.
void Mutate(const std::string& news, int control) {
    if (control < 0) return;
    const std::string dir = news + "local.test/";
    const long n = ((control >> 3) & 3) + 1;
    const std::string index = dir + store::IndexFileName(n);
    std::string content = IndexLine(index);
    if (content.empty()) content = dir + store::RawFileName(n);
    const std::string text = "220 " + std::to_string(n) + " <m@x>\r\nSubject: changed " +
                             std::to_string(control) + "\r\nLines: 1\r\n\r\nb\r\n.\r\n";
    switch (control & 7) {
        case 0: ::unlink(index.c_str()); break;
        case 1: fuzz::WriteFile(content, text); break;
        case 2: {
            // Same size, same file: only the times tell.
            std::string old = fuzz::ReadFile(content);
            const std::size_t at = old.find("ubject: ");
            if (at == std::string::npos) break;
            old[at + 8] = static_cast<char>(old[at + 8] ^ 0x20);
            const int fd = ::open(content.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd >= 0) {
                (void)!::pwrite(fd, old.data(), old.size(), 0);
                ::close(fd);
            }
            break;
        }
        case 3: {
            const std::string raw = dir + store::RawFileName(n + 10);
            fuzz::WriteFile(raw, text);
            fuzz::WriteFile(dir + store::IndexFileName(n + 10), raw + "\r\n");
            break;
        }
        case 4: fuzz::WriteFile(index, dir + "one@example.com\r\n"); break;
        case 5: {
            const std::string old = fuzz::ReadFile(content);
            fuzz::WriteFile(content, old.substr(0, old.size() / 2));
            break;
        }
        case 6: {
            const std::string moved = dir + store::RawFileName(99);
            if (::rename(content.c_str(), moved.c_str()) == 0)
                fuzz::WriteFile(index, moved + "\r\n");
            break;
        }
        case 7: fuzz::ResetStore(); break;
    }
}

// The cache the sessions share, as the server's would be.
OverviewCache& SharedCache() {
    static OverviewCache cache;
    return cache;
}

// What the shared cache serves must be what the files say now.
void CheckCache(const std::string& news) {
    static OverviewCache& fresh = []() -> OverviewCache& {
        static OverviewCache c;
        c.DisableWatching();
        c.SetClock([] { return std::time_t{0}; });  // nothing is ever settled, so nothing kept
        return c;
    }();
    OverviewCache& shared = SharedCache();
    for (const char* g : kCachedGroups) {
        const std::string dir = news + g;
        const auto want = fresh.Numbers(dir);
        const auto got = shared.Numbers(dir);
        fuzz::Check((want == nullptr) == (got == nullptr),
                    std::string("listing readable differs: ") + g);
        if (!want) continue;
        fuzz::Check(*want == *got, std::string("stale article listing of ") + g);
        std::string a, b;
        fresh.AppendOverviews(dir, *want, 0, static_cast<std::size_t>(-1), a);
        shared.AppendOverviews(dir, *want, 0, static_cast<std::size_t>(-1), b);
        fuzz::Check(a == b,
                    std::string("stale overview lines in ") + g + ":\n" + b + "\nfiles say:\n" + a);
        for (long n = 1; n <= 20; ++n) {
            const std::string known = shared.KnownContentPath(dir, n);
            if (!known.empty())
                fuzz::Check(known == IndexLine(dir + "/" + store::IndexFileName(n)),
                            "stale content path of article " + std::to_string(n) + " in " + g);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string news = fuzz::ResetStore();
    // Each input starts with nothing cached, so that it reproduces alone.
    SharedCache().Clear();
    const fuzz::Plan plan = fuzz::SplitPlan(data, size);
    {
        fuzz::ReaderDriver driver(news);
        driver.Session().SetOverviewCache(SharedCache());
        driver.SetMutator([&news](int control) {
            if (control >= 0)
                Mutate(news, control);
            else
                CheckCache(news);
        });
        driver.Session().Start(true);
        driver.Feed(plan.data, plan.controls);
        driver.DrainAll();
        CheckCache(news);
        const std::string& out = driver.Output();
        fuzz::Check(out.starts_with(kGreeting), "no greeting");
        const auto got = SplitReplies(std::string_view(out).substr(kGreeting.size()));
        fuzz::Check(got.has_value(), "output does not split into whole replies");
        const std::vector<std::string> want = ExpectedReplies(plan.data);
        fuzz::Check(got->size() == want.size(), "replies: " + std::to_string(got->size()) +
                                                    ", commands: " + std::to_string(want.size()));
        for (std::size_t i = 0; i < want.size(); ++i) {
            const std::string& code = (*got)[i];
            if (want[i] == "2or4")
                fuzz::Check(code == "240" || code == "441", "posting answered " + code);
            else if (!want[i].empty())
                fuzz::Check(code == want[i], "reply " + code + " where " + want[i] + " was due");
        }
    }
    // The session is gone: an unfinished posting's work file must be too,
    // and nothing may exist that a network name put there.
    fuzz::CheckStoreTree();
    return 0;
}
