#include "core/scan/NTFSPathResolver.hpp"

#include <gtest/gtest.h>

using namespace vellary;

namespace {

constexpr std::uint64_t ref(std::uint64_t record, std::uint16_t sequence) {
    return (std::uint64_t{sequence} << 48) | record;
}
constexpr std::uint64_t kRoot = ref(5, 5);

struct Fixture {
    std::unordered_map<std::uint64_t, MFTCatalog::Folder> folders;
    std::unordered_map<std::string, std::string> recycled;
    NTFSPathResolver resolver{folders, recycled};
};

} // namespace

TEST(NTFSPathResolver, NestedFoldersAndTheRoot) {
    Fixture f;
    f.folders[40] = {"Docs", kRoot, 2, true};
    f.folders[41] = {"2024", ref(40, 2), 1, true};
    EXPECT_EQ(f.resolver.path(kRoot), "");
    EXPECT_EQ(f.resolver.path(ref(41, 1)), "Docs/2024");
    EXPECT_EQ(f.resolver.known.at(ref(40, 2)), "Docs");
    EXPECT_EQ(f.resolver.path(ref(40, 2)), "Docs");
}

TEST(NTFSPathResolver, DeletedAndReusedFolders) {
    Fixture f;
    f.folders[40] = {"Gone", kRoot, 3, false};  // freed: sequence raised by one
    f.folders[41] = {"Taken", kRoot, 3, true};  // reused
    f.folders[42] = {"Other", kRoot, 9, false}; // freed, but not from this reference
    f.folders[43] = {"Wrap", kRoot, 1, false};
    EXPECT_EQ(f.resolver.path(ref(40, 2)), "Gone");
    EXPECT_EQ(f.resolver.path(ref(41, 2)), "Lost folders/Folder 41");
    EXPECT_EQ(f.resolver.path(ref(42, 2)), "Lost folders/Folder 42");
    EXPECT_EQ(f.resolver.path(ref(43, 65535)), "Wrap");
    EXPECT_EQ(f.resolver.path(ref(77, 1)), "Lost folders/Folder 77");
}

TEST(NTFSPathResolver, LoopsAndDeepChains) {
    Fixture f;
    f.folders[40] = {"A", ref(41, 1), 1, true};
    f.folders[41] = {"B", ref(40, 1), 1, true};
    EXPECT_EQ(f.resolver.path(ref(40, 1)), "Lost folders/Folder 40/B/A");
    Fixture deep;
    for (std::uint64_t i = 0; i < 70; ++i)
        deep.folders[100 + i] = {"d" + std::to_string(i), i == 69 ? kRoot : ref(101 + i, 1), 1,
                                 true};
    const auto path = deep.resolver.path(ref(100, 1));
    ASSERT_TRUE(path);
    EXPECT_EQ(path->rfind("Lost folders/Folder 164/", 0), 0u);
}

TEST(NTFSPathResolver, HiddenFoldersHideEverythingBelow) {
    Fixture f;
    f.folders[40] = {"System Volume INFORMATION", kRoot, 1, true};
    f.folders[41] = {"inner", ref(40, 1), 1, true};
    f.folders[42] = {"deeper", ref(41, 1), 1, true};
    EXPECT_FALSE(f.resolver.path(ref(41, 1)));
    EXPECT_TRUE(f.resolver.hidden.count(ref(40, 1)));
    EXPECT_TRUE(f.resolver.hidden.count(ref(41, 1)));
    EXPECT_FALSE(f.resolver.path(ref(42, 1)));
    EXPECT_FALSE(f.resolver.path(ref(40, 1)));
}

TEST(NTFSPathResolver, RecycledFoldersTakeTheirFormerPath) {
    Fixture f;
    f.folders[50] = {"$Recycle.Bin", kRoot, 1, true};
    f.folders[51] = {"S-1-5-21-1", ref(50, 1), 1, true};
    f.folders[52] = {"$Rqw12", ref(51, 1), 1, true};
    f.folders[53] = {"sub", ref(52, 1), 1, true};
    f.recycled["51/QW12"] = "Users/Ann/Trip";
    EXPECT_EQ(f.resolver.path(ref(53, 1)), "Users/Ann/Trip/sub");
    EXPECT_EQ(f.resolver.known.at(ref(52, 1)), "Users/Ann/Trip");
    f.folders[54] = {"$Rnone", ref(51, 1), 1, true};
    EXPECT_EQ(f.resolver.path(ref(54, 1)), "$Recycle.Bin/S-1-5-21-1/$Rnone");
}
