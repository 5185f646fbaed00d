#include "app/model/RecoverySession.hpp"

#include "app/access/MountKeeper.hpp"
#include "app/model/DiskAsset.hpp"
#include "app/model/MainThread.hpp"
#include "app/model/QuickLookExport.hpp"
#include "app/model/RemountQueue.hpp"
#include "app/model/ThumbnailCache.hpp"
#include "core/devices/DeviceCatalog.hpp"
#include "core/engine/RecoveryEngine.hpp"
#include "core/records/RecoverError.hpp"

#include <QDate>
#include <QDesktopServices>
#include <QLocale>
#include <QPointer>
#include <QQmlEngine>
#include <QStringMatcher>
#include <QUrl>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <future>
#include <limits>

namespace vellary {
namespace {

// Start of the local day holding the instant, in whole seconds since 1970.
std::int64_t dayStart(double seconds, int daysBack = 0) {
    const auto whole = static_cast<std::time_t>(std::floor(seconds));
    std::tm local{};
    localtime_r(&whole, &local);
    local.tm_hour = 0;
    local.tm_min = 0;
    local.tm_sec = 0;
    local.tm_mday -= daysBack;
    local.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&local));
}

QString dayTitle(std::int64_t day, std::int64_t today, std::int64_t yesterday) {
    if (day == today) return RecoverySession::tr("Today");
    if (day == yesterday) return RecoverySession::tr("Yesterday");
    const auto whole = static_cast<std::time_t>(day);
    std::tm local{};
    localtime_r(&whole, &local);
    return QLocale().toString(QDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday),
                              QLocale::LongFormat);
}

// Doubles as unsigned integers in the same order (minus infinity lowest).
std::uint64_t orderedBits(double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t(1) << 63);
}

