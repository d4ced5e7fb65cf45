#pragma once
// The additive key-stream scramble that keeps the dial-up password from being
// readable at a glance in the settings file. It is not encryption: anyone with
// the program can undo it. The position in the key carries over between calls
// on one object, so scrambling and unscrambling each take a fresh Cipher.

#include <cstdint>
#include <string>
#include <string_view>

class Cipher {
public:
    Cipher() { KeyReset(); }
    void KeyReset() { position_ = 0; }
    // Each byte of text gets the next key byte added (Decrypt: subtracted),
    // modulo 256; the key repeats. The whole text is scrambled, bytes that
    // become 0 included, and the text is returned.
    std::string& Encrypt(std::string_view key, std::string& text);
    std::string& Decrypt(std::string_view key, std::string& text);

private:
    std::string& Apply(std::string_view key, std::string& text, int sign);
    std::uint32_t position_ = 0;
};
