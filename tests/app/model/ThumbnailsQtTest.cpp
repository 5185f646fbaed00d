#include "app/model/DiskAsset.hpp"
#include "app/model/QuickLookExport.hpp"
#include "app/model/RecoverySession.hpp"
#include "app/model/ThumbnailCache.hpp"
#include "app/model/ThumbnailProvider.hpp"
#include "app/model/ThumbnailRender.hpp"
#include "core/restore/Previews.hpp"
#include "tests/app/model/ModelSupport.hpp"
#include "tests/support/CarveFixtures.hpp"
#include "tests/support/FaultyBlockReader.hpp"
#include "tests/support/RawFixtures.hpp"

#include <QIcon>
#include <QQuickImageResponse>
#include <sys/stat.h>

using C = CarveFixtures;

namespace {

constexpr int kSide = ThumbnailCache::kMaxPixels;

// A width × height picture, red on the left half and blue on the right, as a binary PPM.
std::string halves(int width, int height) {
    std::string ppm = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            ppm += x < width / 2 ? std::string("\xff\x00\x00", 3) : std::string("\x00\x00\xff", 3);
    return ppm;
}

bool reddish(QRgb c) {
    return qRed(c) > 180 && qBlue(c) < 80;
}
bool bluish(QRgb c) {
    return qBlue(c) > 180 && qRed(c) < 80;
}
// Not one flat colour: a decoded picture rather than a blank frame.
bool varied(const QImage& image) {
    const QImage small = image.scaled(16, 16).convertToFormat(QImage::Format_RGB32);
    int spread = 0;
    const QRgb first = small.pixel(0, 0);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            spread = std::max(spread, std::abs(qGray(small.pixel(x, y)) - qGray(first)));
    return spread > 40;
}

// Asks the cache and waits for the answer.
QImage thumbnailOf(ThumbnailCache& cache, const RecoverableFile& file) {
    std::promise<QImage> answer;
    cache.image(file, [&answer](const QImage& image) { answer.set_value(image); });
    return answer.get_future().get();
}

} // namespace

class ThumbnailsQtTest : public QObject {
    Q_OBJECT

    TempDir dir_;
    std::string missing_;
    Bytes wide_;  // 1000 × 600 baseline JPEG
    Bytes small_; // 300 × 200 baseline JPEG

    std::optional<Bytes> make(const std::string& name, const std::string& command) {
        return C::produce(dir_, name, command);
    }

private slots:
    void initTestCase() {
        missing_ = missingTool({"cjpeg", "exiftool", "heif-enc", "gs", "ffmpeg"});
        if (!missing_.empty()) QSKIP(("missing " + missing_).c_str());
        writeFile(dir_ / "wide.ppm", halves(1000, 600));
        writeFile(dir_ / "small.ppm", halves(300, 200));
        wide_ = make("wide.jpg", "cjpeg -quality 85 wide.ppm > wide.jpg").value_or(Bytes{});
        small_ = make("small.jpg", "cjpeg small.ppm > small.jpg").value_or(Bytes{});
        QVERIFY(!wide_.empty() && !small_.empty());
    }

