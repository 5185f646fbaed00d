#include "core/restore/RecoveryNotes.hpp"

#include "tests/support/RestoreFixtures.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace vellary {
namespace {

using testing::TempDir;

constexpr const char* kPartlyRead =
    "Parts of these files couldn't be read from the disk and were filled with blanks. They may "
    "open with gaps or glitches:";

RestoreReport onlyFailures() {
    RestoreReport report;
    report.failed = {"a.jpg: Couldn't create a.jpg. File exists", "b.jpg: Refusing to save "
                                                                  "outside the folder you chose."};
    report.saved = {{"/x/c.jpg", 10, "c.jpg", 0}};
    return report;
}

TEST(RecoveryNotes, FailuresEndWithTheEmptyLineThatClosesTheirBlock) {
    const auto text = RecoveryNotes::text(onlyFailures());
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, "These files couldn't be saved:\n"
                     "  a.jpg: Couldn't create a.jpg. File exists\n"
                     "  b.jpg: Refusing to save outside the folder you chose.\n");
}

TEST(RecoveryNotes, PartlyReadFilesListTheirUnreadableBytes) {
    RestoreReport report;
    report.saved = {{"/x/a.jpg", 100, "a.jpg", 4096},
                    {"/x/b.jpg", 100, "b.jpg", 0},
                    {"/x/c 2.jpg", 100, "c 2.jpg", 1500000}};
    EXPECT_EQ(RecoveryNotes::text(report),
              std::string(kPartlyRead) +
                  "\n  a.jpg (4 KB unreadable)\n  c 2.jpg (1.5 MB unreadable)");
    report.failed = {"d.jpg: broken"};
    EXPECT_EQ(RecoveryNotes::text(report), "These files couldn't be saved:\n  d.jpg: broken\n\n" +
                                               std::string(kPartlyRead) +
                                               "\n  a.jpg (4 KB unreadable)\n  c 2.jpg (1.5 MB "
                                               "unreadable)");
}

TEST(RecoveryNotes, NamesFromTheDiskCannotBreakTheLayout) {
    RestoreReport report;
    report.failed = {"evil\nname.jpg: broken"};
    report.saved = {{"/x/a.jpg", 100, "tab\there\r.jpg", 4096}};
    EXPECT_EQ(RecoveryNotes::text(report),
              "These files couldn't be saved:\n  evil name.jpg: broken\n\n" +
                  std::string(kPartlyRead) + "\n  tab here .jpg (4 KB unreadable)");
}

TEST(RecoveryNotes, NothingToSayWritesNothing) {
    RestoreReport report;
    report.saved = {{"/x/a.jpg", 100, "a.jpg", 0}};
    EXPECT_FALSE(RecoveryNotes::text(report));
    TempDir dir;
    EXPECT_FALSE(RecoveryNotes::writeNotes(report, dir.path()));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(RecoveryNotes, WritesBesideTheFilesAndNeverOverAnEarlierNote) {
    TempDir dir;
    const auto first = RecoveryNotes::writeNotes(onlyFailures(), dir.path());
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, dir / "About these files.txt");
    EXPECT_EQ(testing::readFile(*first), *RecoveryNotes::text(onlyFailures()));
    struct stat st {};
    ASSERT_EQ(::stat(first->c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0133, 0u);

    testing::writeFile(dir / "elsewhere.txt", "mine");
    std::filesystem::remove(*first);
    std::filesystem::create_symlink(dir / "elsewhere.txt", dir / "About these files.txt");
    const auto second = RecoveryNotes::writeNotes(onlyFailures(), dir.path());
    ASSERT_TRUE(second);
    EXPECT_EQ(*second, dir / "About these files 2.txt");
    EXPECT_EQ(testing::readFile(dir / "elsewhere.txt"), "mine");
}

TEST(RecoveryNotes, AFolderThatIsGoneIsIgnored) {
    TempDir dir;
    EXPECT_FALSE(RecoveryNotes::writeNotes(onlyFailures(), dir / "missing"));
    EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
}

} // namespace
} // namespace vellary
