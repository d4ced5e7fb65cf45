#pragma once
// The NNTP side of one feed session, without the socket: received bytes go
// in through Receive, commands come out through Output and Consume. qvServer
// feeds it from its socket; tests feed it directly.
//
// One session does one piece of work of one kind (FeedKind.h): refresh the
// list of all groups, send the queued local posts, or fetch the new
// articles of the subscribed groups. It runs in strict lock-step: one
// command, then exactly one reply line or one multi-line reply, then the
// next command. A reply sets the next step; steps run in Advance (and at
// the end of Receive), a bounded number per call, so the caller can let
// others run between them while HasWork says more are queued.
//
// The caller drives time: it calls Timeout when the upstream has been
// silent too long, PeerClosed when the connection closes, and restarts its
// idle timer when bytes arrive or TakeActivity says a command went out.
// Nothing here throws, blocks or waits.

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "feed/FeedKind.h"

class Host;
class ReplyFile;

// The n-th word (from 1) of a reply line; words are separated by single
// blanks. A count beyond the last word gives the last word, and a line
// without a blank gives the whole line.
std::string GetReplyWord(int n, std::string_view line);

class FeedSession {
public:
    static constexpr std::size_t kReadBufferLimit = 24999;  // unsplit line-mode text
    static constexpr std::size_t kReplyLineLimit = 514;     // longer reply lines are cut
    // Numbers asked for one by one per group and session when the start
    // article is gone upstream.
    static constexpr long kMaxProbes = 1000;
    // A multi-line reply that grows past its limit is dropped and ends the
    // session: an article or a group list that never ends would otherwise
    // fill the disk, and the idle timer never fires while bytes flow.
    static constexpr std::size_t kArticleLimit = std::size_t{64} << 20;
    static constexpr std::size_t kGroupListLimit = std::size_t{256} << 20;
    // What may follow the group list's "." line in its file (the QUIT reply).
    static constexpr std::size_t kAfterListLimit = 4096;
    // Steps run per Advance before the caller gets control back.
    static constexpr int kStepBudget = 32;
    // Bytes read from a file being sent per chunk of output.
    static constexpr std::size_t kFileChunk = 64 * 1024;

    // Log lines and the count of bytes sent go to host.
    explicit FeedSession(Host& host);
    ~FeedSession();
    FeedSession(const FeedSession&) = delete;
    FeedSession& operator=(const FeedSession&) = delete;

    void SetKind(int kind) { kind_ = kind; }
    int GetKind() const { return kind_; }
    // Dotted; the tag of every log line.
    void SetServerAddress(std::string dotted) { serverAddress_ = std::move(dotted); }
    const std::string& GetServerAddress() const { return serverAddress_; }
    // Ends with "/"; "!" or empty: not configured.
    void SetNewsDirectory(std::string dir) { newsDir_ = std::move(dir); }
    // Relative to the news directory.
    void SetAllGroupFile(std::string name) { allGroupFile_ = std::move(name); }
    void SetSubGroupFile(std::string name) { subGroupFile_ = std::move(name); }
    // Makes the names of files under reception unique among sessions.
    void SetTempTag(std::string tag) { tempTag_ = std::move(tag); }
    // The login at the upstream (AUTHINFO USER/PASS); an empty user: none.
    // It is sent after MODE READER, and once more when GROUP or POST is
    // answered 480, which is then asked again.
    void SetLogin(std::string user, std::string password) {
        user_ = std::move(user);
        password_ = std::move(password);
    }
    // STARTTLS after the greeting. The upstream's 382 makes TakeStartTls
    // true; the caller then secures the connection and calls TlsStarted.
    // Any other reply ends the session: nothing goes out unencrypted.
    void SetStartTls(bool on) { startTls_ = on; }
    bool TakeStartTls();
    void TlsStarted();

    // Logs the work of the kind and returns true when the caller should
    // connect now; false when there is nothing to do (then Ended is true)
    // or the kind is unknown (then only Timeout ends the session).
    bool Start();
    // The connection is up; the greeting is awaited.
    void Connected();
    // Takes received bytes and runs what they make due.
    void Receive(std::string_view bytes);
    // Runs queued steps, at most kStepBudget of them.
    void Advance();
    bool HasWork() const { return !steps_.empty() && !ended_; }

    // Bytes to send. Consume(n) after n of them were written; a file being
    // sent is read on into Output chunk by chunk as it drains.
    std::string_view Output() const;
    void Consume(std::size_t n);
    // The connection would not take them: drop what waits to be sent. The
    // missing reply then ends the session (close or time-out).
    void AbandonOutput();
    // True once after a command or a chunk of a file went into Output: the
    // caller restarts its idle timer.
    bool TakeActivity();

    // The upstream closed the connection: "Session terminated by Server".
    void PeerClosed();
    // The idle time ran out: "Session Timeout".
    void Timeout();
    // Ends the session: "Server Session Ended.", the group checkpoint when a
    // group was active, files closed. Every failure path and every natural
    // end goes through it; later calls do nothing. Output already queued
    // (the final QUIT) stays for the caller to send.
    void End();
    bool Ended() const { return ended_; }

