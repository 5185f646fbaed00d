#include "tests/support/ScanChecks.hpp"

#include "tests/support/RestoreFixtures.hpp"
#include "tests/support/Tools.hpp"

#include <algorithm>
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

std::vector<const RecoverableFile*> expectListed(const std::vector<RecoverableFile>& files,
                                                 const std::vector<Written>& written,
                                                 const BlockReader& reader) {
    std::vector<const RecoverableFile*> listed;
    for (const auto& w : written) {
        const auto* file = listed.emplace_back(findByPath(files, w.found));
        if (!w.deleted || !file) {
            EXPECT_EQ(file != nullptr, w.deleted)
                << w.found << (w.deleted ? " not found" : " live");
            continue;
        }
        EXPECT_EQ(file->name, std::filesystem::path(w.found).filename().string());
        EXPECT_EQ(file->size, std::filesystem::file_size(w.local)) << w.path;
        EXPECT_EQ(unixSeconds(file->modified.value_or(Date{})), modifiedSeconds(w.local)) << w.path;
        EXPECT_TRUE(w.exact || file->quality() != RecoverableFile::Quality::good) << w.path;
        if (w.exact) {
            EXPECT_EQ(sha256Of(contentsOf(reader, *file)), sha256Of(w.local)) << w.path;
        }
    }
    EXPECT_EQ(static_cast<std::ptrdiff_t>(files.size()),
              std::ranges::count(written, true, &Written::deleted));
    return listed;
}

} // namespace vellary::testing
