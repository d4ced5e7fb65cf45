#include "reader/ReaderSession.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <unordered_map>
#include <unordered_set>

#include "core/File.h"
#include "core/Text.h"
#include "reader/ArticleFile.h"
#include "reader/OverviewCache.h"
#include "reader/ReaderText.h"
#include "store/PostQueue.h"
#include "store/StoreNames.h"
#include "store/Subscription.h"

#ifndef QV_VERSION
#define QV_VERSION ""
#endif

namespace {

constexpr std::size_t kChunk = 64 * 1024;       // file bytes read per step
constexpr std::size_t kStatRead = 16 * 1024;    // enough for nearly every header
constexpr std::size_t kHeaderCap = 256 * 1024;  // overview looks no further
constexpr std::size_t kStepBytes = 32 * 1024;   // list output per step
constexpr std::size_t kStepArticles = 256;      // NEWNEWS articles looked at per step
constexpr std::size_t kLogMax = 511;
constexpr std::size_t kKeptOutput = 32 * 1024;  // output buffer kept between replies
// Index files read at most to find the number of an article asked for by
// message-id in the current group; past that its number is given as 0,
// which the protocol allows.
constexpr std::size_t kNumberScanLimit = 10000;

constexpr std::string_view kGreeting = "200 Quorvel Ready - posting allowed \r\n";
constexpr std::string_view kNoSuchArticle = "423 No such article number in this group\r\n";
constexpr std::string_view kNoGroup = "412 No Group Selected.\r\n";
constexpr std::string_view kNoCurrent = "420 No article selected.\r\n";
constexpr std::string_view kNoSuchId = "430 No article with that message-id\r\n";
constexpr std::string_view kEmptyRange = "423 No articles in that range\r\n";
constexpr std::string_view kSyntax = "501 Syntax error\r\n";

std::string Format(const char* fmt, long a, std::string_view s) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, a);
    return std::string(buf) + std::string(s);
}

using files::WriteAll;

using text::TrimBlanks;

