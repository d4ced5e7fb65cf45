#include "feed/FeedSession.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <optional>

#include "core/File.h"
#include "core/Host.h"
#include "feed/ReplyFile.h"
#include "store/PostQueue.h"

namespace {

constexpr std::size_t kLogLimit = 549;

using files::DirectoryOf;

// A queued article in wire form ends with the "." line; one that does not
// would leave the server reading our next command as article text.
bool EndsWithTerminator(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size < 3) return false;
    char end[5] = {};
    const off_t n = std::min<off_t>(st.st_size, 5);
    if (::pread(fd, end + 5 - n, static_cast<std::size_t>(n), st.st_size - n) != n) return false;
    return std::string_view(end + 5 - n, static_cast<std::size_t>(n)).ends_with(".\r\n") &&
           (st.st_size == 3 || std::string_view(end, 5) == "\r\n.\r\n");
}

// Refusals that will not change on a later try: a 4xx reply other than
// 400 (service unavailable), 403 (server fault) and 436 (try again later).
// 480 and 483 ask for a login or for encryption: the article itself was
// not judged, and missing settings must not cost a posting.
bool RefusedForGood(std::string_view reply) {
    if (reply.size() < 3 || reply[0] != '4' ||
        !std::isdigit(static_cast<unsigned char>(reply[1])) ||
        !std::isdigit(static_cast<unsigned char>(reply[2])))
        return false;
    const std::string_view code = reply.substr(0, 3);
    return code != "400" && code != "403" && code != "436" && code != "480" && code != "483";
}

// A line of the upstream's LIST NEWSGROUPS ("name", blanks or tabs, the
// description) as the descriptions file holds it: name TAB description.
std::string DescriptionLine(std::string_view line) {
    const std::size_t nameEnd = std::min(line.find_first_of(" \t"), line.size());
    if (nameEnd == 0) return {};
    const std::string_view name = line.substr(0, nameEnd);
    std::string_view desc = line.substr(nameEnd);
    const std::size_t from = desc.find_first_not_of(" \t");
    desc = from == std::string_view::npos ? std::string_view() : desc.substr(from);
    while (!desc.empty() && (desc.back() == ' ' || desc.back() == '\t')) desc.remove_suffix(1);
    std::string out(name);
    out += '\t';
    out += desc;
    out += "\r\n";
    return out;
}

}  // namespace

std::string GetReplyWord(int n, std::string_view line) {
    std::size_t begin = 0;
    for (int word = 1;; ++word) {
        const std::size_t blank = line.find(' ', begin);
        if (word == n || blank == std::string_view::npos)
            return std::string(line.substr(
                begin, blank == std::string_view::npos ? std::string_view::npos : blank - begin));
        begin = blank + 1;
    }
}

FeedSession::FeedSession(Host& host) : host_(host) {}

FeedSession::~FeedSession() {
    if (sendFd_ >= 0) ::close(sendFd_);
    if (postFd_ >= 0) ::close(postFd_);
}

// ---- logging ----------------------------------------------------------------

void FeedSession::UpdLog(std::string_view text) const {
    std::string line = "[" + serverAddress_ + "] ";
    line.append(text);
    for (char& c : line)
        if (c == '\r' || c == '\n') c = ' ';
    if (line.size() > kLogLimit) line.resize(kLogLimit);
    host_.UpdLog(line);
}

void FeedSession::ShowError(std::string_view title, std::string_view text) const {
    std::string box(text);
    if (!serverAddress_.empty()) box += " (server " + serverAddress_ + ")";
    host_.MessageBox(box, title);
}

// ---- life cycle -------------------------------------------------------------

bool FeedSession::Start() {
    if (ended_) return false;
    if (newsDir_.empty() || newsDir_[0] == '!') {
        UpdLog("No news directory configured");
        End();
        return false;
    }
    const auto unnamed = [](const std::string& name) {
        return name.find_first_not_of(' ') == std::string::npos;
    };
    const auto refuse = [this](std::string_view why) {
        UpdLog(why);
        End();
        return false;
    };
    switch (kind_) {
        case kind::RefreshGroups:
            if (unnamed(allGroupFile_))
                return refuse("No group list file configured (Newsfeed01/AllGroupFile)");
            UpdLog("Requesting Group List");
            break;
        case kind::PostArticles: {
            const auto files = store::ListQueueFiles(newsDir_);
            if (!files || files->empty()) return refuse("No articles to post");
            UpdLog("Waiting for permission to post");
            break;
        }
        case kind::FetchArticles:
            if (unnamed(subGroupFile_))
                return refuse("No subscription file configured (Newsfeed01/SubGroupFile)");
            UpdLog("Requesting New Articles");
            break;
        default: return false;
    }
    ExpectLine(kServerHandshake);
    return true;
}