QString view(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

std::string RecoverySession::Source::title() const {
    if (device) return device->name;
    return image.stem().string();
}

RecoverySession::Engine RecoverySession::Engine::system() {
    Engine engine;
    engine.scan = [](const BlockReader& reader, const ScanOptions& options) {
        return RecoveryEngine::scan(reader, options);
    };
    engine.mount = [](const Device& device) { DeviceCatalog().mount(device); };
    engine.forget = [](const Device& device) { MountKeeper().forget(device.id, device.identity); };
    return engine;
}

RecoverySession::RecoverySession(Source source, std::shared_ptr<BlockReader> reader,
                                 bool unmountedForScan, Engine engine, QObject* parent)
    : QObject(parent), source_(std::move(source)), reader_(std::move(reader)),
      unmountedForScan_(unmountedForScan), engine_(std::move(engine)),
      thumbnails_(std::make_shared<ThumbnailCache>(reader_)),
      clock_([] { return Date(std::chrono::system_clock::now()); }),
      grid_(new FileGridModel(*this, this)) {
    rebuildTimer_.setSingleShot(true);
    rebuildTimer_.setInterval(kRebuildDelayMs);
    connect(&rebuildTimer_, &QTimer::timeout, this, &RecoverySession::rebuild);
}

RecoverySession::~RecoverySession() {
    stopFlag_->set();
}

void RecoverySession::start() {
    if (started_) return;
    started_ = true;
    const QPointer<RecoverySession> weak(this);
    ScanOptions options;
    options.deepScan = true;
    options.progress = [weak](const ScanProgress& progress) {
        postToMain([weak, progress] {
            if (weak) weak->onProgress(progress);
        });
    };
    options.isCancelled = [flag = stopFlag_] { return flag->isSet(); };
    options.onFound = [weak](const std::vector<RecoverableFile>& batch) {
        postToMain([weak, batch] {
            if (weak) weak->merge(batch);
        });
    };
    workers().start([weak, options = std::move(options), reader = reader_, scan = engine_.scan] {
        std::optional<ScanResult> result;
        std::optional<std::string> error;
        bool cancelled = false;
        try {
            result = scan(*reader, options);
        } catch (const RecoverError& failure) {
            cancelled = failure.kind() == RecoverError::Case::cancelled;
            error = failure.errorDescription();
        } catch (const std::exception& failure) {
            error = failure.what();
        }
        postToMain([weak, result = std::move(result), error = std::move(error), cancelled] {
            if (weak) weak->onFinished(result, error, cancelled);
        });
    });
}

void RecoverySession::onProgress(const ScanProgress& progress) {
    if (progress.phase == ScanProgress::Phase::contents && !contentsStartedAt_)
        contentsStartedAt_ = now();
    if (state_ != State::Scanning) return;
    progress_ = progress;
    emit progressChanged();
}

void RecoverySession::onFinished(std::optional<ScanResult> result, std::optional<std::string> error,
                                 bool cancelled) {
    if (result) {
        merge(result->files);
        warnings_.clear();
        for (const auto& warning : result->warnings)
            warnings_.append(QString::fromStdString(warning));
        emit warningsChanged();
        setState(stopFlag_->isSet() ? State::Stopped : State::Finished);
    } else if (cancelled) {
        setState(State::Stopped);
    } else {
        setState(State::Failed, QString::fromStdString(error.value_or(std::string())));
    }
    const auto total = progress_.bytesTotal;
    progress_ = {ScanProgress::Phase::finished, total, total,
                 static_cast<std::int64_t>(files_.size())};
    emit progressChanged();
    rebuild();
}

void RecoverySession::setState(State state, QString failure) {
    if (state_ == state && failure_ == failure) return;
    state_ = state;
    failure_ = std::move(failure);
    emit stateChanged();
}

void RecoverySession::close(Remount remount) {
    if (closed_) return;
    closed_ = true;
    stopFlag_->set();
    rebuildTimer_.stop();
    thumbnails_->clear();
    QuickLookExport::cleanUp();
    if (!unmountedForScan_ || !source_.device) return;
    const Device device = *source_.device;
    auto mount = engine_.mount;
    auto forget = engine_.forget;
    switch (remount) {
    case Remount::Background:
        RemountQueue::add(device.id, std::async(std::launch::async, [device, mount, forget] {
                                         if (mount) mount(device);
                                         if (forget) forget(device);
                                     }).share());
        break;
    case Remount::Now:
        if (mount) mount(device);
        [[fallthrough]];
    case Remount::Forget:
        if (forget) forget(device);
        break;
    }
}

bool RecoverySession::hasThumbnail(const QString& id) const {
    const auto file = thumbnails_->file(id.toStdString());
    return file && ThumbnailCache::hasThumbnail(*file);
}

bool RecoverySession::isPlayableVideo(const QString& id) const {
    const auto file = thumbnails_->file(id.toStdString());
    return file && ThumbnailCache::isPlayableVideo(*file);
}

QObject* RecoverySession::openVideo(const QString& id) {
    const auto file = thumbnails_->file(id.toStdString());
    if (!file || !ThumbnailCache::isPlayableVideo(*file)) return nullptr;
    auto* asset = DiskAsset::open(*file, reader_, this);
    if (asset) QQmlEngine::setObjectOwnership(asset, QQmlEngine::CppOwnership);
    return asset;
}

void RecoverySession::quickLook(const QString& id) {
    const auto file = thumbnails_->file(id.toStdString());
    if (!file) return;
    workers().start([file = *file, reader = reader_] {
        const auto saved = QuickLookExport::exportFile(file, *reader);
        if (!saved) return;
        const auto open = QuickLookExport::opensDirectly(file) ? *saved : saved->parent_path();
        postToMain([open] {
            QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(open.string())));
        });
    });
}

void RecoverySession::merge(const std::vector<RecoverableFile>& batch) {
    thumbnails_->remember(batch);
    bool changed = false;
    for (const auto& file : batch) {
        const auto index = static_cast<std::uint32_t>(files_.size());
        const auto [known, added] = indexOf_.try_emplace(file.id, index);
        Facts facts;
        if (file.modified) {
            facts.dated = true;
            facts.modified = unixSeconds(*file.modified);
            facts.day = dayStart(facts.modified);
        } else {
            facts.modified = -std::numeric_limits<double>::infinity();
        }
        facts.damaged = file.headerLooksValid == false;
        facts.category = file.category;
        facts.size = file.size;
        ++counts_[file.category];
        changed = true;
        if (!added) {
            const auto i = known->second;
            --counts_[facts_[i].category];
            if (files_[i].name != file.name) byName_.clear(); // its rank is stale
            facts_[i] = facts;
            lowerNames_[i] = QString::fromStdString(file.name).toLower();
            lowerPaths_[i] = QString::fromStdString(file.originalPath).toLower();
            nameKeys_[i] = names_.key(file.name);
            files_[i] = file;
            continue;
        }
        facts_.push_back(facts);
        lowerNames_.push_back(QString::fromStdString(file.name).toLower());
        lowerPaths_.push_back(QString::fromStdString(file.originalPath).toLower());
        nameKeys_.push_back(names_.key(file.name));
        files_.push_back(file);
    }
    if (!changed) return;
    emit filesChanged();
    emit countsChanged();
    scheduleRebuild();
}

