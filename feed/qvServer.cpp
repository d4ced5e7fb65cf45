#include "feed/qvServer.h"
#include "settings/TextUtil.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "app/Messages.h"
#include "app/PaneHost.h"
#include "net/Socket.h"
#include "net/SocketAddress.h"
#include "net/SocketError.h"
#include "sched/TimeManager.h"
#include "settings/Setup.h"
#include "store/GroupIndex.h"
#include "store/PostQueue.h"
#include "store/Subscription.h"

namespace {

// Bytes taken from the socket per read notification. Reads are level-
// triggered, so whatever is left comes with the next notification.
constexpr int kReadChunk = 64 * 1024;
// Bytes read from a file per send step, and the most of a multi-line reply
// held in memory before it is written out: few, large system calls.
constexpr std::size_t kFileChunk = 64 * 1024;
constexpr std::size_t kWriteBehind = 1024 * 1024;
// A status line longer than this is not a status line.
constexpr std::size_t kFirstLineLimit = 4096;
constexpr std::string_view kTerminator = "\r\n.\r\n";
constexpr std::size_t kLogLimit = 549;

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

using text::WriteAll;

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// A queued article in wire form ends with the "." line; one that does not
// would leave the server reading our next command as article text.
bool EndsWithTerminator(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size < 3) return false;
    char end[5] = {};
    const off_t n = std::min<off_t>(st.st_size, 5);
    if (::pread(fd, end + 5 - n, static_cast<std::size_t>(n), st.st_size - n) != n) return false;
    return std::string_view(end + 5 - n, static_cast<std::size_t>(n)).ends_with(".\r\n") &&
           (st.st_size == 3 || std::string_view(end, 5) == kTerminator);
}

}  // namespace

std::string GetReplyWord(int n, std::string_view line) {
    std::size_t begin = 0;
    for (int word = 1;; ++word) {
        const std::size_t blank = line.find(' ', begin);
        if (word == n || blank == std::string_view::npos)
            return std::string(
                line.substr(begin, blank == std::string_view::npos ? line.npos : blank - begin));
        begin = blank + 1;
    }
}

qvServer::qvServer(EventLoop& loop)
    : MessageTarget(loop),
      socket_(std::make_unique<StreamSocket>(INetSocketAddress(), AF_INET, SOCK_STREAM, 0)) {}

qvServer::~qvServer() {
    // The timer table holds our address; it must not outlive us.
    if (timerArmed_ && myTimeManager != nullptr) myTimeManager->TimerKill(this, kSessionTimeout);
    AbandonFile();
    if (sendFd_ >= 0) ::close(sendFd_);
    if (postFd_ >= 0) ::close(postFd_);
    if (socket_) socket_->SetNotificationWindow(nullptr);
}

// ---- logging ----------------------------------------------------------------

void qvServer::UpdLog(std::string_view text) const {
    if (PaneWindow == nullptr) return;
    std::string line = "[" + serverAddress_ + "] ";
    line.append(text);
    for (char& c : line)
        if (c == '\r' || c == '\n') c = ' ';
    if (line.size() > kLogLimit) line.resize(kLogLimit);
    PaneWindow->UpdLog(line);
}

// The session has no window of its own; what was a message box becomes a
// log line with its title.
void qvServer::ShowError(std::string_view title, std::string_view text) const {
    std::string line(title);
    line += ": ";
    line += text;
    UpdLog(line);
}

// ---- life cycle -------------------------------------------------------------

void qvServer::SetupWindow() {
    writeReady_ = true;
    UpdLog("Attempting Server Connection");
    int timeout = qvSetup != nullptr ? qvSetup->GetServerTimeout() : 60;
    if (timeout <= 0) timeout = 60;  // 0 would end every session at the next tick
    if (myTimeManager != nullptr && !timerArmed_)
        timerArmed_ = myTimeManager->TimerSet(this, kSessionTimeout, timeout);
}

