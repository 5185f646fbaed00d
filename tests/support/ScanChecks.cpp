#include "tests/support/ScanChecks.hpp"

#include "tests/support/RestoreFixtures.hpp"
#include "tests/support/Tools.hpp"

#include <sys/stat.h>

namespace vellary::testing {

Bytes contentsOf(const BlockReader& reader, const RecoverableFile& file) {
    Bytes out;
    for (const auto& r : file.ranges) {
        const Bytes piece = reader.read(r.offset, static_cast<std::int64_t>(r.length));
        out.insert(out.end(), piece.begin(), piece.end());
    }
    return out;
}

std::string sha256Of(const std::filesystem::path& path) {
    return sha256(path);
}

std::string sha256Of(const Bytes& bytes) {
    TempDir dir;
    writeFile(dir / "bytes", std::string(bytes.begin(), bytes.end()));
    return sha256Of(dir / "bytes");
}

const RecoverableFile* findByPath(const std::vector<RecoverableFile>& files,
                                  const std::string& originalPath) {
    for (const auto& f : files)
        if (f.originalPath == originalPath) return &f;
    return nullptr;
}

double modifiedSeconds(const std::filesystem::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<double>(st.st_mtime) : 0;
}

} // namespace vellary::testing
