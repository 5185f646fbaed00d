#include "tests/support/JPEGSamples.hpp"

#include <cstdlib>
#include <fstream>
#include <random>
#include <sys/wait.h>

namespace vellary::testing {

std::optional<Bytes> JPEGSamples::cjpeg(const TempDir& dir, int width, int height, unsigned seed,
                                        const std::string& options) {
    if (!haveTool("cjpeg")) return std::nullopt;
    const auto input = dir / ("sample-" + std::to_string(seed) + ".ppm");
    const auto output = dir / ("sample-" + std::to_string(seed) + ".jpg");
    {
        std::mt19937 random(seed);
        std::ofstream ppm(input, std::ios::binary);
        ppm << "P6\n" << width << " " << height << "\n255\n";
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const auto grain = static_cast<int>(random() % 24);
                const int band = ((x / 37 + y / 29 + static_cast<int>(seed)) % 5) * 40;
                ppm.put(static_cast<char>((x * 255 / width + grain) % 256));
                ppm.put(static_cast<char>((y * 255 / height + band) % 256));
                ppm.put(static_cast<char>(((x * y) / 97 + grain * 3) % 256));
            }
    }
    std::filesystem::remove(output);
    if (run("cjpeg " + options + " '" + input.string() + "' > '" + output.string() + "'") != 0)
        return std::nullopt;
    const auto text = readFile(output);
    return Bytes(text.begin(), text.end());
}

bool JPEGSamples::djpegClean(const TempDir& dir, const Bytes& jpeg) {
    const auto path = dir / "judged.jpg";
    std::filesystem::remove(path);
    writeFile(path, std::string(jpeg.begin(), jpeg.end()));
    // djpeg exits 0 only when nothing was wrong; warnings give 2.
    const std::string command = "djpeg '" + path.string() + "' > /dev/null 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace vellary::testing