    void photosFromRealEncoders() {
        // Each made from the 1000 × 600 (wide) or 300 × 200 picture; turn is the clockwise
        // quarter turn its EXIF orientation asks for.
        const std::string exif = " && exiftool -q -overwrite_original -n -Orientation=";
        const struct {
            const char* file;
            std::string command;
            FileKind kind;
            bool wide;
            int turn;
        } rows[] = {
            {"wide.jpg", "true", FileKind::jpeg, true, 0},
            {"prog.jpg", "cjpeg -progressive wide.ppm > prog.jpg", FileKind::jpeg, true, 0},
            {"turned.jpg", "cp wide.jpg turned.jpg" + exif + "6 turned.jpg", FileKind::jpeg, true,
             90},
            {"upside.jpg", "cp small.jpg upside.jpg" + exif + "3 upside.jpg", FileKind::jpeg, false,
             180},
            {"photo.heic", "heif-enc -q 80 wide.jpg -o photo.heic", FileKind::heic, true, 0},
            {"photo.avif", "heif-enc -A -q 80 small.jpg -o photo.avif", FileKind::avif, false, 0},
            {"photo.png", "convert wide.ppm photo.png", FileKind::png, true, 0},
            {"photo.webp", "cwebp -quiet small.jpg -o photo.webp", FileKind::webp, false, 0},
            {"photo.psd", "convert small.ppm photo.psd", FileKind::psd, false, 0},
            {"raw.psd", "convert small.ppm -compress none raw.psd", FileKind::psd, false, 0},
            {"photo.gif", "convert small.ppm photo.gif", FileKind::gif, false, 0},
            {"photo.bmp", "convert small.ppm photo.bmp", FileKind::bmp, false, 0},
            {"photo.tif", "convert small.ppm photo.tif", FileKind::tiff, false, 0},
        };
        Card card;
        std::vector<std::tuple<RecoverableFile, bool, int>> files;
        for (const auto& row : rows) {
            const auto bytes = make(row.file, row.command);
            QVERIFY2(bytes, row.file);
            files.emplace_back(card.add(row.file, row.file, row.kind, *bytes, 3), row.wide,
                               row.turn);
        }
        // Raw files around the real JPEG: a DNG preview strip, a NEF whose larger preview is
        // lossless, a RAF header's preview.
        const auto lossless = C::join(
            {{0xFF, 0xD8}, C::segment(0xC3, Bytes(15, 1)), Bytes(200000, 0x11), {0xFF, 0xD9}});
        const auto dng = RawFixtures::dng(wide_).data;
        const auto nef = RawFixtures::nef({lossless, wide_}).data;
        const auto raf = RawFixtures::raf(wide_, 30000).data;
        files.emplace_back(card.add("dng", "a.dng", FileKind::dng, dng), true, 0);
        files.emplace_back(card.add("nef", "a.nef", FileKind::nef, nef, 2), true, 0);
        files.emplace_back(card.add("raf", "a.raf", FileKind::raf, raf, 2), true, 0);
        ThumbnailCache cache(card.open(dir_));
        for (const auto& [file, wide, turn] : files) {
            // Turned back, the picture must stand as it was made: red left, blue right.
            const auto image = thumbnailOf(cache, file).transformed(QTransform().rotate(-turn));
            const QSize size = wide ? QSize(420, 252) : QSize(300, 200);
            QCOMPARE(image.size(), size);
            QVERIFY2(reddish(image.pixel(10, size.height() / 2)), file.name.c_str());
            QVERIFY2(bluish(image.pixel(size.width() - 10, size.height() / 2)), file.name.c_str());
        }
    }

    void fragmentedMatchesOriginal() {
        const auto movie = make("frag.mp4", "ffmpeg -loglevel error -f lavfi -i "
                                            "testsrc=size=320x240:rate=25 -t 3 -pix_fmt yuv420p "
                                            "frag.mp4");
        QVERIFY(movie);
        Card card;
        const auto whole = card.add("a", "a.jpg", FileKind::jpeg, wide_);
        const auto pieces = card.add("b", "b.jpg", FileKind::jpeg, wide_, 5);
        const auto wholeMovie = card.add("c", "c.mp4", FileKind::mp4, *movie);
        const auto piecesMovie = card.add("d", "d.mp4", FileKind::mp4, *movie, 4);
        QVERIFY(pieces.ranges.size() > 2 && pieces.ranges[0].offset > pieces.ranges[1].offset);
        ThumbnailCache cache(card.open(dir_));
        const auto first = thumbnailOf(cache, whole);
        QVERIFY(!first.isNull());
        QCOMPARE(thumbnailOf(cache, pieces), first);
        const auto frame = thumbnailOf(cache, wholeMovie);
        QVERIFY(varied(frame));
        QCOMPARE(thumbnailOf(cache, piecesMovie), frame);
    }

