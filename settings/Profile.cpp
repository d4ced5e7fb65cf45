#include "settings/Profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include "core/File.h"
#include "core/Text.h"

namespace profile {

// One line of a profile file. Every line keeps its original text so that a
// rewrite reproduces comments, blank lines and lines we do not understand.
struct Line {
    enum Kind { kOther, kSection, kKey };
    Kind kind = kOther;
    std::string raw;    // without the line ending
    std::string name;   // trimmed section or key name
    std::string value;  // trimmed value (keys only)
};

// The parsed file, and where each key is: the section's and the key's names
// in lower case, joined by an LF (which neither can hold), to the first line
// in file order that holds that key in a section of that name. So a lookup
// costs the same in a file of ten groups as in one of ten thousand. A
// document in the cache is never changed.
struct Document {
    std::vector<Line> lines;
    std::unordered_map<std::string, std::size_t> keys;

    void Index();
    const Line* Find(std::string_view section, std::string_view key) const;
};

namespace {

constexpr std::string_view kBlanks = " \t\v\f";

std::string_view Trim(std::string_view s) { return text::Trim(s, kBlanks); }

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerCopy(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = Lower(c);
    return out;
}

std::string KeyOf(std::string_view section, std::string_view key) {
    std::string k = LowerCopy(section);
    k += '\n';
    for (char c : key) k += Lower(c);
    return k;
}

using text::EqualsNoCase;

Line ParseLine(std::string raw, bool first) {
    Line line;
    std::string_view text = raw;
    if (first && text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);  // UTF-8 mark
    const std::string_view t = Trim(text);
    if (t.starts_with('[')) {
        const auto close = t.rfind(']');
        if (close != std::string_view::npos) {
            line.kind = Line::kSection;
            line.name = std::string(Trim(t.substr(1, close - 1)));
        }
    } else if (!t.starts_with(';')) {
        const auto eq = t.find('=');
        if (eq != std::string_view::npos) {
            line.kind = Line::kKey;
            line.name = std::string(Trim(t.substr(0, eq)));
            line.value = std::string(Trim(t.substr(eq + 1)));
        }
    }
    line.raw = std::move(raw);
    return line;
}

Document Parse(std::string_view data) {
    Document doc;
    std::size_t pos = 0;
    while (pos < data.size()) {
        auto end = data.find('\n', pos);
        std::size_t next = end == std::string_view::npos ? data.size() : end + 1;
        if (end == std::string_view::npos) end = data.size();
        std::string_view text = data.substr(pos, end - pos);
        if (text.ends_with('\r')) text.remove_suffix(1);
        doc.lines.push_back(ParseLine(std::string(text), doc.lines.empty()));
        pos = next;
    }
    doc.Index();
    return doc;
}

}  // namespace

// Earlier duplicates win: a key is looked up in every section of that name,
// in file order, and the first match is the value. Lines before the first
// section belong to none.
void Document::Index() {
    keys.clear();
    const std::string* section = nullptr;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Line& l = lines[i];
        if (l.kind == Line::kSection)
            section = &l.name;
        else if (section && l.kind == Line::kKey)
            keys.try_emplace(KeyOf(*section, l.name), i);
    }
}

const Line* Document::Find(std::string_view section, std::string_view key) const {
    const auto it = keys.find(KeyOf(section, key));
    return it == keys.end() ? nullptr : &lines[it->second];
}

namespace {

// Parsed files with the bytes they were parsed from, each checked against
// the file's identity and times before it is used. A file changed in place
// within one timestamp tick of our read would look unchanged, so while its
// times lie that close to now (our own rewrites included) the file is read
// again and compared byte for byte with the bytes kept: a file of ten
// thousand groups is read in a fraction of a millisecond, parsing it takes
// far longer.
struct CacheEntry {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};
    std::string data;
    std::shared_ptr<const Document> doc;
};

constexpr long long kRacySeconds = 2;

std::mutex cacheMutex;
std::map<std::string, CacheEntry>& Cache() {
    static std::map<std::string, CacheEntry> cache;
    return cache;
}

bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool Matches(const CacheEntry& e, const struct stat& st) {
    return e.dev == st.st_dev && e.ino == st.st_ino && e.size == st.st_size &&
           SameTime(e.mtime, st.st_mtim) && SameTime(e.ctime, st.st_ctim);
}

bool Settled(const struct stat& st) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return st.st_mtim.tv_sec + kRacySeconds < now.tv_sec &&
           st.st_ctim.tv_sec + kRacySeconds < now.tv_sec;
}

void Remember(const std::string& file, const struct stat& st, std::string data,
              std::shared_ptr<const Document> doc) {
    std::lock_guard lock(cacheMutex);
    Cache()[file] = CacheEntry{st.st_dev,  st.st_ino,       st.st_size,    st.st_mtim,
                               st.st_ctim, std::move(data), std::move(doc)};
}

