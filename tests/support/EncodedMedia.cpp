#include "tests/support/EncodedMedia.hpp"

#include <filesystem>

namespace vellary::testing {

namespace {

constexpr const char* kMagick = "/usr/bin/convert";

std::optional<Bytes> produced(int status, const std::filesystem::path& path) {
    if (status != 0 || !std::filesystem::exists(path)) return std::nullopt;
    const auto text = readFile(path);
    if (text.empty()) return std::nullopt;
    return Bytes(text.begin(), text.end());
}

} // namespace

std::optional<Bytes> EncodedMedia::ffmpeg(const TempDir& dir, const std::string& name,
                                          const std::string& arguments) {
    if (!haveTool("ffmpeg")) return std::nullopt;
    const auto path = dir / name;
    return produced(run("ffmpeg -v error -nostdin -y " + arguments + " '" + path.string() + "'"),
                    path);
}

bool EncodedMedia::haveMagick() {
    return std::filesystem::exists(kMagick) && run(std::string(kMagick) + " -version") == 0;
}

std::optional<Bytes> EncodedMedia::magick(const TempDir& dir, const std::string& name,
                                          const std::string& arguments, const std::string& format) {
    if (!haveMagick()) return std::nullopt;
    const auto path = dir / name;
    const auto prefix = format.empty() ? std::string() : format + ":";
    return produced(
        run(std::string(kMagick) + " " + arguments + " '" + prefix + path.string() + "'"), path);
}

std::optional<Bytes> EncodedMedia::heif(const TempDir& dir, const std::string& name) {
    if (!haveTool("heif-enc") || !haveMagick()) return std::nullopt;
    // A JPEG input: the AV1 encoder here aborts on 4:4:4 input taken from PNG.
    const auto input = dir / (name + ".jpg");
    if (run(std::string(kMagick) + " -size 640x480 -seed 7 plasma:fractal '" + input.string() +
            "'") != 0)
        return std::nullopt;
    const auto path = dir / name;
    return produced(run("heif-enc -q 60 '" + input.string() + "' -o '" + path.string() + "'"),
                    path);
}

} // namespace vellary::testing
