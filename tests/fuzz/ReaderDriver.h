#pragma once
// Feeds a reader session the way qvClient does, with the read sizes and the
// reader's draining speed chosen by the fuzzer, and checks the session's
// promises on the way: it never asks for input it cannot take while its
// output is drained, its output queue stays bounded, every log line is one
// line, and once idle the output ends at a line end.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "reader/ReaderSession.h"
#include "tests/fuzz/FuzzCommon.h"

namespace fuzz {

inline constexpr std::string_view kPeer = "10.0.0.5";

// The most output that may wait: production stops at the high-water mark,
// but the step that crosses it may add one file chunk (64 KiB), and one
// command's reply may echo a whole command line.
inline constexpr std::size_t kOutputBound =
    ReaderSession::kOutputHighWater + 64 * 1024 + ReaderSession::kReadBufferLimit + 4096;

class ReaderDriver {
public:
    explicit ReaderDriver(const std::string& news) : session_(news, std::string(kPeer)) {
        session_.SetLogSink([](std::string_view line) {
            const std::string prefix = "[" + std::string(kPeer) + "] ";
            Check(line.starts_with(prefix), "log line without the peer tag");
            Check(line.size() <= 511, "log line longer than 511 characters");
            Check(line.find_first_of("\r\n") == std::string_view::npos,
                  "log line with a line break");
        });
        session_.SetClock([] { return std::time_t{1718445600}; });  // 2024-06-15 10:00 UTC
    }

    ReaderSession& Session() { return session_; }
    // Called with a piece's control byte before the piece is sent, when the
    // byte has its top bit set: the store changes under the session. Called
    // again with -1 once the session has answered that piece.
    void SetMutator(std::function<void(int)> m) { mutate_ = std::move(m); }
    const std::string& Output() const { return output_; }

    // Sends data in pieces as the plan's control bytes say.
    void Feed(std::string_view data, const std::vector<std::uint8_t>& controls) {
        std::size_t pos = 0;
        std::size_t k = 0;
        while (pos < data.size() && !session_.Ended()) {
            const Piece piece = controls.empty() ? Piece{data.size(), false}
                                                 : DecodePiece(controls[k++ % controls.size()]);
            std::size_t room = session_.InputRoom();
            if (room == 0) {
                // A reader that drains everything must always be able to send more.
                DrainAll();
                room = session_.InputRoom();
                Check(room > 0 || session_.Ended(), "no input room although all output was taken");
                continue;
            }
            const int control = controls.empty() ? 0 : controls[(k - 1) % controls.size()];
            const bool mutated = mutate_ && (control & 0x80);
            if (mutated) mutate_(control);
            const std::size_t len = std::min({piece.length, room, data.size() - pos});
            session_.Receive(data.substr(pos, len));
            pos += len;
            CheckBound();
            if (piece.partialDrain && !mutated) {
                Take(session_.Output().size() / 2);
            } else {
                DrainAll();
                if (mutated) mutate_(-1);
            }
        }
    }

    // Drains until the session has nothing more to say; it must then be idle
    // or ended, and a finished reply ends with CR LF.
    void DrainAll() {
        for (int guard = 0;; ++guard) {
            Check(guard < 100000, "output never stops");
            session_.Advance();
            CheckBound();
            if (session_.Output().empty()) break;
            Take(session_.Output().size());
        }
        Check(session_.Idle() || session_.Ended(), "drained but neither idle nor ended");
        Check(output_.empty() || output_.ends_with("\r\n"), "output does not end with CR LF");
    }

private:
    void Take(std::size_t n) {
        const std::string_view out = session_.Output();
        n = std::min(n, out.size());
        output_.append(out.substr(0, n));
        session_.Consume(n);
    }

    void CheckBound() {
        Check(session_.Pending() <= kOutputBound, "output queue grew past its bound");
        Check(session_.Pending() == session_.Output().size(), "Pending and Output disagree");
    }

    ReaderSession session_;
    std::string output_;
    std::function<void(int)> mutate_;
};

}  // namespace fuzz