void qvServer::Run() {
    if (state_ != 1) return;
    newsDir_ = qvSetup != nullptr ? qvSetup->GetNewsDirectory() : std::string("!");
    if (newsDir_.empty() || newsDir_[0] == '!') {
        UpdLog("No news directory configured");
        CmOk();
        return;
    }
    const auto unnamed = [](const std::string& name) {
        return name.find_first_not_of(' ') == std::string::npos;
    };
    switch (kind_) {
        case kind::RefreshGroups:
            if (unnamed(allGroupFile_)) {
                UpdLog("No group list file configured (Newsfeed01/AllGroupFile)");
                CmOk();
                return;
            }
            UpdLog("Requesting Group List");
            ConnectToServer();
            break;
        case kind::PostArticles: {
            const auto files = store::ListQueueFiles(newsDir_);
            if (!files || files->empty()) {
                UpdLog("No articles to post");
                CmOk();
                return;
            }
            UpdLog("Waiting for permission to post");
            ConnectToServer();
            break;
        }
        case kind::FetchArticles:
            if (unnamed(subGroupFile_)) {
                UpdLog("No subscription file configured (Newsfeed01/SubGroupFile)");
                CmOk();
                return;
            }
            UpdLog("Requesting New Articles");
            ConnectToServer();
            break;
        default: break;
    }
}

void qvServer::CmOk() {
    if (state_ != 1) return;
    if (timerArmed_ && myTimeManager != nullptr) myTimeManager->TimerKill(this, kSessionTimeout);
    timerArmed_ = false;
    UpdLog("Server Session Ended.");
    // An article cut off in the middle is fetched again next time: the
    // checkpoint names the article positioned on before it.
    if (kind_ == kind::FetchArticles && file_.receiving) lastSeen_ = lastSeenBefore_;
    AbandonFile();
    if (groupActive_) GroupCheckpoint();
    groupActive_ = false;
    if (sendFd_ >= 0) ::close(sendFd_);
    if (postFd_ >= 0) ::close(postFd_);
    sendFd_ = postFd_ = -1;
    socket_->SetNotificationWindow(nullptr);
    socket_->CloseSocket();
    out_.clear();
    outPos_ = 0;
    readBuffer_.clear();
    state_ = 2;
}

void qvServer::SessionTimeout() {
    UpdLog("Session Timeout");
    CmOk();
}

bool qvServer::HandleMessage(int message, WPARAM, LPARAM lParam) {
    if (message == msg::SocketNotification) {
        if (state_ == 1) DoSocketNotification(lParam);
        return true;
    }
    // Events still queued when the session ended have no effect.
    if (state_ != 1) return true;
    switch (message) {
        case kConnected: Connected(); return true;
        case kSessionTimeout: SessionTimeout(); return true;
        case kListRecvd: ListRecvd(); return true;
        case kArticleRecvd: MsgArticleRecvd(); return true;
        case kGetNextGroup: MsgGetNextGroup(); return true;
        case kStartGroup: MsgStartGroup(); return true;
        case kGetArticleId: MsgGetArticleId(); return true;
        case kGetNextArticle: MsgGetNextArticle(); return true;
        case kServerHandshake: MsgServerHandshake(); return true;
        case kStartPost: MsgStartPost(); return true;
        case kSendArticle: MsgSendArticle(); return true;
        case kArticlePosted: MsgArticlePosted(); return true;
        case kReaderModeSet: MsgReaderModeSet(); return true;
        case kPositioned: MsgPositioned(); return true;
        default: return false;
    }
}

// ---- connection ---------------------------------------------------------------

