#include "settings/Base64.h"

#include <gtest/gtest.h>

namespace {

std::string Encode(std::string_view text, int& column) {
    return Encoder().EncodeString(text, column);
}

// "aaa" encodes to "YWFh"; n groups of it.
std::string Groups(int n) {
    std::string s;
    while (n-- > 0) s += "YWFh";
    return s;
}

TEST(Base64, LineBreakAfterSixtyCharacters) {
    struct Case {
        std::size_t length;
        int startColumn;
        std::string want;
        int endColumn;
    } cases[] = {
        {0, 0, "", 0},
        {1, 0, "YQ==", 4},
        {42, 0, Groups(14), 56},              // the longest password without a break
        {43, 0, Groups(14) + "YQ==\r\n", 0},  // "=" fill counts toward the line
        {45, 0, Groups(15) + "\r\n", 0},
        {46, 0, Groups(15) + "\r\nYQ==", 4},
        {90, 0, Groups(15) + "\r\n" + Groups(15) + "\r\n", 0},
        {3, 58, "YW\r\nFh", 2},  // a line already partly used
    };
    for (const Case& c : cases) {
        int column = c.startColumn;
        EXPECT_EQ(c.want, Encode(std::string(c.length, 'a'), column))
            << c.length << " bytes from column " << c.startColumn;
        EXPECT_EQ(c.endColumn, column) << c.length;
    }
}

TEST(Base64, StandardEncodingAndFill) {
    struct Case {
        std::string_view plain, encoded;
    } cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"\xff\xfe\x80", "//6A"},
        {std::string_view("\0\0\0", 3), "AAAA"},
    };
    for (const Case& c : cases) {
        int column = 0;
        EXPECT_EQ(c.encoded, Encode(c.plain, column)) << c.encoded;
        EXPECT_EQ(c.plain, Decoder().DecodeString(c.encoded)) << c.encoded;
    }
    // The fill ends one text: the next call on the same encoder starts clean.
    Encoder e;
    int column = 0;
    EXPECT_EQ("YQ==", e.EncodeString("a", column));
    EXPECT_EQ("Yg==", e.EncodeString("b", column));
}

TEST(Base64, DecoderSkipsForeignCharactersAndStopsAtLineFeed) {
    struct Case {
        std::string_view encoded, plain;
    } cases[] = {
        {" ", ""},
        {"Zm9v\r\nYmFy", "foo"},   // a line feed ends the text
        {"Zm9v\rYmFy", "foobar"},  // a lone CR is skipped
        {"Zm 9v-Ym*Fy", "foobar"},
        {"Zg==Zg==", "f\x06`"},  // "=" is skipped, not an end
    };
    for (const Case& c : cases) EXPECT_EQ(c.plain, Decoder().DecodeString(c.encoded)) << c.encoded;

    // Leftover bits carry over to the next call on the same decoder.
    Decoder d;
    EXPECT_EQ("a", d.DecodeString("YW"));
    EXPECT_EQ("bc", d.DecodeString("Jj"));
}

TEST(Base64, ConvertValues) {
    struct Case {
        char c;
        int want;
    } cases[] = {{'A', 0},  {'Z', 25}, {'a', 26}, {'z', 51},  {'0', 52}, {'9', 61},    {'+', 62},
                 {'/', 63}, {'=', -2}, {' ', -1}, {'\r', -1}, {'-', -1}, {'\xc3', -1}, {'\0', -1}};
    for (const Case& c : cases) EXPECT_EQ(c.want, Decoder::Convert(c.c)) << int(c.c);
}

TEST(Base64, EveryByteRoundTrips) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    int column = 0;
    EXPECT_EQ(all.substr(0, 45), Decoder().DecodeString(Encoder().EncodeString(all, column)))
        << "reading stops at the first line break";
    std::string oneLine;
    column = 0;
    for (char c : Encoder().EncodeString(all, column))
        if (c != '\r' && c != '\n') oneLine += c;
    EXPECT_EQ(all, Decoder().DecodeString(oneLine));
}

}  // namespace
