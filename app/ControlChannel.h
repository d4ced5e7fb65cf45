#pragma once
// The control channel: "quorvel ctl COMMAND" reaches the running server over
// the owner-only Unix socket "quorvel.ctl" in its home. One request per
// connection: the client sends one line of blank-separated words and reads
// the answer until the server closes. Inside a word, a blank, a tab, a line
// break, "%" and an empty word are written as "%" and two hexadecimal digits
// (an empty word as "%" alone), so a word may hold anything but NUL. The
// answer's first line is its outcome ("OK", "REFUSED" or "UNKNOWN"), the
// rest is text for the user.
//
// The server side lives on the event loop and never blocks: a client that
// connects and sends nothing is dropped after a few seconds, an answer the
// client does not read goes out as its socket drains, and a command that
// takes several passes of the loop answers when it is done.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "net/EventLoop.h"

struct CtlReply {
    enum Outcome { Ok, Refused, Unknown };
    Outcome outcome = Ok;
    std::string text;  // lines ending in "\n"
};

class ControlChannel {
public:
    using Handler = std::function<CtlReply(const std::vector<std::string>& words)>;
    // Sends the answer; call it once, now or from a later pass of the loop.
    // Calling it after the client has gone (or the channel with it) does
    // nothing.
    using Respond = std::function<void(CtlReply reply)>;
    using AsyncHandler =
        std::function<void(const std::vector<std::string>& words, Respond respond)>;

    static constexpr const char* kSocketName = "quorvel.ctl";
    static constexpr int kIdleMs = 5000;
    static constexpr std::size_t kMaxRequest = 4096;
    static constexpr std::size_t kMaxClients = 16;

    ControlChannel(EventLoop& loop, Handler handler);
    ControlChannel(EventLoop& loop, AsyncHandler handler);
    ~ControlChannel();  // closes every connection, removes the socket file
    ControlChannel(const ControlChannel&) = delete;
    ControlChannel& operator=(const ControlChannel&) = delete;

    enum class OpenResult { Opened, InUse, Failed };
    // Binds path (mode 0600) and starts accepting. A socket file that no
    // server answers on is left from a crash and is replaced; one that
    // answers belongs to a running server (InUse). error: why, for Failed.
    OpenResult Open(const std::string& path, std::string* error = nullptr);
    bool IsOpen() const { return fd_ >= 0; }
    // How long a client may take to send its request (default kIdleMs).
    void SetIdleTimeout(int ms) { idleMs_ = ms; }
    std::size_t Connections() const { return clients_.size(); }

    // True when a server answers on path.
    static bool ServerAnswers(const std::string& path);

    // One request line from words, and the words back from a line.
    static std::string EncodeWords(const std::vector<std::string>& words);
    static std::vector<std::string> DecodeWords(const std::string& line);

private:
    struct Client {
        int fd = -1;
        std::string in;
        std::string out;
        std::size_t sent = 0;
        bool answered = false;
        bool replied = false;
        int timer = 0;
        std::uint64_t serial = 0;  // tells a later client on the same descriptor apart
    };
    void Accept();
    void OnClient(int fd, std::uint32_t events);
    void Answer(Client& c, const std::string& line);
    void Reply(int fd, std::uint64_t serial, const CtlReply& reply);
    void Flush(Client& c);
    void Drop(int fd);

    EventLoop& loop_;
    AsyncHandler handler_;
    int fd_ = -1;
    std::uint64_t serial_ = 0;
    // Answers given after the channel has gone find this false.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::string path_;
    int idleMs_ = kIdleMs;
    std::map<int, std::unique_ptr<Client>> clients_;
};

// The client side: connects to "quorvel.ctl" in the current directory, sends
// the words and prints the answer's text on out. Returns the exit code:
// 0 done, 1 no server answered (message on err, naming home), 2 the server
// did not know the command, 3 the server refused it.
int RunCtlClient(const std::string& home, const std::vector<std::string>& words, std::ostream& out,
                 std::ostream& err);
