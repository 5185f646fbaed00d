#pragma once

#include "core/records/Date.hpp"
#include "core/records/RecoverableFile.hpp"

#include <ctime>
#include <future>
#include <optional>
#include <string>

namespace vellary::testing {

inline RecoverableFile found(std::string id, std::string name, std::optional<Date> modified = {},
                             FileCategory category = FileCategory::photo, std::uint64_t size = 100,
                             std::string path = {}) {
    RecoverableFile file;
    file.id = std::move(id);
    file.name = std::move(name);
    file.originalPath = path.empty() ? file.name : std::move(path);
    file.modified = modified;
    file.category = category;
    file.size = size;
    return file;
}

// A wall-clock time in the local zone.
inline Date localTime(int year, int month, int day, int hour, int minute) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_isdst = -1;
    return dateFromUnixSeconds(static_cast<double>(std::mktime(&tm)));
}

// Holds a worker until the test opens it.
class Gate {
public:
    void open() { promise_.set_value(); }
    void wait() const { future_.wait(); }

private:
    std::promise<void> promise_;
    std::shared_future<void> future_ = promise_.get_future().share();
};

} // namespace vellary::testing
