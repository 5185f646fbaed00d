#include "app/model/SetAside.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>

namespace vellary {

namespace fs = std::filesystem;

std::optional<fs::path> setAside(const fs::path& path) {
    const fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    for (int n = 1; n <= 100; ++n) {
        const fs::path aside =
            folder / ("." + path.filename().string() + ".old" + (n > 1 ? std::to_string(n) : ""));
        if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0)
            return aside;
        if (errno != EEXIST) return std::nullopt;
    }
    return std::nullopt;
}

bool putBack(const fs::path& aside, const fs::path& path) {
    return ::renameat2(AT_FDCWD, aside.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0;
}

} // namespace vellary
