#include "tests/support/RestoreFixtures.hpp"

#include "tests/support/Tools.hpp"

namespace vellary::testing {

Bytes patterned(std::size_t size, std::uint32_t seed) {
    Bytes bytes(size);
    std::uint32_t state = seed * 2654435761u + 1; // xorshift: no short period to hide a shift
    for (auto& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

Bytes slice(const Bytes& bytes, std::uint64_t offset, std::uint64_t length) {
    const auto from = bytes.begin() + static_cast<std::ptrdiff_t>(offset);
    return Bytes(from, from + static_cast<std::ptrdiff_t>(length));
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
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
        paths.insert(std::filesystem::relative(entry.path(), root).string() +
                     (entry.is_directory() && !entry.is_symlink() ? "/" : ""));
    return paths;
}

Bytes readBytes(const std::filesystem::path& path) {
    const std::string text = readFile(path);
    return Bytes(text.begin(), text.end());
}

std::string sha256(const std::filesystem::path& path) {
    const std::string out = capture("sha256sum '" + path.string() + "'");
    return out.substr(0, out.find(' '));
}

} // namespace vellary::testing
