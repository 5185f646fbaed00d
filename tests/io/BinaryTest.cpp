#include "core/io/Binary.hpp"

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>

using namespace vellary;

namespace {

// Runs the test body in a fixed zone so local-time arithmetic is checkable.
class InZone {
public:
    explicit InZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) saved_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~InZone() {
        if (saved_.empty())
            ::unsetenv("TZ");
        else
            ::setenv("TZ", saved_.c_str(), 1);
        ::tzset();
    }

private:
    std::string saved_;
};

std::uint16_t date(int y, int m, int d) {
    return static_cast<std::uint16_t>(((y - 1980) << 9) | (m << 5) | d);
}
std::uint16_t time(int h, int mi, int s2) {
    return static_cast<std::uint16_t>((h << 11) | (mi << 5) | s2);
}

} // namespace

TEST(Binary, CheckedReadsStayInsideTheBuffer) {
    const std::uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05};
    const ByteSpan s(bytes);
    EXPECT_EQ(Binary::u16le(s, 0), 0x0201);
    EXPECT_EQ(Binary::u16be(s, 3), 0x0405);
    EXPECT_EQ(Binary::u32le(s, 1), 0x05040302u);
    EXPECT_EQ(Binary::u32be(s, 0), 0x01020304u);
    EXPECT_EQ(Binary::u16le(s, 4), std::nullopt);
    EXPECT_EQ(Binary::u32le(s, 2), std::nullopt);
    EXPECT_EQ(Binary::u16le(s, -1), std::nullopt);
    EXPECT_EQ(Binary::u64le(s, 0), std::nullopt);
    EXPECT_EQ(Binary::u32le(s, INT64_MAX), std::nullopt);
}

TEST(Binary, FatDateValidity) {
    InZone zone("UTC0");
    // time, date, the instant or nothing
    const std::vector<std::tuple<std::uint16_t, std::uint16_t, std::optional<double>>> cases = {
        {0, 0x0021, 315532800}, // 1980-01-01 00:00
        {time(12, 34, 28), date(2024, 6, 30), 1719750896},
        {time(23, 59, 29), date(2020, 1, 1), 1577923198},
        {0, date(1980, 1, 0), std::nullopt},
        {0, date(2020, 13, 1), std::nullopt},
        {time(24, 0, 0), date(2020, 1, 1), std::nullopt},
        {time(0, 60, 0), date(2020, 1, 1), std::nullopt},
        {time(0, 0, 30), date(2020, 1, 1), std::nullopt},
        // Impossible calendar days are refused rather than rolled into the next month.
        {0, date(2021, 2, 29), std::nullopt},
        {0, date(2021, 2, 31), std::nullopt},
        {0, date(2021, 4, 31), std::nullopt},
        {0, date(2100, 2, 29), std::nullopt},
        {0, date(2020, 2, 29), 1582934400},
    };
    for (const auto& [t, d, instant] : cases) {
        const auto got = Binary::fatDate(t, d);
        EXPECT_EQ(got ? std::optional(unixSeconds(*got)) : std::nullopt, instant) << t << " " << d;
    }
}

TEST(Binary, FatDateIsLocalTimeAcrossDaylightSaving) {
    InZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    // Summer: UTC+2.
    EXPECT_EQ(Binary::fatDate(time(12, 0, 0), date(2024, 7, 1)), dateFromUnixSeconds(1719828000));
    // 02:30 on 2024-03-31 does not exist in this zone; mktime settles it, never nothing.
    EXPECT_NE(Binary::fatDate(time(2, 30, 0), date(2024, 3, 31)), std::nullopt);
    // 02:30 on 2024-10-27 happens twice; one of the two instants is chosen.
    const auto twice = Binary::fatDate(time(2, 30, 0), date(2024, 10, 27));
    ASSERT_NE(twice, std::nullopt);
    const double t = unixSeconds(*twice);
    EXPECT_TRUE(t == 1729989000 || t == 1729992600) << t;
}

TEST(Binary, ExfatDateUsesTheSameRules) {
    InZone zone("UTC0");
    const std::uint32_t stamp = (std::uint32_t{date(2024, 6, 30)} << 16) | time(12, 34, 28);
    EXPECT_EQ(Binary::exfatDate(stamp), dateFromUnixSeconds(1719750896));
    EXPECT_EQ(Binary::exfatDate(0), std::nullopt);
}

TEST(Binary, FileTimeDateRange) {
    EXPECT_EQ(Binary::fileTimeDate(0), std::nullopt);
    EXPECT_EQ(Binary::fileTimeDate(119600064000000000ULL - 1), std::nullopt);
    EXPECT_EQ(Binary::fileTimeDate(119600064000000000ULL), dateFromUnixSeconds(315532800));
    EXPECT_EQ(Binary::fileTimeDate(157469184000000000ULL), std::nullopt);
    const auto withFraction = Binary::fileTimeDate(132000000005000000ULL);
    ASSERT_NE(withFraction, std::nullopt);
    EXPECT_DOUBLE_EQ(unixSeconds(*withFraction), 1555526400.5);
}
