#pragma once

#include "core/records/Date.hpp"
#include "core/records/RecoverableFile.hpp"
#include "tests/support/Tools.hpp"

#include <QDateTime>
#include <QSignalSpy>
#include <QTest>
#include <future>

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

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
    const QDateTime local(QDate(year, month, day), QTime(hour, minute));
    return dateFromUnixSeconds(static_cast<double>(local.toSecsSinceEpoch()));
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

using namespace vellary;
using namespace vellary::testing;
using Files = std::vector<RecoverableFile>;
namespace fs = std::filesystem;
Q_DECLARE_METATYPE(std::vector<RecoverableFile>)
