#include "settings/Cipher.h"

std::string& Cipher::Encrypt(std::string_view key, std::string& text) {
    return Apply(key, text, 1);
}

std::string& Cipher::Decrypt(std::string_view key, std::string& text) {
    return Apply(key, text, -1);
}

std::string& Cipher::Apply(std::string_view key, std::string& text, int sign) {
    if (key.empty()) return text;
    for (char& c : text) {
        if (position_ >= key.size()) position_ = 0;
        const int k = static_cast<unsigned char>(key[position_]);
        c = static_cast<char>((static_cast<unsigned char>(c) + sign * k + 256) & 0xFF);
        ++position_;
    }
    return text;
}