    // One log line "[address] text", CR and LF blanked, at most 549 bytes.
    void UpdLog(std::string_view text) const;
    // A message box of the host's, the server's address added: the desktop
    // shows it, the headless host logs it as "[QV] <title>: <text> (server
    // <address>)".
    void ShowError(std::string_view title, std::string_view text) const;

private:
    // Steps, each run when the reply it waits for has arrived.
    enum Step {
        kListRecvd = 4016,
        kArticleRecvd = 4017,
        kGetNextGroup = 4020,
        kStartGroup = 4021,
        kGetArticleId = 4022,
        kGetNextArticle = 4023,
        kServerHandshake = 4024,
        kStartPost = 4025,
        kSendArticle = 4026,
        kArticlePosted = 4027,
        kReaderModeSet = 4028,  // the reply to MODE READER has arrived
        kPositioned = 4030,     // the reply to STAT of the start article has arrived
        kDescriptionsRecvd = 4032,
        kStartTlsReplied = 4033,
        kAuthUserReplied = 4034,
        kAuthPassReplied = 4035,
        kLoginRequired = 4036,  // a retryable command was answered 480
    };

    // Transport.
    void Post(int step) { steps_.push_back(step); }
    void RunStep(int step);
    void ProcessReadBuffer();
    void ReceiveFile(std::string_view chunk);
    void AppendAfterList(std::string_view chunk);
    void SendTcp(std::string_view text);
    void SendTcpFile(int fd);
    void FillFromFile();
    // Waits for the next reply line, then runs step.
    void ExpectLine(int step);
    // Waits for a multi-line reply stored into target, then runs step.
    void ExpectFile(int step, std::string target, std::string okCode, std::size_t limit,
                    bool descriptions = false);

    // Handshake.
    void MsgServerHandshake();
    void MsgReaderModeSet();
    void SendModeReader();
    void BeginWork();
    void MsgStartTlsReplied();
    // Login: AUTHINFO USER, then PASS when asked; then the work, or the
    // command that was answered 480 once more.
    void StartLogin();
    void MsgAuthUserReplied();
    void MsgAuthPassReplied();
    void LoginDone();
    void LoginFailed(const std::string& reply);
    void MsgLoginRequired();
    // Whether the reply line just taken is a 480 that a login may cure.
    bool WantsLogin() const;
    // Says once per session that the upstream wants a login none is set for.
    void NoteLoginWanted(std::string_view reply);

    // Group-list refresh.
    void GroupRefresh();
    void ListRecvd();
    void DescriptionsRecvd();
    void QuitAfterList();

    // Article fetch.
    void MsgGetNextGroup();
    // Makes the group's directory and index entry and reads its High;
    // false (logged) when the group cannot be fetched now.
    bool OpenGroup();
    bool GroupCheckpoint();
    void MsgStartGroup();
    void MsgPositioned();
    void ProbeNextNumber();
    void MsgGetNextArticle();
    void MsgGetArticleId();
    void FetchArticle(const std::string& reply, long number);
    void MsgArticleRecvd();

    // Posting.
    void PostArticles();
    void MsgStartPost();
    void MsgSendArticle();
    void MsgArticlePosted();
    void RejectQueuedFile(std::string_view reply);
    void NextQueuedFile();

    Host& host_;
    int kind_ = 0;
    std::string serverAddress_;
    std::string newsDir_;
    std::string allGroupFile_;
    std::string subGroupFile_;
    std::string tempTag_ = "0";
    std::string user_;
    std::string password_;
    bool startTls_ = false;
    bool startTlsDue_ = false;
    // One login when a command is answered 480, after the one that follows
    // MODE READER: a server that asks again after that means no.
    bool loginRetried_ = false;
    bool loginNoted_ = false;
    int retryStep_ = 0;  // the step of the command answered 480; 0: none
    bool ended_ = false;
    bool groupActive_ = false;
    std::deque<int> steps_;

    // Line: replies are single lines. File: a multi-line reply goes to
    // file_. AfterList: what follows the group list goes behind it.
    enum class Mode { Line, File, AfterList };
    Mode mode_ = Mode::Line;
    int pending_ = kServerHandshake;  // the step the next reply line runs; 0: none
    std::string readBuffer_;
    std::string replyLine_;
    bool lineWaiting_ = false;

    // File mode: the multi-line reply in progress, and after the group list
    // the file that the reply to QUIT is appended to.
    std::unique_ptr<ReplyFile> file_;
    bool fileOk_ = false;
    std::string appendTarget_;
    std::size_t appended_ = 0;

    // Sending.
    std::string out_;
    std::size_t outHead_ = 0;
    int sendFd_ = -1;
    bool activity_ = false;

    // Fetch.
    long readOffset_ = 0;
    long recordOffset_ = -1;
    long start_ = 0;
    long lastSeen_ = 0;
    long lastSeenBefore_ = 0;  // lastSeen_ before the article being received
    long high_ = 0;
    long articleNumber_ = 0;
    long groupFirst_ = 0;  // the group's first and last number from GROUP
    long groupLast_ = 0;
    long probe_ = 0;  // > 0: the number asked for with STAT instead of NEXT
    std::string group_;
    std::string contentPath_;

    // Posting.
    std::vector<std::string> queue_;
    std::size_t queuePos_ = 0;
    int postFd_ = -1;
};
