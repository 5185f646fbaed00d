#include "core/io/Binary.hpp"

#include <ctime>

namespace vellary {

std::optional<Date> Binary::localDate(int year, int month, int day, int hour, int minute,
                                      int second) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1) return std::nullopt;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int monthDays = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
    if (day > monthDays || hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 ||
        second > 59)
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    // Let the C library settle daylight saving, including times skipped or repeated at a change.
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return std::nullopt;
    return dateFromUnixSeconds(static_cast<double>(t));
}

std::optional<Date> Binary::fatDate(std::uint16_t time, std::uint16_t date) {
    const int day = date & 0x1F;
    const int month = (date >> 5) & 0x0F;
    const int years = date >> 9;
    const int seconds = (time & 0x1F) * 2;
    const int minute = (time >> 5) & 0x3F;
    const int hour = time >> 11;
    if (day == 0 || years >= 121 || month < 1 || month > 12 || hour >= 24 || minute >= 60 ||
        seconds >= 59)
        return std::nullopt;
    return localDate(1980 + years, month, day, hour, minute, seconds);
}

std::optional<Date> Binary::exfatDate(std::uint32_t stamp) {
    return fatDate(static_cast<std::uint16_t>(stamp & 0xFFFF),
                   static_cast<std::uint16_t>(stamp >> 16));
}

std::optional<Date> Binary::fileTimeDate(std::uint64_t value) {
    constexpr std::uint64_t kFirst = 119600064000000000ULL; // 1980-01-01 00:00 UTC
    constexpr std::uint64_t kLimit = 157469184000000000ULL; // 2100-01-01 00:00 UTC
    if (value < kFirst || value >= kLimit) return std::nullopt;
    const auto whole = static_cast<double>(value / 10000000ULL) - 11644473600.0;
    const auto fraction = static_cast<double>(value % 10000000ULL) / 10000000.0;
    return dateFromUnixSeconds(whole + fraction);
}

} // namespace vellary
