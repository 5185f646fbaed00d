#pragma once

#include "app/model/FileGridModel.hpp"
#include "app/model/NameOrder.hpp"
#include "core/devices/Device.hpp"
#include "core/io/BlockReader.hpp"
#include "core/records/Date.hpp"
#include "core/records/RecoverableFile.hpp"
#include "core/records/ScanOptions.hpp"
#include "core/records/ScanResult.hpp"
#include "core/records/StopFlag.hpp"

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVariant>
#include <QtQml/qqmlregistration.h>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class QStringMatcher;

namespace vellary {

class ThumbnailCache;

// One scan of one source and everything done with its results: the found files, the filtered,
// sorted and grouped list the grid shows, counts, selection and what was already recovered.
// Lives on the main thread; the scan runs on a worker that reaches it only through a QPointer.
class RecoverySession : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Made by the application model")
    Q_PROPERTY(State state READ state NOTIFY stateChanged)
    Q_PROPERTY(QString failure READ failure NOTIFY stateChanged)
    Q_PROPERTY(QString title READ title CONSTANT)
    Q_PROPERTY(bool isDevice READ isDevice CONSTANT)
    Q_PROPERTY(QString phase READ phase NOTIFY progressChanged)
    Q_PROPERTY(qulonglong bytesDone READ bytesDone NOTIFY progressChanged)
    Q_PROPERTY(qulonglong bytesTotal READ bytesTotal NOTIFY progressChanged)
    Q_PROPERTY(qint64 found READ found NOTIFY progressChanged)
    Q_PROPERTY(QVariant fraction READ fractionValue NOTIFY progressChanged)
    Q_PROPERTY(QVariant secondsRemaining READ secondsRemainingValue NOTIFY progressChanged)
    Q_PROPERTY(QStringList warnings READ warnings NOTIFY warningsChanged)
    Q_PROPERTY(int fileCount READ fileCount NOTIFY filesChanged)
    Q_PROPERTY(QVariantMap counts READ countsValue NOTIFY countsChanged)
    Q_PROPERTY(int visibleCount READ visibleCount NOTIFY visibleCountChanged)
    Q_PROPERTY(qulonglong visibleBytes READ visibleBytes NOTIFY sectionsChanged)
    Q_PROPERTY(int selectionCount READ selectionCount NOTIFY selectionChanged)
    Q_PROPERTY(qulonglong selectedBytes READ selectedBytes NOTIFY selectionChanged)
    Q_PROPERTY(int recoveredCount READ recoveredCount NOTIFY recoveredChanged)
    Q_PROPERTY(QString category READ categoryValue WRITE setCategoryValue NOTIFY categoryChanged)
    Q_PROPERTY(QString search READ search WRITE setSearch NOTIFY searchChanged)
    Q_PROPERTY(Sort sort READ sort WRITE setSort NOTIFY sortChanged)
    Q_PROPERTY(bool hideDamaged READ hideDamaged WRITE setHideDamaged NOTIFY hideDamagedChanged)
    Q_PROPERTY(vellary::FileGridModel* grid READ grid CONSTANT)

public:
    enum class State { Scanning, Finished, Stopped, Failed };
    Q_ENUM(State)
    // In the order of the sort menu.
    enum class Sort { Date, Name, Size };
    Q_ENUM(Sort)
    enum class Remount { Background, Now, Forget };
    Q_ENUM(Remount)

    // A device, or an image file when device is absent.
    struct Source {
        std::optional<Device> device;
        std::filesystem::path image;
        // The device's name, or the image's file name without its extension.
        std::string title() const;
    };

    struct Section {
        QString id;
        QString title;
        // Range in visibleIndexes().
        std::uint32_t begin = 0;
        std::uint32_t end = 0;
    };

