#pragma once
// Turns a socket error code in the Winsock numbering into a one-line reason
// text, and joins it to a caller's message for a message box. Sockets report
// errno values; the code that shows one converts it with WinsockError, so
// the texts read as they always have.

#include <cstddef>
#include <string>
#include <string_view>

// errno to the Winsock code (EAGAIN/EWOULDBLOCK/EINPROGRESS 10035,
// ECONNREFUSED 10061, ECONNRESET 10054, EPIPE 10058, ...). 0 stays 0; an
// errno without a counterpart gives 10022 (invalid argument).
int WinsockError(int errnoValue);

class SocketError {
public:
    // maxLength is the buffer size the caller had in mind (terminator
    // included). The text is sized to what it holds, so a long reason
    // joined to a long message is never cut.
    SocketError(int code, int maxLength);
    virtual ~SocketError() = default;
    SocketError(const SocketError&) = default;
    SocketError& operator=(const SocketError&) = default;

    // Same code, same error.
    bool operator==(const SocketError& other) const { return code_ == other.code_; }

    // Replaces the code and rebuilds the reason text.
    void ISocketError(int code);

    int GetReasonValue() const { return code_; }
    const char* GetReasonString() const { return text_.c_str(); }
    // Copies the current text into buffer (at most size - 1 characters and
    // a terminator) and returns buffer.
    char* CopyReasonString(char* buffer, std::size_t size) const;

    // Rebuilds the text: "Winsock Error <code> <table text>".
    const char* GetErrorString();

    // message, two line feeds, then the current text. This form replaces
    // the object's text with the joined text and returns it; calling it
    // twice appends to the already joined text.
    const char* AppendError(std::string_view message);
    // The same into the caller's buffer (cut to size - 1 characters);
    // the object is unchanged. Returns buffer.
    char* AppendError(std::string_view message, char* buffer, std::size_t size) const;

    // The table text for a code, "(???): Unknown error or no error" for an
    // unlisted code (0 included).
    static const char* ReasonText(int code);

private:
    int code_;
    [[maybe_unused]] int
        maxLength_;  // kept for callers that size by it; the text is sized to itself
    std::string text_;
};
