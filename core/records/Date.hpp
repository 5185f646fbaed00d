#pragma once

#include <chrono>

namespace vellary {

// A point in time: seconds since 1970-01-01 00:00:00 UTC, fractional.
using Seconds = std::chrono::duration<double>;
using Date = std::chrono::sys_time<Seconds>;

inline Date dateFromUnixSeconds(double seconds) {
    return Date(Seconds(seconds));
}
inline double unixSeconds(Date date) {
    return date.time_since_epoch().count();
}

} // namespace vellary
