#pragma once
// Private profile (INI) files with the semantics the settings and the group
// index rely on: sections and keys match without regard to case, a read takes
// a default and a maximum length, writing an absent value deletes the key and
// an absent key deletes the section, values are trimmed of surrounding blanks.
// Every rewrite goes to a temporary file in the same directory and is renamed
// over the old one, so a crash never leaves a half-written file. Every read
// sees the file as it is at the moment of the call; a lookup costs the same
// whatever the file's size.

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace profile {

struct Document;

// The file as it was at construction, for many lookups at the price of one
// read: what a whole group list needs. Lookups follow GetString's and
// GetInt's rules.
class Snapshot {
public:
    explicit Snapshot(const std::string& file);
    std::string GetString(std::string_view section, std::string_view key, std::string_view def,
                          std::size_t maxLen = 256) const;
    long GetInt(std::string_view section, std::string_view key, long def) const;
    bool Has(std::string_view section, std::string_view key) const;
    std::vector<std::string> SectionNames() const;
    std::vector<std::string> KeyNames(std::string_view section) const;

private:
    std::shared_ptr<const Document> doc_;
};

// The value, or def when the file, section or key is absent; cut to at most
// maxLen - 1 characters as the Windows call does with a buffer of maxLen.
// When a section or key appears more than once, the first entry wins.
std::string GetString(const std::string& file, std::string_view section, std::string_view key,
                      std::string_view def, std::size_t maxLen = 256);

// The value's leading decimal digits (with sign) as a number, as atol reads
// them (no digits give 0); def when the key is absent or its value empty.
long GetInt(const std::string& file, std::string_view section, std::string_view key, long def);

// value nullopt deletes the key; key nullopt deletes the whole section (every
// section of that name, comments inside included). A new key goes after the
// last entry of its section, a new section at the end of the file; comments
// and lines that are not entries are kept. Lines are written with CR LF.
// Returns false, changing nothing, when the file exists but cannot be read,
// cannot be rewritten, or the entry would not read back as written (a line
// break anywhere, "=" or a leading ";" or "[" in the key, "]" in the section,
// an empty section or key name). Deleting what is not there is success.
bool WriteString(const std::string& file, std::string_view section,
                 std::optional<std::string_view> key, std::optional<std::string_view> value);

// One change of WriteBatch, with WriteString's meaning of its parts.
struct Change {
    std::string_view section;
    std::optional<std::string_view> key;
    std::optional<std::string_view> value;
};
// Applies the changes in order and writes the file once: false, changing
// nothing, when any change would be refused by WriteString or the file
// cannot be read or rewritten.
bool WriteBatch(const std::string& file, std::span<const Change> changes);

// Names of all sections, and of all keys of one section, in file order, each
// once (sections of the same name count as one, as they do for reads).
std::vector<std::string> SectionNames(const std::string& file);
std::vector<std::string> KeyNames(const std::string& file, std::string_view section);

}  // namespace profile