void FeedSession::Connected() {
    if (!ended_) UpdLog("Connected to server");
}

void FeedSession::PeerClosed() {
    if (ended_) return;
    UpdLog("Session terminated by Server");
    End();
}

void FeedSession::Timeout() {
    if (ended_) return;
    UpdLog("Session Timeout");
    End();
}

void FeedSession::End() {
    if (ended_) return;
    UpdLog("Server Session Ended.");
    // An article cut off in the middle is fetched again next time: the
    // checkpoint names the article positioned on before it.
    if (kind_ == kind::FetchArticles && mode_ == Mode::File && file_ && !file_->Done())
        lastSeen_ = lastSeenBefore_;
    file_.reset();
    if (groupActive_) GroupCheckpoint();
    groupActive_ = false;
    if (sendFd_ >= 0) ::close(sendFd_);
    if (postFd_ >= 0) ::close(postFd_);
    sendFd_ = postFd_ = -1;
    readBuffer_.clear();
    steps_.clear();
    ended_ = true;
}

void FeedSession::Advance() {
    for (int i = 0; i < kStepBudget && !steps_.empty() && !ended_; ++i) {
        const int step = steps_.front();
        steps_.pop_front();
        RunStep(step);
    }
}

void FeedSession::RunStep(int step) {
    switch (step) {
        case kListRecvd: ListRecvd(); break;
        case kDescriptionsRecvd: DescriptionsRecvd(); break;
        case kArticleRecvd: MsgArticleRecvd(); break;
        case kGetNextGroup: MsgGetNextGroup(); break;
        case kStartGroup: MsgStartGroup(); break;
        case kGetArticleId: MsgGetArticleId(); break;
        case kGetNextArticle: MsgGetNextArticle(); break;
        case kServerHandshake: MsgServerHandshake(); break;
        case kStartPost: MsgStartPost(); break;
        case kSendArticle: MsgSendArticle(); break;
        case kArticlePosted: MsgArticlePosted(); break;
        case kReaderModeSet: MsgReaderModeSet(); break;
        case kPositioned: MsgPositioned(); break;
        case kStartTlsReplied: MsgStartTlsReplied(); break;
        case kAuthUserReplied: MsgAuthUserReplied(); break;
        case kAuthPassReplied: MsgAuthPassReplied(); break;
        case kLoginRequired: MsgLoginRequired(); break;
        default: break;
    }
}

// ---- receiving --------------------------------------------------------------

void FeedSession::Receive(std::string_view bytes) {
    if (ended_ || bytes.empty()) return;
    if (mode_ != Mode::Line) {
        ReceiveFile(bytes);
    } else if (readBuffer_.size() + bytes.size() > kReadBufferLimit) {
        UpdLog("!!Buffer Overflow!!");
        End();
    } else {
        readBuffer_.append(bytes);
        ProcessReadBuffer();
    }
    Advance();
}

// One reply line at a time: the next is taken only once a step has asked
// for it, so the lock-step order of commands and replies holds.
void FeedSession::ProcessReadBuffer() {
    if (lineWaiting_ || readBuffer_.empty()) return;
    const std::size_t lf = readBuffer_.find('\n');
    if (lf == std::string::npos) return;
    std::size_t end = lf;
    if (end > 0 && readBuffer_[end - 1] == '\r') --end;
    replyLine_.assign(readBuffer_, 0, std::min(end, kReplyLineLimit));
    lineWaiting_ = true;
    readBuffer_.erase(0, lf + 1);
    if (pending_ == 0) return;
    if (WantsLogin()) {
        retryStep_ = pending_;
        Post(kLoginRequired);
    } else {
        Post(pending_);
    }
    pending_ = 0;
}