    void videoFrames_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("kind");
        QTest::newRow("mp4") << "clip.mp4" << int(FileKind::mp4);
        QTest::newRow("mov") << "clip.mov" << int(FileKind::mov);
        QTest::newRow("mkv") << "clip.mkv" << int(FileKind::mkv);
    }
    void videoFrames() {
        QFETCH(QString, name);
        QFETCH(int, kind);
        // Black for the first half second, then the test pattern: a frame at 1 s is not blank.
        const auto bytes = make(name.toStdString(),
                                "ffmpeg -loglevel error -y -f lavfi -i "
                                "testsrc=size=640x360:rate=30 -t 2 -vf "
                                "\"drawbox=c=black:t=fill:enable='lt(t,0.5)'\" -pix_fmt yuv420p " +
                                    name.toStdString());
        QVERIFY(bytes);
        Card card;
        const auto file = card.add("v", name.toStdString(), FileKind(kind), *bytes, 3);
        const auto reader = card.open(dir_);
        QVERIFY(ThumbnailCache::hasThumbnail(file));
        const auto frame = ThumbnailRender::videoFrame(file, reader, kSide);
        QCOMPARE(frame.size(), QSize(420, 236));
        QVERIFY(varied(frame));
        // The first frame is the black one: the seek really moved.
        QVERIFY(!varied(ThumbnailRender::videoFrame(file, reader, kSide, 0.0)));
        // Asking past the end gives the last frame, not nothing.
        QVERIFY(varied(ThumbnailRender::videoFrame(file, reader, kSide, 60.0)));
        // A cut-off or foreign file gives nothing, quickly.
        auto broken = file;
        broken.size = 4000;
        broken.ranges = {{0, 4000}};
        QVERIFY(ThumbnailRender::videoFrame(broken, reader, kSide).isNull());
        // Cancelled renders stop.
        QVERIFY(ThumbnailRender::videoFrame(file, reader, kSide, 1.0, 20.0, [] {
                    return true;
                }).isNull());
    }

    void portraitVideoStandsUp() {
        // A phone's portrait clip: landscape frames and a quarter turn clockwise in the track.
        const auto clip = make("portrait.mp4", "ffmpeg -loglevel error -loop 1 -i small.ppm -t 2 "
                                               "-pix_fmt yuv420p portrait.mp4 && exiftool -q "
                                               "-overwrite_original -Rotation=90 portrait.mp4");
        QVERIFY(clip);
        Card card;
        const auto file = card.add("v", "portrait.mp4", FileKind::mp4, *clip);
        const auto frame = ThumbnailRender::videoFrame(file, card.open(dir_), kSide);
        QCOMPARE(frame.size(), QSize(200, 300));
        QVERIFY(reddish(frame.pixel(100, 10)) && bluish(frame.pixel(100, 290)));
    }

    void pdfPagesAndTheSizeLimit() {
        const auto pdf =
            make("page.pdf", "gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pdfwrite -sPAPERSIZE=a4 "
                             "-sOutputFile=page.pdf -c '0 0 1 setrgbcolor 100 100 200 200 "
                             "rectfill showpage'");
        QVERIFY(pdf);
        // The same PDF grown to a size by a comment before a repeated final startxref.
        const std::string text(pdf->begin(), pdf->end());
        const auto at = text.rfind("startxref");
        QVERIFY(at != std::string::npos);
        const std::string tail = "\n" + text.substr(at);
        const auto grown = [&](std::uint64_t size) {
            Bytes out = *pdf;
            out.push_back('\n');
            out.push_back('%');
            out.resize(size - tail.size(), 'x');
            out.insert(out.end(), tail.begin(), tail.end());
            return out;
        };
        Card card;
        auto page = card.add("p", "page.pdf", FileKind::pdf, *pdf, 2);
        const auto limit = static_cast<std::uint64_t>(Previews::kThumbnailBytes);
        const auto atLimit = card.add("q", "big.pdf", FileKind::pdf, grown(limit));
        const auto overLimit = card.add("r", "bigger.pdf", FileKind::pdf, grown(limit + 1));
        ThumbnailCache cache(card.open(dir_));
        const auto image = thumbnailOf(cache, page);
        // A4 is 595 × 842 points.
        QCOMPARE(image.size(), QSize(297, 420));
        QCOMPARE(image.pixel(5, 5), qRgb(255, 255, 255));
        // The square sits 100 points from the bottom left corner.
        QVERIFY(bluish(image.pixel(qRound(200 * 420.0 / 842), 420 - qRound(200 * 420.0 / 842))));
        QVERIFY(ThumbnailCache::hasThumbnail(atLimit));
        QCOMPARE(thumbnailOf(cache, atLimit).size(), QSize(297, 420));
        QVERIFY(!ThumbnailCache::hasThumbnail(overLimit));
        QVERIFY(thumbnailOf(cache, overLimit).isNull());
        page.headerLooksValid = false;
        QVERIFY(!ThumbnailCache::hasThumbnail(page));
    }

    void damagedBytesNeverCrash() {
        // Cut short at every tenth and with a run of bytes overwritten, for each decoder.
        const struct {
            const char* file;
            FileKind kind;
        } rows[] = {{"photo.psd", FileKind::psd},   {"raw.psd", FileKind::psd},
                    {"photo.heic", FileKind::heic}, {"prog.jpg", FileKind::jpeg},
                    {"photo.tif", FileKind::tiff},  {"page.pdf", FileKind::pdf}};
        for (const auto& row : rows) {
            const auto path = dir_ / row.file;
            if (!fs::exists(path)) continue;
            const auto text = readFile(path);
            const Bytes whole(text.begin(), text.end());
            for (int tenth = 0; tenth < 10; ++tenth) {
                Bytes cut(whole.begin(), whole.begin() + whole.size() * tenth / 10);
                Bytes stomped = whole;
                std::fill_n(stomped.begin() + stomped.size() * tenth / 10,
                            std::min<std::size_t>(64, stomped.size() / 10), 0xFF);
                for (const auto& bytes : {cut, stomped}) {
                    const auto image = row.kind == FileKind::pdf
                                           ? ThumbnailRender::pdfPage(bytes, kSide)
                                           : ThumbnailRender::decode(bytes, row.kind, kSide);
                    QVERIFY(image.width() <= kSide && image.height() <= kSide);
                }
            }
        }
    }

    void whoGetsAThumbnail() {
        const auto file = [](FileKind kind, std::optional<bool> header = std::nullopt) {
            return RecoverableFile{.size = 1000, .kind = kind, .headerLooksValid = header}
                .categoryFromKind();
        };
        for (const auto kind : {FileKind::jpeg, FileKind::srw, FileKind::raf, FileKind::mp4,
                                FileKind::threegp, FileKind::mkv, FileKind::pdf})
            QVERIFY2(ThumbnailCache::hasThumbnail(file(kind)), fileKind::rawValue(kind).data());
        for (const auto kind : {FileKind::mp3, FileKind::docx, FileKind::zip, FileKind::other})
            QVERIFY(!ThumbnailCache::hasThumbnail(file(kind)));
        QVERIFY(!ThumbnailCache::hasThumbnail(file(FileKind::mp4, false)));
        QVERIFY(ThumbnailCache::isPlayableVideo(file(FileKind::mov, true)));
        QVERIFY(!ThumbnailCache::isPlayableVideo(file(FileKind::mkv)));
        QVERIFY(!ThumbnailCache::isPlayableVideo(file(FileKind::m4a)));
        auto videoM4A = file(FileKind::m4a);
        videoM4A.category = FileCategory::video;
        QVERIFY(ThumbnailCache::isPlayableVideo(videoM4A));
    }

    void sharedRendersFailuresAndClear() {
        Card card;
        const auto photo = card.add("one", "one.jpg", FileKind::jpeg, wide_);
        auto broken = wide_;
        std::fill(broken.begin() + 2, broken.end(), 0x00);
        const auto bad = card.add("bad", "bad.jpg", FileKind::jpeg, broken);
        const auto later = card.add("later", "later.jpg", FileKind::jpeg, small_);
        ThumbnailCache cache(card.open(dir_));

        std::mutex lock;
        std::vector<QImage> answers;
        std::vector<std::thread> callers;
        for (int i = 0; i < 50; ++i)
            callers.emplace_back([&] {
                cache.image(photo, [&](const QImage& image) {
                    const std::lock_guard guard(lock);
                    answers.push_back(image);
                });
            });
        for (auto& caller : callers)
            caller.join();
        cache.waitForRenders();
        QCOMPARE(answers.size(), std::size_t(50));
        QCOMPARE(cache.renders(), 1);
        for (const auto& image : answers)
            QVERIFY(!image.isNull() && image.cacheKey() == answers[0].cacheKey());
        // Cached now: no second render.
        QCOMPARE(thumbnailOf(cache, photo), answers[0]);
        QCOMPARE(cache.renders(), 1);

        QVERIFY(thumbnailOf(cache, bad).isNull());
        QVERIFY(thumbnailOf(cache, bad).isNull());
        QCOMPARE(cache.renders(), 2);

        cache.clear();
        QVERIFY(thumbnailOf(cache, later).isNull());
        QVERIFY(thumbnailOf(cache, photo).isNull());
        cache.waitForRenders();
        QCOMPARE(cache.renders(), 2);
    }

    void clearAnswersWaitersAtOnce() {
        // The source holds every read until the test lets go, so the render is still running
        // when clear comes.
        struct Held : BlockReader {
            Bytes data;
            Gate gate;
            std::uint64_t size() const override { return data.size(); }
            Bytes read(std::uint64_t offset, std::int64_t count) const override {
                gate.wait();
                return DataBlockReader(data).read(offset, count);
            }
        };
        auto held = std::make_shared<Held>();
        held->data = wide_;
        const RecoverableFile file{.id = "held",
                                   .size = wide_.size(),
                                   .kind = FileKind::jpeg,
                                   .ranges = {{0, wide_.size()}}};
        ThumbnailCache cache(held);
        std::atomic<int> absent{0};
        for (int i = 0; i < 3; ++i)
            cache.image(file, [&](const QImage& image) { absent += image.isNull() ? 1 : 0; });
        cache.clear();
        QCOMPARE(absent.load(), 3);
        held->gate.open();
        cache.waitForRenders();
        QVERIFY(thumbnailOf(cache, file).isNull());
    }

    void providerAnswersByID() {
        QIcon::setThemeSearchPaths({"/usr/share/icons"});
        QIcon::setThemeName("Adwaita");
        Card card;
        auto photo = card.add("ntfs-1/2", "photo.jpg", FileKind::jpeg, small_);
        const auto notes = card.add("fat-3", "notes", FileKind::other, Bytes(100, 'a'));
        const auto large = card.add("fat-4", "large.jpg", FileKind::jpeg, wide_);
        auto cache = std::make_shared<ThumbnailCache>(card.open(dir_));
        cache->remember({photo, notes, large});
        std::shared_ptr<ThumbnailCache> open = cache;
        ThumbnailProvider provider([&open] { return open; });
        const auto ask = [&](const QString& id, QSize size = {}) {
            std::unique_ptr<QQuickImageResponse> response(provider.requestImageResponse(id, size));
            QSignalSpy finished(response.get(), &QQuickImageResponse::finished);
            if (!finished.wait(10000)) return QImage();
            if (!response->errorString().isEmpty()) return QImage();
            return response->textureFactory()->image();
        };
        QCOMPARE(ask("ntfs-1%2F2").size(), QSize(300, 200));
        QCOMPARE(ask("ntfs-1%2F2", {150, 150}).size(), QSize(150, 100));
        QCOMPARE(ask("preview/fat-4").size(), QSize(1000, 600));
        QCOMPARE(ask("fat-4").size(), QSize(420, 252));
        QVERIFY(ask("fat-3").isNull());
        QVERIFY(ask("nothing").isNull());
        QVERIFY(!ask("icon/fat-3").isNull());
        QVERIFY(!ask("icon/ntfs-1%2F2", {32, 32}).isNull());
        QCOMPARE(ThumbnailCache::typeExtension(notes), QString("bin"));
        photo.name = "IMG";
        photo.kind = FileKind::threegp;
        QCOMPARE(ThumbnailCache::typeExtension(photo), QString("3gp"));
        // With no open session every answer is an error.
        open.reset();
        QVERIFY(ask("fat-4").isNull());
    }

    void diskAssetStreamsInPieces() {
        // Records the largest read the source was asked for.
        struct Counting : FaultyBlockReader {
            using FaultyBlockReader::FaultyBlockReader;
            mutable std::atomic<std::int64_t> largest{0};
            Bytes read(std::uint64_t offset, std::int64_t count) const override {
                largest = std::max<std::int64_t>(largest, count);
                return FaultyBlockReader::read(offset, count);
            }
        };
        const Bytes video = C::noise(3 << 20, 4);
        const std::uint64_t at = 5000;
        auto reader = std::make_shared<Counting>(C::join({C::noise(at, 3), video}));
        RecoverableFile file{.id = "carve-5000",
                             .size = video.size(),
                             .kind = FileKind::mp4,
                             .ranges = {{at, video.size()}}};
        std::unique_ptr<DiskAsset> asset(DiskAsset::open(file, reader));
        QVERIFY(asset && asset->isOpen() && !asset->isSequential());
        QCOMPARE(asset->size(), qint64(video.size()));
        QVERIFY(asset->url().scheme() == "recovered-file" && asset->url().path() == "/mp4");
        QVERIFY(asset->url() != std::unique_ptr<DiskAsset>(DiskAsset::open(file, reader))->url());
        QCOMPARE(asset->contentTypeValue(), QString("video/mp4"));

        QByteArray all;
        while (!asset->atEnd()) {
            const auto piece = asset->read(3 << 20);
            QVERIFY(!piece.isEmpty() && piece.size() <= DiskAsset::kMaxRead);
            all += piece;
        }
        QVERIFY(all == QByteArray(reinterpret_cast<const char*>(video.data()), video.size()));
        QVERIFY(reader->largest <= DiskAsset::kMaxRead);
        // Past the end: nothing, and the source is not asked.
        const auto reads = reader->readCount();
        for (const qint64 past : {asset->size(), asset->size() + 4096}) {
            QVERIFY(asset->seek(past));
            QCOMPARE(asset->read(1000).size(), 0);
        }
        QCOMPARE(reader->readCount(), reads);

        file.kind = FileKind::mkv;
        QVERIFY(!DiskAsset::open(file, reader));
        // A source that goes away fails the read with the video message.
        reader->vanishAt(at);
        QVERIFY(asset->seek(0));
        char byte = 0;
        QCOMPARE(asset->read(&byte, 1), qint64(-1));
        QCOMPARE(asset->errorString(), QString("Couldn't read the video from the disk."));
    }

    void quickLookAndTheSessionKeepToThePrivateFolder() {
        TempDir cacheHome;
        qputenv("XDG_CACHE_HOME", QByteArray::fromStdString(cacheHome.path().string()));
        Card card;
        auto file = card.add("ntfs-7/42", "launch.desktop", FileKind::jpeg, small_, 2);
        const auto photo = card.add("fat-1", "a.jpg", FileKind::jpeg, small_);
        const auto movie = card.add("fat-2", "m.mov", FileKind::mov, Bytes(5000, 'm'));
        const auto reader = card.open(dir_);
        const auto root = QuickLookExport::folder();
        QCOMPARE(root, cacheHome.path() / "vellary" / "Preview");

        for (int round = 0; round < 2; ++round) {
            const auto saved = QuickLookExport::exportFile(file, *reader);
            QCOMPARE(saved.value_or(""), root / "ntfs-7-42" / "launch.jpg");
            QCOMPARE(readFile(*saved), std::string(small_.begin(), small_.end()));
        }
        for (const auto& folder : {root, root.parent_path()}) {
            struct stat info {};
            QVERIFY(::stat(folder.c_str(), &info) == 0 && (info.st_mode & 0777) == 0700u);
        }
        QCOMPARE(std::distance(fs::directory_iterator(root / "ntfs-7-42"), {}), 1);

        file.name = "archive.tar.gz";
        file.kind = FileKind::zip;
        QCOMPARE(QuickLookExport::exportName(file), std::string("archive.tar.zip"));
        file.name = "";
        QCOMPARE(QuickLookExport::exportName(file), std::string("file.zip"));
        QVERIFY(!QuickLookExport::opensDirectly(file));
        for (const auto kind : {FileKind::nef, FileKind::other})
            QVERIFY(!QuickLookExport::opensDirectly(RecoverableFile{.kind = kind}));
        for (const auto kind : {FileKind::heic, FileKind::mkv, FileKind::flac, FileKind::pdf})
            QVERIFY(QuickLookExport::opensDirectly(RecoverableFile{.kind = kind}));

        QuickLookExport::cleanUp();
        QVERIFY(!fs::exists(root) && fs::exists(root.parent_path()));

        // A session serves thumbnails and exports until it is closed.
        RecoverySession session({std::nullopt, "card.img"}, reader, false, {});
        session.merge({photo, movie});
        QVERIFY(session.hasThumbnail("fat-1") && session.hasThumbnail("fat-2"));
        QVERIFY(!session.hasThumbnail("fat-3"));
        QVERIFY(session.isPlayableVideo("fat-2") && !session.isPlayableVideo("fat-1"));
        QVERIFY(!session.openVideo("fat-1") && !session.openVideo("fat-3"));
        auto* asset = qobject_cast<DiskAsset*>(session.openVideo("fat-2"));
        QVERIFY(asset && asset->parent() == &session && asset->size() == 5000);
        QVERIFY(!thumbnailOf(*session.thumbnails(), photo).isNull());
        QVERIFY(QuickLookExport::exportFile(photo, *reader));

        session.close(RecoverySession::Remount::Forget);
        QVERIFY(thumbnailOf(*session.thumbnails(), photo).isNull());
        QVERIFY(!fs::exists(QuickLookExport::folder()));
    }
};

QTEST_MAIN(ThumbnailsQtTest)
#include "ThumbnailsQtTest.moc"