// The file as it is now; an empty document when it is missing or unreadable,
// which makes every read return its default. unreadable is set when the file
// exists but could not be read, so that a rewrite does not replace contents
// it never saw.
std::shared_ptr<const Document> Load(const std::string& file, bool* unreadable = nullptr) {
    if (unreadable) *unreadable = false;
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (unreadable) *unreadable = errno != ENOENT;
        std::lock_guard lock(cacheMutex);
        Cache().erase(file);
        return std::make_shared<Document>();
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        if (unreadable) *unreadable = true;
        return std::make_shared<Document>();
    }
    std::shared_ptr<const Document> known;
    std::string knownData;
    {
        std::lock_guard lock(cacheMutex);
        auto it = Cache().find(file);
        if (it != Cache().end() && Matches(it->second, st)) {
            if (Settled(st)) {
                ::close(fd);
                return it->second.doc;
            }
            known = it->second.doc;
            knownData = it->second.data;
        }
    }
    std::string data;
    const bool ok = files::ReadAll(fd, data);
    ::close(fd);
    if (unreadable) *unreadable = !ok;
    if (!ok) {
        std::lock_guard lock(cacheMutex);
        Cache().erase(file);
        return std::make_shared<Document>();
    }
    if (known && data == knownData) return known;
    auto doc = std::make_shared<const Document>(Parse(data));
    Remember(file, st, std::move(data), doc);
    return doc;
}

std::string Serialize(const Document& doc) {
    std::string out;
    for (const Line& l : doc.lines) {
        out += l.raw;
        out += "\r\n";
    }
    return out;
}

