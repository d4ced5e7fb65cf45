#pragma once
// The program's version data, fixed at build time: what the About box,
// "--version" and the start line show. One place, so they never disagree.

#include <string>
#include <string_view>

namespace version {

inline constexpr std::string_view kProductName = "Quorvel";
inline constexpr std::string_view kProductVersion = "1.0";
inline constexpr std::string_view kLegalNotice =
    "Copyright (C) 1997-2026 the Quorvel developers. All rights reserved.";
// A special build names itself here; an ordinary build has none.
inline constexpr std::string_view kSpecialBuild = "";
// The frame's title and the About box's fixed line.
inline constexpr std::string_view kFrameTitle = "Quorvel - NNTP Server for Windows NT/95";

// "Quorvel Version 1.0, Release A, Build 2": the product name, the word the
// About box's line starts with, and the product version. Without a product
// name or version the word stands alone, as the About box shows it then.
inline std::string AboutLine(std::string_view word = "Version",
                             std::string_view name = kProductName,
                             std::string_view ver = kProductVersion) {
    if (name.empty() || ver.empty()) return std::string(word);
    std::string line(name);
    line += ' ';
    line += word;
    line += ' ';
    line += ver;
    line += ", Release A, Build 2";
    return line;
}

// What "quorvel --version" and "quorvel ctl about" print: the About box's
// version line, its legal notice and, for a special build, its line.
inline std::string AboutText() {
    std::string text = AboutLine() + "\n";
    if (!kLegalNotice.empty()) text += std::string(kLegalNotice) + "\n";
    if (!kSpecialBuild.empty()) text += std::string(kSpecialBuild) + "\n";
    return text;
}

}  // namespace version
