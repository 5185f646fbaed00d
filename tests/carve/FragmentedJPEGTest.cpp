// JPEGs split into cluster-aligned pieces with other bytes between them: each comes back
// byte-exact, put back together, or is labelled partial; none with wrong bytes is whole.
#include "core/carve/Carver.hpp"
#include "core/io/DataBlockReader.hpp"
#include "tests/support/JPEGSamples.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace vellary {
namespace {

using testing::JPEGSamples;
using testing::TempDir;

enum class Gap { noise, zeros, otherJPEG };
enum class Order { inOrder, interleaved };

struct Case {
    const char* name;
    std::uint64_t cluster;
    Gap gap;
    Order order;
    int pieces;
    bool mustJoin; // two pieces close together are always put back together
};

const Case kCases[] = {
    {"noise4k", 4096, Gap::noise, Order::inOrder, 2, true},
    {"zeros4k", 4096, Gap::zeros, Order::inOrder, 2, true},
    {"jpeg4k", 4096, Gap::otherJPEG, Order::inOrder, 2, true},
    {"interleaved4k", 4096, Gap::noise, Order::interleaved, 2, true},
    {"noise32k", 32768, Gap::noise, Order::inOrder, 2, true},
    {"zeros32k", 32768, Gap::zeros, Order::inOrder, 2, true},
    {"jpeg32k", 32768, Gap::otherJPEG, Order::inOrder, 2, true},
    {"interleaved32k", 32768, Gap::otherJPEG, Order::interleaved, 2, true},
    {"noise512", 512, Gap::noise, Order::inOrder, 2, true},
    {"interleaved2k", 2048, Gap::zeros, Order::interleaved, 2, true},
    {"threePieces4k", 4096, Gap::noise, Order::inOrder, 3, false},
    {"threePieces32k", 32768, Gap::zeros, Order::interleaved, 3, false},
};

const std::vector<Bytes>& jpegs() {
    static const auto made = [] {
        static TempDir dir;
        std::vector<Bytes> out;
        const char* options[] = {"-quality 92 -restart 2", "-quality 88", "-quality 90 -sample 1x1",
                                 "-quality 85 -restart 8B"};
        for (unsigned i = 0; i < 4; ++i)
            if (auto j = JPEGSamples::cjpeg(dir, 1024 + 64 * static_cast<int>(i), 768, 30 + i,
                                            options[i]))
                out.push_back(std::move(*j));
        return out;
    }();
    return made;
}

class FragmentedJPEG : public ::testing::TestWithParam<Case> {};

TEST_P(FragmentedJPEG, ComesBackWholeOrPartialNeverWrong) {
    const auto& c = GetParam();
    const auto& files = jpegs();
    if (files.size() < 4) GTEST_SKIP() << "cjpeg missing";
    std::mt19937 random(static_cast<unsigned>(c.cluster) + static_cast<unsigned>(c.gap));
    Bytes image;
    const auto pad = [&] {
        while (image.size() % c.cluster != 0)
            image.push_back(static_cast<std::uint8_t>(random() | 1));
    };
    const auto gap = [&] {
        if (c.gap == Gap::otherJPEG) {
            image.insert(image.end(), files[3].begin(), files[3].end());
        } else {
            for (std::uint64_t i = 0; i < 2 * c.cluster; ++i)
                image.push_back(c.gap == Gap::zeros ? 0 : static_cast<std::uint8_t>(random()));
        }
        pad();
    };
    // The pieces of a file, split at cluster boundaries.
    const auto split = [&](const Bytes& f) {
        std::vector<Bytes> pieces;
        std::size_t from = 0;
        for (int k = 1; k < c.pieces; ++k) {
            const auto cut = f.size() * static_cast<std::size_t>(k) /
                             static_cast<std::size_t>(c.pieces) / c.cluster * c.cluster;
            pieces.emplace_back(f.begin() + static_cast<std::ptrdiff_t>(from),
                                f.begin() + static_cast<std::ptrdiff_t>(cut));
            from = cut;
        }
        pieces.emplace_back(f.begin() + static_cast<std::ptrdiff_t>(from), f.end());
        return pieces;
    };
    std::map<std::uint64_t, const Bytes*> placed; // where each original starts
    const std::vector<const Bytes*> broken = c.order == Order::interleaved
                                                 ? std::vector<const Bytes*>{&files[0], &files[1]}
                                                 : std::vector<const Bytes*>{&files[0]};
    std::vector<std::vector<Bytes>> parts;
    for (const auto* f : broken)
        parts.push_back(split(*f));
    for (std::size_t k = 0; k < parts[0].size(); ++k) {
        for (std::size_t f = 0; f < parts.size(); ++f) {
            if (k == 0) placed[image.size()] = broken[f];
            image.insert(image.end(), parts[f][k].begin(), parts[f][k].end());
            pad();
            if (f + 1 == parts.size() && k + 1 < parts[0].size()) {
                if (c.gap == Gap::otherJPEG) placed[image.size()] = &files[3];
                gap();
            }
        }
    }
    placed[image.size()] = &files[2]; // a whole one after, which must still be found
    image.insert(image.end(), files[2].begin(), files[2].end());
    pad();
    image.resize(image.size() + c.cluster, 0);

    std::vector<RecoverableFile> found;
    Carver::carve(DataBlockReader(image), RangeCover{}, ScanOptions{}, 0, found);

    for (const auto& [offset, original] : placed) {
        const auto it = std::find_if(found.begin(), found.end(), [&](const RecoverableFile& f) {
            return f.id == "carve-" + std::to_string(offset);
        });
        ASSERT_NE(it, found.end()) << "nothing found at " << offset;
        const bool isBroken = std::find(broken.begin(), broken.end(), original) != broken.end();
        if (!isBroken || c.mustJoin) {
            EXPECT_TRUE(it->complete)
                << (isBroken ? "not put back together at " : "whole at ") << offset;
        }
    }
    for (const auto& f : found) {
        if (!f.complete) continue;
        const auto start = f.ranges.front().offset;
        ASSERT_TRUE(placed.contains(start)) << "whole file where none began: " << start;
        Bytes bytes;
        for (const auto& r : f.ranges)
            bytes.insert(bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(r.offset),
                         image.begin() + static_cast<std::ptrdiff_t>(r.end()));
        EXPECT_TRUE(bytes == *placed.at(start)) << "wrong bytes labelled whole at " << start;
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, FragmentedJPEG, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& p) {
                             return std::string(p.param.name);
                         });

} // namespace
} // namespace vellary
