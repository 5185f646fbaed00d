// Where and how saved files are written: names, exclusive creation, the note, the destination.
#include "core/restore/DestinationCheck.hpp"
#include "core/restore/OutputFile.hpp"
#include "core/restore/OutputPath.hpp"
#include "core/restore/RecoveryNotes.hpp"

#include "core/records/RecoverError.hpp"
#include "tests/support/RestoreFixtures.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <map>

namespace vellary::testing {
namespace {

namespace fs = std::filesystem;
constexpr std::uint64_t MiB = 1024 * 1024;

std::string repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += piece;
    return out;
}

using Cases = std::vector<std::pair<std::string, std::string>>;

// At most 180 characters (grapheme clusters) and 255 bytes, whichever comes first.
TEST(OutputPath, SanitizeReplacesTrimsAndCutsAtTheCharacterAndByteLimits) {
    const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467"; // 18 bytes
    const std::string flag = "\U0001F1EF\U0001F1F5";                         // 8 bytes
    const Cases cases = {
        {"a:b/c\\d", "a_b_c_d"},
        {std::string("x\x01y\x1fz\x7f\0", 7), "x_y_z\x7f_"},
        {"photo.jpg\n", "photo.jpg_"}, // replaced before trimming
        {"\u00a0\u3000name\u2003", "name"},
        {"name. . .", "name"},
        {"a\xff"
         "b",
         "a\uFFFDb"},
        {repeat("a", 181), repeat("a", 180)},
        {repeat("a", 180), repeat("a", 180)},
        {repeat("\u00e9", 128), repeat("\u00e9", 127)}, // 254 bytes; one more would be 256
        {repeat(family + flag, 40) + ".jpg", repeat(family + flag, 9) + family},
        // One huge cluster is cut inside rather than left empty.
        {"a" + repeat("\u0301", 400), "a" + repeat("\u0301", 127)},
    };
    for (const auto& [name, expected] : cases)
        EXPECT_EQ(OutputPath::sanitize(name), expected) << '"' << name << '"';
}

TEST(OutputPath, RelativeNeverLeavesTheFolderAndSanitisesEveryPart) {
    const Cases cases = {
        {"DCIM\\..\\..\\100CANON\\IMG.JPG", "DCIM/100CANON/IMG.JPG"},
        {"a/./b//c.jpg", "a/b/c.jpg"},
        {" .. /x", "file/x"},
        {"dir\x01/b:c", "dir_/b_c"},
        {"../..", ""},
    };
    for (const auto& [path, expected] : cases)
        EXPECT_EQ(OutputPath::relative(path), expected) << path;
}

TEST(OutputPath, NumberedPutsTheNumberBeforeTheExtensionWithin255Bytes) {
    const Cases cases = {
        {"", "file 2"},
        {"archive.tar.gz", "archive.tar 2.gz"},
        {".hidden", ".hidden 2"},
        {"a/b/c.", "a/b/c. 2"},
        {repeat("\u00e9", 124) + ".jpg", repeat("\u00e9", 124) + " 2.jpg"}, // 254 bytes
        {repeat("\u00e9", 125) + ".jpg", repeat("\u00e9", 124) + " 2.jpg"},
    };
    for (const auto& [path, expected] : cases)
        EXPECT_EQ(OutputPath::numbered(path, 2), expected) << path;
    // The cut never splits a two-byte character.
    EXPECT_EQ(OutputPath::numbered(repeat("\u00e9", 124) + ".jpg", 10000),
              repeat("\u00e9", 122) + " 10000.jpg");
    // An extension that leaves no room for a name is kept as part of the name.
    const std::string alternative = OutputPath::numbered("a." + repeat("x", 252), 2);
    EXPECT_TRUE(alternative.starts_with("a.xx") && alternative.ends_with("x 2")) << alternative;
    EXPECT_EQ(OutputPath::folded("\u00c9T\u00c9.jpg"), OutputPath::folded("\u00e9t\u00e9.JPG"));
}

using Script = std::vector<std::pair<ssize_t, int>>; // result, errno; then every write succeeds

TEST(OutputFile, WriteFullyContinuesShortAndInterruptedWritesAndStopsOnNothingOrAnError) {
    const Bytes bytes = patterned(1000);
    const std::vector<std::pair<Script, int>> cases = {
        {{{100, 0}, {-1, EINTR}, {1, 0}, {-1, EINTR}, {250, 0}}, 0},
        {{{300, 0}, {0, 0}}, EIO},
        {{{-1, ENOSPC}}, ENOSPC}};
    for (const auto& [script, error] : cases) {
        Bytes written;
        std::size_t step = 0;
        const auto write = [&](const std::uint8_t* data, std::size_t size) -> ssize_t {
            auto [result, code] =
                step < script.size() ? script[step++] : Script::value_type(size, 0);
            errno = code;
            result = std::min<ssize_t>(result, static_cast<ssize_t>(size));
            if (result > 0) written.insert(written.end(), data, data + result);
            return result;
        };
        EXPECT_EQ(OutputFile::writeFully(write, bytes), error);
        EXPECT_EQ(written, slice(bytes, 0, error == 0 ? 1000 : written.size()));
    }
}

// Nothing that is there is replaced, and no link is followed.
TEST(OutputFile, CreateIsExclusive) {
    TempDir dir;
    writeFile(dir / "old.bin", "kept");
    fs::create_symlink(dir / "target", dir / "link.bin");
    const int folder = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    for (const char* name : {"old.bin", "link.bin"}) {
        EXPECT_THROW(OutputFile::create(folder, name), RecoverError);
        EXPECT_THROW(OutputFile::create(dir / name), RecoverError);
        EXPECT_FALSE(OutputFile::createIfFree(folder, name));
    }
    EXPECT_THROW(OutputFile::createIfFree(folder, "missing/x.bin"), RecoverError);
    EXPECT_EQ(readFile(dir / "old.bin"), "kept");
    EXPECT_FALSE(fs::exists(dir / "target"));
    ::close(folder);
}

// Names come from the disk: a control character must not break the one-line-each layout.
TEST(RecoveryNotes, OneLineEachAndWrittenOnlyWhenThereIsSomethingToSayNeverOverAnything) {
    EXPECT_FALSE(RecoveryNotes::text(RestoreReport{{{"/x/b.jpg", 100, "b.jpg", 0}}, {}}));
    const RestoreReport bad{{{"/x/a.jpg", 100, "tab\there\x1f.jpg", 1500000}},
                            {"evil\nname\x7f.jpg: broken"}};
    const auto note = RecoveryNotes::text(bad).value();
    EXPECT_NE(note.find(":\n  evil name .jpg: broken\n\n"), std::string::npos) << note;
    EXPECT_TRUE(note.ends_with(":\n  tab here .jpg (1.5 MB unreadable)")) << note;
    TempDir dir;
    writeFile(dir / "elsewhere.txt", "mine");
    fs::create_symlink(dir / "elsewhere.txt", dir / "About these files.txt");
    const auto written = RecoveryNotes::writeNotes(bad, dir.path());
    EXPECT_EQ(written, dir / "About these files 2.txt");
    EXPECT_EQ(readFile(dir / "About these files 2.txt"), note);
    EXPECT_EQ(readFile(dir / "elsewhere.txt"), "mine");
    EXPECT_FALSE(RecoveryNotes::writeNotes(bad, dir / "missing"));
}

// Answers as configured: which paths are disks, which disks hold which folders, free space.
class FakeProbe : public DestinationCheck::Probe {
public:
    std::map<fs::path, std::set<std::string>> devices, folders;
    std::optional<std::uint64_t> free;