    // The platform edges, replaced in tests: the scan itself and the disk's volumes.
    struct Engine {
        std::function<ScanResult(const BlockReader&, const ScanOptions&)> scan;
        std::function<void(const Device&)> mount;
        // Drops the disk's entry from the record of disks unmounted for a scan.
        std::function<void(const Device&)> forget;
        static Engine system();
    };

    RecoverySession(Source source, std::shared_ptr<BlockReader> reader, bool unmountedForScan,
                    Engine engine = Engine::system(), QObject* parent = nullptr);
    ~RecoverySession() override;

    // Starts the scan on a worker thread; once, right after creation.
    Q_INVOKABLE void start();
    // Stops the scan and mounts the volumes unmounted for it, as remount says.
    void close(Remount remount);
    Q_INVOKABLE void stop() { stopFlag_->set(); }

    // Thumbnails and previews of the found files, read from this session's source.
    std::shared_ptr<ThumbnailCache> thumbnails() const { return thumbnails_; }
    Q_INVOKABLE bool hasThumbnail(const QString& id) const;
    Q_INVOKABLE bool isPlayableVideo(const QString& id) const;
    // A DiskAsset for the media player, owned by this session; null for other files.
    Q_INVOKABLE QObject* openVideo(const QString& id);
    // Copies the file into the private preview folder in the background, then opens it (or its
    // folder, for kinds that should not be opened by their type).
    Q_INVOKABLE void quickLook(const QString& id);

    Q_INVOKABLE void toggle(const QString& id);
    Q_INVOKABLE void selectAllVisible();
    Q_INVOKABLE void selectNone();
    // Marks the files a recovery job saved; only those leave the selection.
    Q_INVOKABLE void markRecovered(const QStringList& ids);
    void markRecovered(const std::vector<std::string>& ids);

    State state() const { return state_; }
    QString failure() const { return failure_; }
    QString title() const { return QString::fromStdString(source_.title()); }
    bool isDevice() const { return source_.device.has_value(); }
    const Source& source() const { return source_; }
    const std::shared_ptr<BlockReader>& reader() const { return reader_; }
    bool unmountedForScan() const { return unmountedForScan_; }
    const ScanProgress& progress() const { return progress_; }
    QString phase() const;
    qulonglong bytesDone() const { return progress_.bytesDone; }
    qulonglong bytesTotal() const { return progress_.bytesTotal; }
    qint64 found() const { return progress_.found; }
    QVariant fractionValue() const;
    std::optional<double> secondsRemaining() const;
    QVariant secondsRemainingValue() const;
    QStringList warnings() const { return warnings_; }
    const std::vector<RecoverableFile>& files() const { return files_; }
    int fileCount() const { return static_cast<int>(files_.size()); }
    const std::map<FileCategory, int>& counts() const { return counts_; }
    QVariantMap countsValue() const;
    int visibleCount() const { return visibleCount_; }
    qulonglong visibleBytes() const { return visibleBytes_; }
    const std::vector<Section>& sections() const { return sections_; }
    // Indexes into files(), in section order.
    const std::vector<std::uint32_t>& visibleIndexes() const { return visible_; }
    const RecoverableFile& visibleFile(std::size_t i) const { return files_[visible_[i]]; }
    std::vector<RecoverableFile> visibleFiles() const;
    std::vector<RecoverableFile> selectedFiles() const;
    bool isSelected(const std::string& id) const { return selection_.count(id) != 0; }
    bool isRecovered(const std::string& id) const { return recovered_.count(id) != 0; }
    int selectionCount() const { return static_cast<int>(selection_.size()); }
    qulonglong selectedBytes() const;
    int recoveredCount() const { return static_cast<int>(recovered_.size()); }
    std::optional<FileCategory> category() const { return category_; }
    QString categoryValue() const;
    QString search() const { return search_; }
    Sort sort() const { return sort_; }
    bool hideDamaged() const { return hideDamaged_; }
    FileGridModel* grid() { return grid_; }
    const std::shared_ptr<StopFlag>& stopFlag() const { return stopFlag_; }
    bool rebuildPending() const { return rebuildTimer_.isActive(); }
    int rebuildCount() const { return rebuilds_; }

