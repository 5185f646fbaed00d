#include "core/devices/CameraFolders.hpp"
#include "tests/support/Tools.hpp"

#include <filesystem>
#include <gtest/gtest.h>

using namespace vellary;
using namespace vellary::testing;
namespace fs = std::filesystem;

TEST(CameraFolders, IdentifiesTheCameraFromTheCardsFolders) {
    struct Case {
        std::vector<std::string> folders; // created under the mount point ("name/" is a folder)
        const char* brand;                // "-" for no match at all, "" for a match without brand
        const char* model;
    };
    const Case cases[] = {
        {{"DCIM/100CANON/"}, "Canon", ""},
        {{"DCIM/100canon/"}, "Canon", ""},
        {{"DCIM/101ND800/"}, "Nikon", ""},
        {{"DCIM/100ND/"}, "Nikon", ""},
        {{"DCIM/100N/"}, "", ""},
        {{"DCIM/1A0CANON/"}, "", ""},
        {{"DCIM/MISC/", "DCIM/100XYZAB/", "DCIM/100MEDIA/"}, "DJI", ""},
        {{"DCIM/100_FUJI/", "UPD/X-T4"}, "Fujifilm", "X-T4"},
        {{"DCIM/100CANON/", "UPD/.hidden", "UPD/Icon\r"}, "Canon", ""},
        {{"DCIM/100XYZAB/", "PRIVATE/M4ROOT/"}, "Sony", ""},
        {{"DCIM/"}, "", ""},
        {{"PRIVATE/M4ROOT/"}, "-", ""},
        {{}, "-", ""},
    };
    for (const auto& c : cases) {
        TempDir mount;
        for (const auto& f : c.folders) {
            if (f.back() == '/') {
                fs::create_directories(mount / f);
            } else {
                fs::create_directories((mount / f).parent_path());
                writeFile(mount / f, "");
            }
        }
        const auto match = CameraFolders::identify({"", mount.path().string()});
        const auto label = c.folders.empty() ? std::string("none") : c.folders.front();
        if (std::string(c.brand) == "-") {
            EXPECT_FALSE(match) << label;
            continue;
        }
        ASSERT_TRUE(match) << label;
        EXPECT_EQ(match->brand.value_or(""), c.brand) << label;
        EXPECT_EQ(match->model.value_or(""), c.model) << label;
    }
}

TEST(CameraFolders, BrandPrefixesAreTestedInOrder) {
    const std::pair<const char*, const char*> cases[] = {
        {"NZ_Z6", "Nikon"},
        {"NCD0001", "Nikon"},
        {"EOSR5", "Canon"},
        {"MSDCF", "Sony"},
        {"OMSYS", "OM System"},
        {"_PANA", "Panasonic"},
        {"HASBL", "Hasselblad"},
        {"INSTA360", "Insta360"},
        {"CANO", ""},
        {"", ""},
        {"XND", ""},
    };
    for (const auto& [folder, brand] : cases)
        EXPECT_EQ(CameraFolders::brand(folder).value_or(""), brand) << folder;
}
