#pragma once
// The NNTP side of one reader session, without the socket: received bytes
// go in through Receive, reply bytes come out through Output and Consume.
// qvClient feeds it from its socket; tests feed it directly.
//
// Replies never interleave and never pile up: a command line is taken only
// when the previous reply has been produced, and long replies (articles,
// LIST, NEWGROUPS, LISTGROUP, NEWNEWS, OVER, HDR) are produced chunk by
// chunk, only while
// less than kOutputHighWater bytes wait to be sent. The caller writes what
// Output holds, calls Consume with the count written and Advance to let the
// session produce more. Command lines received together are handled one
// after the other, in order.
//
// Nothing here throws, blocks or waits: every store file is read, or its
// cached overview line checked against it, at the moment it is needed, so
// what the feed or another session writes is seen at once.

#include <cstddef>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/GroupIndex.h"

class ArticleFile;
class OverviewCache;

class ReaderSession {
public:
    // Received bytes not yet taken as command lines; a line that does not
    // end within this many bytes ends the session ("!!Buffer Overflow!!").
    static constexpr std::size_t kReadBufferLimit = 25000;
    // Production stops while this much output waits.
    static constexpr std::size_t kOutputHighWater = 64 * 1024;
    // While a reply is in production, input beyond this is left unread.
    static constexpr std::size_t kBusyInputLimit = 8192;
    // A posting larger than this (counted as received, "." line included)
    // is read to its end, discarded and refused with 441.
    static constexpr std::size_t kPostLimit = 64 * 1024 * 1024;
    // A local posting's number is taken by its index file; "High" is written
    // back to the group index for this many postings at once, and when the
    // session ends, rather than in a rewrite of the whole index per posting.
    // Numbers are never given out twice meanwhile (the index files say which
    // are taken), readers see the article at once, and a start after a kill
    // raises High to the articles there are.
    static constexpr int kHighsPerWrite = 32;

    // Receives each finished log line ("[peer] text", CR and LF blanked).
    using LogSink = std::function<void(std::string_view)>;

    // newsDir ends with "/"; peer is the dotted address used in log lines.
    ReaderSession(std::string newsDir, std::string peer);
    ~ReaderSession();  // an unfinished posting's work file is removed
    ReaderSession(const ReaderSession&) = delete;
    ReaderSession& operator=(const ReaderSession&) = delete;

    // Without a sink the lines are dropped.
    void SetLogSink(LogSink sink) { log_ = std::move(sink); }
    // The clock of DATE, NEWGROUPS' two-digit years and the Date header
    // added to postings (default: the system's).
    void SetClock(std::function<std::time_t()> now) { now_ = std::move(now); }
    // The right-hand side of the Message-IDs given to postings that carry
    // none (default: the system's host name).
    void SetMessageIdHost(std::string host) { messageIdHost_ = std::move(host); }
    // The upstream's all-groups file (its descriptions are in the file of
    // that name + ".desc"); empty when none is configured. A posting to
    // groups that are neither in the index nor in an existing all-groups
    // file is refused.
    void SetAllGroupsFile(std::string path) { allGroupsFile_ = std::move(path); }
    // The overview cache the server shares among its sessions; without
    // one the session keeps a cache of its own.
    void SetOverviewCache(OverviewCache& cache) { overviews_ = &cache; }
    // The posting size bound (default kPostLimit).
    void SetPostLimit(std::size_t bytes) { postLimit_ = bytes; }

    // Queues the greeting, or the refusal that ends the session.
    void Start(bool admitted);

    // How many more bytes the session takes now; 0 while it is busy and
    // holds enough input, or when it has ended (the caller stops reading).
    std::size_t InputRoom() const;
    // Takes received bytes (at most InputRoom) and handles what it can.
    void Receive(std::string_view bytes);
    // Produces more output and takes further command lines, as far as the
    // output bound allows.
    void Advance();

    std::string_view Output() const;
    void Consume(std::size_t n);
    std::size_t Pending() const { return out_.size() - outHead_; }

    // True once the session handles no more input (QUIT, refusal, buffer
    // overflow): close the connection when Output is empty.
    bool Ended() const { return ended_; }
    // Nothing left to do until more input arrives: no reply in production,
    // no output waiting, no complete command line held.
    bool Idle() const;
    // Ends the session at once, e.g. when the peer has gone.
    void Abort();

    const std::string& CurrentGroup() const { return group_; }
    long CurrentArticle() const { return current_; }
    bool Posting() const { return posting_; }

    // One log line through the sink: "[peer] text".
    void UpdLog(std::string_view text);

private:
    struct Producer;
    struct FileReply;
    struct GroupListReply;
    struct NumberListReply;
    struct OverviewReply;
    struct DescriptionReply;
    struct NewnewsReply;
    enum class Part { Article, Head, Body };
    // An article asked for by message-id: where it is, and its number when
    // it is in the current group (else 0).
    struct Found {
        std::string group;
        std::string path;
        long number = 0;
    };
    // A group's article count and water marks as readers are told them.
    struct Marks {
        long count = 0;
        long low = 0;
        long high = 0;
    };

