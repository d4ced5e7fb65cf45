#include "feed/ReplyFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "core/File.h"

namespace {

constexpr std::string_view kTerminator = "\r\n.\r\n";
// The most of a reply held in memory before it is written out: few, large
// system calls.
constexpr std::size_t kWriteBehind = 1024 * 1024;
// Line form: a longer data line is cut there (the rest of it is dropped).
constexpr std::size_t kLineLimit = 16 * 1024;

}  // namespace

ReplyFile::ReplyFile(std::string target, std::string temp, std::string okCode, std::size_t limit,
                     LineTransform transform)
    : target_(std::move(target)),
      temp_(std::move(temp)),
      okCode_(std::move(okCode)),
      limit_(limit),
      transform_(std::move(transform)) {}

ReplyFile::~ReplyFile() {
    if (fd_ < 0) return;
    ::close(fd_);
    ::unlink(temp_.c_str());
}

std::size_t ReplyFile::Take(std::string_view chunk) {
    if (Done()) return 0;
    std::size_t taken = 0;
    if (!statusJudged_) {
        taken = TakeStatusLine(chunk);
        chunk.remove_prefix(taken);
        if (Done() || !statusJudged_ || chunk.empty()) return taken;
    }
    return taken + (transform_ ? TakeLines(chunk) : TakeRaw(chunk));
}

std::size_t ReplyFile::TakeStatusLine(std::string_view chunk) {
    const std::size_t lf = chunk.find('\n');
    const std::size_t take = lf == std::string_view::npos ? chunk.size() : lf + 1;
    status_.append(chunk.substr(0, take));
    if (lf == std::string_view::npos && status_.size() <= kStatusLineLimit) return take;
    statusJudged_ = true;
    std::string raw = std::move(status_);
    status_ = raw;
    while (!status_.empty() && (status_.back() == '\n' || status_.back() == '\r'))
        status_.pop_back();
    const bool ok = lf != std::string_view::npos && status_.starts_with(okCode_);
    if (status_.size() > kReplyLineLimit) status_.resize(kReplyLineLimit);
    if (!ok) {
        state_ = State::Refused;
        return take;
    }
    fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        state_ = State::WriteFailed;
        return take;
    }
    if (transform_) {
        Count(raw.size());
        return take;
    }
    // The status line's own CR LF may begin the terminator of an empty
    // reply ("215 ...\r\n" then ".\r\n"), so it runs through the same scan.
    TakeRaw(raw);
    return take;
}

// The terminator may straddle two chunks: the last bytes of the reply so
// far are looked at together with the first bytes of this chunk.
std::size_t ReplyFile::TakeRaw(std::string_view chunk) {
    std::size_t end = std::string_view::npos;  // bytes of chunk that belong to the reply
    std::string window = tail_;
    window.append(chunk.substr(0, std::min(chunk.size(), kTerminator.size() - 1)));
    if (const std::size_t at = window.find(kTerminator); at != std::string::npos)
        end = at + kTerminator.size() - tail_.size();
    else if (const std::size_t in = chunk.find(kTerminator); in != std::string_view::npos)
        end = in + kTerminator.size();
    const std::string_view part = chunk.substr(0, std::min(end, chunk.size()));
    if (!Count(part.size())) return part.size();
    pending_.append(part);
    tail_.append(part);
    if (tail_.size() > kTerminator.size() - 1)
        tail_.erase(0, tail_.size() - (kTerminator.size() - 1));
    if (!WritePending(end != std::string_view::npos)) return part.size();
    if (end != std::string_view::npos) Finish();
    return part.size();
}

std::size_t ReplyFile::TakeLines(std::string_view chunk) {
    std::size_t pos = 0;
    while (pos < chunk.size() && !Done()) {
        const std::size_t lf = chunk.find('\n', pos);
        const std::size_t stop = lf == std::string_view::npos ? chunk.size() : lf;
        const std::string_view piece = chunk.substr(pos, stop - pos);
        if (!Count(stop - pos + (lf == std::string_view::npos ? 0 : 1))) return chunk.size();
        const std::size_t room = kLineLimit - std::min(kLineLimit, line_.size());
        line_.append(piece.substr(0, std::min(room, piece.size())));
        if (lf == std::string_view::npos) return chunk.size();
        pos = lf + 1;
        EndLine();
    }
    return pos;
}

void ReplyFile::EndLine() {
    std::string_view line = line_;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line == ".") {
        line_.clear();
        if (WritePending(true)) Finish();
        return;
    }
    if (line.starts_with(".")) line.remove_prefix(1);  // dot-stuffing
    pending_ += transform_(line);
    line_.clear();
    WritePending(false);
}

bool ReplyFile::Count(std::size_t bytes) {
    received_ += bytes;
    if (received_ <= limit_) return true;
    Fail(State::TooLarge);
    return false;
}

bool ReplyFile::WritePending(bool all) {
    if (pending_.empty() || (!all && pending_.size() < kWriteBehind)) return true;
    const bool ok = files::WriteAll(fd_, pending_);
    pending_.clear();
    if (!ok) Fail(State::WriteFailed);
    return ok;
}

// Complete: the reply becomes visible under its name in one step.
void ReplyFile::Finish() {
    bool ok = ::close(fd_) == 0;
    fd_ = -1;
    ok = ok && std::rename(temp_.c_str(), target_.c_str()) == 0;
    if (!ok) ::unlink(temp_.c_str());
    state_ = ok ? State::Stored : State::NotStored;
}

void ReplyFile::Fail(State state) {
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(temp_.c_str());
    }
    fd_ = -1;
    pending_.clear();
    state_ = state;
}
