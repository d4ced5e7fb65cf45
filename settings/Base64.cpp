#include "settings/Base64.h"

namespace {
constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kLineLength = 60;
}  // namespace

Encoder::Encoder(std::string_view first, std::string_view second) : first_(first), second_(second) {
    EncoderReset();
}

void Encoder::EncoderReset() {
    bitCount_ = 0;
    accumulator_ = 0;
}

void Encoder::Put(char c, int& column) {
    output_ += c;
    if (++column >= kLineLength) {
        output_ += "\r\n";
        column = 0;
    }
}

std::string Encoder::EncodeString(std::string_view text, int& column) {
    output_.clear();
    int counter = column;
    for (const char ch : text) {
        accumulator_ = (accumulator_ << 8) | static_cast<unsigned char>(ch);
        bitCount_ += 8;
        while (bitCount_ >= 6) {
            bitCount_ -= 6;
            Put(kAlphabet[(accumulator_ >> bitCount_) & 63], counter);
        }
    }
    // The fill ends the text, so no stray bits may reach the next call.
    if (bitCount_ == 2) {
        Put(kAlphabet[(accumulator_ << 4) & 63], counter);
        Put('=', counter);
        Put('=', counter);
    } else if (bitCount_ == 4) {
        Put(kAlphabet[(accumulator_ << 2) & 63], counter);
        Put('=', counter);
    }
    bitCount_ = 0;
    accumulator_ = 0;
    column = counter;
    return output_;
}

void Decoder::DecoderReset() {
    bitCount_ = 0;
    accumulator_ = 0;
}

int Decoder::Convert(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    if (c == '=') return -2;
    return -1;
}

std::string Decoder::DecodeString(std::string_view text) {
    output_.clear();
    for (const char c : text) {
        if (c == '\n') break;
        const int v = Convert(c);
        if (v < 0) continue;
        accumulator_ = (accumulator_ << 6) | static_cast<std::uint32_t>(v);
        bitCount_ += 6;
        if (bitCount_ >= 8) {
            bitCount_ -= 8;
            output_ += static_cast<char>((accumulator_ >> bitCount_) & 255);
        }
    }
    return output_;
}