void RecoverySession::scheduleRebuild() {
    if (!rebuildTimer_.isActive()) rebuildTimer_.start();
}

bool RecoverySession::passes(std::uint32_t i, const QStringMatcher& query) const {
    const Facts& facts = facts_[i];
    if (category_ && facts.category != *category_) return false;
    if (hideDamaged_ && facts.damaged) return false;
    return query.pattern().isEmpty() || query.indexIn(lowerNames_[i]) >= 0 ||
           query.indexIn(lowerPaths_[i]) >= 0;
}

void RecoverySession::rankNames() {
    const auto count = static_cast<std::uint32_t>(files_.size());
    const auto ranked = static_cast<std::uint32_t>(byName_.size());
    if (ranked == count) return;
    const auto less = [this](std::uint32_t a, std::uint32_t b) {
        const int keys = nameKeys_[a].compare(nameKeys_[b]);
        return keys != 0 ? keys < 0 : a < b;
    };
    // Only the files merged since the last ranking are sorted; the rest is one merge.
    for (auto i = ranked; i < count; ++i)
        byName_.push_back(i);
    std::sort(byName_.begin() + ranked, byName_.end(), less);
    std::inplace_merge(byName_.begin(), byName_.begin() + ranked, byName_.end(), less);
    nameRank_.resize(count);
    for (std::uint32_t rank = 0; rank < count; ++rank)
        nameRank_[byName_[rank]] = rank;
}

void RecoverySession::sortVisible() {
    switch (sort_) {
    case Sort::Date:
        // Newest first; the pair (date, name) as a whole, largest first.
        for (auto& item : items_)
            item.key = orderedBits(facts_[item.index].modified);
        std::sort(items_.begin(), items_.end(), [this](const SortItem& a, const SortItem& b) {
            if (a.key != b.key) return a.key > b.key;
            const int names = files_[a.index].name.compare(files_[b.index].name);
            return names != 0 ? names > 0 : a.index < b.index;
        });
        break;
    case Sort::Name:
        rankNames();
        for (auto& item : items_)
            item.key = nameRank_[item.index];
        std::sort(items_.begin(), items_.end(),
                  [](const SortItem& a, const SortItem& b) { return a.key < b.key; });
        break;
    case Sort::Size:
        for (auto& item : items_)
            item.key = facts_[item.index].size;
        std::sort(items_.begin(), items_.end(), [](const SortItem& a, const SortItem& b) {
            return a.key != b.key ? a.key > b.key : a.index < b.index;
        });
        break;
    }
    visible_.resize(items_.size());
    for (std::size_t k = 0; k < items_.size(); ++k)
        visible_[k] = items_[k].index;
}

void RecoverySession::group() {
    sections_.clear();
    const auto count = static_cast<std::uint32_t>(visible_.size());
    if (count == 0) return;
    if (sort_ != Sort::Date) {
        sections_.push_back({QStringLiteral("all"), QString(), 0, count});
        return;
    }
    const double nowSeconds = unixSeconds(now());
    const std::int64_t today = dayStart(nowSeconds);
    const std::int64_t yesterday = dayStart(nowSeconds, 1);
    std::int64_t lastDay = 0;
    for (std::uint32_t k = 0; k < count; ++k) {
        const Facts& facts = facts_[visible_[k]];
        // Undated files sort last, so they close the list.
        if (!facts.dated) {
            if (!sections_.empty()) sections_.back().end = k;
            sections_.push_back({QStringLiteral("undated"), tr("No date"), k, count});
            return;
        }
        if (sections_.empty() || facts.day != lastDay) {
            if (!sections_.empty()) sections_.back().end = k;
            sections_.push_back(
                {QString::number(facts.day), dayTitle(facts.day, today, yesterday), k, count});
            lastDay = facts.day;
        }
    }
}

