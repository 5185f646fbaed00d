#include "core/restore/RecoveryNotes.hpp"

#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace vellary {
namespace {

using testing::TempDir;

const std::string kFailed = "These files couldn't be saved:\n";
const std::string kPartlyRead =
    "Parts of these files couldn't be read from the disk and were filled with blanks. They may "
    "open with gaps or glitches:";

RestoreReport report(std::vector<std::string> failed, std::vector<RestoredFile> saved) {
    RestoreReport result;
    result.failed = std::move(failed);
    result.saved = std::move(saved);
    return result;
}

TEST(RecoveryNotes, ListsFailuresThenPartlyReadFilesOneLineEach) {
    const RestoredFile clean{"/x/b.jpg", 100, "b.jpg", 0};
    const RestoredFile partly{"/x/a.jpg", 100, "a.jpg", 4096};
    const RestoredFile more{"/x/c 2.jpg", 100, "c 2.jpg", 1500000};
    const std::vector<std::pair<RestoreReport, std::optional<std::string>>> cases = {
        {report({}, {clean}), std::nullopt},
        {report({"a: x", "b: y"}, {clean}), kFailed + "  a: x\n  b: y\n"},
        {report({}, {partly, clean, more}),
         kPartlyRead + "\n  a.jpg (4 KB unreadable)\n  c 2.jpg (1.5 MB unreadable)"},
        {report({"d.jpg: broken"}, {partly}),
         kFailed + "  d.jpg: broken\n\n" + kPartlyRead + "\n  a.jpg (4 KB unreadable)"},
        // Names come from the disk and must not break the layout.
        {report({"evil\nname.jpg: broken"}, {{"/x/a.jpg", 100, "tab\there\r.jpg", 4096}}),
         kFailed + "  evil name.jpg: broken\n\n" + kPartlyRead +
             "\n  tab here .jpg (4 KB unreadable)"},
    };
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(RecoveryNotes::text(input), expected);
}

TEST(RecoveryNotes, WritesBesideTheFilesOnlyWhenThereIsSomethingToSayNeverOverAnything) {
    TempDir dir;
    const auto quiet = report({}, {{"/x/a.jpg", 100, "a.jpg", 0}});
    EXPECT_FALSE(RecoveryNotes::writeNotes(quiet, dir.path()));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

    const auto failures = report({"a.jpg: gone"}, {});
    const auto first = RecoveryNotes::writeNotes(failures, dir.path());
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, dir / "About these files.txt");
    EXPECT_EQ(testing::readFile(*first), *RecoveryNotes::text(failures));
    struct stat st {};
    ASSERT_EQ(::stat(first->c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0133, 0u);

    testing::writeFile(dir / "elsewhere.txt", "mine");
    std::filesystem::remove(*first);
    std::filesystem::create_symlink(dir / "elsewhere.txt", dir / "About these files.txt");
    EXPECT_EQ(RecoveryNotes::writeNotes(failures, dir.path()), dir / "About these files 2.txt");
    EXPECT_EQ(testing::readFile(dir / "elsewhere.txt"), "mine");
    EXPECT_FALSE(RecoveryNotes::writeNotes(failures, dir / "missing"));
    EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
}

} // namespace
} // namespace vellary
