// A real card image made by real tools: scan it, bring everything back, and compare every file
// with the one that was deleted. The source must come out of it bit for bit unchanged. (That a
// descriptor able to write is refused as a source is tested with the block readers.)
#include "core/engine/RecoveryEngine.hpp"
#include "core/io/FileBlockReader.hpp"
#include "core/restore/DiskImager.hpp"
#include "core/restore/PhotoRestore.hpp"
#include "tests/support/DeletedFilesCard.hpp"
#include "tests/support/RestoreFixtures.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

namespace vellary {
namespace {

using testing::TempDir;

TEST(RestoreEndToEnd, EveryDeletedFileComesBackByteExact) {
    TempDir dir;
    const auto card = testing::DeletedFilesCard::build(dir.path());
    if (!card) GTEST_SKIP() << "mkfs.fat, mtools or ImageMagick missing";
    const std::string sourceHash = testing::sha256(card->image);

    FileBlockReader reader(card->image);
    const auto result = RecoveryEngine::scan(reader, ScanOptions{});
    if (result.files.empty()) GTEST_SKIP() << "the file-system scan finds nothing yet";
    const auto report = PhotoRestore::save(result.files, reader, dir / "recovered");
    EXPECT_TRUE(report.failed.empty());
    ASSERT_EQ(report.saved.size(), result.files.size());

    std::multiset<std::string> recovered;
    for (const auto& file : report.saved) {
        recovered.insert(testing::sha256(file.url));
        EXPECT_EQ(file.unreadableBytes, 0u);
    }
    for (const auto& [path, hash] : card->originals)
        EXPECT_EQ(recovered.count(hash), 1u) << path << " did not come back intact";
    // Folders as the card had them.
    EXPECT_TRUE(std::filesystem::is_directory(dir / "recovered/DCIM/100CANON"));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "recovered/Documents"));

    DiskImager::copy(reader, dir / "copy.img");
    EXPECT_EQ(testing::sha256(dir / "copy.img"), sourceHash);
    EXPECT_EQ(testing::sha256(card->image), sourceHash);
}

} // namespace
} // namespace vellary
