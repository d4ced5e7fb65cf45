#include "store/DirList.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

namespace store {

std::optional<std::vector<std::string>> ListFileNames(const std::string& dir) {
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return std::nullopt;
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(d)) {
        bool regular = e->d_type == DT_REG;
        if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
            // Some file systems do not fill in the type; links count by target.
            struct stat st {};
            regular = ::fstatat(::dirfd(d), e->d_name, &st, 0) == 0 && S_ISREG(st.st_mode);
        }
        if (regular) names.emplace_back(e->d_name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace store
