#pragma once

#include "core/io/FileBlockReader.hpp"
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

// Found files laid out on one disk image: each file in pieces at 4 KiB boundaries, pieces of
// one file stored last first with noise between, as a fragmented card would hold them.
class Card {
public:
    RecoverableFile add(const std::string& id, const std::string& name, FileKind kind,
                        const Bytes& data, int pieces = 1) {
        RecoverableFile file{
            .id = id, .name = name, .originalPath = name, .size = data.size(), .kind = kind};
        file.categoryFromKind();
        const std::size_t piece = (data.size() / pieces + 4095) / 4096 * 4096;
        std::vector<ByteRange> ranges;
        for (int i = pieces - 1; i >= 0; --i) {
            const std::size_t from = static_cast<std::size_t>(i) * piece;
            if (from >= data.size()) continue;
            const std::size_t length = std::min(piece, data.size() - from);
            pad();
            ranges.insert(ranges.begin(), ByteRange{bytes_.size(), length});
            bytes_.insert(bytes_.end(), data.begin() + static_cast<std::ptrdiff_t>(from),
                          data.begin() + static_cast<std::ptrdiff_t>(from + length));
        }
        file.ranges = ranges;
        return file;
    }
    // Written to a file and opened the way a disk image is.
    std::shared_ptr<FileBlockReader> open(const TempDir& dir) {
        pad();
        writeFile(dir / "card.img", std::string(bytes_.begin(), bytes_.end()));
        return std::make_shared<FileBlockReader>(dir / "card.img");
    }

private:
    void pad() { bytes_.resize((bytes_.size() + 4095) / 4096 * 4096 + 4096, 0x5A); }
    Bytes bytes_;
};

} // namespace vellary::testing

using namespace vellary;
using namespace vellary::testing;
using Files = std::vector<RecoverableFile>;
namespace fs = std::filesystem;
Q_DECLARE_METATYPE(std::vector<RecoverableFile>)
