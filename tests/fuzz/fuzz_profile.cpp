// The profile-file reader: the input is written as an INI file, read back
// through every section and key it names, then changed with WriteString
// (set, delete a key, delete a section), each change checked for doing
// exactly what it says and nothing else.
// Input layout: the file's bytes; the last line (after the final LF, when
// there is one) also supplies the section, key and value written.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "settings/Profile.h"
#include "tests/fuzz/FuzzCommon.h"

namespace {

// A key is absent when reads with two different defaults return them.
bool Absent(const std::string& file, std::string_view section, std::string_view key) {
    return profile::GetString(file, section, key, "a", 1 << 20) == "a" &&
           profile::GetString(file, section, key, "b", 1 << 20) == "b";
}

using Entries = std::map<std::pair<std::string, std::string>, std::string>;

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Every (section, key) the file lists, with the value a read returns.
Entries ReadAll(const std::string& file) {
    Entries all;
    for (const std::string& section : profile::SectionNames(file)) {
        for (const std::string& key : profile::KeyNames(file, section)) {
            const std::string v = profile::GetString(file, section, key, "", 1 << 20);
            fuzz::Check(!Absent(file, section, key),
                        "a listed key reads as absent: [" + section + "] " + key);
            (void)profile::GetInt(file, section, key, -7);
            all[{Lower(section), Lower(key)}] = v;
        }
    }
    return all;
}

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::string Trim(std::string_view s) {
    while (!s.empty() && Blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && Blank(s.back())) s.remove_suffix(1);
    return std::string(s);
}

// Every entry of before except the one of (section, key) must read the same.
void CheckOthers(const Entries& before, const Entries& after, const std::string& section,
                 const std::optional<std::string>& key, const std::string& what) {
    for (const auto& [k, v] : before) {
        if (k.first == Lower(section) && (!key || k.second == Lower(*key))) continue;
        auto it = after.find(k);
        fuzz::Check(it != after.end(), what + " lost [" + k.first + "] " + k.second);
        fuzz::Check(it->second == v, what + " changed [" + k.first + "] " + k.second);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Clear(fuzz::Root());
    const std::string file = fuzz::Root() + "/test.ini";
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!fuzz::WriteFile(file, text)) fuzz::Fail("cannot write the profile");

    const Entries before = ReadAll(file);
    // Short reads are cut, never overrun.
    for (const auto& [k, v] : before) {
        const std::string cut = profile::GetString(file, k.first, k.second, "", 4);
        fuzz::Check(cut == v.substr(0, 3), "maxLen cut wrong");
        fuzz::Check(profile::GetString(file, k.first, k.second, "d", 0).empty(),
                    "maxLen 0 not empty");
    }

    // What to write: from the last line, "section|key|value".
    const std::size_t lf = text.rfind('\n');
    const std::string_view request = lf == std::string_view::npos ? text : text.substr(lf + 1);
    const std::size_t bar1 = request.find('|');
    const std::size_t bar2 = bar1 == std::string_view::npos ? bar1 : request.find('|', bar1 + 1);
    std::string section = "Fuzz";
    std::string key = "Key";
    std::string value = "value";
    if (bar2 != std::string_view::npos) {
        section = std::string(request.substr(0, bar1));
        key = std::string(request.substr(bar1 + 1, bar2 - bar1 - 1));
        value = std::string(request.substr(bar2 + 1));
    } else if (!before.empty()) {
        // Otherwise overwrite the first entry with the request text.
        section = before.begin()->first.first;
        key = before.begin()->first.second;
        value = std::string(request);
    }

    // Set.
    const bool written = profile::WriteString(file, section, key, value);
    const Entries afterSet = ReadAll(file);
    if (written) {
        const std::string got = profile::GetString(file, section, key, "", 1 << 20);
        fuzz::Check(!Absent(file, section, key) && got == Trim(value),
                    "value does not read back as written");
        CheckOthers(before, afterSet, Trim(section), Trim(key), "setting a key");
    } else {
        fuzz::Check(afterSet == before, "a refused write changed the file");
        fuzz::Check(fuzz::ReadFile(file) == text, "a refused write touched the file");
    }
    // Writing the same value again changes nothing.
    if (written) {
        const std::string again = fuzz::ReadFile(file);
        fuzz::Check(profile::WriteString(file, section, key, value),
                    "rewriting the same value failed");
        fuzz::Check(fuzz::ReadFile(file) == again, "rewriting the same value changed the file");
    }

    // Delete the key.
    if (profile::WriteString(file, section, key, std::nullopt)) {
        fuzz::Check(Absent(file, section, key), "deleted key still reads");
        CheckOthers(afterSet, ReadAll(file), Trim(section), Trim(key), "deleting a key");
    }

    // Delete the section.
    const Entries beforeDrop = ReadAll(file);
    if (profile::WriteString(file, section, std::nullopt, std::nullopt)) {
        fuzz::Check(profile::KeyNames(file, section).empty(), "deleted section still has keys");
        CheckOthers(beforeDrop, ReadAll(file), Trim(section), std::nullopt, "deleting a section");
    }
    fuzz::Check(fuzz::Tree(fuzz::Root()).size() == 1, "a rewrite left a temporary file");
    return 0;
}
