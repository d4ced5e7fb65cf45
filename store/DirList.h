#pragma once
// Directory listings for the store. Listings are sorted by name (byte
// order), so zero-padded article numbers and queue files come in ascending
// order whatever order the file system returns them in.

#include <optional>
#include <string>
#include <vector>

namespace store {

// Names of the regular files in dir (no directories, no "." or ".."),
// sorted; nullopt when the directory cannot be opened. dir may or may not
// end with "/".
std::optional<std::vector<std::string>> ListFileNames(const std::string& dir);

}  // namespace store