void FeedSession::ReceiveFile(std::string_view chunk) {
    if (mode_ == Mode::AfterList) {
        AppendAfterList(chunk);
        return;
    }
    // Bytes after the terminator, before the step has run, are dropped.
    if (!file_ || file_->Done()) return;
    file_->Take(chunk);
    if (!file_->Done()) return;
    fileOk_ = false;
    switch (file_->GetState()) {
        case ReplyFile::State::Stored: fileOk_ = true; break;
        case ReplyFile::State::Refused:
            // An error reply is the whole reply; the step reads it as a line.
            replyLine_ = file_->StatusLine();
            lineWaiting_ = true;
            break;
        case ReplyFile::State::NotStored: UpdLog("Cannot write " + file_->Target()); break;
        case ReplyFile::State::TooLarge:
            // Dropped for good: the fetch moves past this article next time
            // rather than fail on it forever.
            UpdLog("Reply larger than " + std::to_string(file_->Limit() >> 20) +
                   " MB, not stored: " + file_->Target());
            file_.reset();
            End();
            return;
        case ReplyFile::State::WriteFailed:
            UpdLog("Cannot write " + file_->Temp());
            End();
            return;
        case ReplyFile::State::Receiving: return;
    }
    if (pending_ != 0) {
        Post(pending_);
        pending_ = 0;
    }
}

// After the group list only the reply to QUIT is expected; it goes behind
// the "." line, and a server that keeps talking there is cut off.
void FeedSession::AppendAfterList(std::string_view chunk) {
    const std::size_t room = kAfterListLimit - std::min(appended_, kAfterListLimit);
    const bool tooMuch = chunk.size() > room;
    if (tooMuch) chunk = chunk.substr(0, room);
    appended_ += chunk.size();
    const int fd = ::open(appendTarget_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        files::WriteAll(fd, chunk);
        ::close(fd);
    }
    if (tooMuch) {
        UpdLog("Too much after the group list; session ended.");
        End();
    }
}

void FeedSession::ExpectLine(int step) {
    replyLine_.clear();
    lineWaiting_ = false;
    readBuffer_.clear();
    mode_ = Mode::Line;
    pending_ = step;
}

// The reply is written beside target and renamed over it when complete; a
// first line that does not begin with okCode is the whole reply, and
// nothing is stored.
void FeedSession::ExpectFile(int step, std::string target, std::string okCode, std::size_t limit,
                             bool descriptions) {
    ExpectLine(step);
    mode_ = Mode::File;
    std::string temp = DirectoryOf(target) + ".qvrecv-" + tempTag_ + ".tmp";
    file_.reset();
    file_ = std::make_unique<ReplyFile>(
        std::move(target), std::move(temp), std::move(okCode), limit,
        descriptions ? ReplyFile::LineTransform(DescriptionLine) : ReplyFile::LineTransform());
    fileOk_ = false;
}

// ---- sending ----------------------------------------------------------------

std::string_view FeedSession::Output() const {
    return std::string_view(out_).substr(std::min(outHead_, out_.size()));
}

void FeedSession::Consume(std::size_t n) {
    outHead_ += n;
    if (outHead_ < out_.size()) return;
    out_.clear();
    outHead_ = 0;
    FillFromFile();
}

void FeedSession::AbandonOutput() {
    out_.clear();
    outHead_ = 0;
    if (sendFd_ >= 0) ::close(sendFd_);
    sendFd_ = -1;
}

bool FeedSession::TakeActivity() {
    const bool was = activity_;
    activity_ = false;
    return was;
}

void FeedSession::SendTcp(std::string_view text) {
    if (ended_) return;
    host_.IncSent(static_cast<std::int64_t>(text.size()));
    activity_ = true;
    out_.append(text);
}

// The file's bytes go out as they are, one chunk at a time, read only when
// the previous chunk is gone; the session owns fd from now on.
void FeedSession::SendTcpFile(int fd) {
    if (sendFd_ >= 0) ::close(sendFd_);
    sendFd_ = fd;
    if (Output().empty()) FillFromFile();
}