void RecoverySession::rebuild() {
    rebuildTimer_.stop();
    ++rebuilds_;
    const QStringMatcher query(search_.trimmed().toLower());
    items_.clear();
    items_.reserve(files_.size());
    for (std::uint32_t i = 0; i < facts_.size(); ++i)
        if (passes(i, query)) items_.push_back({0, i});
    if (static_cast<int>(items_.size()) != visibleCount_) {
        visibleCount_ = static_cast<int>(items_.size());
        emit visibleCountChanged();
    }
    previous_.swap(visible_);
    sortVisible();
    group();
    visibleBytes_ = 0;
    for (const auto i : visible_)
        visibleBytes_ += facts_[i].size;
    // During a scan new files often only add to the end; the grid then inserts instead of
    // resetting, and the view keeps its place.
    const bool extends = previous_.size() <= visible_.size() && sort_ == laidOutSort_ &&
                         std::equal(previous_.begin(), previous_.end(), visible_.begin());
    laidOutSort_ = sort_;
    grid_->update(extends);
    emit sectionsChanged();
}

void RecoverySession::setCategory(std::optional<FileCategory> category) {
    const bool changed = category_ != category;
    category_ = category;
    if (changed) emit categoryChanged();
    rebuild();
}

void RecoverySession::setCategoryValue(const QString& raw) {
    setCategory(raw.isEmpty() ? std::nullopt : fileCategory::fromRaw(raw.toStdString()));
}

QString RecoverySession::categoryValue() const {
    return category_ ? view(fileCategory::rawValue(*category_)) : QString();
}

void RecoverySession::setSearch(const QString& search) {
    const bool changed = search_ != search;
    search_ = search;
    if (changed) emit searchChanged();
    rebuild();
}

void RecoverySession::setSort(Sort sort) {
    const bool changed = sort_ != sort;
    sort_ = sort;
    if (changed) emit sortChanged();
    rebuild();
}

void RecoverySession::setHideDamaged(bool hide) {
    const bool changed = hideDamaged_ != hide;
    hideDamaged_ = hide;
    if (changed) emit hideDamagedChanged();
    rebuild();
}

void RecoverySession::toggle(const QString& id) {
    const auto key = id.toStdString();
    if (selection_.erase(key) == 0) selection_.insert(key);
    emit selectionChanged();
    grid_->marksChanged();
}

void RecoverySession::selectAllVisible() {
    for (const auto i : visible_)
        selection_.insert(files_[i].id);
    emit selectionChanged();
    grid_->marksChanged();
}

void RecoverySession::selectNone() {
    selection_.clear();
    emit selectionChanged();
    grid_->marksChanged();
}

void RecoverySession::markRecovered(const std::vector<std::string>& ids) {
    for (const auto& id : ids) {
        recovered_.insert(id);
        selection_.erase(id);
    }
    emit recoveredChanged();
    emit selectionChanged();
    grid_->marksChanged();
}

void RecoverySession::markRecovered(const QStringList& ids) {
    std::vector<std::string> list;
    for (const auto& id : ids)
        list.push_back(id.toStdString());
    markRecovered(list);
}

std::vector<RecoverableFile> RecoverySession::visibleFiles() const {
    std::vector<RecoverableFile> list;
    list.reserve(visible_.size());
    for (const auto i : visible_)
        list.push_back(files_[i]);
    return list;
}

std::vector<RecoverableFile> RecoverySession::selectedFiles() const {
    std::vector<RecoverableFile> list;
    for (const auto& file : files_)
        if (selection_.count(file.id) != 0) list.push_back(file);
    return list;
}

qulonglong RecoverySession::selectedBytes() const {
    qulonglong sum = 0;
    for (const auto& file : files_)
        if (selection_.count(file.id) != 0) sum += file.size;
    return sum;
}

QString RecoverySession::phase() const {
    return view(ScanProgress::rawValue(progress_.phase));
}

QVariant RecoverySession::fractionValue() const {
    const auto fraction = progress_.fraction();
    return fraction ? QVariant(*fraction) : QVariant();
}

std::optional<double> RecoverySession::secondsRemaining() const {
    if (state_ != State::Scanning || progress_.phase != ScanProgress::Phase::contents ||
        !contentsStartedAt_)
        return std::nullopt;
    const double elapsed = (now() - *contentsStartedAt_).count();
    const auto done = progress_.bytesDone;
    const auto total = progress_.bytesTotal;
    if (!(elapsed > kEstimateAfterSeconds) || done == 0 || done >= total) return std::nullopt;
    return static_cast<double>(total - done) / (static_cast<double>(done) / elapsed);
}

QVariant RecoverySession::secondsRemainingValue() const {
    const auto seconds = secondsRemaining();
    return seconds ? QVariant(*seconds) : QVariant();
}

QVariantMap RecoverySession::countsValue() const {
    QVariantMap map;
    for (const auto& [category, count] : counts_)
        map.insert(view(fileCategory::rawValue(category)), count);
    return map;
}

} // namespace vellary
