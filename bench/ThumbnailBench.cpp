// Grid thumbnails per second: a card image packed with camera JPEGs, every file asked of the
// thumbnail cache at once, as a grid scrolled through the whole card would.
//
//   ThumbnailBench [--files N] [--dir FOLDER] [--cores N]
//
// The JPEGs are made once with ImageMagick (4000 × 3000, 3000 × 2000 progressive, 1600 × 1200,
// 640 × 480, the large ones with an EXIF orientation), repeated in that order; the image is read
// once before timing so the decoders, not the disk, are measured. The process is held to
// --cores processors (2 by default).

#include "app/model/ThumbnailCache.hpp"
#include "core/io/FileBlockReader.hpp"

#include <QGuiApplication>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace fs = std::filesystem;
using namespace vellary;

namespace {

struct Options {
    int files = 1000;
    fs::path dir = fs::temp_directory_path();
    int cores = 2;
};

void shell(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--files")
            options.files = std::atoi(argv[i + 1]);
        else if (flag == "--dir")
            options.dir = argv[i + 1];
        else if (flag == "--cores")
            options.cores = std::atoi(argv[i + 1]);
    }
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    for (int c = 0; c < options.cores; ++c)
        CPU_SET(c, &cpus);
    sched_setaffinity(0, sizeof(cpus), &cpus);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    const fs::path work = options.dir / ("vellary-thumb-bench-" + std::to_string(::getpid()));
    fs::create_directories(work);
    const std::string w = "'" + work.string() + "'";
    std::printf("Making camera JPEGs...\n");
    shell("cd " + w +
          " && convert -size 4000x3000 plasma:fractal -quality 92 a.jpg && "
          "convert -size 3000x2000 plasma:fractal -attenuate 0.3 +noise Gaussian -quality 90 "
          "-interlace Plane b.jpg && convert -size 1600x1200 plasma:fractal -quality 85 c.jpg && "
          "convert -size 640x480 plasma:fractal -quality 80 d.jpg && exiftool -q "
          "-overwrite_original -n -Make=Canon '-Model=Canon EOS R6' -Orientation=6 a.jpg b.jpg");
    const std::vector<std::string> jpegs = {slurp(work / "a.jpg"), slurp(work / "b.jpg"),
                                            slurp(work / "c.jpg"), slurp(work / "d.jpg")};

    std::vector<RecoverableFile> files;
    {
        std::ofstream image(work / "card.img", std::ios::binary);
        std::uint64_t at = 0;
        for (int i = 0; i < options.files; ++i) {
            const auto& jpeg = jpegs[static_cast<std::size_t>(i) % jpegs.size()];
            RecoverableFile file;
            file.id = "carve-" + std::to_string(at);
            file.name = "IMG_" + std::to_string(i) + ".JPG";
            file.kind = FileKind::jpeg;
            file.size = jpeg.size();
            file.ranges = {{at, jpeg.size()}};
            files.push_back(file.categoryFromKind());
            image.write(jpeg.data(), static_cast<std::streamsize>(jpeg.size()));
            const std::uint64_t padded = (jpeg.size() + 4095) / 4096 * 4096;
            image.write(std::string(padded - jpeg.size(), '\0').data(),
                        static_cast<std::streamsize>(padded - jpeg.size()));
            at += padded;
        }
    }
    const auto bytes = fs::file_size(work / "card.img");
    shell("cat " + w + "/card.img > /dev/null");

    const auto cpuSeconds = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
               (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    };
    const double cpuBefore = cpuSeconds();
    auto reader = std::make_shared<FileBlockReader>(work / "card.img");
    ThumbnailCache cache(reader);
    std::mutex lock;
    std::condition_variable done;
    int answered = 0;
    std::atomic<int> pictures{0};
    const auto start = std::chrono::steady_clock::now();
    for (const auto& file : files)
        cache.image(file, [&](const QImage& image) {
            if (!image.isNull()) ++pictures;
            const std::lock_guard guard(lock);
            if (++answered == options.files) done.notify_one();
        });
    {
        std::unique_lock guard(lock);
        done.wait(guard, [&] { return answered == options.files; });
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d thumbnails (%d pictures) from a %.0f MB image in %.2f s on %d cores: "
                "%.1f thumbnails/s\n",
                options.files, pictures.load(), bytes / 1e6, seconds, options.cores,
                options.files / seconds);
    // On a shared machine the wall clock depends on the neighbours; processor time does not.
    const double cpu = cpuSeconds() - cpuBefore;
    std::printf("processor time %.1f s: %.1f ms a thumbnail, %.1f thumbnails/s per idle core\n",
                cpu, 1000 * cpu / options.files, options.files / cpu);
    fs::remove_all(work);
    return pictures.load() == options.files ? 0 : 1;
}
