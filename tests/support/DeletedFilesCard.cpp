#include "tests/support/DeletedFilesCard.hpp"

#include "tests/support/FatImage.hpp"
#include "tests/support/RestoreFixtures.hpp"
#include "tests/support/Tools.hpp"

namespace vellary::testing {

std::optional<DeletedFilesCard> DeletedFilesCard::build(const std::filesystem::path& folder) {
    if (!FatImage::toolsAvailable() || !haveTool("convert")) return std::nullopt;
    const auto staging = folder / "originals";
    std::filesystem::create_directories(staging);
    DeletedFilesCard card;
    card.image = folder / "card.img";
    FatImage fat(card.image, 64ull * 1024 * 1024, 32, 1);
    for (const char* dir : {"DCIM", "DCIM/100CANON", "DCIM/101CANON", "Documents"})
        fat.makeDirectory(dir);

    std::map<std::string, std::filesystem::path> files;
    const std::pair<const char*, int> photos[] = {{"DCIM/100CANON/IMG_0001.JPG", 320},
                                                  {"DCIM/100CANON/Sunset at the beach.jpg", 480},
                                                  {"DCIM/101CANON/IMG_0100.JPG", 200}};
    int seed = 1;
    for (const auto& [path, width] : photos) {
        const auto local = staging / ("photo" + std::to_string(seed) + ".jpg");
        if (!makeJpeg(local, width, width * 3 / 4, seed++)) return std::nullopt;
        files[path] = local;
    }
    const auto movie = staging / "movie.mp4";
    if (makeMp4(movie, 2)) files["DCIM/101CANON/MVI_0101.MP4"] = movie;
    const auto notes = staging / "notes.txt";
    writeFile(notes, patternBytes(70000, 9));
    files["Documents/notes.txt"] = notes;

    for (const auto& [path, local] : files) {
        fat.copyIn(local, path);
        card.originals[path] = sha256(local);
    }
    for (const auto& [path, local] : files)
        fat.remove(path);
    return card;
}

} // namespace vellary::testing