void FeedSession::FillFromFile() {
    if (sendFd_ < 0 || !Output().empty()) return;
    out_.resize(kFileChunk);
    const ssize_t n = ::read(sendFd_, out_.data(), out_.size());
    if (n <= 0) {
        out_.clear();
        ::close(sendFd_);
        sendFd_ = -1;
        return;
    }
    out_.resize(static_cast<std::size_t>(n));
    outHead_ = 0;
    activity_ = true;  // a long file send is progress, not idleness
}

// ---- handshake --------------------------------------------------------------

void FeedSession::MsgServerHandshake() {
    // The greeting's code is not examined: a refusing server says so again
    // in its replies.
    if (startTls_) {
        ExpectLine(kStartTlsReplied);
        SendTcp("STARTTLS\r\n");
        return;
    }
    SendModeReader();
}

void FeedSession::SendModeReader() {
    // Every kind asks for reader mode first, since servers that also take
    // transit feeds answer NEXT and ARTICLE only in it.
    ExpectLine(kReaderModeSet);
    SendTcp("MODE READER\r\n");
}

void FeedSession::MsgStartTlsReplied() {
    const std::string reply = replyLine_;
    ExpectLine(0);
    if (!reply.starts_with("382")) {
        UpdLog("The server does not offer STARTTLS (" + reply +
               "); session ended, nothing sent unencrypted");
        SendTcp("QUIT\r\n");
        End();
        return;
    }
    // Nothing more is read or sent in plain text: the caller takes over.
    startTlsDue_ = true;
}

bool FeedSession::TakeStartTls() {
    const bool due = startTlsDue_ && !ended_;
    startTlsDue_ = false;
    return due;
}

void FeedSession::TlsStarted() {
    if (ended_) return;
    SendModeReader();
}

void FeedSession::MsgReaderModeSet() {
    ExpectLine(0);
    if (!user_.empty()) {
        StartLogin();
        return;
    }
    BeginWork();
}

void FeedSession::BeginWork() {
    switch (kind_) {
        case kind::RefreshGroups: GroupRefresh(); break;
        case kind::PostArticles: PostArticles(); break;
        case kind::FetchArticles: Post(kGetNextGroup); break;
        default: End(); break;
    }
}

// ---- login -----------------------------------------------------------------

void FeedSession::StartLogin() {
    // A line break would end the command early and send the rest as one.
    if (user_.find_first_of("\r\n") != std::string::npos ||
        password_.find_first_of("\r\n") != std::string::npos) {
        UpdLog("The login for the server contains a line break; it is not sent");
        SendTcp("QUIT\r\n");
        End();
        return;
    }
    UpdLog("Logging in as " + user_);
    ExpectLine(kAuthUserReplied);
    SendTcp("AUTHINFO USER " + user_ + "\r\n");
}

void FeedSession::MsgAuthUserReplied() {
    const std::string reply = replyLine_;
    ExpectLine(0);
    if (reply.starts_with("281")) return LoginDone();
    if (!reply.starts_with("381")) return LoginFailed(reply);
    ExpectLine(kAuthPassReplied);
    SendTcp("AUTHINFO PASS " + password_ + "\r\n");
}

void FeedSession::MsgAuthPassReplied() {
    const std::string reply = replyLine_;
    ExpectLine(0);
    if (reply.starts_with("281")) return LoginDone();
    LoginFailed(reply);
}

void FeedSession::LoginDone() {
    UpdLog("Logged in");
    const int step = retryStep_;
    retryStep_ = 0;
    if (step == 0) return BeginWork();
    ExpectLine(step);
    if (step == kStartGroup)
        SendTcp("GROUP " + group_ + "\r\n");
    else
        SendTcp("POST\r\n");
}

// Trying on would only be refused again, and for postings that could
// look like a refusal of the article.
void FeedSession::LoginFailed(const std::string& reply) {
    UpdLog("Login refused by the server: " + reply);
    SendTcp("QUIT\r\n");
    End();
}

bool FeedSession::WantsLogin() const {
    return replyLine_.starts_with("480") && !user_.empty() && !loginRetried_ &&
           (pending_ == kStartGroup || pending_ == kSendArticle);
}

void FeedSession::MsgLoginRequired() {
    loginRetried_ = true;
    StartLogin();
}

