#pragma once
// What the fuzz targets share: one scratch directory per process, a store
// template rebuilt before every input, a checker that the store holds
// nothing it should not, and a driver that feeds a reader session in pieces.
//
// Each input starts from the same files, so a crash reproduces from its
// input alone. The scratch directory lives under $TMPDIR, or /dev/shm when
// TMPDIR is unset (settings rewrites fsync, which is slow on a disk), and
// is removed when the process exits, a check fails or a sanitizer reports.

#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/File.h"
#include "store/StoreNames.h"

namespace fuzz {

inline const std::string& Root();
inline void RemoveRoot();

// Stops the run with a message; libFuzzer reports the input that did it.
[[noreturn]] inline void Fail(const std::string& what) {
    std::fprintf(stderr, "fuzz invariant: %s\n", what.c_str());
    std::fflush(stderr);
    RemoveRoot();
    std::abort();
}

inline void Check(bool ok, const std::string& what) {
    if (!ok) Fail(what);
}

// The process's scratch directory (no trailing "/"), made on first use and
// removed at exit, on a failed check and on a sanitizer report. The path is
// never freed: the exit handler runs after static destructors.
inline std::string* rootPath = nullptr;

inline void RemoveRoot() {
    if (rootPath == nullptr) return;
    std::error_code ec;
    std::filesystem::remove_all(*rootPath, ec);
}

inline const std::string& Root() {
    if (rootPath != nullptr) return *rootPath;
    const char* env = std::getenv("TMPDIR");
    const std::string base =
        env && *env ? env : (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    std::string pattern = base + "/qvfuzz-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr) {
        std::fprintf(stderr, "cannot make a scratch directory under %s\n", base.c_str());
        std::abort();
    }
    rootPath = new std::string(buf.data());
    std::atexit(RemoveRoot);
    __sanitizer_set_death_callback(RemoveRoot);
    return *rootPath;
}

inline bool WriteFile(const std::string& path, std::string_view data) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool ok = files::WriteAll(fd, data);
    return ::close(fd) == 0 && ok;
}

inline std::string ReadFile(const std::string& path) {
    return files::ReadWholeFile(path).value_or(std::string());
}

// Empties a directory (it stays).
inline void Clear(const std::string& dir) {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        std::filesystem::remove_all(e.path(), ec);
}

// Every path below dir, relative to it, directories with a trailing "/".
inline std::vector<std::string> Tree(const std::string& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::string rel = it->path().lexically_relative(dir).string();
        if (it->is_directory(ec) && !it->is_symlink(ec)) rel += "/";
        out.push_back(std::move(rel));
    }
    return out;
}

// ---- the news store every reader input starts from

// Groups: local.test (local, posting allowed, articles 1 to 6 with the odd
// cases a store holds), comp.ext (fed from upstream), local.closed (local,
// no posting), Mixed.Case (listed in another case than its directory).
inline constexpr std::string_view kIndex =
    "[Groups]\r\nTotal=5\r\nG00001=local.test\r\nG00002=comp.ext\r\nG00003=local.closed\r\n"
    "G00004=Mixed.Case\r\nG00005=unlisted.nosection\r\n"
    "[local.test]\r\nLocal=Yes\r\nAllowPost=Yes\r\nLow=1\r\nHigh=6\r\nAdddate=20240110\r\naddtime="
    "120000\r\n"
    "[comp.ext]\r\nLocal=No\r\nAllowPost=Yes\r\nLow=3\r\nHigh=10\r\nAdddate=20240110\r\naddtime="
    "120001\r\n"
    "[local.closed]\r\nLocal=Yes\r\nAllowPost=No\r\nLow=1\r\nHigh=1\r\nAdddate=20240301\r\naddtime="
    "000000\r\n"
    "[mixed.case]\r\nLocal=Yes\r\nAllowPost=Yes\r\nLow=1\r\nHigh=0\r\nAdddate=20991231\r\naddtime="
    "235959\r\n";

struct TemplateArticle {
    const char* group;
    long number;
    const char* file;          // content file name inside the group directory
    std::string_view content;  // empty: index file only
};

using namespace std::string_view_literals;  // "..."sv keeps embedded NULs

inline constexpr TemplateArticle kArticles[] = {
    {"local.test", 1, "one@example.com",
     "220 9876 <one@example.com> article\r\nPath: up!not-for-mail\r\nFrom: a@b.example\r\n"
     "Subject: Hello\tthere\r\nMessage-ID: <one@example.com>\r\nDate: Mon, 1 Jan 2024 10:00:00 "
     "GMT\r\n"
     "References: <zero@example.com>\r\nLines: 2\r\n\r\nline one\r\n..dotted\r\n.\r\n"sv},
    // Locally posted: no Message-ID of its own.
    {"local.test", 2, "RAW0000000002",
     "220 2 <x>\r\nFrom: c@d.example\r\nSubject:  Second\r\n\r\nbody\r\n.\r\n"sv},
    // Content missing, and content still arriving.
    {"local.test", 3, "gone@example.com", ""},
    {"local.test", 4, "half@example.com", "220 1 <half@example.com>\r\nSubject: half\r\n"sv},
    // No empty line at all, and no status line.
    {"local.test", 5, "flat@example.com", "Subject: flat\r\nFrom: x\r\n.\r\n"sv},
    // Bare LF line ends, a folded header, a NUL and a lone CR.
    {"local.test", 6, "odd@example.com",
     "220 6 <odd@example.com>\nSubject: odd\n\tfolded\nX-Nul: a\0b\nX-Cr: a\rb\n\nbody\n..\r\n.\r\n"sv},
    {"comp.ext", 7, "ext@example.com",
     "220 7 <ext@example.com>\r\nNewsgroups: comp.ext\r\nSubject: ext\r\n\r\n.\r\n"sv},
};

