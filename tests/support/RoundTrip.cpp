#include "tests/support/RoundTrip.hpp"

#include "core/restore/PhotoRestore.hpp"
#include "core/engine/RecoveryEngine.hpp"
#include "tests/support/RestoreFixtures.hpp"

namespace vellary::testing {

RoundTrip roundTrip(const BlockReader& source, const Originals& originals,
                    const std::filesystem::path& folder, const ScanOptions& options) {
    RoundTrip out;
    out.scan = RecoveryEngine::scan(source, options);
    std::size_t n = 0;
    for (const auto& [path, hash] : originals) {
        std::vector<RecoverableFile> found;
        for (const auto& file : out.scan.files)
            if (file.originalPath == path) found.push_back(file);
        if (found.size() != 1) {
            out.mismatches.push_back(path + ": found " + std::to_string(found.size()) + " times");
            continue;
        }
        // A folder of its own, so the saved file is this one whatever name it is given.
        const auto report = PhotoRestore::save(found, source, folder / std::to_string(n++));
        if (report.saved.size() != 1)
            out.mismatches.push_back(path + ": not restored");
        else if (sha256(report.saved[0].url) != hash)
            out.mismatches.push_back(path + ": restored bytes differ");
    }
    return out;
}

} // namespace vellary::testing