void FeedSession::NoteLoginWanted(std::string_view reply) {
    if (loginNoted_ || !reply.starts_with("480")) return;
    loginNoted_ = true;
    UpdLog(user_.empty() ? "The server wants a login; none is set (quorvel ctl feed user NAME, "
                           "then quorvel ctl feed password)"
                         : "The server still wants a login after it accepted ours");
}

// ---- group-list refresh -----------------------------------------------------

void FeedSession::GroupRefresh() {
    UpdLog("Loading group list");
    // The old list stays until the new one is complete.
    ExpectFile(kListRecvd, newsDir_ + allGroupFile_, "215", kGroupListLimit);
    SendTcp("LIST\r\n");
}

void FeedSession::ListRecvd() {
    const bool ok = fileOk_;
    file_.reset();
    if (!ok) {
        UpdLog("Group list not received: " + replyLine_);
        ExpectLine(0);
        SendTcp("QUIT\r\n");
        End();
        return;
    }
    // The descriptions go beside the list, in a form of our own (name TAB
    // description); a server without them leaves the old file.
    UpdLog("Loading group descriptions");
    ExpectFile(kDescriptionsRecvd, newsDir_ + allGroupFile_ + ".desc", "215", kGroupListLimit,
               true);
    SendTcp("LIST NEWSGROUPS\r\n");
}

void FeedSession::DescriptionsRecvd() {
    if (!fileOk_) UpdLog("Group descriptions not received: " + replyLine_);
    file_.reset();
    QuitAfterList();
}

void FeedSession::QuitAfterList() {
    // The reply to QUIT goes behind the list's "." line; the server's close
    // ends us.
    ExpectLine(0);
    mode_ = Mode::AfterList;
    appendTarget_ = newsDir_ + allGroupFile_;
    appended_ = 0;
    SendTcp("QUIT\r\n");
}

// ---- posting ----------------------------------------------------------------

void FeedSession::PostArticles() {
    UpdLog("Starting Post Operation");
    ExpectLine(0);
    queue_ = store::ListQueueFiles(newsDir_).value_or(std::vector<std::string>{});
    queuePos_ = 0;
    if (queue_.empty()) {
        SendTcp("QUIT\r\n");
        End();
        return;
    }
    Post(kStartPost);
}

void FeedSession::MsgStartPost() {
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

void FeedSession::MsgSendArticle() {
    const std::string reply = replyLine_;
    ExpectLine(0);
    if (!reply.starts_with("340")) {
        // Sent after a refusal, the article's lines would be read as commands.
        ::close(postFd_);
        postFd_ = -1;
        if (RefusedForGood(reply))
            RejectQueuedFile(reply);
        else
            UpdLog("Posting refused: " + reply);
        NoteLoginWanted(reply);
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

void FeedSession::MsgArticlePosted() {
    const std::string reply = replyLine_;
    ExpectLine(0);
    if (sendFd_ >= 0) {
        // A reply before the whole article went out: the two sides no longer
        // agree on where the article ends.
        UpdLog("Server replied before the article was sent: " + reply);
        End();
        return;
    }
    UpdLog("Article Sent");
    if (reply.starts_with("240"))
        ::unlink(queue_[queuePos_].c_str());
    else if (RefusedForGood(reply))
        RejectQueuedFile(reply);
    else
        UpdLog("Article not accepted, kept in the queue: " + reply);
    NoteLoginWanted(reply);
    ++queuePos_;
    NextQueuedFile();
}

// Offered again, the article would be refused again at every run; it is
// kept where its owner can find it.
void FeedSession::RejectQueuedFile(std::string_view reply) {
    const std::string& path = queue_[queuePos_];
    const std::optional<std::string> moved = store::RejectQueueFile(newsDir_, path);
    if (!moved) {
        UpdLog("Article refused for good, but cannot be moved to POSTS/" +
               std::string(store::kRejectedDirName) + ": " + std::string(reply));
        return;
    }
    UpdLog("Article refused for good, moved to " + moved->substr(newsDir_.size()) + ": " +
           std::string(reply));
}

void FeedSession::NextQueuedFile() {
    if (queuePos_ < queue_.size()) {
        Post(kStartPost);
        return;
    }
    SendTcp(".\r\nQUIT\r\n");
    End();
}
