#include "tests/support/RestoreFixtures.hpp"

#include "tests/support/Tools.hpp"

#include <fstream>
#include <iterator>

namespace vellary::testing {

Bytes patterned(std::size_t size, std::uint32_t seed) {
    Bytes bytes(size);
    std::uint32_t state = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

Bytes slice(const Bytes& bytes, std::uint64_t offset, std::uint64_t length) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                 bytes.begin() + static_cast<std::ptrdiff_t>(offset + length));
}

RecoverableFile foundFile(const std::string& name, const std::string& originalPath,
                          std::vector<ByteRange> ranges) {
    RecoverableFile file;
    file.id = "test-" + name + "-" + originalPath + "-" + std::to_string(ranges.size());
    file.name = name;
    file.originalPath = originalPath;
    for (const auto& range : ranges)
        file.size += range.length;
    file.ranges = std::move(ranges);
    file.complete = true;
    file.confidence = RecoveryConfidence::named;
    return file;
}

std::set<std::string> listTree(const std::filesystem::path& root) {
    std::set<std::string> paths;
    for (auto it = std::filesystem::recursive_directory_iterator(root);
         it != std::filesystem::recursive_directory_iterator(); ++it) {
        std::string relative = std::filesystem::relative(it->path(), root).string();
        if (it->is_directory() && !it->is_symlink()) relative += "/";
        paths.insert(relative);
    }
    return paths;
}

Bytes readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string sha256(const std::filesystem::path& path) {
    const std::string out = capture("sha256sum '" + path.string() + "'");
    return out.substr(0, out.find(' '));
}

} // namespace vellary::testing
