// ParseIP and the allow list: the input's first line is the peer, the rest
// is "allowip.ini". ParseIP is compared with a plain split at the dots, and
// AllowConnection with a line-by-line reading of the file through it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "reader/ReaderText.h"
#include "tests/fuzz/FuzzCommon.h"

namespace {

// What ParseIP promises, written the obvious way: split at every ".",
// more than four parts is no mask, parts are assigned from the right, "*"
// (as the first character) is -1, anything else reads like atol.
void ReferenceParse(std::string_view text, long out[4]) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = text.find('.', start);
        parts.push_back(text.substr(start, dot == std::string_view::npos ? dot : dot - start));
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    for (int i = 0; i < 4; ++i) out[i] = -2;
    if (parts.size() > 4) return;
    const std::size_t skip = 4 - parts.size();
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string_view p = parts[i];
        out[skip + i] = (!p.empty() && p.front() == '*') ? -1 : ToNumber(p);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::size_t lf = text.find('\n');
    const std::string_view peer = text.substr(0, lf);
    const std::string_view list =
        lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);

    long got[4];
    long want[4];
    ParseIP(peer, got[0], got[1], got[2], got[3]);
    ReferenceParse(peer, want);
    for (int i = 0; i < 4; ++i) {
        fuzz::Check(got[i] == want[i], "ParseIP disagrees with a split at the dots");
        fuzz::Check(got[i] >= -2147483647L && got[i] <= 2147483647L, "ParseIP part out of range");
    }

    const std::string file = fuzz::Root() + "/allowip.ini";
    if (!fuzz::WriteFile(file, list)) fuzz::Fail("cannot write the allow list");
    const bool admitted = AllowConnection(peer, file);

    // A line admits the peer when each of its four parts is "*" or equal to
    // the peer's; lines are cut to 89 characters and lose their CR.
    bool expect = false;
    std::size_t pos = 0;
    while (pos < list.size() && !expect) {
        std::size_t end = list.find('\n', pos);
        if (end == std::string_view::npos) end = list.size();
        std::string_view line = list.substr(pos, end - pos);
        if (line.size() > 89) line = line.substr(0, 89);
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        long mask[4];
        ParseIP(line, mask[0], mask[1], mask[2], mask[3]);
        bool match = true;
        for (int i = 0; i < 4; ++i) match = match && (mask[i] == -1 || mask[i] == got[i]);
        expect = match;
        pos = end + 1;
    }
    fuzz::Check(admitted == expect, "AllowConnection disagrees with the line-by-line reading");

    // The peer's own address, written as a line, always admits it.
    if (peer.size() <= 89 && peer.find('\r') == std::string_view::npos) {
        fuzz::WriteFile(file, std::string(peer) + "\r\n");
        long p[4];
        ParseIP(peer, p[0], p[1], p[2], p[3]);
        if (p[0] != -2 && p[1] != -2 && p[2] != -2 && p[3] != -2)
            fuzz::Check(AllowConnection(peer, file), "a peer is refused by its own address");
    }
    return 0;
}
