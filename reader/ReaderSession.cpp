#include "reader/ReaderSession.h"
#include "settings/TextUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/PaneHost.h"
#include "reader/ArticleFile.h"
#include "reader/OverviewCache.h"
#include "reader/ReaderText.h"
#include "settings/Profile.h"
#include "store/PostQueue.h"
#include "store/StoreNames.h"

namespace {

constexpr std::size_t kChunk = 64 * 1024;       // file bytes read per step
constexpr std::size_t kStatRead = 16 * 1024;    // enough for nearly every header
constexpr std::size_t kHeaderCap = 256 * 1024;  // overview looks no further
constexpr std::size_t kStepBytes = 32 * 1024;   // list output per step
constexpr std::size_t kLogMax = 511;
constexpr std::size_t kKeptOutput = 32 * 1024;  // output buffer kept between replies

constexpr std::string_view kGreeting = "200 Quorvel Ready - posting allowed \r\n";
constexpr std::string_view kNoSuchArticle = "423 No such article number in this group\r\n";

std::string Format(const char* fmt, long a, std::string_view s) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, a);
    return std::string(buf) + std::string(s);
}

using text::WriteAll;

bool ReadWholeFile(const std::string& path, std::string& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[65536];
    bool ok = true;
    while (true) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return ok;
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
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
        pos += static_cast<off_t>(data.size());
        if (part == Part::Article || inBody) {
            s.Append(data);
            return pos >= limit ? Finish(s) : false;
        }
        // HEAD sends up to and including the empty line; BODY what follows.
        std::size_t i = 0;
        while (i < data.size()) {
            const void* lf = std::memchr(data.data() + i, '\n', data.size() - i);
            const std::size_t end = lf ? static_cast<const char*>(lf) - data.data() : data.size();
            for (std::size_t k = i; k < end; ++k) {
                lineEmpty = lineEmpty && data[k] == '\r' && !sawCr;
                sawCr = data[k] == '\r';
            }
            if (!lf) break;
            const bool empty = lineEmpty;
            lineEmpty = true;
            sawCr = false;
            i = end + 1;
            if (empty) {
                if (part == Part::Head) {
                    s.Append(data.substr(0, i));
                    s.Append(".\r\n");
                    return true;
                }
                inBody = true;
                s.Append(data.substr(i));
                return pos >= limit ? Finish(s) : false;
            }
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
    bool lineEmpty = true;  // the current line holds nothing but one CR so far
    bool sawCr = false;
    std::string buf;
};

// LIST and NEWGROUPS: one line per group of the index, in index order.
struct ReaderSession::GroupListReply : ReaderSession::Producer {
    GroupListReply(std::vector<std::string> g, std::string d, std::string t, bool f)
        : groups(std::move(g)), date(std::move(d)), time(std::move(t)), filter(f) {}

    bool Step(ReaderSession& s) override {
        std::size_t produced = 0;
        while (i < groups.size() && produced < kStepBytes) {
            const std::string& name = groups[i++];
            const auto info = s.index_.ReadGroup(name);
            if (!info) continue;
            if (filter) {
                const std::string& file = s.index_.IndexPath();
                const std::string added = profile::GetString(file, name, "AddDate", " ", 10);
                const std::string at = profile::GetString(file, name, "AddTime", " ", 10);
                if (!(added > date || (added == date && at > time))) continue;
            }
            char nums[64];
            std::snprintf(nums, sizeof nums, " %010ld %010ld %s \r\n", info->high, info->low,
                          info->allowPost ? "y" : "n");
            s.Append(name);
            s.Append(nums);
            produced += name.size() + std::strlen(nums);
        }
        if (i < groups.size()) return false;
        s.Append(".\r\n");
        return true;
    }

    std::vector<std::string> groups;
    std::string date, time;
    bool filter;
    std::size_t i = 0;
};

// XOVER and XHDR: one line per existing article of the range.
struct ReaderSession::OverviewReply : ReaderSession::Producer {
    OverviewReply(std::string g, std::vector<long> n, std::string h, std::string dir)
        : group(std::move(g)),
          numbers(std::move(n)),
          header(std::move(h)),
          groupDir(std::move(dir)) {}

    bool Step(ReaderSession& s) override {
        if (header.empty()) {
            // XOVER: from the shared cache, which first takes in every
            // change reported since, so nothing it serves is stale.
            if (groupDir.empty()) i = numbers.size();
            i = OverviewCache::Shared().AppendOverviews(groupDir, numbers, i, kStepBytes, s.out_);
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

    // XHDR: one header of one article, read from its files.
    void Line(ReaderSession& s, long n) {
        const store::ArticleLookup look = s.index_.ResolveArticle(group, n);
        if (look.status != store::ArticleStatus::kFound) return;
        ArticleFile f;
        // An article whose content file is missing or still arriving is
        // left out, as ARTICLE would refuse it.
        if (!f.Open(look.contentPath, 8192)) return;
        f.ExtendHeader(kHeaderCap);
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
    }

    std::string group;
    std::vector<long> numbers;
    std::string header;  // XHDR: the header name; empty for XOVER
    std::string groupDir;
    std::size_t i = 0;
};

ReaderSession::ReaderSession(std::string newsDir, std::string peer)
    : newsDir_(std::move(newsDir)), peer_(std::move(peer)), index_(newsDir_) {}

ReaderSession::~ReaderSession() {
    if (posting_) DropWorkFile();
}

void ReaderSession::UpdLog(std::string_view text) {
    std::string line = "[" + peer_ + "] ";
    line.append(text);
    if (line.size() > kLogMax) line.resize(kLogMax);
    for (char& c : line)
        if (c == '\r' || c == '\n') c = ' ';
    if (log_)
        log_(line);
    else if (PaneWindow != nullptr)
        PaneWindow->UpdLog(line);
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
        {"MODE", &ReaderSession::DoMode},           {"ARTICLE", &ReaderSession::DoArticle},
        {"BODY", &ReaderSession::DoBody},           {"HEAD", &ReaderSession::DoHead},
        {"STAT", &ReaderSession::DoStat},           {"GROUP", &ReaderSession::DoGroup},
        {"HELP", &ReaderSession::DoHelp},           {"IHAVE", &ReaderSession::DoIhave},
        {"LAST", &ReaderSession::DoLast},           {"LIST", &ReaderSession::DoList},
        {"NEWGROUPS", &ReaderSession::DoNewgroups}, {"NEWNEWS", &ReaderSession::DoNewnews},
        {"NEXT", &ReaderSession::DoNext},           {"POST", &ReaderSession::DoPost},
        {"QUIT", &ReaderSession::DoQuit},           {"SLAVE", &ReaderSession::DoSlave},
        {"XOVER", &ReaderSession::DoXover},         {"XHDR", &ReaderSession::DoXhdr},
        {"AUTHINFO", &ReaderSession::DoAuthinfo},
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

void ReaderSession::DoMode() { SendTcp(kGreeting); }
void ReaderSession::DoIhave() { SendTcp("435 Your mother must be so proud\r\n"); }
void ReaderSession::DoLast() { SendTcp("500 Command Disabled.\r\n"); }
void ReaderSession::DoNewnews() { SendTcp("502 Command Disabled by Administrator.\r\n"); }
void ReaderSession::DoSlave() { SendTcp("202 Slave Status Noted.\r\n"); }
void ReaderSession::DoAuthinfo() { SendTcp("200 ok\r\n"); }

void ReaderSession::DoQuit() {
    SendTcp("205 .\r\n");
    ended_ = true;
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

void ReaderSession::DoGroup() {
    const std::string name(GetWord(2, line_));
    listing_.reset();
    groupStart_ = false;
    cursor_ = 0;
    if (!store::IsSafeGroupName(name)) {
        // Never a path: such a name is no group and selects nothing.
        group_.clear();
        SendTcp("411 No such group.\r\n");
        return;
    }
    const auto info = index_.ReadGroup(name);
    if (!info) {
        group_ = name;
        SendTcp("411 No such group.\r\n");
        return;
    }
    group_ = CanonicalGroup(name);
    groupStart_ = true;
    char buf[96];
    std::snprintf(buf, sizeof buf, "211 %ld %ld %ld ", info->high - info->low, info->low,
                  info->high);
    SendTcp(std::string(buf) + name + " group selected\r\n");
}

store::ArticleLookup ReaderSession::Resolve(long number) {
    // The overview cache knows the path of an article whose index file has
    // not changed since it was read; otherwise the index file is read.
    if (const auto dir = store::GroupDirectory(newsDir_, group_)) {
        std::string path = OverviewCache::Shared().KnownContentPath(*dir, number);
        if (!path.empty())
            return store::ArticleLookup{store::ArticleStatus::kFound, std::move(path)};
    }
    return index_.ResolveArticle(group_, number);
}

const std::vector<long>* ReaderSession::Listing(bool reload) {
    if (group_.empty()) return nullptr;
    if (!listing_ || reload) {
        const auto dir = store::GroupDirectory(newsDir_, group_);
        listing_ = dir ? OverviewCache::Shared().Numbers(*dir) : nullptr;
    }
    return listing_.get();
}

void ReaderSession::SettleGroupStart() {
    if (!groupStart_) return;
    groupStart_ = false;
    const std::vector<long>* list = Listing(false);
    cursor_ = current_ = (list && !list->empty()) ? list->front() : 0;
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
    if (kw.empty() || EqualsNoCase(kw, "ACTIVE")) {
        SendTcp("215 Newsgroups follow\r\n");
        logFlag_ = false;
        producer_ = std::make_unique<GroupListReply>(index_.ListGroups(), "", "", false);
    } else if (EqualsNoCase(kw, "OVERVIEW.FMT")) {
        SendTcp("215 Order of fields in overview database.\r\n");
        logFlag_ = false;
        SendTcp(
            "Subject:\r\nFrom:\r\nDate:\r\nMessage-ID:\r\nReferences:\r\nBytes:\r\nLines:\r\n."
            "\r\n");
        logFlag_ = true;
    } else if (EqualsNoCase(kw, "NEWSGROUPS")) {
        SendTcp("215 Descriptions follow\r\n");
        Append(".\r\n");
    } else {
        SendTcp("501 Syntax error\r\n");
    }
}

void ReaderSession::DoNewgroups() {
    const std::string_view time = GetWord(3, line_);
    const std::string today = today_.empty() ? store::IndexDateNow() : today_;
    const auto date = NewgroupsDate(GetWord(2, line_), today);
    bool timeOk = time.size() == 6;
    for (char c : time) timeOk = timeOk && c >= '0' && c <= '9';
    if (!date || !timeOk) {
        SendTcp("501 Syntax error\r\n");
        return;
    }
    SendTcp("231 New newsgroups follow\r\n");
    logFlag_ = false;
    producer_ =
        std::make_unique<GroupListReply>(index_.ListGroups(), *date, std::string(time), true);
}

// ---- articles

void ReaderSession::ArticleCommand(Part part) {
    const std::string_view arg = GetWord(2, line_);
    if (arg.find('<') != std::string_view::npos) {
        SendTcp("423 Bad Article ID.\r\n");
        return;
    }
    const long n = ToNumber(arg);
    const bool byNumber = n > 0;
    if (byNumber) {
        current_ = n;
        groupStart_ = false;
    } else {
        SettleGroupStart();
    }
    if (current_ < 1) {
        SendTcp("423 No article selected.\r\n");
        return;
    }
    if (group_.empty()) {
        SendTcp("421 No Group Selected.\r\n");
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

void ReaderSession::DoStat() {
    const std::string_view arg = GetWord(2, line_);
    if (arg.find('<') != std::string_view::npos) {
        SendTcp("423 Bad Article ID.\r\n");
        return;
    }
    if (group_.empty()) {
        SendTcp("421 No Group Selected.\r\n");
        return;
    }
    StatArticle(ToNumber(arg));
}

void ReaderSession::StatArticle(long number) {
    current_ = number;
    groupStart_ = false;
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

void ReaderSession::DoNext() {
    if (group_.empty() || !Listing(false)) {
        SendTcp("421 No next to retrieve.\r\n");
        return;
    }
    if (groupStart_) {
        groupStart_ = false;
        if (listing_->empty()) {
            SendTcp("421 No next to retrieve.\r\n");
            return;
        }
        cursor_ = listing_->front();
    }
    // The listing was read once; articles fetched since, or expired since,
    // are found by reading it again when it runs out.
    for (int pass = 0; pass < 2; ++pass) {
        const std::vector<long>* list = Listing(pass == 1);
        if (!list) break;
        for (auto it = std::upper_bound(list->begin(), list->end(), cursor_); it != list->end();
             ++it) {
            if (!index_.ArticleExists(group_, *it)) continue;
            StatArticle(*it);
            return;
        }
    }
    SendTcp("421 No next to retrieve.\r\n");
}

// ---- overview

void ReaderSession::DoXover() {
    const ArticleRange r = ParseRange(GetWord(2, line_));
    if (group_.empty() || r.first == 0 || (!r.openEnd && r.last == 0)) {
        SendTcp("412 No group selected.\r\n");
        return;
    }
    long last = r.last;
    if (r.openEnd) {
        const auto info = index_.ReadGroup(group_);
        last = info ? info->high : 0;
    }
    SendTcp("224 Data follows\r\n");
    logFlag_ = false;
    producer_ =
        std::make_unique<OverviewReply>(group_, ArticlesInRange(r.first, last), "",
                                        store::GroupDirectory(newsDir_, group_).value_or(""));
}

void ReaderSession::DoXhdr() {
    const std::string header(GetWord(2, line_));
    const std::string_view rangeText = GetWord(3, line_);
    if (header.empty()) {
        SendTcp("501 Syntax error\r\n");
        return;
    }
    if (group_.empty()) {
        SendTcp("412 No group selected.\r\n");
        return;
    }
    if (rangeText.find('<') != std::string_view::npos) {
        SendTcp("423 Bad Article ID.\r\n");
        return;
    }
    ArticleRange r;
    if (rangeText.empty()) {
        SettleGroupStart();
        if (current_ < 1) {
            SendTcp("423 No article selected.\r\n");
            return;
        }
        r.first = r.last = current_;
    } else {
        r = ParseRange(rangeText);
        if (r.openEnd) {
            const auto info = index_.ReadGroup(group_);
            r.last = info ? info->high : 0;
        }
    }
    SendTcp("221 " + header + " fields follow.\r\n");
    producer_ =
        std::make_unique<OverviewReply>(group_, ArticlesInRange(r.first, r.last), header, "");
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

void ReaderSession::MsgPostRecvd() {
    posting_ = false;
    if (postFd_ >= 0 && ::close(postFd_) != 0) postFailed_ = true;
    postFd_ = -1;
    std::string article;
    if (postFailed_ || !ReadWholeFile(workPath_, article)) {
        DropWorkFile();
        SendTcp("441 Posting failed\r\n");
        return;
    }
    // The Newsgroups header, looked for up to the end of the header (the
    // first line shorter than three characters).
    std::string newsgroups;
    for (std::size_t pos = 0; pos < article.size();) {
        std::size_t lf = article.find('\n', pos);
        if (lf == std::string::npos) lf = article.size();
        std::string_view l = std::string_view(article).substr(pos, lf - pos);
        if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        if (l.size() < 3) break;
        if (StartsWithNoCase(l, "newsgroups:")) {
            newsgroups = GetHeaderField(l);
            break;
        }
        pos = lf + 1;
    }
    const std::string group(TrimBlanks(newsgroups));
    const auto info = store::IsSafeGroupName(group) ? index_.ReadGroup(group) : std::nullopt;
    if (info && info->local) {
        if (!info->allowPost) {
            UpdLog("*ERROR* Could not post local article.");
            DropWorkFile();
            SendTcp("441 Posting not allowed\r\n");
            return;
        }
        UpdLog("Posting Local Article to: " + newsgroups + ".");
        const bool stored = StoreLocal(CanonicalGroup(group), article);
        DropWorkFile();
        if (!stored) UpdLog("*ERROR* Could not post local article.");
        SendTcp(stored ? "240 Article Received\r\n" : "441 Posting failed\r\n");
        return;
    }
    // Everything else waits in the queue, byte for byte, for the upstream.
    if (!store::QueueWorkFile(workPath_)) {
        UpdLog("*ERROR* Could not queue posting.");
        DropWorkFile();
        SendTcp("441 Posting failed\r\n");
        return;
    }
    workPath_.clear();
    SendTcp("240 Article Received\r\n");
}

bool ReaderSession::StoreLocal(const std::string& group, const std::string& article) {
    std::vector<std::string_view> lines;
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
    const std::size_t dot = lines.empty() ? 0 : lines.size() - 1;
    std::size_t headerEnd = 0;
    while (headerEnd < dot && lines[headerEnd].size() >= 3) ++headerEnd;
    bool hasId = false;
    for (std::size_t k = 0; k < headerEnd; ++k)
        hasId = hasId || StartsWithNoCase(lines[k], "Message-id:");
    const long bodyLines = headerEnd < dot ? static_cast<long>(dot - headerEnd - 1) : 0;

    const auto number = index_.AllocateArticleNumber(group);
    const auto dir = store::GroupDirectory(newsDir_, group);
    if (!number || !dir || !index_.MakeGroupDirectory(group)) return false;
    const std::string rawPath = *dir + "/" + store::RawFileName(*number);

    std::string text = Format("220 %ld <", *number, workPath_) + ">\r\n";
    text.reserve(article.size() + 256);
    for (std::size_t k = 0; k < lines.size(); ++k) {
        if (k == headerEnd) {
            if (!hasId) text += "Message-ID: <" + workPath_ + ">\r\n";
            text += Format("Lines: %ld", bodyLines, "\r\n");
            // A posting without an empty line still gets one before its end.
            if (k == dot) text += "\r\n";
        }
        text.append(lines[k]);
        text += "\r\n";
    }
    // The content file is complete before its index file makes the article
    // visible, so no reader ever sees half of it.
    const int fd = ::open(rawPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    const bool written = WriteAll(fd, text);
    if (::close(fd) != 0 || !written || !index_.WriteArticleIndex(group, *number, rawPath)) {
        ::unlink(rawPath.c_str());
        return false;
    }
    return true;
}
