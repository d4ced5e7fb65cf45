#pragma once
// One multi-line reply of the upstream received into a file. The status
// line decides whether a body follows at all (an error reply is one line,
// and no terminator would ever come); the body is scanned for its end
// across chunks however the bytes were split; the reply is bounded; and the
// file appears under its name only when complete: it is written beside it
// under a temporary name and renamed over it, so readers never see half of
// it and a cut-off reply leaves the old file as it was.
//
// Raw form keeps the reply byte for byte: status line, CR LF line ends,
// dot-stuffing and the "." line (articles, the group list). Line form hands
// each data line to a transform, unstuffed and without its line end, and
// writes what the transform returns; the status and "." lines are not
// written (the group descriptions).

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

class ReplyFile {
public:
    enum class State {
        Receiving,    // the terminator has not arrived yet
        Stored,       // complete, and renamed to the target
        Refused,      // the status line did not carry the expected code; nothing stored
        NotStored,    // complete, but the target could not be written
        TooLarge,     // more than the limit arrived; nothing stored
        WriteFailed,  // the temporary file could not be written; nothing stored
    };
    // A data line (unstuffed, without CR LF) to the bytes written for it.
    using LineTransform = std::function<std::string(std::string_view line)>;

    // A status line longer than this is not a status line.
    static constexpr std::size_t kStatusLineLimit = 4096;
    // The status line as StatusLine keeps it.
    static constexpr std::size_t kReplyLineLimit = 514;

    // temp must lie in the target's directory (rename does not cross file
    // systems). Without a transform the file takes the raw form.
    ReplyFile(std::string target, std::string temp, std::string okCode, std::size_t limit,
              LineTransform transform = {});
    ~ReplyFile();  // a temporary file not yet renamed is removed
    ReplyFile(const ReplyFile&) = delete;
    ReplyFile& operator=(const ReplyFile&) = delete;

    // Takes received bytes while Receiving; returns how many of them belong
    // to the reply (the rest came after its terminator).
    std::size_t Take(std::string_view chunk);

    State GetState() const { return state_; }
    bool Done() const { return state_ != State::Receiving; }
    // The status line without its line end, once it has arrived.
    const std::string& StatusLine() const { return status_; }
    const std::string& Target() const { return target_; }
    const std::string& Temp() const { return temp_; }
    // Bytes taken so far, status line included, and the most taken.
    std::size_t Received() const { return received_; }
    std::size_t Limit() const { return limit_; }

private:
    std::size_t TakeStatusLine(std::string_view chunk);
    std::size_t TakeRaw(std::string_view chunk);
    std::size_t TakeLines(std::string_view chunk);
    void EndLine();
    bool Count(std::size_t bytes);
    bool WritePending(bool all);
    void Finish();
    void Fail(State state);

    std::string target_;
    std::string temp_;
    std::string okCode_;
    std::size_t limit_;
    LineTransform transform_;

    State state_ = State::Receiving;
    std::string status_;  // collected until its LF
    bool statusJudged_ = false;
    std::size_t received_ = 0;
    int fd_ = -1;
    std::string pending_;   // bytes not yet written to fd_
    std::string tail_;      // raw form: the last bytes before the current chunk
    std::string line_;      // line form: the data line being assembled
    bool lineCut_ = false;  // line form: line_ reached its bound; the rest is dropped
};