// The template's files: path below the scratch directory and contents.
inline const std::vector<std::pair<std::string, std::string>>& TemplateFiles() {
    static const auto* files = [] {
        auto* out = new std::vector<std::pair<std::string, std::string>>;
        const std::string news = Root() + "/news/";
        out->emplace_back("news/newsrc.ini", std::string(kIndex));
        for (const TemplateArticle& a : kArticles) {
            char name[32];
            std::snprintf(name, sizeof name, "NEWS%010ld", a.number);
            const std::string content = std::string(a.group) + "/" + a.file;
            out->emplace_back("news/" + std::string(a.group) + "/" + name, news + content + "\r\n");
            if (!a.content.empty()) out->emplace_back("news/" + content, std::string(a.content));
        }
        return out;
    }();
    return *files;
}

inline constexpr const char* kTemplateDirs[] = {
    "news/",          "news/POSTS/",        "news/local.test/",
    "news/comp.ext/", "news/local.closed/", "news/Mixed.Case/"};

// The news directory (ending in "/") below the scratch directory, brought
// back to the template. Files that still match are left alone, so that an
// unchanged group index keeps its identity and the profile reader's cache
// can serve it, as it would in a running server.
inline std::string ResetStore() {
    const std::string root = Root() + "/";
    std::error_code ec;
    for (const std::string& rel : Tree(Root())) {
        bool keep = false;
        for (const char* d : kTemplateDirs) keep = keep || rel == d;
        for (const auto& [path, text] : TemplateFiles()) keep = keep || rel == path;
        if (!keep) std::filesystem::remove_all(root + rel, ec);
    }
    for (const char* d : kTemplateDirs) std::filesystem::create_directories(root + d, ec);
    for (const auto& [path, text] : TemplateFiles())
        if (ReadFile(root + path) != text && !WriteFile(root + path, text))
            Fail("cannot write " + path);
    return root + "news/";
}

// True for the names a session may leave behind in the store.
inline bool AllowedStorePath(std::string_view rel) {
    auto numbered = [](std::string_view name, std::string_view prefix) {
        if (!name.starts_with(prefix) || name.size() != prefix.size() + 10) return false;
        for (char c : name.substr(prefix.size()))
            if (c < '0' || c > '9') return false;
        return true;
    };
    if (rel == "news/" || rel == "news/newsrc.ini" || rel == "news/POSTS/") return true;
    if (rel.starts_with("news/POSTS/")) {
        const std::string_view name = rel.substr(11);
        return name.starts_with("QVE") && name.ends_with(".TMP") &&
               name.find('/') == std::string_view::npos;
    }
    for (const char* g : {"local.test", "comp.ext", "local.closed", "Mixed.Case"}) {
        const std::string dir = std::string("news/") + g + "/";
        if (rel == dir) return true;
        if (!rel.starts_with(dir)) continue;
        const std::string_view name = rel.substr(dir.size());
        if (name.find('/') != std::string_view::npos) return false;
        if (numbered(name, "NEWS") || numbered(name, "RAW")) return true;
        // A local posting is named after its Message-ID, as SafeArticleName
        // makes names: never hidden, never a path.
        if (!name.empty() && (name[0] == '%' || store::SafeArticleName(name) == name)) return true;
        for (const TemplateArticle& a : kArticles)
            if (a.group == std::string_view(g) && name == a.file) return true;
    }
    return false;
}

// Fails when anything outside the template's names exists below the
// scratch directory: a path built from network input that escaped, a work
// file left behind, a temporary file of a rewrite.
inline void CheckStoreTree() {
    for (const std::string& rel : Tree(Root()))
        Check(AllowedStorePath(rel), "unexpected file in the scratch directory: " + rel);
}

// ---- input pieces

// Turns a control byte into a piece length and a drain mode, so that the
// fuzzer chooses where reads split and how fast the reader drains.
struct Piece {
    std::size_t length;
    bool partialDrain;  // consume only part of the pending output
};

inline Piece DecodePiece(std::uint8_t c) {
    const std::size_t unit = (c & 0x20) ? 97 : 1;
    return {((c & 0x1f) + 1u) * unit, (c & 0x40) != 0};
}

// The plan at the front of an input: one byte n (taken modulo 16), then n
// control bytes used in turn; n = 0 sends everything as one piece.
struct Plan {
    std::vector<std::uint8_t> controls;
    std::string_view data;
};

inline Plan SplitPlan(const std::uint8_t* bytes, std::size_t size) {
    Plan p;
    if (size == 0) return p;
    const std::size_t n = std::min<std::size_t>(bytes[0] % 16, size - 1);
    p.controls.assign(bytes + 1, bytes + 1 + n);
    p.data = std::string_view(reinterpret_cast<const char*>(bytes) + 1 + n, size - 1 - n);
    return p;
}

}  // namespace fuzz
