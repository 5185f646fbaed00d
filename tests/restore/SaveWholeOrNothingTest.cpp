// A saved file is either whole, or kept and labelled as cut short by the end of the source, or
// gone: never a half-written file under a real name that looks recovered.
#include "core/io/DataBlockReader.hpp"
#include "core/records/RecoverError.hpp"
#include "core/restore/PhotoRestore.hpp"
#include "core/restore/RecoveryNotes.hpp"
#include "tests/support/FaultyBlockReader.hpp"
#include "tests/support/RestoreFixtures.hpp"
#include "tests/support/SmallTmpfs.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

namespace vellary {
namespace {

namespace fs = std::filesystem;
using testing::foundFile;
using testing::listTree;
using testing::patterned;
using testing::readBytes;
using testing::slice;
using testing::TempDir;

constexpr std::uint64_t MiB = 1024 * 1024;

// The destination fills up in the middle of each large file, at different depths of folders.
TEST(SaveWholeOrNothing, AFullDiskLeavesNoPartOfTheFilesThatDidNotFit) {
    testing::SmallTmpfs disk(2 * MiB);
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    const Bytes source = patterned(4 * MiB);
    DataBlockReader reader(source);
    const auto report =
        PhotoRestore::save({foundFile("small.jpg", "DCIM/small.jpg", {{0, 4096}}),
                            foundFile("huge.mov", "DCIM/100CANON/huge.mov", {{0, 3 * MiB}}),
                            foundFile("big.mov", "big.mov", {{MiB, 3 * MiB}}),
                            foundFile("tail.jpg", "DCIM/tail.jpg", {{0, 1000}})},
                           reader, disk.path() / "out");
    EXPECT_EQ(report.failed, (std::vector<std::string>{
                                 "huge.mov: Couldn't write huge.mov. No space left on device",
                                 "big.mov: Couldn't write big.mov. No space left on device"}));
    ASSERT_EQ(report.saved.size(), 2u);
    EXPECT_EQ(report.saved[0].id, foundFile("small.jpg", "DCIM/small.jpg", {{0, 4096}}).id);
    EXPECT_EQ(readBytes(report.saved[1].url), slice(source, 0, 1000));
    // The folder made for the failed file may stay; no file of it does.
    EXPECT_EQ(
        listTree(disk.path() / "out"),
        (std::set<std::string>{"DCIM/", "DCIM/100CANON/", "DCIM/small.jpg", "DCIM/tail.jpg"}));
    const auto note = RecoveryNotes::text(report);
    ASSERT_TRUE(note);
    EXPECT_TRUE(note->starts_with("These files couldn't be saved:\n  huge.mov: "));
}

// A disk pulled in the middle of a file ends the save; that file goes, the ones before stay.
TEST(SaveWholeOrNothing, APulledDiskRemovesTheFileItInterrupted) {
    testing::FaultyBlockReader reader(patterned(32 * MiB));
    reader.vanishAt(20 * MiB);
    TempDir dir;
    EXPECT_THROW(PhotoRestore::save({foundFile("first.jpg", "", {{0, MiB}}),
                                     foundFile("cut.mov", "", {{2 * MiB, 24 * MiB}}),
                                     foundFile("never.jpg", "", {{0, 10}})},
                                    reader, dir.path()),
                 RecoverError);
    EXPECT_EQ(listTree(dir.path()), (std::set<std::string>{"first.jpg"}));
}

// Where the source ends decides how much of each file there is and how much is missing.
TEST(SaveWholeOrNothing, ASourceEndingInsideAFileKeepsWhatThereIsAndSaysWhatIsMissing) {
    struct Case {
        std::vector<ByteRange> ranges;
        std::uint64_t bytes;
        std::uint64_t missing;
    };
    const std::vector<Case> cases = {
        {{{0, 4096}}, 4096, 0},   // ends exactly at the source's end
        {{{0, 4097}}, 4096, 1},   // one byte beyond
        {{{4000, 200}}, 96, 104}, // starts inside, ends beyond
        {{{4096, 10}}, 0, 10},    // starts at the end
        {{{0, 10}, {5000, 10}, {0, 5}}, 10, 15},
    };
    const Bytes source = patterned(4096);
    DataBlockReader reader(source);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        TempDir dir;
        const auto report =
            PhotoRestore::save({foundFile("f.bin", "", cases[i].ranges)}, reader, dir.path());
        ASSERT_EQ(report.saved.size(), 1u) << i;
        EXPECT_EQ(report.saved[0].bytes, cases[i].bytes) << i;
        EXPECT_EQ(report.saved[0].missingBytes, cases[i].missing) << i;
        EXPECT_EQ(fs::file_size(report.saved[0].url), cases[i].bytes) << i;
        EXPECT_EQ(report.incompleteCount(), cases[i].missing > 0 ? 1u : 0u) << i;
    }
}

TEST(SaveWholeOrNothing, TheNoteListsCutShortFilesBetweenFailuresAndUnreadableParts) {
    RestoreReport report;
    report.failed = {"x.jpg: gone"};
    report.saved = {{"/d/a.jpg", 100, "a.jpg", 0, 0, "1"},
                    {"/d/b.mov", 100, "b.mov", 0, 2500000, "2"},
                    {"/d/c.jpg", 100, "c.jpg", 512, 1, "3"}};
    EXPECT_EQ(RecoveryNotes::text(report),
              "These files couldn't be saved:\n  x.jpg: gone\n\n"
              "These files end early because the disk ends before the rest of their data. What "
              "there was is saved:\n  b.mov (2.5 MB missing)\n  c.jpg (1 byte missing)\n\n"
              "Parts of these files couldn't be read from the disk and were filled with blanks. "
              "They may open with gaps or glitches:\n  c.jpg (512 bytes unreadable)");
    report.failed.clear();
    report.saved.resize(1);
    EXPECT_FALSE(RecoveryNotes::text(report));
}

} // namespace
} // namespace vellary