void qvServer::ConnectToServer() {
    pending_ = kServerHandshake;
    replyLine_.clear();
    lineWaiting_ = false;
    readBuffer_.clear();
    socket_->SetNotificationWindow(this);
    if (!INetSocketAddress::IsAddressDottedDecimal(serverAddress_.c_str())) {
        ShowError("DNS Error", "Could not connect to the specified host.");
        CmOk();
        return;
    }
    INetSocketAddress peer;
    peer.SetNetworkAddress(INetSocketAddress::ConvertAddress(serverAddress_.c_str()));
    peer.SetPort(htons(static_cast<std::uint16_t>(port_ & 0xFFFF)));

    // Each failure below ends the session at once rather than leaving it to
    // the idle time-out: there is nothing to wait for.
    const auto fail = [this](const char* what) {
        SocketError error(socket_->LastError(), 128);
        ShowError("Error", error.AppendError(what));
        CmOk();
    };
    if (socket_->CreateSocket() != 0) return fail("Error on CreateSocket()");
    // Lock-step commands are small: neither side may sit on them waiting
    // for more data (Nagle) or for a delayed acknowledgement.
    socket_->SetNoDelayOption(true);
    socket_->SetQuickAckOption(true);
    socket_->SetNotificationWindow(this);
    if (socket_->StartRegularNotification() != 0) {
        SocketError error(socket_->LastError(), 128);
        ShowError("Error - StartRegularNotification()",
                  error.AppendError("Error on StartRegularNotification() Constructor."));
    }
    if (socket_->BindSocket() != 0) return fail("Error on BindSocket()");
    if (socket_->Connect(peer) != 0 && socket_->LastError() != wsa::WouldBlock)
        return fail("Error on Connect()");
}

void qvServer::DoSocketNotification(LPARAM eventAndError) {
    const int event = static_cast<int>(eventAndError & 0xFFFF);
    const int error = static_cast<int>((eventAndError >> 16) & 0xFFFF);
    switch (event) {
        case sockev::Read:
            if (error != 0) {
                CmOk();
                return;
            }
            TcpReadData();
            break;
        case sockev::Close:
            UpdLog("Session terminated by Server");
            CmOk();
            break;
        case sockev::Write:
            writeReady_ = true;
            Flush();
            break;
        case sockev::Connect:
            if (error != 0) {
                SocketError reason(error, 128);
                ShowError("Error", reason.AppendError("Error on Connect()"));
                CmOk();
                return;
            }
            Post(kConnected);
            break;
        default: break;
    }
}

void qvServer::Connected() { UpdLog("Connected to server"); }

// ---- receiving ------------------------------------------------------------------

void qvServer::TcpReadData() {
    static thread_local std::vector<char> buffer(kReadChunk);
    int length = kReadChunk;
    if (socket_->Read(buffer.data(), length) != 0) {
        ShowError("ERROR", "Error on Read");
        return;
    }
    if (length <= 0) return;  // would block, or the close that follows
    // The upstream delays its acknowledgements unless told otherwise, and
    // the kernel forgets quick-ack mode after a while: re-arm it per read.
    socket_->SetQuickAckOption(true);
    if (PaneWindow != nullptr) PaneWindow->Post(msg::IncRecvd, 0, length);
    if (timerArmed_ && myTimeManager != nullptr) myTimeManager->ResetTimer(this, kSessionTimeout);
    const std::string_view chunk(buffer.data(), static_cast<std::size_t>(length));
    if (readMode_ == 1) {
        TcpReadFile(chunk);
        return;
    }
    if (readBuffer_.size() + chunk.size() > kReadBufferLimit) {
        UpdLog("!!Buffer Overflow!!");
        CmOk();
        return;
    }
    readBuffer_.append(chunk);
    ProcessReadBuffer();
}

void qvServer::ProcessReadBuffer() {
    if (lineWaiting_ || readBuffer_.empty()) return;
    const std::size_t lf = readBuffer_.find('\n');
    if (lf == std::string::npos) return;
    std::size_t end = lf;
    if (end > 0 && readBuffer_[end - 1] == '\r') --end;
    replyLine_.assign(readBuffer_, 0, std::min(end, kReplyLineLimit));
    lineWaiting_ = true;
    readBuffer_.erase(0, lf + 1);
    if (pending_ != 0) {
        const int event = pending_;
        pending_ = 0;
        Post(event);
    }
}

void qvServer::ExpectLine(int event) {
    replyLine_.clear();
    lineWaiting_ = false;
    readBuffer_.clear();
    readMode_ = 2;
    pending_ = event;
}

