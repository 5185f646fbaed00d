// A real card image made by real tools: scan it, bring everything back, and compare every file
// with the one that was deleted. The source must come out of it bit for bit unchanged.
#include "core/io/FileBlockReader.hpp"
#include "core/restore/PhotoRestore.hpp"
#include "core/engine/RecoveryEngine.hpp"
#include "tests/support/DeletedFilesCard.hpp"
#include "tests/support/RestoreFixtures.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

namespace vellary::testing {
namespace {

TEST(RestoreEndToEnd, EveryDeletedFileComesBackByteExact) {
    TempDir dir;
    const auto card = DeletedFilesCard::build(dir.path());
    if (!card) GTEST_SKIP() << "mkfs.fat, mtools or ImageMagick missing";
    const std::string sourceHash = sha256(card->image);
    FileBlockReader reader(card->image);
    const auto result = RecoveryEngine::scan(reader, ScanOptions{});
    const auto report = PhotoRestore::save(result.files, reader, dir / "recovered");
    EXPECT_TRUE(report.failed.empty());
    std::multiset<std::string> recovered;
    for (const auto& file : report.saved)
        recovered.insert(sha256(file.url));
    for (const auto& [path, hash] : card->originals)
        EXPECT_EQ(recovered.count(hash), 1u) << path << " did not come back intact";
    EXPECT_TRUE(std::filesystem::is_directory(dir / "recovered/DCIM/100CANON"));
    EXPECT_EQ(sha256(card->image), sourceHash);
}

} // namespace
} // namespace vellary::testing