    // Line handling.
    std::optional<std::string> TakeLine();
    void MsgNewRequest(std::string_view line);
    void SendTcp(std::string_view text);
    void Append(std::string_view bytes) { out_.append(bytes); }

    // Commands.
    void DoCapabilities();
    void DoDate();
    void DoListgroup();
    void DoOver() { OverCommand(true); }
    void DoXover() { OverCommand(false); }
    void DoHdr() { HdrCommand(true); }
    void DoXhdr() { HdrCommand(false); }
    void DoMode();
    void DoArticle() { ArticleCommand(Part::Article); }
    void DoBody() { ArticleCommand(Part::Body); }
    void DoHead() { ArticleCommand(Part::Head); }
    void DoStat();
    void DoGroup();
    void DoHelp();
    void DoIhave();
    void DoLast();
    void DoList();
    void DoNewgroups();
    void DoNewnews();
    void DoNext();
    void DoPost();
    void DoQuit();
    void DoSlave();
    void DoAuthinfo();

    void ArticleCommand(Part part);
    void ArticleById(Part part, std::string_view id);
    void StatArticle(long number);
    void MoveCurrent(bool forward);  // NEXT and LAST
    void OverCommand(bool rfc);
    // OVER and HDR by message-id: the article with its header held, and its
    // number; nullptr with 430 sent when there is none.
    std::unique_ptr<ArticleFile> OpenById(std::string_view id, long& number);
    // OVER and HDR with a range or none (the current article): the articles
    // there are; nullopt with the reply sent (412, 420, 501; for the RFC
    // forms also 423 for an empty range).
    std::optional<std::vector<long>> RangeArticles(std::string_view arg, bool rfc);
    void HdrCommand(bool rfc);
    // Selects a group for GROUP and LISTGROUP; false (411 sent) when there
    // is none of that name.
    bool SelectGroup(const std::string& name, Marks& marks);
    static Marks MarksOf(const store::GroupInfo& info, const std::vector<long>* list);
    static std::string HdrLine(const ArticleFile& f, long n, std::string_view field);
    // The article of that message-id: in the current group first, then in
    // every group of the index, by its content file name.
    std::optional<Found> FindById(std::string_view arg);
    long NumberInCurrentGroup(const std::string& path);
    std::time_t Now() const;
    // The article's index file line, as GroupIndex::ResolveArticle reads it.
    store::ArticleLookup Resolve(long number);
    // The group's article numbers, read from its directory when needed.
    const std::vector<long>* Listing(bool reload);
    // The group's name as the index lists it (directories are case
    // sensitive, the index is not).
    std::string CanonicalGroup(const std::string& name) const;
    std::vector<long> ArticlesInRange(long first, long last);
    OverviewCache& Overviews();

    // Posting.
    struct PostedArticle;
    void TcpReadFile();
    void WritePostData(std::string_view bytes);
    void MsgPostRecvd();
    // Why the posting cannot be taken ("441 ..." reply), or empty.
    std::string CheckPosting(PostedArticle& p);
    bool ListedUpstream(const std::vector<std::string>& groups, std::vector<bool>& listed) const;
    bool StoreLocal(const std::string& group, const PostedArticle& p);
    void WriteHighs();
    bool QueueCopy(const PostedArticle& p);
    void DropWorkFile();

    std::string newsDir_;
    std::string peer_;
    store::GroupIndex index_;
    LogSink log_;
    std::function<std::time_t()> now_;
    std::string messageIdHost_;
    std::string allGroupsFile_;
    OverviewCache* overviews_ = nullptr;
    std::unique_ptr<OverviewCache> ownOverviews_;

    bool logFlag_ = true;
    bool ended_ = false;

    std::string in_;
    std::size_t inHead_ = 0;
    std::string out_;
    std::size_t outHead_ = 0;
    std::string line_;  // the command line being handled
    std::unique_ptr<Producer> producer_;

    std::string group_;  // empty: no group selected
    long current_ = 0;   // current article number; 0: none
    long cursor_ = 0;    // article the cursor stands on (NEXT goes past it)
    std::shared_ptr<const std::vector<long>> listing_;  // shared with the overview cache

    bool posting_ = false;
    bool postFailed_ = false;
    bool postAtLineStart_ = true;
    int postFd_ = -1;
    std::size_t postBytes_ = 0;  // of the posting being received
    std::size_t postLimit_ = kPostLimit;
    std::string workPath_;
    std::map<std::string, long> givenHighs_;  // numbers given out, High not yet written
    int highsUnwritten_ = 0;
};