void qvServer::ExpectFile(int event, std::string target, std::string_view okCode,
                          std::size_t limit) {
    ExpectLine(event);
    AbandonFile();
    readMode_ = 1;
    file_.target = std::move(target);
    file_.temp = DirectoryOf(file_.target) + ".qvrecv-" + std::to_string(TargetId()) + ".tmp";
    file_.okCode = okCode;
    file_.limit = limit;
    file_.receiving = true;
}

void qvServer::AbandonFile() {
    if (file_.fd >= 0) ::close(file_.fd);
    if (file_.receiving && !file_.temp.empty()) ::unlink(file_.temp.c_str());
    file_ = FileReceive{};
}

void qvServer::TcpReadFile(std::string_view chunk) {
    if (!file_.receiving) {
        // After the terminator only the group list keeps its file open: the
        // reply to QUIT follows it there.
        if (file_.appendAfter && !file_.target.empty()) {
            const std::size_t room = file_.limit - std::min(file_.received, file_.limit);
            const bool tooMuch = chunk.size() > room;
            if (tooMuch) chunk = chunk.substr(0, room);
            file_.received += chunk.size();
            const int fd =
                ::open(file_.target.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
            if (fd >= 0) {
                WriteAll(fd, chunk);
                ::close(fd);
            }
            if (tooMuch) {
                UpdLog("Too much after the group list; session ended.");
                CmOk();
            }
        }
        return;
    }
    const auto finish = [this](bool ok) {
        file_.receiving = false;
        file_.ok = ok;
        if (pending_ != 0) {
            const int event = pending_;
            pending_ = 0;
            Post(event);
        }
    };

    if (!file_.checked) {
        // The status line decides whether a multi-line reply follows at all:
        // an error reply is one line, and no terminator would ever come.
        const std::size_t lf = chunk.find('\n');
        const std::size_t take = lf == std::string_view::npos ? chunk.size() : lf + 1;
        file_.firstLine.append(chunk.substr(0, take));
        chunk.remove_prefix(take);
        if (lf == std::string_view::npos && file_.firstLine.size() <= kFirstLineLimit) return;
        file_.checked = true;
        std::string line = file_.firstLine;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (lf == std::string_view::npos || !StartsWith(line, file_.okCode)) {
            replyLine_ = line.substr(0, kReplyLineLimit);
            lineWaiting_ = true;
            finish(false);
            return;
        }
        file_.fd = ::open(file_.temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (file_.fd < 0) {
            UpdLog("Cannot write " + file_.temp);
            CmOk();
            return;
        }
        std::string first = std::move(file_.firstLine);
        file_.firstLine.clear();
        // The first line may already complete the reply ("215 ...\r\n" then
        // ".\r\n"), so it runs through the same scan as the rest.
        file_.tailLen = 0;
        TcpReadFile(first);
        if (!file_.receiving || chunk.empty()) return;
    }

    // The terminator may straddle two reads: look at the last bytes of the
    // previous chunk together with the first bytes of this one.
    std::size_t end = std::string_view::npos;  // bytes of chunk that belong to the reply
    {
        std::string window(file_.tail, file_.tailLen);
        window.append(chunk.substr(0, std::min<std::size_t>(chunk.size(), kTerminator.size() - 1)));
        const std::size_t at = window.find(kTerminator);
        if (at != std::string::npos)
            end = at + kTerminator.size() - file_.tailLen;
        else if (const std::size_t in = chunk.find(kTerminator); in != std::string_view::npos)
            end = in + kTerminator.size();
    }
    const std::string_view part = chunk.substr(0, std::min(end, chunk.size()));
    file_.received += part.size();
    if (file_.received > file_.limit) {
        // Dropped for good: the fetch moves past this article next time
        // rather than fail on it forever.
        UpdLog("Reply larger than " + std::to_string(file_.limit >> 20) +
               " MB, not stored: " + file_.target);
        AbandonFile();
        CmOk();
        return;
    }
    file_.pending.append(part);
    {
        std::string last(file_.tail, file_.tailLen);
        last.append(part);
        const std::size_t keep = std::min<std::size_t>(last.size(), sizeof file_.tail);
        last.copy(file_.tail, keep, last.size() - keep);
        file_.tailLen = keep;
    }
    bool ok = true;
    if (file_.pending.size() >= kWriteBehind || end != std::string_view::npos) {
        ok = WriteAll(file_.fd, file_.pending);
        file_.pending.clear();
    }
    if (!ok) {
        UpdLog("Cannot write " + file_.temp);
        CmOk();
        return;
    }
    if (end == std::string_view::npos) return;
    // Complete: the reply becomes visible under its name in one step.
    ok = ::close(file_.fd) == 0;
    file_.fd = -1;
    ok = ok && std::rename(file_.temp.c_str(), file_.target.c_str()) == 0;
    if (!ok) {
        ::unlink(file_.temp.c_str());
        UpdLog("Cannot write " + file_.target);
    }
    finish(ok);
}

// ---- sending ------------------------------------------------------------------------

void qvServer::SendTcp(std::string_view text) {
    if (state_ != 1) return;
    if (PaneWindow != nullptr) PaneWindow->Post(msg::IncSent, 0, static_cast<LPARAM>(text.size()));
    if (timerArmed_ && myTimeManager != nullptr) myTimeManager->ResetTimer(this, kSessionTimeout);
    out_.append(text);
    Flush();
}

// The file's bytes go out as they are, chunk by chunk as the socket drains;
// the session owns fd from now on.
void qvServer::SendTcpFile(int fd) {
    if (sendFd_ >= 0) ::close(sendFd_);
    sendFd_ = fd;
    Flush();
}

// Moves queued bytes to the socket while it takes them; a file being sent is
// read one chunk at a time, only when the previous chunk is gone. The rest
// waits for the next write notification.
void qvServer::Flush() {
    while (writeReady_ && state_ == 1) {
        if (outPos_ >= out_.size()) {
            out_.clear();
            outPos_ = 0;
            if (sendFd_ < 0) return;
            out_.resize(kFileChunk);
            const ssize_t n = ::read(sendFd_, out_.data(), out_.size());
            if (n <= 0) {
                out_.clear();
                ::close(sendFd_);
                sendFd_ = -1;
                return;
            }
            out_.resize(static_cast<std::size_t>(n));
            // A long file send is progress, not idleness.
            if (timerArmed_ && myTimeManager != nullptr)
                myTimeManager->ResetTimer(this, kSessionTimeout);
        }
        int length = static_cast<int>(std::min<std::size_t>(out_.size() - outPos_, 1u << 30));
        if (socket_->Write(out_.data() + outPos_, length) != 0) {
            // Abandoned: the missing reply ends the session (close or time-out).
            out_.clear();
            outPos_ = 0;
            if (sendFd_ >= 0) ::close(sendFd_);
            sendFd_ = -1;
            return;
        }
        outPos_ += static_cast<std::size_t>(length);
        if (outPos_ < out_.size()) writeReady_ = false;
    }
}

// ---- handshake -------------------------------------------------------------------------

void qvServer::MsgServerHandshake() {
    // The greeting's code is not examined: a refusing server says so again
    // in its replies. Every kind asks for reader mode first, since servers
    // that also take transit feeds answer NEXT and ARTICLE only in it.
    ExpectLine(kReaderModeSet);
    SendTcp("MODE READER\r\n");
}

void qvServer::MsgReaderModeSet() {
    ExpectLine(0);
    switch (kind_) {
        case kind::RefreshGroups: GroupRefresh(); break;
        case kind::PostArticles: PostArticles(); break;
        case kind::FetchArticles: Post(kGetNextGroup); break;
        default: CmOk(); break;
    }
}

// ---- group-list refresh ------------------------------------------------------------------

void qvServer::GroupRefresh() {
    UpdLog("Loading group list");
    // The old list stays until the new one is complete.
    ExpectFile(kListRecvd, newsDir_ + allGroupFile_, "215", kGroupListLimit);
    SendTcp("LIST\r\n");
}

void qvServer::ListRecvd() {
    if (!file_.ok) {
        UpdLog("Group list not received: " + replyLine_);
        file_ = FileReceive{};
        ExpectLine(0);
        SendTcp("QUIT\r\n");
        CmOk();
        return;
    }
    // The reply to QUIT goes behind the "." line; the server's close ends us.
    const std::string target = file_.target;
    file_ = FileReceive{};
    file_.target = target;
    file_.appendAfter = true;
    file_.limit = kAfterListLimit;
    pending_ = 0;
    SendTcp("QUIT\r\n");
}

// ---- article fetch --------------------------------------------------------------------------

// The last upstream number positioned on goes into the record, the local
// High into the group index. Returns whether the record could be written.
bool qvServer::GroupCheckpoint() {
    const bool ok =
        store::WriteSubscriptionNumber(newsDir_ + subGroupFile_, recordOffset_, lastSeen_);
    store::GroupIndex index(newsDir_);
    if (!index.SetHigh(group_, high_) &&
        index.ReadGroup(group_).value_or(store::GroupInfo{}).high < high_)
        UpdLog("Cannot write High of " + group_);
    return ok;
}

void qvServer::MsgGetNextGroup() {
    if (recordOffset_ >= 0 && groupActive_ && !GroupCheckpoint()) {
        UpdLog("[ERROR] Invalid Subscription File.");
        CmOk();
        return;
    }
    groupActive_ = false;
    recordOffset_ = -1;

    const store::RecordRead r =
        store::ReadSubscriptionRecord(newsDir_ + subGroupFile_, readOffset_);
    if (r.status == store::RecordStatus::End) {
        ExpectLine(0);
        SendTcp("QUIT\r\n");
        CmOk();
        return;
    }
    readOffset_ = r.record.next;
    if (r.status == store::RecordStatus::Unusable) {
        UpdLog("Subscription record skipped (" + r.problem + ")");
        Post(kGetNextGroup);
        return;
    }
    group_ = r.record.group;
    start_ = r.record.start;

    store::GroupIndex index(newsDir_);
    if (!index.MakeGroupDirectory(group_)) {
        UpdLog("Cannot create the directory of " + group_);
        Post(kGetNextGroup);
        return;
    }
    if (!index.GroupExists(group_) && !index.CreateGroup(group_, false, true)) {
        UpdLog("Cannot add " + group_ + " to the group index");
        Post(kGetNextGroup);
        return;
    }
    // The next number also steps over index files above High that a session
    // stopped before its checkpoint left behind.
    const std::optional<long> next = index.NextArticleNumber(group_);
    if (!next) {
        UpdLog("No article numbers left in " + group_);
        Post(kGetNextGroup);
        return;
    }
    high_ = *next - 1;
    recordOffset_ = r.record.offset;
    ExpectLine(kStartGroup);
    SendTcp("GROUP " + group_ + "\r\n");
}

void qvServer::MsgStartGroup() {
    const std::string reply = replyLine_;
    ExpectLine(0);
    // A refused GROUP leaves the record as it is: a new "last N" record must
    // not turn into "everything" because the group was missing once.
    if (!StartsWith(reply, "211")) {
        UpdLog("Group " + group_ + " not available: " + reply);
        recordOffset_ = -1;
        Post(kGetNextGroup);
        return;
    }
    const long last = std::atol(GetReplyWord(4, reply).c_str());
    groupFirst_ = std::atol(GetReplyWord(3, reply).c_str());
    groupLast_ = last;
    probe_ = 0;
    if (start_ == 0) start_ = groupFirst_;
    if (start_ < 0) {
        // The last N articles; with fewer than N upstream, none this time
        // and the record then continues from the group's last number.
        const long n = -start_;
        start_ = last - n > 0 ? last - n : last;
    }
    if (start_ < 0) start_ = 0;
    const long count = last - start_;
    char line[320];
    std::snprintf(line, sizeof line, "Processing %s (%ld)", group_.c_str(), count);
    UpdLog(line);
    groupActive_ = true;
    lastSeen_ = start_;
    if (count > 0) {
        ExpectLine(kPositioned);
        SendTcp("STAT " + std::to_string(start_) + " \r\n");
    } else {
        Post(kGetNextGroup);
    }
}

// The server stands on the start article only when it still has it. If it
// was cancelled or expired upstream, the server's pointer stays where GROUP
// put it, on the group's first article, and NEXT would walk the group again
// from there (storing anew what expire removed here) or pass over that first
// article. So the walk goes on by number: STAT each number after the start
// until one exists; that one is the next article.
void qvServer::MsgPositioned() {
    const std::string reply = replyLine_;
    ExpectLine(0);
    // Only "no such article number" says the article is gone; on any other
    // reply NEXT goes on from wherever the server stands.
    if (!StartsWith(reply, "423")) {
        Post(kGetNextArticle);
        return;
    }
    UpdLog("Article " + std::to_string(start_) + " of " + group_ + " is gone upstream: " + reply);
    probe_ = std::max(start_ + 1, groupFirst_);
    ProbeNextNumber();
}

void qvServer::ProbeNextNumber() {
    if (probe_ <= 0 || probe_ > groupLast_) {
        probe_ = 0;
        Post(kGetNextGroup);
        return;
    }
    // A server may claim numbers it never had; the record keeps what was
    // passed, and the next fetch goes on from there.
    if (probe_ - std::max(start_ + 1, groupFirst_) >= kMaxProbes) {
        UpdLog("No article found in " + group_ + " up to " + std::to_string(lastSeen_) +
               "; going on next time");
        probe_ = 0;
        Post(kGetNextGroup);
        return;
    }
    ExpectLine(kGetArticleId);
    SendTcp("STAT " + std::to_string(probe_) + "\r\n");
}

void qvServer::MsgGetNextArticle() {
    ExpectLine(kGetArticleId);
    SendTcp("NEXT\r\n");
}

void qvServer::MsgGetArticleId() {
    const std::string reply = replyLine_;
    ExpectLine(0);
    if (probe_ > 0) {
        // A reply to STAT while going on by number: a missing number is
        // passed (numbers are never given out again); the first one found
        // is the next article, and NEXT takes over from it. Any other reply
        // ends the group here, and the next fetch asks again.
        if (StartsWith(reply, "423")) {
            lastSeen_ = probe_++;
            ProbeNextNumber();
            return;
        }
        probe_ = 0;
    }
    if (reply.size() < 4 || reply[0] != '2' || reply[3] != ' ') {
        Post(kGetNextGroup);  // normally 421: no next article
        return;
    }
    // The id is the text after the last "<" before the first ">".
    std::size_t lt = std::string::npos;
    std::size_t gt = std::string::npos;
    for (std::size_t i = 0; i < reply.size(); ++i) {
        if (reply[i] == '<') lt = i;
        if (reply[i] == '>') {
            gt = i;
            break;
        }
    }
    const long number = std::atol(GetReplyWord(2, reply).c_str());
    if (lt == std::string::npos || gt == std::string::npos || gt < lt + 2) {
        if (number <= 0 || lt == std::string::npos || gt != std::string::npos) {
            UpdLog("No message-id in reply to NEXT, group finished: " + reply);
            Post(kGetNextGroup);
            return;
        }
        // An id opened but not closed within the reply line: one too long
        // for the line. The server stands on that article; pass it, or every
        // later fetch of the group would stop at it again.
        lastSeen_ = number;
        UpdLog("No usable message-id in reply to NEXT, article skipped: " + reply);
        Post(kGetNextArticle);
        return;
    }
    const long before = lastSeen_;
    if (number > 0) lastSeen_ = number;
    const std::string id = reply.substr(lt + 1, gt - lt - 1);

    store::GroupIndex index(newsDir_);
    const std::optional<std::string> path = index.ContentPathFor(group_, id);
    if (!path) {
        UpdLog("Unusable message-id skipped: <" + id + ">");
        Post(kGetNextArticle);
        return;
    }
    struct stat st {};
    if (::lstat(path->c_str(), &st) == 0) {
        Post(kGetNextArticle);  // already stored in this group
        return;
    }
    lastSeenBefore_ = before;
    // The number is taken now; if the article does not arrive it stays
    // unused (gaps are normal).
    articleNumber_ = ++high_;
    contentPath_ = *path;
    ExpectFile(kArticleRecvd, *path, "220", kArticleLimit);
    SendTcp("article\r\n");
}

void qvServer::MsgArticleRecvd() {
    const bool ok = file_.ok;
    const std::string reply = replyLine_;
    file_ = FileReceive{};
    ExpectLine(0);
    if (!ok) {
        UpdLog("Article not stored: " + reply);
        Post(kGetNextArticle);
        return;
    }
    // The index file comes last, so no index ever names a partial article.
    store::GroupIndex index(newsDir_);
    long number = articleNumber_;
    bool written = false;
    for (int tries = 0; tries < 1000 && !written; ++tries) {
        written = index.WriteArticleIndex(group_, number, contentPath_);
        if (written) break;
        const auto taken = index.IndexFilePath(group_, number);
        struct stat st {};
        if (!taken || ::stat(taken->c_str(), &st) != 0) break;  // a real failure
        ++number;                                               // someone else holds that number
    }
    if (!written) {
        // Without an index the content would only block a later fetch.
        ::unlink(contentPath_.c_str());
        UpdLog("Cannot write the article index in " + group_);
    } else {
        high_ = std::max(high_, number);
    }
    Post(kGetNextArticle);
}

// ---- posting ------------------------------------------------------------------------------

void qvServer::PostArticles() {
    UpdLog("Starting Post Operation");
    ExpectLine(0);
    queue_ = store::ListQueueFiles(newsDir_).value_or(std::vector<std::string>{});
    queuePos_ = 0;
    if (queue_.empty()) {
        SendTcp("QUIT\r\n");
        CmOk();
        return;
    }
    Post(kStartPost);
}

void qvServer::MsgStartPost() {
    // Files that vanished or are incomplete are passed over before POST, so
    // the server is never left waiting for an article we cannot send.
    while (queuePos_ < queue_.size()) {
        const std::string& path = queue_[queuePos_];
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0 && EndsWithTerminator(fd)) {
            postFd_ = fd;
            break;
        }
        if (fd >= 0) {
            ::close(fd);
            UpdLog("Queued article incomplete, not sent: " + path);
        }
        ++queuePos_;
    }
    if (postFd_ < 0) {
        NextQueuedFile();
        return;
    }
    UpdLog("Requesting to Post");
    ExpectLine(kSendArticle);
    SendTcp("POST\r\n");
}

void qvServer::MsgSendArticle() {
    const std::string reply = replyLine_;
    ExpectLine(0);
    if (!StartsWith(reply, "340")) {
        // Sent after a refusal, the article's lines would be read as commands.
        UpdLog("Posting refused: " + reply);
        ::close(postFd_);
        postFd_ = -1;
        ++queuePos_;
        NextQueuedFile();
        return;
    }
    UpdLog("Sending Article");
    ExpectLine(kArticlePosted);
    const int fd = postFd_;
    postFd_ = -1;
    SendTcpFile(fd);
}

void qvServer::MsgArticlePosted() {
    const std::string reply = replyLine_;
    ExpectLine(0);
    if (sendFd_ >= 0) {
        // A reply before the whole article went out: the two sides no longer
        // agree on where the article ends.
        UpdLog("Server replied before the article was sent: " + reply);
        CmOk();
        return;
    }
    UpdLog("Article Sent");
    if (reply.size() >= 3 && reply.compare(0, 3, "240") == 0) {
        ::unlink(queue_[queuePos_].c_str());
    } else {
        UpdLog("Article not accepted, kept in the queue: " + reply);
    }
    ++queuePos_;
    NextQueuedFile();
}

void qvServer::NextQueuedFile() {
    if (queuePos_ < queue_.size()) {
        Post(kStartPost);
        return;
    }
    SendTcp(".\r\nQUIT\r\n");
    CmOk();
}