// "yyyymmdd" of the local date at t, as the group index writes dates.
std::string LocalDate(std::time_t t) {
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return buf;
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string BaseName(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string Lowered(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// The right-hand side of a generated Message-ID: letters, digits, "-", "_"
// and inner dots only, so that the id is always valid.
std::string IdHost(std::string_view configured) {
    std::string host(TrimBlanks(configured));
    if (host.empty() || host[0] == '!') {
        char buf[256] = {};
        host = ::gethostname(buf, sizeof buf - 1) == 0 ? buf : "";
    }
    std::string clean;
    for (char c : host)
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || (c == '.' && !clean.empty() && clean.back() != '.'))
            clean += c;
    while (!clean.empty() && clean.back() == '.') clean.pop_back();
    return clean.empty() ? "quorvel.invalid" : clean;
}

// A header's value as HDR gives it: the first occurrence, unfolded, TABs as
// blanks; nullopt when the article has no such header.
std::optional<std::string> UnfoldedValue(std::string_view header, std::string_view name) {
    std::optional<std::string> value;
    while (!header.empty()) {
        const std::size_t lf = header.find('\n');
        std::string_view l = header.substr(0, lf);
        if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        if (value) {
            if (l.empty() || (l.front() != ' ' && l.front() != '\t')) break;
            value->append(l);
        } else if (l.size() > name.size() && l[name.size()] == ':' && StartsWithNoCase(l, name)) {
            value = GetHeaderField(l);
        }
        if (lf == std::string_view::npos) break;
        header.remove_prefix(lf + 1);
    }
    if (value)
        for (char& c : *value)
            if (c == '\t') c = ' ';
    return value;
}

}  // namespace

// A long reply in production: each Step appends about one chunk to the
// session's output and returns true when the reply is complete.
struct ReaderSession::Producer {
    virtual ~Producer() = default;
    virtual bool Step(ReaderSession& s) = 0;
};

// ARTICLE, HEAD and BODY: the content file from after its stored status
// line, cut to the header (HEAD) or the body (BODY).
struct ReaderSession::FileReply : ReaderSession::Producer {
    FileReply(std::unique_ptr<ArticleFile> f, Part p) : file(std::move(f)), part(p) {
        pos = static_cast<off_t>(file->StatusLineEnd());
        // HEAD never sends the file's final "." line: it ends with its own.
        limit = part == Part::Head ? file->Size() - 3 : file->Size();
    }

    bool Step(ReaderSession& s) override {
        if (pos >= limit) return Finish(s);
        std::string_view data;
        const std::string& head = file->Head();
        if (pos < static_cast<off_t>(head.size())) {
            data = std::string_view(head).substr(static_cast<std::size_t>(pos));
        } else {
            buf.resize(kChunk);
            ssize_t n;
            do {
                n = ::pread(file->Fd(), buf.data(), kChunk, pos);
            } while (n < 0 && errno == EINTR);
            if (n <= 0) {
                // The file shrank or failed under us: close the reply
                // properly rather than leave the reader waiting.
                s.Append("\r\n.\r\n");
                return true;
            }
            data = std::string_view(buf.data(), static_cast<std::size_t>(n));
        }
        if (static_cast<off_t>(data.size()) > limit - pos)
            data = data.substr(0, static_cast<std::size_t>(limit - pos));
        if (part == Part::Article || inBody) {
            pos += static_cast<off_t>(data.size());
            s.Append(data);
            return pos >= limit ? Finish(s) : false;
        }
        // HEAD and BODY look for the empty line that ends the header, so
        // they take whole lines only: the rest of a cut line comes next step.
        if (pos + static_cast<off_t>(data.size()) < limit) {
            const std::size_t lastLf = data.rfind('\n');
            if (lastLf != std::string_view::npos) data = data.substr(0, lastLf + 1);
        }
        pos += static_cast<off_t>(data.size());
        for (std::size_t i = 0; i < data.size();) {
            const std::size_t lf = data.find('\n', i);
            const std::size_t end = lf == std::string_view::npos ? data.size() : lf;
            const std::string_view line = data.substr(i, end - i);
            const bool empty =
                atLineStart && lf != std::string_view::npos && (line.empty() || line == "\r");
            atLineStart = lf != std::string_view::npos;
            if (empty) {
                if (part == Part::Head) {
                    // HEAD ends with the last header line.
                    s.Append(data.substr(0, i));
                    s.Append(".\r\n");
                    return true;
                }
                inBody = true;
                s.Append(data.substr(lf + 1));
                return pos >= limit ? Finish(s) : false;
            }
            i = end + 1;
        }
        if (part == Part::Head) s.Append(data);
        return pos >= limit ? Finish(s) : false;
    }

    bool Finish(ReaderSession& s) {
        // An article without an empty line: HEAD sent all of it, BODY is empty.
        if (part == Part::Head || (part == Part::Body && !inBody)) s.Append(".\r\n");
        return true;
    }

    std::unique_ptr<ArticleFile> file;
    Part part;
    off_t pos = 0;
    off_t limit = 0;
    bool inBody = false;
    bool atLineStart = true;
    std::string buf;
};

// LIST ACTIVE and NEWGROUPS: one line per group of the index, in index
// order, with the water marks of the articles that exist.
struct ReaderSession::GroupListReply : ReaderSession::Producer {
    GroupListReply(store::GroupTable t, std::string w)
        : table(std::move(t)), wildmat(std::move(w)) {}

    bool Step(ReaderSession& s) override {
        std::size_t produced = 0;
        const auto& groups = table.Groups();
        while (i < groups.size() && produced < kStepBytes) {
            const store::GroupEntry& e = groups[i++];
            if (!wildmat.empty() && !WildmatMatch(wildmat, e.name)) continue;
            if (newgroups && !(e.addDate > date || (e.addDate == date && e.addTime > time)))
                continue;
            const auto dir = store::GroupDirectory(s.newsDir_, e.name);
            const auto list = dir ? s.Overviews().Numbers(*dir) : nullptr;
            const Marks m = MarksOf(e.info, list.get());
            char nums[64];
            std::snprintf(nums, sizeof nums, " %010ld %010ld %s \r\n", m.high, m.low,
                          e.info.allowPost ? "y" : "n");
            s.Append(e.name);
            s.Append(nums);
            produced += e.name.size() + std::strlen(nums);
        }
        if (i < groups.size()) return false;
        s.Append(".\r\n");
        return true;
    }

    store::GroupTable table;  // the index as it was when the command came
    std::string wildmat;      // empty: every group
    bool newgroups = false;
    std::string date, time;  // NEWGROUPS: added after this local "yyyymmdd" "hhmmss"
    std::size_t i = 0;
};

// LISTGROUP: the article numbers, one a line.
struct ReaderSession::NumberListReply : ReaderSession::Producer {
    explicit NumberListReply(std::vector<long> n) : numbers(std::move(n)) {}

    bool Step(ReaderSession& s) override {
        std::size_t produced = 0;
        char line[32];
        while (i < numbers.size() && produced < kStepBytes) {
            const int len = std::snprintf(line, sizeof line, "%ld\r\n", numbers[i++]);
            s.Append(std::string_view(line, static_cast<std::size_t>(len)));
            produced += static_cast<std::size_t>(len);
        }
        if (i < numbers.size()) return false;
        s.Append(".\r\n");
        return true;
    }

    std::vector<long> numbers;
    std::size_t i = 0;
};

// XOVER, OVER, XHDR and HDR: one line per existing article of the range.
struct ReaderSession::OverviewReply : ReaderSession::Producer {
    enum class Kind { Xover, Xhdr, Hdr };
    OverviewReply(Kind k, std::string g, std::vector<long> n, std::string h, std::string dir)
        : kind(k),
          group(std::move(g)),
          numbers(std::move(n)),
          header(std::move(h)),
          groupDir(std::move(dir)) {}

    bool Step(ReaderSession& s) override {
        if (kind == Kind::Xover) {
            // From the shared cache, which first takes in every change
            // reported since, so nothing it serves is stale.
            if (groupDir.empty()) i = numbers.size();
            i = s.Overviews().AppendOverviews(groupDir, numbers, i, kStepBytes, s.out_);
            if (i < numbers.size()) return false;
            s.Append(".\r\n");
            return true;
        }
        std::size_t produced = 0;
        while (i < numbers.size() && produced < kStepBytes) {
            const std::size_t before = s.out_.size();
            Line(s, numbers[i++]);
            produced += s.out_.size() - before;
        }
        if (i < numbers.size()) return false;
        s.Append(".\r\n");
        return true;
    }

    // One header of one article, read from its files.
    void Line(ReaderSession& s, long n) {
        const store::ArticleLookup look = s.index_.ResolveArticle(group, n);
        if (look.status != store::ArticleStatus::kFound) return;
        ArticleFile f;
        // An article whose content file is missing or still arriving is
        // left out, as ARTICLE would refuse it.
        if (!f.Open(look.contentPath, 8192)) return;
        f.ExtendHeader(kHeaderCap);
        if (kind == Kind::Hdr) {
            s.Append(HdrLine(f, n, header));
            return;
        }
        // XHDR: the rest of the first line of the header after its colon,
        // as it stands; the counted lines stand in for a missing Lines.
        std::string_view text = f.HeaderText();
        while (!text.empty()) {
            const std::size_t lf = text.find('\n');
            std::string_view l = text.substr(0, lf);
            if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
            if (l.size() > header.size() && l[header.size()] == ':' &&
                StartsWithNoCase(l, header)) {
                s.SendTcp(Format("%ld ", n, l.substr(header.size() + 1)) + "\r\n");
                return;
            }
            if (lf == std::string_view::npos) break;
            text.remove_prefix(lf + 1);
        }
        if (EqualsNoCase(header, "Lines")) {
            const long lines = f.BodyLines();
            if (lines >= 0) s.SendTcp(Format("%ld ", n, std::to_string(lines)) + "\r\n");
        }
    }

    Kind kind;
    std::string group;
    std::vector<long> numbers;
    std::string header;  // XHDR and HDR: the field asked for
    std::string groupDir;
    std::size_t i = 0;
};

// LIST NEWSGROUPS: the index's own descriptions of its groups, then for the
// others what the upstream's description file says, read a step at a time.
struct ReaderSession::DescriptionReply : ReaderSession::Producer {
    DescriptionReply(store::GroupTable t, std::string w, std::string file)
        : table(std::move(t)), wildmat(std::move(w)), descFile(std::move(file)) {}

    bool Step(ReaderSession& s) override {
        std::size_t produced = 0;
        const auto& groups = table.Groups();
        while (i < groups.size() && produced < kStepBytes) {
            const store::GroupEntry& e = groups[i++];
            if (!wildmat.empty() && !WildmatMatch(wildmat, e.name)) continue;
            if (e.description.empty()) {
                waiting.emplace(Lowered(e.name), e.name);
                continue;
            }
            produced += Emit(s, e.name, e.description);
        }
        if (i < groups.size()) return false;
        if (!waiting.empty() && !descFile.empty()) {
            if (!in.is_open()) {
                in.open(descFile, std::ios::binary);
                descFile.clear();  // opened once, whatever the outcome
            }
            std::string line;
            while (in && produced < kStepBytes && !waiting.empty() && std::getline(in, line)) {
                if (!line.empty() && line.back() == '\r') line.pop_back();
                const std::size_t tab = line.find_first_of("\t ");
                if (tab == std::string::npos) continue;
                const auto it = waiting.find(Lowered(std::string_view(line).substr(0, tab)));
                const std::string_view desc = TrimBlanks(std::string_view(line).substr(tab + 1));
                if (it == waiting.end() || desc.empty()) continue;
                produced += Emit(s, it->second, desc);
                waiting.erase(it);
            }
            if (in && !waiting.empty() && produced >= kStepBytes) return false;
        }
        s.Append(".\r\n");
        return true;
    }

    static std::size_t Emit(ReaderSession& s, std::string_view name, std::string_view desc) {
        const std::size_t before = s.out_.size();
        s.Append(name);
        s.Append("\t");
        s.Append(desc);
        s.Append("\r\n");
        return s.out_.size() - before;
    }

    store::GroupTable table;
    std::string wildmat;
    std::string descFile;  // cleared once opened
    std::ifstream in;
    std::unordered_map<std::string, std::string> waiting;  // lower-case name -> index name
    std::size_t i = 0;
};

// NEWNEWS: the message-ids of the articles whose index files were written
// since the given moment, in the groups the wildmat names, each id once.
struct ReaderSession::NewnewsReply : ReaderSession::Producer {
    NewnewsReply(std::vector<std::string> g, std::time_t t) : groups(std::move(g)), since(t) {}

    bool Step(ReaderSession& s) override {
        std::size_t looked = 0;
        while (gi < groups.size() && looked < kStepArticles) {
            const auto dir = store::GroupDirectory(s.newsDir_, groups[gi]);
            if (!numbers) {
                numbers = dir ? s.Overviews().Numbers(*dir) : nullptr;
                ni = 0;
            }
            if (!numbers || ni >= numbers->size()) {
                numbers.reset();
                ++gi;
                continue;
            }
            const long n = (*numbers)[ni++];
            ++looked;
            const auto indexPath = s.index_.IndexFilePath(groups[gi], n);
            struct stat st {};
            if (!indexPath || ::stat(indexPath->c_str(), &st) != 0 || st.st_mtime < since) continue;
            const store::ArticleLookup look = s.index_.ResolveArticle(groups[gi], n);
            ArticleFile f;
            if (look.status != store::ArticleStatus::kFound || !f.Open(look.contentPath, 8192))
                continue;
            f.ExtendHeader(kHeaderCap);
            const std::string id = "<" + f.MessageId() + ">";
            if (seen.insert(id).second) {
                s.Append(id);
                s.Append("\r\n");
            }
        }
        if (gi < groups.size()) return false;
        s.Append(".\r\n");
        return true;
    }

    std::vector<std::string> groups;
    std::time_t since;
    std::size_t gi = 0;
    std::shared_ptr<const std::vector<long>> numbers;
    std::size_t ni = 0;
    std::unordered_set<std::string> seen;
};

// HDR's line of one article: "n value"; only the number when the article
// lacks the field. ":bytes" and ":lines" are counted; a missing Lines header
// is counted too, as XOVER shows it.
std::string ReaderSession::HdrLine(const ArticleFile& f, long n, std::string_view field) {
    std::optional<std::string> value;
    if (EqualsNoCase(field, ":bytes")) {
        value = std::to_string(static_cast<long long>(f.Size()));
    } else if (EqualsNoCase(field, ":lines")) {
        const long lines = f.BodyLines();
        if (lines >= 0) value = std::to_string(lines);
    } else if (EqualsNoCase(field, "Lines")) {
        value = f.LinesValue();
    } else {
        value = UnfoldedValue(f.HeaderText(), field);
    }
    std::string line = std::to_string(n);
    if (value && !value->empty()) line += " " + *value;
    return line + "\r\n";
}

ReaderSession::ReaderSession(std::string newsDir, std::string peer)
    : newsDir_(std::move(newsDir)), peer_(std::move(peer)), index_(newsDir_) {}

ReaderSession::~ReaderSession() {
    if (posting_) DropWorkFile();
    WriteHighs();
}

void ReaderSession::WriteHighs() {
    if (givenHighs_.empty()) return;
    const std::vector<std::pair<std::string, long>> highs(givenHighs_.begin(), givenHighs_.end());
    if (!index_.RaiseHighs(highs)) UpdLog("*ERROR* Could not write High to the group index.");
    givenHighs_.clear();
    highsUnwritten_ = 0;
}

void ReaderSession::UpdLog(std::string_view text) {
    std::string line = "[" + peer_ + "] ";
    line.append(text);
    if (line.size() > kLogMax) line.resize(kLogMax);
    for (char& c : line)
        if (c == '\r' || c == '\n') c = ' ';
    if (log_) log_(line);
}

OverviewCache& ReaderSession::Overviews() {
    if (overviews_ == nullptr) {
        ownOverviews_ = std::make_unique<OverviewCache>();
        overviews_ = ownOverviews_.get();
    }
    return *overviews_;
}

void ReaderSession::SendTcp(std::string_view text) {
    if (text.empty()) return;
    if (logFlag_) UpdLog("S:" + std::string(text));
    Append(text);
}

void ReaderSession::Start(bool admitted) {
    if (admitted) {
        SendTcp(kGreeting);
    } else {
        SendTcp("502 Access Denied \r\n");
        ended_ = true;
    }
}

void ReaderSession::Abort() {
    ended_ = true;
    producer_.reset();
    if (posting_) DropWorkFile();
    WriteHighs();
}

bool ReaderSession::Idle() const {
    return !producer_ && Pending() == 0 &&
           (posting_ || in_.find('\n', inHead_) == std::string::npos);
}

std::string_view ReaderSession::Output() const { return std::string_view(out_).substr(outHead_); }

void ReaderSession::Consume(std::size_t n) {
    outHead_ = std::min(out_.size(), outHead_ + n);
    if (outHead_ == out_.size()) {
        // An idle session keeps no more than a small reply's worth.
        if (!producer_ && out_.capacity() > kKeptOutput)
            std::string().swap(out_);
        else
            out_.clear();
        outHead_ = 0;
    } else if (outHead_ >= kChunk) {
        out_.erase(0, outHead_);
        outHead_ = 0;
    }
}

std::size_t ReaderSession::InputRoom() const {
    if (ended_) return 0;
    const std::size_t held = in_.size() - inHead_;
    if (held >= kReadBufferLimit) return 0;
    const bool busy = producer_ != nullptr || Pending() >= kOutputHighWater;
    if (!posting_ && busy && held >= kBusyInputLimit) return 0;
    return kReadBufferLimit - held;
}

void ReaderSession::Receive(std::string_view bytes) {
    if (ended_ || bytes.empty()) return;
    if (inHead_ > 0) {
        in_.erase(0, inHead_);
        inHead_ = 0;
    }
    in_.append(bytes);
    Advance();
    if (!ended_ && !posting_ && in_.size() - inHead_ >= kReadBufferLimit &&
        in_.find('\n', inHead_) == std::string::npos) {
        UpdLog("!!Buffer Overflow!!");
        ended_ = true;
    }
}

void ReaderSession::Advance() {
    while (!ended_) {
        if (producer_) {
            if (Pending() >= kOutputHighWater) return;
            if (producer_->Step(*this)) {
                producer_.reset();
                logFlag_ = true;
            }
            continue;
        }
        if (posting_) {
            TcpReadFile();
            if (posting_) return;
            continue;
        }
        if (Pending() >= kOutputHighWater) return;
        std::optional<std::string> line = TakeLine();
        if (!line) return;
        MsgNewRequest(*line);
    }
}

std::optional<std::string> ReaderSession::TakeLine() {
    const std::size_t lf = in_.find('\n', inHead_);
    if (lf == std::string::npos) return std::nullopt;
    std::size_t end = lf;
    if (end > inHead_ && in_[end - 1] == '\r') --end;  // the CR of CR LF, wherever it arrived
    std::string line = in_.substr(inHead_, end - inHead_);
    inHead_ = lf + 1;
    if (inHead_ == in_.size()) {
        in_.clear();
        inHead_ = 0;
    }
    return line;
}

void ReaderSession::MsgNewRequest(std::string_view line) {
    using Handler = void (ReaderSession::*)();
    struct Command {
        std::string_view word;
        Handler handler;
    };
    // Command words match whole and without regard to case: LISTGROUP is
    // not LIST. An unknown word still gets a reply, or the reader waits.
    static constexpr Command kCommands[] = {
        {"MODE", &ReaderSession::DoMode},
        {"ARTICLE", &ReaderSession::DoArticle},
        {"BODY", &ReaderSession::DoBody},
        {"HEAD", &ReaderSession::DoHead},
        {"STAT", &ReaderSession::DoStat},
        {"GROUP", &ReaderSession::DoGroup},
        {"HELP", &ReaderSession::DoHelp},
        {"IHAVE", &ReaderSession::DoIhave},
        {"LAST", &ReaderSession::DoLast},
        {"LIST", &ReaderSession::DoList},
        {"NEWGROUPS", &ReaderSession::DoNewgroups},
        {"NEWNEWS", &ReaderSession::DoNewnews},
        {"NEXT", &ReaderSession::DoNext},
        {"POST", &ReaderSession::DoPost},
        {"QUIT", &ReaderSession::DoQuit},
        {"SLAVE", &ReaderSession::DoSlave},
        {"XOVER", &ReaderSession::DoXover},
        {"XHDR", &ReaderSession::DoXhdr},
        {"AUTHINFO", &ReaderSession::DoAuthinfo},
        {"CAPABILITIES", &ReaderSession::DoCapabilities},
        {"DATE", &ReaderSession::DoDate},
        {"LISTGROUP", &ReaderSession::DoListgroup},
        {"OVER", &ReaderSession::DoOver},
        {"HDR", &ReaderSession::DoHdr},
    };
    line_.assign(line);
    const std::string_view word = GetWord(1, line_);
    // Passwords stay out of the log.
    if (EqualsNoCase(word, "AUTHINFO") && EqualsNoCase(GetWord(2, line_), "PASS"))
        UpdLog("C:AUTHINFO PASS ******** ");
    else
        UpdLog("C:" + line_ + " ");
    for (const Command& c : kCommands) {
        if (EqualsNoCase(word, c.word)) {
            (this->*c.handler)();
            line_.clear();
            return;
        }
    }
    SendTcp("500 Command not recognized\r\n");
    line_.clear();
}

// ---- small commands

std::time_t ReaderSession::Now() const { return now_ ? now_() : std::time(nullptr); }

void ReaderSession::DoMode() {
    // MODE READER is the only variant: this server is always a reader server.
    if (EqualsNoCase(GetWord(2, line_), "READER"))
        SendTcp(kGreeting);
    else
        SendTcp("501 Unknown MODE variant\r\n");
}
void ReaderSession::DoIhave() { SendTcp("435 Article not wanted\r\n"); }
void ReaderSession::DoSlave() { SendTcp("202 Slave Status Noted.\r\n"); }
void ReaderSession::DoAuthinfo() { SendTcp("200 ok\r\n"); }

void ReaderSession::DoQuit() {
    if (!GetWord(2, line_).empty()) {
        SendTcp(kSyntax);
        return;
    }
    SendTcp("205 .\r\n");
    ended_ = true;
}

void ReaderSession::DoCapabilities() {
    // Only what this server really does; AUTHINFO is accepted but not
    // offered, since it checks nothing.
    SendTcp("101 Capability list:\r\n");
    Append(
        "VERSION 2\r\n"
        "READER\r\n"
        "POST\r\n"
        "LIST ACTIVE NEWSGROUPS OVERVIEW.FMT HEADERS\r\n"
        "OVER MSGID\r\n"
        "HDR\r\n"
        "NEWNEWS\r\n"
        "IMPLEMENTATION Quorvel " QV_VERSION
        "\r\n"
        ".\r\n");
}

void ReaderSession::DoDate() {
    const std::time_t t = Now();
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "111 %04d%02d%02d%02d%02d%02d\r\n", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    SendTcp(buf);
}

void ReaderSession::DoHelp() {
    SendTcp(
        "100 Legal Commands.\r\n"
        "ARTICLE <MESSAGE-ID> | ARTICLE NUMBER \r\n"
        "BODY <MESSAGE-ID> | ARTICLE NUMBER \r\n"
        "STAT <MESSAGE-ID> | ARTICLE NUMBER \r\n"
        "HEAD <MESSAGE-ID> | ARTICLE NUMBER \r\n"
        "GROUP group.name \r\n"
        "LAST \r\n"
        "NEXT \r\n"
        "LIST \r\n"
        "POST \r\n"
        "QUIT \r\n"
        "XHDR \r\n"
        ".\r\n");
}

// ---- groups

std::string ReaderSession::CanonicalGroup(const std::string& name) const {
    struct stat st {};
    if (::stat((newsDir_ + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return name;
    for (const std::string& listed : index_.ListGroups())
        if (EqualsNoCase(listed, name)) return listed;
    return name;
}

ReaderSession::Marks ReaderSession::MarksOf(const store::GroupInfo& info,
                                            const std::vector<long>* list) {
    // Readers count unread articles from these: low is the first article
    // that exists (the stored Low only moves with the expire run), and an
    // empty group has low = high + 1. High may lag behind a feed that has
    // not finished the group yet.
    Marks m;
    m.count = list ? static_cast<long>(list->size()) : 0;
    m.high = std::max(info.high, m.count > 0 ? list->back() : 0L);
    m.low = m.count > 0 ? list->front() : m.high + 1;
    return m;
}

bool ReaderSession::SelectGroup(const std::string& name, Marks& marks) {
    listing_.reset();
    cursor_ = 0;
    if (!store::IsSafeGroupName(name)) {
        // Never a path: such a name is no group and selects nothing.
        group_.clear();
        SendTcp("411 No such group.\r\n");
        return false;
    }
    const auto info = index_.ReadGroup(name);
    if (!info) {
        group_ = name;
        SendTcp("411 No such group.\r\n");
        return false;
    }
    group_ = CanonicalGroup(name);
    const std::vector<long>* list = Listing(true);
    marks = MarksOf(*info, list);
    cursor_ = current_ = (list && !list->empty()) ? list->front() : 0;
    return true;
}

void ReaderSession::DoGroup() {
    const std::string name(GetWord(2, line_));
    Marks m;
    if (!SelectGroup(name, m)) return;
    char buf[96];
    std::snprintf(buf, sizeof buf, "211 %ld %ld %ld ", m.count, m.low, m.high);
    SendTcp(std::string(buf) + name + " group selected\r\n");
}

void ReaderSession::DoListgroup() {
    std::string name(GetWord(2, line_));
    const std::string_view rangeText = GetWord(3, line_);
    if (name.empty()) {
        if (group_.empty()) {
            SendTcp(kNoGroup);
            return;
        }
        name = group_;
    }
    Marks m;
    if (!SelectGroup(name, m)) return;
    ArticleRange r{m.low, m.high, false};
    if (!rangeText.empty()) {
        r = ParseRange(rangeText);
        if (r.openEnd) r.last = std::max(m.high, r.first);
        if (r.first < 1 && !(r.first == 0 && r.last > 0)) {
            SendTcp(kSyntax);
            return;
        }
    }
    char buf[96];
    std::snprintf(buf, sizeof buf, "211 %ld %ld %ld ", m.count, m.low, m.high);
    SendTcp(std::string(buf) + group_ + " list follows\r\n");
    logFlag_ = false;
    producer_ = std::make_unique<NumberListReply>(ArticlesInRange(r.first, r.last));
}

store::ArticleLookup ReaderSession::Resolve(long number) {
    // The overview cache knows the path of an article whose index file has
    // not changed since it was read; otherwise the index file is read.
    if (const auto dir = store::GroupDirectory(newsDir_, group_)) {
        std::string path = Overviews().KnownContentPath(*dir, number);
        if (!path.empty())
            return store::ArticleLookup{store::ArticleStatus::kFound, std::move(path)};
    }
    return index_.ResolveArticle(group_, number);
}

const std::vector<long>* ReaderSession::Listing(bool reload) {
    if (group_.empty()) return nullptr;
    if (!listing_ || reload) {
        const auto dir = store::GroupDirectory(newsDir_, group_);
        listing_ = dir ? Overviews().Numbers(*dir) : nullptr;
    }
    return listing_.get();
}

std::vector<long> ReaderSession::ArticlesInRange(long first, long last) {
    std::vector<long> out;
    const std::vector<long>* list = Listing(true);
    if (!list || first > last) return out;
    auto lo = std::lower_bound(list->begin(), list->end(), first);
    auto hi = std::upper_bound(list->begin(), list->end(), last);
    if (lo < hi) out.assign(lo, hi);
    return out;
}

void ReaderSession::DoList() {
    const std::string_view kw = GetWord(2, line_);
    const std::string wildmat(GetWord(3, line_));
    if (kw.empty() || EqualsNoCase(kw, "ACTIVE")) {
        SendTcp("215 Newsgroups follow\r\n");
        logFlag_ = false;
        producer_ = std::make_unique<GroupListReply>(index_.ReadTable(), wildmat);
    } else if (EqualsNoCase(kw, "OVERVIEW.FMT")) {
        SendTcp("215 Order of fields in overview database.\r\n");
        Append(
            "Subject:\r\nFrom:\r\nDate:\r\nMessage-ID:\r\nReferences:\r\nBytes:\r\nLines:\r\n."
            "\r\n");
    } else if (EqualsNoCase(kw, "HEADERS")) {
        if (!wildmat.empty() && !EqualsNoCase(wildmat, "MSGID") &&
            !EqualsNoCase(wildmat, "RANGE")) {
            SendTcp(kSyntax);
            return;
        }
        // HDR takes any header, and counts bytes and lines.
        SendTcp("215 Header and metadata list follows\r\n");
        Append(":\r\n:bytes\r\n:lines\r\n.\r\n");
    } else if (EqualsNoCase(kw, "NEWSGROUPS")) {
        SendTcp("215 Descriptions follow\r\n");
        logFlag_ = false;
        producer_ = std::make_unique<DescriptionReply>(
            index_.ReadTable(), wildmat, allGroupsFile_.empty() ? "" : allGroupsFile_ + ".desc");
    } else {
        SendTcp(kSyntax);
    }
}

void ReaderSession::DoNewgroups() {
    const std::string_view time = GetWord(3, line_);
    const std::string_view fourth = GetWord(4, line_);
    const bool gmt = EqualsNoCase(fourth, "GMT");
    const auto date = NewgroupsDate(GetWord(2, line_), LocalDate(Now()));
    const auto since = date ? CommandTime(*date, time, gmt) : std::nullopt;
    if (!since) {
        SendTcp(kSyntax);
        return;
    }
    // The index holds local dates and times of addition.
    std::tm tm{};
    ::localtime_r(&*since, &tm);
    char t[48];
    std::snprintf(t, sizeof t, "%02d%02d%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
    // A further word is a wildmat; RFC 977's distributions in angle brackets
    // are ignored as before.
    std::string wildmat(GetWord(gmt ? 5 : 4, line_));
    if (wildmat.starts_with('<')) wildmat.clear();
    SendTcp("231 New newsgroups follow\r\n");
    logFlag_ = false;
    auto reply = std::make_unique<GroupListReply>(index_.ReadTable(), wildmat);
    reply->newgroups = true;
    reply->date = LocalDate(*since);
    reply->time = t;
    producer_ = std::move(reply);
}

void ReaderSession::DoNewnews() {
    const std::string wildmat(GetWord(2, line_));
    const auto date = NewgroupsDate(GetWord(3, line_), LocalDate(Now()));
    const bool gmt = EqualsNoCase(GetWord(5, line_), "GMT");
    const auto since = date ? CommandTime(*date, GetWord(4, line_), gmt) : std::nullopt;
    if (wildmat.empty() || !since) {
        SendTcp(kSyntax);
        return;
    }
    std::vector<std::string> groups;
    for (std::string& g : index_.ListGroups())
        if (WildmatMatch(wildmat, g)) groups.push_back(std::move(g));
    SendTcp("230 list of new articles by message-id follows\r\n");
    logFlag_ = false;
    producer_ = std::make_unique<NewnewsReply>(std::move(groups), *since);
}

// ---- articles

std::optional<ReaderSession::Found> ReaderSession::FindById(std::string_view arg) {
    const std::string_view id = BareMessageId(arg);
    const std::string name = store::SafeArticleName(id);
    if (id.empty() || name.empty()) return std::nullopt;
    // The content file is named after the id (as the feed and posting name
    // it), so each group costs one look at its directory.
    std::vector<std::string> groups;
    if (!group_.empty()) groups.push_back(group_);
    for (std::string& g : index_.ListGroups())
        if (group_.empty() || !EqualsNoCase(g, group_)) groups.push_back(std::move(g));
    for (std::size_t k = 0; k < groups.size(); ++k) {
        const auto dir = store::GroupDirectory(newsDir_, groups[k]);
        if (!dir) continue;
        std::string path = *dir + "/" + name;
        if (!IsRegularFile(path)) continue;
        Found f{groups[k], path, 0};
        if (k == 0 && !group_.empty()) f.number = NumberInCurrentGroup(path);
        return f;
    }
    return std::nullopt;
}

long ReaderSession::NumberInCurrentGroup(const std::string& path) {
    const std::string name = BaseName(path);
    const auto names = [&](long n) {
        const store::ArticleLookup look = Resolve(n);
        return look.status == store::ArticleStatus::kFound && BaseName(look.contentPath) == name;
    };
    // A local posting's stored status line carries its number in this group.
    ArticleFile f;
    if (f.Open(path, 64)) {
        const long candidate = ToNumber(GetWord(2, f.Head()));
        if (candidate > 0 && names(candidate)) return candidate;
    }
    const std::vector<long>* list = Listing(true);
    if (!list) return 0;
    std::size_t looked = 0;
    for (auto it = list->rbegin(); it != list->rend() && looked < kNumberScanLimit; ++it, ++looked)
        if (names(*it)) return *it;
    return 0;
}

void ReaderSession::ArticleCommand(Part part) {
    const std::string_view arg = GetWord(2, line_);
    if (arg.find('<') != std::string_view::npos) {
        ArticleById(part, arg);
        return;
    }
    if (group_.empty()) {
        SendTcp(kNoGroup);
        return;
    }
    const long n = ToNumber(arg);
    const bool byNumber = n > 0;
    if (byNumber) current_ = n;
    if (current_ < 1) {
        SendTcp(kNoCurrent);
        return;
    }
    if (byNumber) cursor_ = n;
    const store::ArticleLookup look = Resolve(current_);
    if (look.status == store::ArticleStatus::kNoSuchArticle) {
        SendTcp("423 Internal index error.\r\n");
        return;
    }
    auto file = std::make_unique<ArticleFile>();
    if (look.status != store::ArticleStatus::kFound || !file->Open(look.contentPath, kChunk)) {
        SendTcp(kNoSuchArticle);
        return;
    }
    const char* code = part == Part::Article ? "220" : part == Part::Head ? "221" : "222";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s %ld <", code, current_);
    SendTcp(std::string(buf) + file->MessageId() + ">\r\n");
    if (part == Part::Article) UpdLog("S:<" + look.contentPath + "> transmitting file.");
    logFlag_ = false;
    producer_ = std::make_unique<FileReply>(std::move(file), part);
}

void ReaderSession::ArticleById(Part part, std::string_view id) {
    // The current group and article stay as they are.
    const auto found = FindById(id);
    auto file = std::make_unique<ArticleFile>();
    if (!found || !file->Open(found->path, kChunk)) {
        SendTcp(kNoSuchId);
        return;
    }
    const char* code = part == Part::Article ? "220" : part == Part::Head ? "221" : "222";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s %ld <", code, found->number);
    SendTcp(std::string(buf) + file->MessageId() + ">\r\n");
    if (part == Part::Article) UpdLog("S:<" + found->path + "> transmitting file.");
    logFlag_ = false;
    producer_ = std::make_unique<FileReply>(std::move(file), part);
}

void ReaderSession::DoStat() {
    const std::string_view arg = GetWord(2, line_);
    if (arg.find('<') != std::string_view::npos) {
        const auto found = FindById(arg);
        ArticleFile file;
        if (!found || !file.Open(found->path, kStatRead)) {
            SendTcp(kNoSuchId);
            return;
        }
        file.ExtendHeader(kHeaderCap);
        SendTcp(Format("223 %ld <", found->number, file.MessageId()) + ">\r\n");
        return;
    }
    if (group_.empty()) {
        SendTcp(kNoGroup);
        return;
    }
    if (arg.empty()) {
        // The current article: after GROUP, the group's first.
        if (current_ < 1) {
            SendTcp(kNoCurrent);
            return;
        }
        StatArticle(current_);
        return;
    }
    StatArticle(ToNumber(arg));
}

void ReaderSession::StatArticle(long number) {
    current_ = number;
    const store::ArticleLookup look = Resolve(number);
    if (number < 1 || look.status == store::ArticleStatus::kNoSuchArticle) {
        SendTcp("423 Bad Article Number.\r\n");
        return;
    }
    cursor_ = number;
    ArticleFile file;
    if (look.status != store::ArticleStatus::kFound || !file.Open(look.contentPath, kStatRead)) {
        SendTcp(kNoSuchArticle);
        return;
    }
    file.ExtendHeader(kHeaderCap);
    SendTcp(Format("223 %ld <", number, file.MessageId()) + ">\r\n");
}

void ReaderSession::DoNext() { MoveCurrent(true); }
void ReaderSession::DoLast() { MoveCurrent(false); }

void ReaderSession::MoveCurrent(bool forward) {
    if (group_.empty()) {
        SendTcp(kNoGroup);
        return;
    }
    if (current_ < 1) {
        SendTcp(kNoCurrent);
        return;
    }
    // The listing was read once; articles fetched since, or expired since,
    // are found by reading it again when it runs out.
    for (int pass = 0; pass < 2; ++pass) {
        const std::vector<long>* list = Listing(pass == 1);
        if (!list) break;
        auto it = forward ? std::upper_bound(list->begin(), list->end(), cursor_)
                          : std::lower_bound(list->begin(), list->end(), cursor_);
        while (forward ? it != list->end() : it != list->begin()) {
            const long n = forward ? *it++ : *--it;
            if (!index_.ArticleExists(group_, n)) continue;
            StatArticle(n);
            return;
        }
    }
    SendTcp(forward ? "421 No next to retrieve.\r\n" : "422 No previous to retrieve.\r\n");
}

// ---- overview

std::unique_ptr<ArticleFile> ReaderSession::OpenById(std::string_view id, long& number) {
    const auto found = FindById(id);
    auto f = std::make_unique<ArticleFile>();
    if (!found || !f->Open(found->path, 8192)) {
        SendTcp(kNoSuchId);
        return nullptr;
    }
    f->ExtendHeader(kHeaderCap);
    number = found->number;
    return f;
}

std::optional<std::vector<long>> ReaderSession::RangeArticles(std::string_view arg, bool rfc) {
    if (group_.empty()) {
        SendTcp("412 No group selected.\r\n");
        return std::nullopt;
    }
    ArticleRange r;
    if (arg.empty()) {
        if (current_ < 1) {
            SendTcp(kNoCurrent);
            return std::nullopt;
        }
        r.first = r.last = current_;
    } else {
        r = ParseRange(arg);
        if (r.first < 1 || (!r.openEnd && r.last < 1)) {
            SendTcp(kSyntax);
            return std::nullopt;
        }
        if (r.openEnd) {
            const auto info = index_.ReadGroup(group_);
            const std::vector<long>* list = Listing(true);
            r.last = std::max(info ? info->high : 0L, list && !list->empty() ? list->back() : 0L);
        }
    }
    std::vector<long> numbers = ArticlesInRange(r.first, r.last);
    // The old X-forms answer an empty range with an empty list, as they did.
    if (rfc && numbers.empty()) {
        SendTcp(arg.empty() ? kNoCurrent : kEmptyRange);
        return std::nullopt;
    }
    return numbers;
}

void ReaderSession::OverCommand(bool rfc) {
    const std::string_view arg = GetWord(2, line_);
    if (arg.find('<') != std::string_view::npos) {
        long number = 0;
        if (const auto f = OpenById(arg, number)) {
            SendTcp("224 Data follows\r\n");
            Append(std::to_string(number) + "\t" + OverviewFields(*f) + ".\r\n");
        }
        return;
    }
    auto numbers = RangeArticles(arg, rfc);
    if (!numbers) return;
    SendTcp("224 Data follows\r\n");
    logFlag_ = false;
    producer_ =
        std::make_unique<OverviewReply>(OverviewReply::Kind::Xover, group_, std::move(*numbers), "",
                                        store::GroupDirectory(newsDir_, group_).value_or(""));
}

void ReaderSession::HdrCommand(bool rfc) {
    const std::string header(GetWord(2, line_));
    const std::string_view arg = GetWord(3, line_);
    if (header.empty()) {
        SendTcp(kSyntax);
        return;
    }
    if (header.starts_with(':') && !EqualsNoCase(header, ":bytes") &&
        !EqualsNoCase(header, ":lines")) {
        SendTcp("503 No such metadata item\r\n");
        return;
    }
    const std::string status =
        rfc ? "225 Headers follow\r\n" : "221 " + header + " fields follow.\r\n";
    if (arg.find('<') != std::string_view::npos) {
        long number = 0;
        if (const auto f = OpenById(arg, number)) {
            SendTcp(status);
            Append(HdrLine(*f, number, header) + ".\r\n");
        }
        return;
    }
    auto numbers = RangeArticles(arg, rfc);
    if (!numbers) return;
    SendTcp(status);
    if (rfc) logFlag_ = false;
    producer_ =
        std::make_unique<OverviewReply>(rfc ? OverviewReply::Kind::Hdr : OverviewReply::Kind::Xhdr,
                                        group_, std::move(*numbers), header, "");
}

// ---- posting

void ReaderSession::DoPost() {
    const auto path = store::CreateWorkFile(newsDir_);
    workPath_ = path ? *path : std::string();
    postFd_ = path ? ::open(path->c_str(), O_WRONLY | O_APPEND | O_CLOEXEC) : -1;
    // Without a work file the article is still read to its end, so that
    // the reader stays in step, and then refused.
    postFailed_ = postFd_ < 0;
    if (postFailed_) UpdLog("*ERROR* Could not create a posting work file.");
    postBytes_ = 0;
    posting_ = true;
    postAtLineStart_ = true;
    SendTcp("340 Continue posting; Period on a line by itself to end\r\n");
}

void ReaderSession::TcpReadFile() {
    // The article ends with a line holding a single "." (the first line may
    // be it). Every byte up to and including that line goes to the work
    // file as received; what follows is the next command.
    std::string_view rest = std::string_view(in_).substr(inHead_);
    std::size_t used = 0;
    bool complete = false;
    while (used < rest.size()) {
        const std::string_view r = rest.substr(used);
        if (postAtLineStart_) {
            if (r.starts_with(".\r\n") || r.starts_with(".\n")) {
                used += r[1] == '\r' ? 3 : 2;
                complete = true;
                break;
            }
            if (r == "." || r == ".\r") break;  // may still become the end
        }
        const std::size_t lf = r.find('\n');
        if (lf == std::string_view::npos) {
            used = rest.size();
            postAtLineStart_ = false;
            break;
        }
        used += lf + 1;
        postAtLineStart_ = true;
    }
    WritePostData(rest.substr(0, used));
    inHead_ += used;
    if (inHead_ == in_.size()) {
        in_.clear();
        inHead_ = 0;
    }
    if (complete) MsgPostRecvd();
}

void ReaderSession::WritePostData(std::string_view bytes) {
    if (bytes.empty() || postFailed_) return;
    postBytes_ += bytes.size();
    if (postBytes_ > postLimit_) {
        // A posting that never ends would fill the disk. The rest is read
        // and dropped so the reader stays in step for its 441; the work file
        // goes now, and its name is forgotten so that no later unlink can
        // hit a file another session has since created under it.
        UpdLog("*ERROR* Posting larger than " + std::to_string(postLimit_) + " bytes discarded.");
        postFailed_ = true;
        if (postFd_ >= 0) ::close(postFd_);
        postFd_ = -1;
        if (!workPath_.empty()) ::unlink(workPath_.c_str());
        workPath_.clear();
        return;
    }
    if (!WriteAll(postFd_, bytes)) postFailed_ = true;
}

void ReaderSession::DropWorkFile() {
    if (postFd_ >= 0) ::close(postFd_);
    postFd_ = -1;
    if (!workPath_.empty()) ::unlink(workPath_.c_str());
    posting_ = false;
}

// A received posting, taken apart once.
struct ReaderSession::PostedArticle {
    std::string article;                  // as received, "." line included
    std::vector<std::string_view> lines;  // CR LF taken off
    std::size_t headerEnd = 0;            // first line shorter than three characters
    std::size_t dot = 0;                  // the terminating "." line
    // First occurrence of each, unfolded; nullopt: absent.
    std::optional<std::string> from, subject, newsgroups, messageId, date;
    bool hasLines = false;
    std::vector<std::string> local;     // local groups named, as the index lists them
    std::vector<std::string> upstream;  // upstream groups named
    std::string id;                     // "<...>": its own or a generated one
    bool idAdded = false;
    bool dateAdded = false;
    std::string addedDate;

    void Parse() {
        for (std::size_t pos = 0; pos < article.size();) {
            std::size_t lf = article.find('\n', pos);
            if (lf == std::string::npos) lf = article.size();
            std::string_view l = std::string_view(article).substr(pos, lf - pos);
            if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
            lines.push_back(l);
            pos = lf + 1;
        }
        // The terminating "." line is the last line; the header ends at the
        // first line shorter than three characters before it.
        dot = lines.empty() ? 0 : lines.size() - 1;
        while (headerEnd < dot && lines[headerEnd].size() >= 3) ++headerEnd;
        std::optional<std::string>* last = nullptr;
        for (std::size_t k = 0; k < headerEnd; ++k) {
            const std::string_view l = lines[k];
            if (l.front() == ' ' || l.front() == '\t') {
                if (last && *last) (*last)->append(l);  // a folded header goes on
                continue;
            }
            last = nullptr;
            static constexpr std::string_view kNames[] = {
                "From:", "Subject:", "Newsgroups:", "Message-ID:", "Date:"};
            std::optional<std::string>* fields[] = {&from, &subject, &newsgroups, &messageId,
                                                    &date};
            for (int f = 0; f < 5; ++f)
                if (StartsWithNoCase(l, kNames[f]) && !*fields[f]) {
                    *fields[f] = GetHeaderField(l);
                    last = fields[f];
                }
            hasLines = hasLines || StartsWithNoCase(l, "Lines:");
        }
    }

    long BodyLines() const { return headerEnd < dot ? static_cast<long>(dot - headerEnd - 1) : 0; }

    // The posting with the headers this server adds before the end of its
    // header (and an empty line when it had none), CR LF line ends.
    std::string Text(bool addLines) const {
        std::string text;
        text.reserve(article.size() + 256);
        for (std::size_t k = 0; k < lines.size(); ++k) {
            if (k == headerEnd) {
                if (idAdded) text += "Message-ID: " + id + "\r\n";
                if (dateAdded) text += "Date: " + addedDate + "\r\n";
                if (addLines && !hasLines) text += Format("Lines: %ld", BodyLines(), "\r\n");
                if (k == dot) text += "\r\n";
            }
            text.append(lines[k]);
            text += "\r\n";
        }
        return text;
    }
};

bool ReaderSession::ListedUpstream(const std::vector<std::string>& groups,
                                   std::vector<bool>& listed) const {
    // The all-groups file: the upstream's LIST reply as received, one group
    // a line after the status line, up to the "." line.
    std::ifstream in(allGroupsFile_, std::ios::binary);
    if (allGroupsFile_.empty() || !in) return false;
    std::unordered_map<std::string, std::size_t> wanted;
    for (std::size_t k = 0; k < groups.size(); ++k) wanted.emplace(Lowered(groups[k]), k);
    listed.assign(groups.size(), false);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line) && line.size() >= 5) {
        const auto it = wanted.find(Lowered(store::StripToSpace(line)));
        if (it != wanted.end()) listed[it->second] = true;
    }
    return true;
}

std::string ReaderSession::CheckPosting(PostedArticle& p) {
    // Refused now with its reason, rather than accepted and then retried
    // upstream for ever or stored where no reader finds it.
    const auto blank = [](const std::optional<std::string>& v) {
        return !v || TrimBlanks(*v).empty();
    };
    if (blank(p.from)) return "441 Missing or empty From header\r\n";
    if (blank(p.subject)) return "441 Missing or empty Subject header\r\n";
    const std::vector<std::string> named = SplitNewsgroups(p.newsgroups.value_or(""));
    if (named.empty()) return "441 Missing or empty Newsgroups header\r\n";
    std::vector<bool> listed;
    const bool haveList = ListedUpstream(named, listed);
    for (std::size_t k = 0; k < named.size(); ++k) {
        const std::string& g = named[k];
        const auto info = store::IsSafeGroupName(g) ? index_.ReadGroup(g) : std::nullopt;
        if (info && info->local) {
            if (!info->allowPost) {
                UpdLog("*ERROR* Could not post local article.");
                return "441 Posting not allowed\r\n";
            }
            p.local.push_back(CanonicalGroup(g));
        } else if (info || (store::IsSafeGroupName(g) && (!haveList || listed[k]))) {
            p.upstream.push_back(g);
        }
    }
    if (p.local.empty() && p.upstream.empty()) return "441 No known newsgroup in Newsgroups\r\n";
    if (p.messageId) {
        p.id = std::string(TrimBlanks(*p.messageId));
        if (!ValidMessageId(p.id) || store::SafeArticleName(BareMessageId(p.id)).empty())
            return "441 Bad Message-ID\r\n";
        if (FindById(p.id)) return "441 Duplicate Message-ID\r\n";
    } else {
        // Unique as the work file's name is among waiting postings, and
        // made unique over time by the moment it is taken.
        const std::string work = BaseName(workPath_);
        char when[24];
        std::snprintf(when, sizeof when, ".%llX@",
                      static_cast<unsigned long long>(Now()) & 0xFFFFFFFFFFull);
        p.id = "<" + work.substr(0, work.rfind('.')) + when + IdHost(messageIdHost_) + ">";
        p.idAdded = true;
    }
    if (blank(p.date)) {
        p.addedDate = Rfc5322Date(Now());
        p.dateAdded = true;
    }
    return {};
}

void ReaderSession::MsgPostRecvd() {
    posting_ = false;
    if (postFd_ >= 0 && ::close(postFd_) != 0) postFailed_ = true;
    postFd_ = -1;
    PostedArticle p;
    std::optional<std::string> read;
    if (!postFailed_) read = files::ReadWholeFile(workPath_);
    if (!read) {
        DropWorkFile();
        SendTcp("441 Posting failed\r\n");
        return;
    }
    p.article = std::move(*read);
    p.Parse();
    const std::string refusal = CheckPosting(p);
    if (!refusal.empty()) {
        DropWorkFile();
        SendTcp(refusal);
        return;
    }
    // Every local group named gets its copy; the upstream gets the posting
    // when it names any group of the upstream's.
    for (const std::string& group : p.local) {
        UpdLog("Posting Local Article to: " + group + ".");
        if (!StoreLocal(group, p)) {
            UpdLog("*ERROR* Could not post local article.");
            DropWorkFile();
            SendTcp("441 Posting failed\r\n");
            return;
        }
    }
    if (!p.upstream.empty()) {
        if (!QueueCopy(p)) {
            UpdLog("*ERROR* Could not queue posting.");
            DropWorkFile();
            SendTcp("441 Posting failed\r\n");
            return;
        }
        workPath_.clear();
    }
    DropWorkFile();
    SendTcp("240 Article Received\r\n");
}

bool ReaderSession::StoreLocal(const std::string& group, const PostedArticle& p) {
    const auto dir = store::GroupDirectory(newsDir_, group);
    const std::string name = store::SafeArticleName(BareMessageId(p.id));
    if (!dir || name.empty() || !index_.MakeGroupDirectory(group)) return false;
    const auto given = givenHighs_.find(group);
    const auto number =
        index_.NextArticleNumber(group, given == givenHighs_.end() ? 0 : given->second);
    if (!number) return false;
    // Named after its Message-ID, as fetched articles are, so that lookups
    // by id find it and a second copy cannot be made.
    const std::string path = *dir + "/" + name;

    const std::string text = Format("220 %ld ", *number, p.id) + "\r\n" + p.Text(true);
    // The content file is written under a work name that the start-up
    // removes, and linked to its name once complete (which fails when that
    // exists); its index file then makes the article visible. A kill at any
    // point leaves no half article, and no content file that nothing names
    // and nothing would remove.
    const std::string work = *dir + "/" + store::PostWorkName(*number);
    const int fd = ::open(work.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    const bool written = WriteAll(fd, text);
    const bool linked = ::close(fd) == 0 && written && ::link(work.c_str(), path.c_str()) == 0;
    ::unlink(work.c_str());
    if (!linked) return false;
    if (!index_.WriteArticleIndex(group, *number, path)) {
        ::unlink(path.c_str());
        return false;
    }
    RecordOverview(*dir, *number);
    long& high = givenHighs_[group];
    high = std::max(high, *number);
    if (++highsUnwritten_ >= kHighsPerWrite) WriteHighs();
    return true;
}

bool ReaderSession::QueueCopy(const PostedArticle& p) {
    // A posting stored here as well goes upstream under the same Message-ID
    // and Date, so both copies are one article; otherwise it goes byte for
    // byte as received and the upstream completes it.
    if (!p.local.empty() && (p.idAdded || p.dateAdded)) {
        const std::string text = p.Text(false);
        const int fd = ::open(workPath_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd < 0) return false;
        const bool written = WriteAll(fd, text);
        if (::close(fd) != 0 || !written) return false;
    }
    return store::QueueWorkFile(workPath_);
}