bool WriteFully(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The path to replace: a symbolic link is followed so that the link stays.
std::string TargetPath(const std::string& file) {
    struct stat st {};
    if (::lstat(file.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = ::realpath(file.c_str(), nullptr)) {
            std::string path(real);
            std::free(real);
            return path;
        }
    }
    return file;
}

// Writes the whole document to a temporary file beside the target and renames
// it over the target, so readers see either the old or the new file. What was
// written is kept as the file's parse: the next read need not parse it again.
bool Save(const std::string& file, Document doc) {
    const std::string target = TargetPath(file);
    const auto slash = target.rfind('/');
    const std::string dir =
        slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string tmp = dir + "." + base + ".tmpXXXXXX";

    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return false;

    mode_t mode = 0;
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    std::string data = Serialize(doc);
    const bool ok = ::fchmod(fd, mode) == 0 && WriteFully(fd, data) && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !ok || ::rename(tmp.c_str(), target.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    if (::stat(file.c_str(), &st) == 0 && static_cast<std::size_t>(st.st_size) == data.size()) {
        doc.Index();
        Remember(file, st, std::move(data), std::make_shared<const Document>(std::move(doc)));
    } else {
        std::lock_guard lock(cacheMutex);
        Cache().erase(file);
    }
    return true;
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

// A line break would split the entry and corrupt the file; "=" in a key or
// "]" in a section name would not read back as written.
bool Valid(const Change& c) {
    if (HasLineBreak(c.section) || c.section.find(']') != std::string_view::npos ||
        Trim(c.section).empty())
        return false;
    if (c.key &&
        (HasLineBreak(*c.key) || c.key->find('=') != std::string_view::npos ||
         Trim(*c.key).empty() || Trim(*c.key).starts_with(';') || Trim(*c.key).starts_with('[')))
        return false;
    return !(c.value && HasLineBreak(*c.value));
}

// Applies one change; true when the document changed. indexed tells whether
// keys.keys (the map of the document doc's lines were copied from) still
// describes doc.lines: replacing a key's value in place keeps it, anything
// that moves lines does not.
bool Apply(Document& doc, const Document& keys, const Change& c, bool& indexed) {
    const std::string_view section = Trim(c.section);
    auto& lines = doc.lines;
    if (!c.key || !c.value) {
        // Delete every section of that name with everything it holds, or
        // the key from every section of that name.
        bool inSection = false, changed = false;
        std::vector<Line> kept;
        kept.reserve(lines.size());
        for (Line& l : lines) {
            if (l.kind == Line::kSection) inSection = EqualsNoCase(l.name, section);
            const bool drop =
                inSection &&
                (!c.key || (l.kind == Line::kKey && EqualsNoCase(l.name, Trim(*c.key))));
            if (drop) {
                changed = true;
                continue;
            }
            kept.push_back(std::move(l));
        }
        lines = std::move(kept);
        if (changed) indexed = false;
        return changed;
    }
    const std::string_view key = Trim(*c.key);
    Line entry = ParseLine(std::string(key) + "=" + std::string(*c.value), false);
    if (indexed) {
        if (const auto it = keys.keys.find(KeyOf(section, key)); it != keys.keys.end()) {
            Line& l = lines[it->second];
            if (l.raw == entry.raw) return false;
            l = std::move(entry);
            return true;
        }
    }
    bool inSection = false;
    std::size_t insertAt = lines.size() + 1;  // past the end: section not found
    // The key's line in the first section of that name that has it.
    std::optional<std::size_t> found;
    for (std::size_t i = 0; i < lines.size() && !found; ++i) {
        const Line& l = lines[i];
        if (l.kind == Line::kSection) {
            inSection = EqualsNoCase(l.name, section);
            if (inSection && insertAt > lines.size()) insertAt = i + 1;
        } else if (inSection && l.kind == Line::kKey && EqualsNoCase(l.name, key)) {
            found = i;
        }
    }
    if (found) {
        if (lines[*found].raw == entry.raw) return false;
        lines[*found] = std::move(entry);
        return true;
    }
    if (insertAt <= lines.size()) {
        // After the last key of the first section of that name.
        std::size_t pos = insertAt;
        for (std::size_t i = insertAt; i < lines.size() && lines[i].kind != Line::kSection; ++i)
            if (lines[i].kind == Line::kKey) pos = i + 1;
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(pos), std::move(entry));
    } else {
        if (!lines.empty() && !Trim(lines.back().raw).empty())
            lines.push_back(ParseLine("", false));
        lines.push_back(ParseLine("[" + std::string(section) + "]", lines.empty()));
        lines.push_back(std::move(entry));
    }
    indexed = false;
    return true;
}

}  // namespace

Snapshot::Snapshot(const std::string& file) : doc_(Load(file)) {}

std::string Snapshot::GetString(std::string_view section, std::string_view key,
                                std::string_view def, std::size_t maxLen) const {
    if (maxLen == 0) return {};
    const Line* line = doc_->Find(Trim(section), Trim(key));
    std::string_view value = line ? std::string_view(line->value) : def;
    if (value.size() > maxLen - 1) value = value.substr(0, maxLen - 1);
    return std::string(value);
}

long Snapshot::GetInt(std::string_view section, std::string_view key, long def) const {
    const Line* line = doc_->Find(Trim(section), Trim(key));
    if (!line || line->value.empty()) return def;
    // Like atol: leading blanks, a sign, digits up to the first non-digit;
    // no digits give 0. Out-of-range values saturate instead of wrapping.
    return std::strtol(line->value.c_str(), nullptr, 10);
}

bool Snapshot::Has(std::string_view section, std::string_view key) const {
    return doc_->Find(Trim(section), Trim(key)) != nullptr;
}

std::vector<std::string> Snapshot::SectionNames() const {
    std::vector<std::string> names;
    std::unordered_set<std::string> seen;
    for (const Line& l : doc_->lines)
        if (l.kind == Line::kSection && seen.insert(LowerCopy(l.name)).second)
            names.push_back(l.name);
    return names;
}

std::vector<std::string> Snapshot::KeyNames(std::string_view section) const {
    std::vector<std::string> names;
    std::unordered_set<std::string> seen;
    section = Trim(section);
    bool inSection = false;
    for (const Line& l : doc_->lines) {
        if (l.kind == Line::kSection) {
            inSection = EqualsNoCase(l.name, section);
        } else if (inSection && l.kind == Line::kKey && seen.insert(LowerCopy(l.name)).second) {
            names.push_back(l.name);
        }
    }
    return names;
}

std::string GetString(const std::string& file, std::string_view section, std::string_view key,
                      std::string_view def, std::size_t maxLen) {
    return Snapshot(file).GetString(section, key, def, maxLen);
}

long GetInt(const std::string& file, std::string_view section, std::string_view key, long def) {
    return Snapshot(file).GetInt(section, key, def);
}

bool WriteString(const std::string& file, std::string_view section,
                 std::optional<std::string_view> key, std::optional<std::string_view> value) {
    const Change c{section, key, value};
    return WriteBatch(file, std::span<const Change>(&c, 1));
}

bool WriteBatch(const std::string& file, std::span<const Change> changes) {
    for (const Change& c : changes)
        if (!Valid(c)) return false;
    bool unreadable = false;
    const auto loaded = Load(file, &unreadable);
    if (unreadable) return false;
    // Only the lines are copied: while no change moves a line, the loaded
    // document's key map still tells where each key is, and the saved
    // document is indexed afresh.
    Document doc;
    doc.lines = loaded->lines;
    bool indexed = true, changed = false;
    for (const Change& c : changes) changed = Apply(doc, *loaded, c, indexed) || changed;
    if (!changed) return true;
    return Save(file, std::move(doc));
}

std::vector<std::string> SectionNames(const std::string& file) {
    return Snapshot(file).SectionNames();
}

std::vector<std::string> KeyNames(const std::string& file, std::string_view section) {
    return Snapshot(file).KeyNames(section);
}

}  // namespace profile
