#include "tests/support/FatImage.hpp"

#include "core/io/Binary.hpp"
#include "tests/support/ByteWriters.hpp"
#include "tests/support/Tools.hpp"

#include <fstream>
#include <random>
#include <stdexcept>

namespace vellary::testing {
namespace {

// Test paths hold spaces but no quotes.
std::string quote(const std::string& text) {
    return "'" + text + "'";
}

void must(const std::string& command) {
    if (run(command) != 0) throw std::runtime_error("command failed: " + command);
}

} // namespace

bool FatImage::toolsAvailable() {
    return haveTool("mkfs.fat") && haveTool("mcopy") && haveTool("mmd") && haveTool("mdel") &&
           haveTool("mdeltree");
}

FatImage::FatImage(std::filesystem::path path, std::uint64_t size, int fatBits,
                   int sectorsPerCluster)
    : path_(std::move(path)), fatBits_(fatBits) {
    makeBlankFile(path_, size);
    must("mkfs.fat -F " + std::to_string(fatBits) + " -s " + std::to_string(sectorsPerCluster) +
         " -n CARD -i 12345678 " + quote(path_.string()) + " >/dev/null");
}

void FatImage::forgetNextFreeHint() const {
    if (fatBits_ != 32) return;
    const Bytes all = bytes();
    const std::uint64_t sector = *Binary::u16le(all, 48);
    const std::uint64_t bytesPerSector = *Binary::u16le(all, 11);
    writeBytes(sector * bytesPerSector + 492, {0xFF, 0xFF, 0xFF, 0xFF});
}

void FatImage::makeDirectory(const std::string& imagePath) const {
    must("MTOOLS_SKIP_CHECK=1 mmd -i " + target() + " " + quote("::/" + imagePath));
}

void FatImage::copyIn(const std::filesystem::path& local, const std::string& imagePath) const {
    must("MTOOLS_SKIP_CHECK=1 mcopy -m -o -i " + target() + " " + quote(local.string()) + " " +
         quote("::/" + imagePath));
}

void FatImage::remove(const std::string& imagePath) const {
    must("MTOOLS_SKIP_CHECK=1 mdel -i " + target() + " " + quote("::/" + imagePath));
}

void FatImage::removeTree(const std::string& imagePath) const {
    must("MTOOLS_SKIP_CHECK=1 mdeltree -i " + target() + " " + quote("::/" + imagePath));
}

Bytes FatImage::bytes() const {
    const std::string text = readFile(path_);
    return Bytes(text.begin(), text.end());
}

void FatImage::writeBytes(std::uint64_t offset, const Bytes& data) const {
    patchFile(path_, offset, data);
}

FatImage::Layout FatImage::layout() const {
    Bytes boot(512);
    std::ifstream in(path_, std::ios::binary);
    in.read(reinterpret_cast<char*>(boot.data()), 512);
    const ByteSpan b(boot);
    Layout l;
    l.bytesPerSector = *Binary::u16le(b, 11);
    l.clusterSize = l.bytesPerSector * b[13];
    const std::uint64_t reserved = *Binary::u16le(b, 14);
    const std::uint64_t fatCount = b[16];
    const std::uint64_t rootEntries = *Binary::u16le(b, 17);
    std::uint64_t fatSectors = *Binary::u16le(b, 22);
    if (fatSectors == 0) fatSectors = *Binary::u32le(b, 36);
    l.fatOffset = reserved * l.bytesPerSector;
    l.rootOffset = l.fatOffset + fatCount * fatSectors * l.bytesPerSector;
    const std::uint64_t rootBytes =
        (rootEntries * 32 + l.bytesPerSector - 1) / l.bytesPerSector * l.bytesPerSector;
    l.dataOffset = l.rootOffset + rootBytes;
    l.rootCluster = fatBits_ == 32 ? *Binary::u32le(b, 44) : 0;
    return l;
}

std::optional<std::uint64_t> FatImage::findEntry(const std::string& shortName11) const {
    const Bytes all = bytes();
    const Layout l = layout();
    for (std::uint64_t p = l.rootOffset; p + 32 <= all.size(); p += 32)
        if (std::equal(shortName11.begin() + 1, shortName11.end(),
                       all.begin() + static_cast<std::ptrdiff_t>(p) + 1))
            return p;
    return std::nullopt;
}

void patchFile(const std::filesystem::path& path, std::uint64_t offset, const Bytes& data) {
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
}

std::string patternBytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::string out(size, '\0');
    for (auto& c : out)
        c = static_cast<char>(rng() & 0xFF);
    return out;
}

void setModified(const std::filesystem::path& path, const std::string& localTime) {
    must("touch -d " + quote(localTime) + " " + quote(path.string()));
}

bool makeJpeg(const std::filesystem::path& path, int width, int height, int seed) {
    // /usr/local/bin/convert may be a stand-in; ImageMagick's own lives in /usr/bin.
    const std::string magick =
        std::filesystem::exists("/usr/bin/convert") ? "/usr/bin/convert" : "convert";
    if (!haveTool(magick)) return false;
    return run(magick + " -size " + std::to_string(width) + "x" + std::to_string(height) +
               " -seed " + std::to_string(seed) + " xc:gray +noise Random -quality 90 " +
               quote(path.string())) == 0 &&
           std::filesystem::exists(path);
}

bool makeMp4(const std::filesystem::path& path, int seconds) {
    return haveTool("ffmpeg") &&
           run("ffmpeg -loglevel error -y -f lavfi -i testsrc=duration=" + std::to_string(seconds) +
               ":size=160x120:rate=10 -c:v mpeg4 " + quote(path.string())) == 0;
}

} // namespace vellary::testing