    bool isBlockDevice(const fs::path& path) const override { return devices.count(path) != 0; }
    std::set<std::string> disksOfDevice(const fs::path& device) const override {
        return devices.at(device);
    }
    std::set<std::string> disksHolding(const fs::path& folder) const override {
        const auto it = folders.find(folder);
        return it == folders.end() ? std::set<std::string>{} : it->second;
    }
    std::optional<std::uint64_t> freeSpace(const fs::path&) const override { return free; }
};

TEST(DestinationCheck, TheSourceDiskIsRefusedAndRoomMeansTheFilesPlusAMargin) {
    TempDir dir;
    FakeProbe probe;
    probe.devices = {{"/dev/sdb1", {"sdb"}}, {"/dev/sdc", {"sdc"}}};
    probe.folders[dir.path()] = {"sdb"};
    probe.free = 1ull << 40;
    // The folder does not exist yet; its nearest existing parent decides.
    EXPECT_EQ(DestinationCheck::forRecovery(dir / "new/folder", "/dev/sdb1", 1000, probe),
              RecoverError::destinationOnSource());
    EXPECT_FALSE(DestinationCheck::forRecovery(dir / "new", "/dev/sdc", 1000, probe));
    EXPECT_FALSE(DestinationCheck::forRecovery(dir / "new", dir / "card.img", 1000, probe));
    probe.folders.clear();
    // Recovery needs the files plus 50 MiB; an image the disk plus 100 MiB, naming the disk size.
    probe.free = 1'000'000 + 50 * MiB - 1;
    EXPECT_EQ(DestinationCheck::forRecovery(dir.path(), "card.img", 1'000'000, probe),
              RecoverError::notEnoughSpace(1'000'000 + 50 * MiB, *probe.free));
    probe.free = 1'000'000 + 50 * MiB;
    EXPECT_FALSE(DestinationCheck::forRecovery(dir.path(), "card.img", 1'000'000, probe));
    probe.free = 200 * MiB;
    EXPECT_EQ(DestinationCheck::forImage(dir / "copy.img", "card.img", 100 * MiB + 1, probe),
              RecoverError::notEnoughSpace(100 * MiB + 1, 200 * MiB));
    EXPECT_FALSE(DestinationCheck::forImage(dir / "copy.img", "card.img", 100 * MiB, probe));
    // A file already at the path gives its room back; a link to one elsewhere does not.
    makeBlankFile(dir / "copy.img", 50 * MiB);
    fs::create_symlink(dir / "copy.img", dir / "link.img");
    EXPECT_FALSE(DestinationCheck::forImage(dir / "copy.img", "card.img", 150 * MiB, probe));
    EXPECT_EQ(DestinationCheck::forImage(dir / "copy.img", "card.img", 151 * MiB, probe),
              RecoverError::notEnoughSpace(151 * MiB, 250 * MiB));
    EXPECT_TRUE(DestinationCheck::forImage(dir / "link.img", "card.img", 150 * MiB, probe));
    probe.free = std::nullopt;
    EXPECT_FALSE(DestinationCheck::forRecovery(dir.path(), "card.img", UINT64_MAX, probe));
}

} // namespace
} // namespace vellary::testing