    // Each of these rebuilds at once, even when the value is unchanged.
    void setCategory(std::optional<FileCategory> category);
    void setCategoryValue(const QString& raw);
    void setSearch(const QString& search);
    void setSort(Sort sort);
    void setHideDamaged(bool hide);

    // The steps the scan's callbacks reach on the main thread; public for tests and the
    // benchmark.
    void merge(const std::vector<RecoverableFile>& batch);
    void onProgress(const ScanProgress& progress);
    void onFinished(std::optional<ScanResult> result, std::optional<std::string> error,
                    bool cancelled);
    void rebuild();
    // Tests move time; the default is the system clock.
    void setClock(std::function<Date()> clock) { clock_ = std::move(clock); }

    // Coalescing interval of rebuilds while scanning.
    static constexpr int kRebuildDelayMs = 500;
    static constexpr double kEstimateAfterSeconds = 6.0;

signals:
    void stateChanged();
    void progressChanged();
    void warningsChanged();
    void filesChanged();
    void countsChanged();
    void visibleCountChanged();
    void sectionsChanged();
    void selectionChanged();
    void recoveredChanged();
    void categoryChanged();
    void searchChanged();
    void sortChanged();
    void hideDamagedChanged();

private:
    // Per file, what the filters, sort and grouping read, worked out once at merge; kept apart
    // from the strings so that passes over every file touch little memory.
    struct Facts {
        double modified = 0; // minus infinity when undated
        std::int64_t day = 0;
        std::uint64_t size = 0;
        FileCategory category = FileCategory::other;
        bool dated = false;
        bool damaged = false;
    };
    // A passing file and the number it sorts by.
    struct SortItem {
        std::uint64_t key;
        std::uint32_t index;
    };

    bool passes(std::uint32_t i, const QStringMatcher& query) const;
    void rankNames();
    void sortVisible();
    void group();
    void setState(State state, QString failure = {});
    void scheduleRebuild();
    Date now() const { return clock_(); }

    Source source_;
    std::shared_ptr<BlockReader> reader_;
    bool unmountedForScan_ = false;
    Engine engine_;
    std::shared_ptr<StopFlag> stopFlag_ = std::make_shared<StopFlag>();
    std::shared_ptr<ThumbnailCache> thumbnails_;
    std::function<Date()> clock_;
    bool started_ = false;
    bool closed_ = false;

    State state_ = State::Scanning;
    QString failure_;
    ScanProgress progress_;
    std::optional<Date> contentsStartedAt_;
    QStringList warnings_;
    std::vector<RecoverableFile> files_;
    std::vector<Facts> facts_;
    std::vector<QString> lowerNames_;
    std::vector<QString> lowerPaths_;
    std::vector<std::string> nameKeys_;
    // Every file in name order, and each file's place in it, brought up to date lazily.
    std::vector<std::uint32_t> byName_;
    std::vector<std::uint32_t> nameRank_;
    std::vector<SortItem> items_;
    // Id → index into files_; a file met again (the deep scan refining a listed one) replaces it.
    std::unordered_map<std::string, std::uint32_t> indexOf_;
    std::map<FileCategory, int> counts_;
    std::unordered_set<std::string> selection_;
    std::unordered_set<std::string> recovered_;
    std::optional<FileCategory> category_;
    QString search_;
    Sort sort_ = Sort::Date;
    Sort laidOutSort_ = Sort::Date;
    bool hideDamaged_ = false;

    int visibleCount_ = 0;
    qulonglong visibleBytes_ = 0;
    std::vector<std::uint32_t> visible_;
    std::vector<std::uint32_t> previous_;
    std::vector<Section> sections_;
    QTimer rebuildTimer_;
    int rebuilds_ = 0;
    NameOrder names_;
    FileGridModel* grid_ = nullptr;
};

} // namespace vellary
