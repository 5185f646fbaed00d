// Stands in for libFuzzer in the normal build: runs a target's entry point over every file below
// the folders given, then over damaged copies of each (cut short, bytes overwritten) made by a
// fixed generator, so whatever fails here fails again on the next run.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

// A copy of exactly the input's size, so the sanitizer sees any read past its end.
void runOne(const std::vector<std::uint8_t>& input, std::size_t size) {
    const std::vector<std::uint8_t> exact(input.begin(),
                                          input.begin() + static_cast<std::ptrdiff_t>(size));
    LLVMFuzzerTestOneInput(exact.data(), exact.size());
}

std::size_t replay(const std::vector<std::uint8_t>& seed) {
    std::size_t runs = 0;
    for (std::size_t part = 0; part <= 16; ++part, ++runs)
        runOne(seed, seed.size() * part / 16);
    std::mt19937 random(static_cast<std::uint32_t>(seed.size()));
    for (int variant = 0; variant < 300 && !seed.empty(); ++variant, ++runs) {
        auto damaged = seed;
        // Positions spread evenly over orders of magnitude: headers and tables near the start
        // are hit as often as the bulk behind them.
        for (int hit = 0; hit < 1 + variant % 40; ++hit) {
            const std::size_t reach = std::min<std::size_t>(seed.size(), 2u << (random() % 20));
            const std::uint8_t values[] = {0x00, 0xFF, 0x7F, 0x80,
                                           static_cast<std::uint8_t>(random())};
            damaged[random() % reach] = values[random() % 5];
        }
        runOne(damaged, damaged.size());
    }
    return runs;
}

} // namespace

int main(int argc, char** argv) {
    std::size_t seeds = 0;
    std::size_t runs = 0;
    for (int i = 1; i < argc; ++i) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[i])) {
            if (!entry.is_regular_file()) continue;
            std::ifstream in(entry.path(), std::ios::binary);
            const std::vector<std::uint8_t> seed{std::istreambuf_iterator<char>(in), {}};
            runs += replay(seed);
            ++seeds;
        }
    }
    std::printf("%zu seeds, %zu inputs\n", seeds, runs);
    // An empty corpus would pass without testing anything.
    return seeds > 0 ? 0 : 1;
}
