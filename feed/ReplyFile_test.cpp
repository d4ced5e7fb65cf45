#include "feed/ReplyFile.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/util/TestUtil.h"

namespace {

namespace fs = std::filesystem;

std::string Tab(std::string_view line) { return std::string(line) + "|\r\n"; }

struct Split {
    const char* name;
    std::string reply;  // what arrives, possibly more than the reply
    bool lines;         // line form (transform Tab) instead of raw
    std::string stored;
    std::size_t taken;  // bytes that belong to the reply
};

// Feeds reply in the given pieces; returns what the target holds.
std::string Receive(const testutil::TempDir& dir, const Split& c,
                    const std::vector<std::string_view>& pieces, std::size_t* taken,
                    ReplyFile::State* state) {
    const std::string target = dir.Path() + "/target";
    fs::remove(target);
    ReplyFile f(target, dir.Path() + "/.temp", "2", 1 << 20,
                c.lines ? ReplyFile::LineTransform(Tab) : ReplyFile::LineTransform());
    *taken = 0;
    for (std::string_view p : pieces) *taken += f.Take(p);
    *state = f.GetState();
    return fs::exists(target) ? testutil::ReadFile(target) : "(none)";
}

TEST(ReplyFile, EveryPositionOfEveryCut) {
    // The terminator, dot-stuffed lines and the status line's own line end
    // may be cut anywhere between reads; what is stored never depends on it.
    const Split cases[] = {
        {"article", "220 1 <a@b>\r\nSubject: s\r\n\r\nbody\r\n.\r\n", false,
         "220 1 <a@b>\r\nSubject: s\r\n\r\nbody\r\n.\r\n", 36},
        {"stuffed dots are no end", "220 x\r\n..\r\n..\r\n.x\r\n.\r\n", false,
         "220 x\r\n..\r\n..\r\n.x\r\n.\r\n", 22},
        {"empty list", "215 list\r\n.\r\n", false, "215 list\r\n.\r\n", 13},
        {"bytes after the end", "215 l\r\na 1 1 y\r\n.\r\n205 bye\r\n", false,
         "215 l\r\na 1 1 y\r\n.\r\n", 19},
        {"a bare LF is no line start", "220 x\r\nline\n.\r\nmore\r\n.\r\n", false,
         "220 x\r\nline\n.\r\nmore\r\n.\r\n", 24},
        {"lines unstuffed", "215 d\r\n..a\tx\r\n.\r\n", true, ".a\tx|\r\n", 17},
        {"lines: a single stuffed dot", "215 d\r\n..\r\nb\r\n.\r\nQUIT", true, ".|\r\nb|\r\n", 17},
        {"lines: LF only", "215 d\nx y\n.\n", true, "x y|\r\n", 12},
    };
    testutil::TempDir dir;
    for (const Split& c : cases) {
        const std::string_view all = c.reply;
        std::vector<std::vector<std::string_view>> ways{{all}};
        for (std::size_t cut = 1; cut < all.size(); ++cut)
            ways.push_back({all.substr(0, cut), all.substr(cut)});
        std::vector<std::string_view> bytes;
        for (std::size_t i = 0; i < all.size(); ++i) bytes.push_back(all.substr(i, 1));
        ways.push_back(bytes);
        for (const auto& pieces : ways) {
            std::size_t taken = 0;
            ReplyFile::State state{};
            const std::string got = Receive(dir, c, pieces, &taken, &state);
            const std::string where = std::string(c.name) + ", first piece " +
                                      std::to_string(pieces[0].size()) + " of " +
                                      std::to_string(pieces.size());
            EXPECT_EQ(c.stored, got) << where;
            EXPECT_EQ(c.taken, taken) << where;
            EXPECT_EQ(ReplyFile::State::Stored, state) << where;
        }
        EXPECT_FALSE(fs::exists(dir.Path() + "/.temp")) << c.name;
    }
}

TEST(ReplyFile, WhatIsNotCompleteLeavesTheOldFile) {
    // A refusal, a reply past its limit and a reply cut off (the receiver
    // dropped before the end) keep the old file and leave no temporary.
    struct Case {
        const char* name;
        std::string reply;
        std::size_t limit;
        ReplyFile::State state;
        std::string status;
    } cases[] = {
        {"refused", "430 no such article\r\nmore", 1 << 20, ReplyFile::State::Refused,
         "430 no such article"},
        {"status line never ends", std::string(5000, '2'), 1 << 20, ReplyFile::State::Refused,
         std::string(ReplyFile::kReplyLineLimit, '2')},
        {"too large", "220 ok\r\n" + std::string(100, 'x') + "\r\n.\r\n", 64,
         ReplyFile::State::TooLarge, "220 ok"},
        {"cut off", "220 ok\r\nhalf an arti", 1 << 20, ReplyFile::State::Receiving, "220 ok"},
    };
    testutil::TempDir dir;
    const std::string target = dir.Path() + "/target";
    for (const Case& c : cases) {
        testutil::WriteFile(target, "old");
        {
            ReplyFile f(target, dir.Path() + "/.temp", "2", c.limit);
            f.Take(c.reply);
            EXPECT_EQ(c.state, f.GetState()) << c.name;
            EXPECT_EQ(c.status, f.StatusLine()) << c.name;
        }
        EXPECT_EQ("old", testutil::ReadFile(target)) << c.name;
        EXPECT_FALSE(fs::exists(dir.Path() + "/.temp")) << c.name;
    }
}

}  // namespace
