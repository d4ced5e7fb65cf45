#pragma once
// One NNTP client session with the upstream news server, for one piece of
// work of one kind: refresh the list of all groups (4003), send the queued
// local posts (4004) or fetch the new articles of the subscribed groups
// (4005).
//
// The session runs in strict lock-step: one command, then exactly one reply
// line or one multi-line reply, then the next command. Everything is driven
// by events on the core's one thread: socket notifications (message 1325,
// sent synchronously by the socket), messages the session posts to itself,
// and the idle timer (4014) of the timer manager. Nothing blocks and nothing
// nests a loop: bytes to send are queued and go out as the socket drains,
// a file being sent is read chunk by chunk on write notifications.
//
// The controller's part:
//     auto* s = new qvServer(loop);
//     s->SetupWindow();                     // logs, arms the idle timer
//     s->SetKind(kind::FetchArticles); s->SetPort(119);
//     s->SetServerAddress("10.0.0.1");      // dotted; resolve names first
//     s->SetAllGroupFile("feed01.all"); s->SetSubGroupFile("feed01.sub");
//     s->Run();
//     ...                                   // later, on the 5-second tick:
//     if (s->GetState() == 2) delete s;
// A session never deletes itself, and only reaches state 2 from its own
// end of session (CmOk), so the controller never destroys it inside one of
// its handlers. Log lines go to PaneWindow->UpdLog as "[address] text";
// traffic counts are posted to PaneWindow as 4033 / 4034.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/EventLoop.h"

class StreamSocket;

// The n-th word (from 1) of a reply line; words are separated by single
// blanks. A count beyond the last word gives the last word, and a line
// without a blank gives the whole line.
std::string GetReplyWord(int n, std::string_view line);

class qvServer : public MessageTarget {
public:
    // Session events (posted to the session itself).
    enum Event {
        kConnected = 4002,
        kSessionTimeout = 4014,
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
    };

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

    explicit qvServer(EventLoop& loop);
    ~qvServer() override;

    // Logs "Attempting Server Connection" and arms the idle timer
    // ("admin"/"ServerTimeout" seconds).
    void SetupWindow();
    // Starts the work of the session's kind.
    void Run();
    // Ends the session: idle timer off, "Server Session Ended.", the group
    // checkpoint when a group was active, socket closed, state 2. Every
    // failure path and every natural end goes through it; later calls do
    // nothing.
    void CmOk();

    void SetKind(int kind) { kind_ = kind; }
    int GetKind() const { return kind_; }
    void SetPort(int port) { port_ = port; }
    int GetPort() const { return port_; }
    void SetServerAddress(std::string dotted) { serverAddress_ = std::move(dotted); }
    const std::string& GetServerAddress() const { return serverAddress_; }
    void SetAllGroupFile(std::string name) { allGroupFile_ = std::move(name); }
    void SetSubGroupFile(std::string name) { subGroupFile_ = std::move(name); }

    // 1 active, 2 ended.
    int GetState() const { return state_; }

    bool HandleMessage(int message, WPARAM wParam, LPARAM lParam) override;

private:
    // Connection and transport.
    void ConnectToServer();
    void DoSocketNotification(LPARAM eventAndError);
    void Connected();
    void TcpReadData();
    void TcpReadFile(std::string_view chunk);
    void ProcessReadBuffer();
    void SendTcp(std::string_view text);
    void SendTcpFile(int fd);
    void Flush();
    void SessionTimeout();
    void UpdLog(std::string_view text) const;
    void ShowError(std::string_view title, std::string_view text) const;
    // Waits for the next reply line, then posts event.
    void ExpectLine(int event);
    // Waits for a multi-line reply stored into target (written beside it and
    // renamed over it when complete), then posts event. A first line that
    // does not begin with okCode is the whole reply: nothing is stored.
    void ExpectFile(int event, std::string target, std::string_view okCode, std::size_t limit);
    void AbandonFile();

    // Handshake.
    void MsgServerHandshake();
    void MsgReaderModeSet();

    // Group-list refresh.
    void GroupRefresh();
    void ListRecvd();

    // Article fetch.
    void MsgGetNextGroup();
    bool GroupCheckpoint();
    void MsgStartGroup();
    void MsgPositioned();
    void ProbeNextNumber();
    void MsgGetNextArticle();
    void MsgGetArticleId();
    void MsgArticleRecvd();

    // Posting.
    void PostArticles();
    void MsgStartPost();
    void MsgSendArticle();
    void MsgArticlePosted();
    void NextQueuedFile();

    // The session.
    bool groupActive_ = false;
    int state_ = 1;
    int pending_ = kServerHandshake;
    int kind_ = 0;
    int readMode_ = 2;  // 2 line mode, 1 file mode
    int port_ = 119;
    std::string serverAddress_;
    std::string allGroupFile_;
    std::string subGroupFile_;
    std::string newsDir_;
    std::unique_ptr<StreamSocket> socket_;
    bool timerArmed_ = false;

    // Line mode.
    std::string readBuffer_;
    std::string replyLine_;
    bool lineWaiting_ = false;

    // File mode: the multi-line reply in progress.
    struct FileReceive {
        std::string target;        // where the complete reply goes
        std::string temp;          // where it is written meanwhile
        std::string okCode;        // what the first line must begin with
        std::string firstLine;     // collected until its LF
        bool checked = false;      // the first line has been judged
        bool receiving = false;    // between the first byte and the terminator
        bool ok = false;           // the reply was complete and accepted
        bool appendAfter = false;  // later bytes go on into target (QUIT after LIST)
        std::size_t limit = 0;     // most bytes taken into target (or after it)
        std::size_t received = 0;  // bytes taken so far
        int fd = -1;
        std::string pending;  // bytes not yet written to fd
        char tail[4] = {};    // the last bytes before the current chunk
        std::size_t tailLen = 0;
    } file_;

    // Sending.
    bool writeReady_ = true;
    std::string out_;
    std::size_t outPos_ = 0;
    int sendFd_ = -1;

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
