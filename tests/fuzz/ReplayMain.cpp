// Stands in for libFuzzer in the normal build: runs a target's entry point over every file below
// the folders given, cut short and with bytes overwritten by a fixed generator, so whatever fails
// here fails again on the next run.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    std::size_t seeds = 0;
    // Each input is its own allocation of exactly its size, so the sanitizer sees any read past it.
    const auto runOne = [](std::vector<std::uint8_t> input) {
        LLVMFuzzerTestOneInput(input.data(), input.size());
    };
    for (int i = 1; i < argc; ++i) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[i])) {
            if (!entry.is_regular_file()) continue;
            std::ifstream in(entry.path(), std::ios::binary);
            const std::vector<std::uint8_t> seed{std::istreambuf_iterator<char>(in), {}};
            ++seeds;
            for (std::size_t part = 0; part <= 16; ++part)
                runOne({seed.begin(),
                        seed.begin() + static_cast<std::ptrdiff_t>(seed.size() * part / 16)});
            std::mt19937 random(static_cast<std::uint32_t>(seed.size()));
            for (int variant = 0; variant < 300 && !seed.empty(); ++variant) {
                auto damaged = seed;
                // Positions spread over orders of magnitude: headers and tables near the start
                // are hit as often as the bulk behind them.
                for (int hit = 0; hit <= variant % 40; ++hit) {
                    const std::size_t reach =
                        std::min<std::size_t>(seed.size(), 2u << (random() % 20));
                    const std::uint8_t values[] = {0x00, 0xFF, 0x7F, 0x80,
                                                   static_cast<std::uint8_t>(random())};
                    damaged[random() % reach] = values[random() % 5];
                }
                runOne(std::move(damaged));
            }
        }
    }
    std::printf("%zu seeds\n", seeds);
    return seeds > 0 ? 0 : 1; // an empty corpus would pass without testing anything
}
