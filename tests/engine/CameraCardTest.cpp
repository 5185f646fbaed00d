// Cards written the way cameras fragment them (write, delete, write a bigger photo into the hole,
// delete), made with mkfs.fat and mtools, scanned with the deep scan as a user would.
#include "core/engine/RecoveryEngine.hpp"
#include "core/io/FileBlockReader.hpp"
#include "tests/support/FatImage.hpp"
#include "tests/support/ScanChecks.hpp"
#include "tests/support/Tools.hpp"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace vellary {
namespace {

using testing::FatImage;
namespace fs = std::filesystem;

class CameraCardTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!FatImage::toolsAvailable() || !testing::haveTool("convert"))
            GTEST_SKIP() << "mkfs.fat, mtools or ImageMagick missing";
        image_ = std::make_unique<FatImage>(dir_ / "card.img", 40ull << 20, 32, 1);
        image_->makeDirectory("DCIM");
        image_->makeDirectory("DCIM/100CANON");
        image_->makeDirectory("DCIM/101CANON");
    }

    // A photo of roughly kib KiB, written to path; remembered by its bytes.
    void put(const std::string& path, int kib) {
        const auto local = dir_ / ("p" + std::to_string(hashes_.size()) + ".jpg");
        const int side = 60 + kib * 3;
        ASSERT_TRUE(testing::makeJpeg(local, side, side * 3 / 4, static_cast<int>(hashes_.size())));
        image_->copyIn(local, path);
        hashes_[path] = testing::sha256Of(local);
    }
    void remove(const std::string& path) { image_->remove(path); }
    // IMG_0004 fills the hole IMG_0002 left and goes on after IMG_0003; then it is deleted.
    void fragmentAroundTheThird() {
        const std::string folder = "DCIM/100CANON/";
        put(folder + "IMG_0001.JPG", 20);
        put(folder + "IMG_0002.JPG", 20);
        put(folder + "IMG_0003.JPG", 25);
        remove(folder + "IMG_0002.JPG");
        image_->forgetNextFreeHint();
        put(folder + "IMG_0004.JPG", 60);
        remove(folder + "IMG_0004.JPG");
    }

    struct Seen {
        const RecoverableFile* file = nullptr;
        bool exact = false;
        int copies = 0; // files found with these bytes
    };
    // Scans with the deep scan; no file may be "good" with bytes that are nobody's.
    std::map<std::string, Seen> scan() {
        const FileBlockReader reader(image_->path());
        ScanOptions options;
        options.deepScan = true;
        std::set<std::string> reported, listed;
        options.onFound = [&](const std::vector<RecoverableFile>& batch) {
            for (const auto& file : batch)
                reported.insert(file.id);
        };
        result_ = RecoveryEngine::scan(reader, options);
        // What the user was shown while scanning is what the result lists: no folded duplicate.
        for (const auto& file : result_.files)
            listed.insert(file.id);
        EXPECT_EQ(reported, listed);
        std::map<std::string, std::string> byHash;
        for (const auto& [path, hash] : hashes_)
            byHash[hash] = path;
        std::map<std::string, Seen> seen;
        for (const auto& file : result_.files) {
            const auto hash = testing::sha256Of(testing::contentsOf(reader, file));
            const auto owner = byHash.find(hash);
            EXPECT_TRUE(owner != byHash.end() || file.quality() != RecoverableFile::Quality::good)
                << file.originalPath << " is good with bytes that are nobody's";
            if (owner != byHash.end()) ++seen[owner->second].copies;
            if (file.confidence == RecoveryConfidence::carved) continue;
            auto& s = seen[file.originalPath];
            s.file = &file;
            s.exact = hashes_[file.originalPath] == hash;
        }
        return seen;
    }

    testing::TempDir dir_;
    std::unique_ptr<FatImage> image_;
    std::map<std::string, std::string> hashes_;
    ScanResult result_;
};

const std::string kA = "DCIM/100CANON/";
const std::string kB = "DCIM/101CANON/";

// IMG_0004 fills the hole IMG_0002 left and goes on after the live IMG_0003.
TEST_F(CameraCardTest, FragmentedAroundALivePhotoComesBackWholeAndNamed) {
    fragmentAroundTheThird();
    put(kB + "IMG_0005.JPG", 30); // a new folder, so the entries above keep their slots
    put(kB + "IMG_0006.JPG", 30);
    remove(kB + "IMG_0005.JPG");

    auto seen = scan();
    for (const auto* path : {"DCIM/100CANON/IMG_0004.JPG", "DCIM/101CANON/IMG_0005.JPG"}) {
        const auto& s = seen[path];
        ASSERT_NE(s.file, nullptr) << path;
        EXPECT_TRUE(s.exact) << path;
        EXPECT_EQ(s.copies, 1) << path;
        EXPECT_EQ(s.file->quality(), RecoverableFile::Quality::good) << path;
        EXPECT_TRUE(s.file->nameInferred) << path;
        EXPECT_EQ(s.file->confidence, RecoveryConfidence::estimated) << path;
    }
    EXPECT_EQ(seen[kA + "IMG_0001.JPG"].file, nullptr); // live files are not listed
}

// Here IMG_0003 is deleted too: IMG_0004's assumed run crosses it. IMG_0003 is found once, whole;
// IMG_0004 is not called good.
TEST_F(CameraCardTest, APhotoInsideAWronglyAssumedRunIsFoundOnce) {
    fragmentAroundTheThird();
    remove(kA + "IMG_0003.JPG");

    auto seen = scan();
    const auto& inside = seen[kA + "IMG_0003.JPG"];
    ASSERT_NE(inside.file, nullptr);
    EXPECT_TRUE(inside.exact);
    EXPECT_EQ(inside.copies, 1);
    EXPECT_EQ(inside.file->quality(), RecoverableFile::Quality::good);
    const auto& outer = seen[kA + "IMG_0004.JPG"];
    ASSERT_NE(outer.file, nullptr);
    EXPECT_FALSE(outer.exact);
    EXPECT_NE(outer.file->quality(), RecoverableFile::Quality::good);
}

// A live photo written into IMG_0002's freed run from its first cluster on: IMG_0002 is listed
// as damaged and never follows the live photo's chain.
TEST_F(CameraCardTest, AFreedRunTakenByALiveFileIsDamaged) {
    put(kA + "IMG_0001.JPG", 20);
    put(kA + "IMG_0002.JPG", 40);
    put(kA + "IMG_0003.JPG", 20);
    remove(kA + "IMG_0002.JPG");
    image_->forgetNextFreeHint();
    put(kB + "IMG_0009.JPG", 60); // bigger than the hole: its chain runs past IMG_0003
    remove(kA + "IMG_0003.JPG");

    auto seen = scan();
    const auto& over = seen[kA + "IMG_0002.JPG"];
    ASSERT_NE(over.file, nullptr);
    EXPECT_EQ(over.file->quality(), RecoverableFile::Quality::damaged);
    EXPECT_EQ(over.file->confidence, RecoveryConfidence::estimated);
    EXPECT_EQ(seen[kA + "IMG_0003.JPG"].exact, true);
}

} // namespace
} // namespace vellary
