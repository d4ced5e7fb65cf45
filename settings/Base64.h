#pragma once
// Base64 (RFC 2045 alphabet, "=" fill) as the password store uses it. Both
// directions keep their bit count and accumulator between calls on the same
// object; a fresh object starts clean.

#include <cstdint>
#include <string>
#include <string_view>

class Encoder {
public:
    // The two texts are kept for callers that label encoded parts; the
    // password path passes none.
    explicit Encoder(std::string_view first = {}, std::string_view second = {});
    void EncoderReset();
    // The Base64 text of text. column is the number of characters already on
    // the current output line: CR LF follows whenever a line reaches 60
    // characters ("=" fill included), and column holds the count on return.
    std::string EncodeString(std::string_view text, int& column);
    static bool EndOfString(std::string_view text, std::size_t pos) { return pos > text.size(); }

private:
    void Put(char c, int& column);
    std::string output_;
    std::string first_;
    std::string second_;
    int bitCount_ = 0;
    std::uint32_t accumulator_ = 0;
};

class Decoder {
public:
    Decoder() { DecoderReset(); }
    void DecoderReset();
    // Value of one Base64 character: 0..63; -2 for "="; -1 for any other.
    static int Convert(char c);
    // The bytes encoded in text up to the first line feed. Characters outside
    // the alphabet ("=", CR, blanks) are skipped. Zero bytes are kept, so a
    // scrambled password whose byte became 0 still reads back whole.
    std::string DecodeString(std::string_view text);

private:
    std::string output_;
    int bitCount_ = 0;
    std::uint32_t accumulator_ = 0;
};
