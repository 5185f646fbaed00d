#include "core/restore/PhotoRestore.hpp"

#include "core/records/RecoverError.hpp"
#include "core/restore/OutputFile.hpp"
#include "core/restore/OutputPath.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace vellary {
namespace {

constexpr const char* kOutside = "Refusing to save outside the folder you chose.";
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::filesystem::path resolved(const std::filesystem::path& path) {
    char buffer[PATH_MAX];
    if (::realpath(path.c_str(), buffer) != nullptr) return buffer;
    return path.lexically_normal();
}

std::vector<std::string> components(const std::string& relative) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= relative.size()) {
        std::size_t slash = relative.find('/', start);
        if (slash == std::string::npos) slash = relative.size();
        if (slash > start) parts.push_back(relative.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

std::string wantedPath(const RecoverableFile& file) {
    // A carved file's name comes from inside the file (a tag, a camera's note): one name, even
    // when it holds a slash.
    if (file.confidence == RecoveryConfidence::carved) return OutputPath::sanitize(file.name);
    std::string wanted =
        OutputPath::relative(file.originalPath.empty() ? file.name : file.originalPath);
    if (wanted.empty()) wanted = OutputPath::relative(file.name);
    if (wanted.empty()) wanted = "RECOVERED.BIN";
    return wanted;
}

bool existsAt(int root, const std::string& candidate) {
    struct stat st {};
    return ::fstatat(root, candidate.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// Flushes the entries of the folders a batch wrote into: a file's data reaching the disk is no
// use when its name did not. Files of one folder usually come together, so a folder is flushed
// when the batch moves on to another one, which keeps few descriptors open.
class FolderSync {
public:
    void touched(UniqueFd folder) {
        struct stat st {};
        if (::fstat(folder.get(), &st) != 0) return;
        const auto key = std::make_pair(st.st_dev, st.st_ino);
        for (const auto& entry : pending_)
            if (entry.first == key) return;
        pending_.emplace_back(key, std::move(folder));
    }
    // Called with the folder of the file about to be written.
    void movingTo(int folder) {
        struct stat st {};
        if (::fstat(folder, &st) != 0) return;
        const auto key = std::make_pair(st.st_dev, st.st_ino);
        if (key != current_) flush();
        current_ = key;
    }
    // Best effort: some file systems refuse to flush a folder, and the files are written anyway.
    void flush() {
        for (auto& entry : pending_)
            ::fsync(entry.second.get());
        pending_.clear();
    }

private:
    using Key = std::pair<dev_t, ino_t>;
    std::vector<std::pair<Key, UniqueFd>> pending_;
    Key current_{};
};

UniqueFd duplicate(int fd) {
    return UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
}

// Opens (creating when missing) one folder inside parent. A symbolic link is never followed:
// it could lead anywhere, so the file is refused rather than anything made there.
UniqueFd enterFolder(int parent, const std::string& name, bool& made) {
    made = ::mkdirat(parent, name.c_str(), 0755) == 0;
    if (!made && errno != EEXIST)
        throw RecoverError::message("Couldn't create " + name + ". " + std::strerror(errno));
    const int fd = ::openat(parent, name.c_str(), kFolderFlags);
    if (fd >= 0) return UniqueFd(fd);
    const int error = errno;
    struct stat st {};
    if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        throw RecoverError::message(kOutside);
    throw RecoverError::message("Couldn't create " + name + ". " + std::strerror(error));
}

std::uint64_t saturatingSum(const std::vector<RecoverableFile>& files) {
    std::uint64_t total = 0;
    for (const auto& file : files)
        if (__builtin_add_overflow(total, file.size, &total)) return UINT64_MAX;
    return total;
}

} // namespace

void PhotoRestore::assertInside(const std::filesystem::path& root,
                                const std::filesystem::path& folder) {
    const std::string rootText = resolved(root).string();
    const std::string folderText = resolved(folder).string();
    if (folderText == rootText) return;
    const std::string prefix = rootText.ends_with('/') ? rootText : rootText + "/";
    if ((folderText + "/").starts_with(prefix)) return;
    throw RecoverError::message(kOutside);
}

PhotoRestore::Destination PhotoRestore::destination(const RecoverableFile& file, int root,
                                                    const std::filesystem::path& rootPath,
                                                    std::unordered_set<std::string>& used) {
    const std::string wanted = wantedPath(file);
    std::string candidate = wanted;
    for (int n = 2; n <= kMaxAlternative; ++n) {
        if (used.count(OutputPath::folded(candidate)) == 0 && !existsAt(root, candidate)) break;
        candidate = OutputPath::numbered(wanted, n);
    }
    used.insert(OutputPath::folded(candidate));

    auto parts = components(candidate);
    Destination result;
    result.name = parts.back();
    parts.pop_back();
    result.url = rootPath;
    UniqueFd folder(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    if (!folder.valid())
        throw RecoverError::message("Couldn't open " + rootPath.filename().string() + ". " +
                                    std::strerror(errno));
    for (const auto& part : parts) {
        bool made = false;
        UniqueFd inner = enterFolder(folder.get(), part, made);
        if (made) result.grown.push_back(std::move(folder));
        folder = std::move(inner);
        result.url /= part;
    }
    // Every step above refused symbolic links; this guards against anything they missed.
    assertInside(rootPath, result.url);
    result.url /= result.name;
    result.folder = std::move(folder);
    return result;
}

PhotoRestore::Written PhotoRestore::write(const RecoverableFile& file, const BlockReader& source,
                                          Destination& destination) {
    OutputFile out = OutputFile::create(destination.folder.get(), destination.name);
    try {
        return copyRanges(file, source, out);
    } catch (...) {
        // Close first; the descriptor, not the path, names the folder the file was made in.
        { OutputFile discard = std::move(out); }
        ::unlinkat(destination.folder.get(), destination.name.c_str(), 0);
        throw;
    }
}

PhotoRestore::Written PhotoRestore::copyRanges(const RecoverableFile& file,
                                               const BlockReader& source, OutputFile& out) {
    Written written;
    bool sourceEnded = false;
    Bytes buffer;
    for (const auto& range : file.ranges) {
        std::uint64_t position = 0;
        while (position < range.length) {
            const std::uint64_t want = std::min<std::uint64_t>(range.length - position, kChunkSize);
            std::uint64_t at = 0;
            if (__builtin_add_overflow(range.offset, position, &at)) {
                sourceEnded = true;
                break;
            }
            if (buffer.size() < want) buffer.resize(want);
            const auto piece =
                source.readTolerantInto(at, std::span(buffer.data(), want), kSectorSize);
            out.write(std::span<const std::uint8_t>(buffer.data(), piece.bytes));
            written.bytes += piece.bytes;
            written.unreadable +=
                static_cast<std::uint64_t>(std::max<std::int64_t>(piece.unreadable, 0));
            position += piece.bytes;
            if (piece.bytes < want) {
                sourceEnded = true;
                break;
            }
        }
        // Bytes of later ranges would land at the wrong place in a file the source cut short.
        if (sourceEnded) break;
    }
    if (sourceEnded) {
        std::uint64_t wanted = 0;
        for (const auto& range : file.ranges)
            if (__builtin_add_overflow(wanted, range.length, &wanted)) wanted = UINT64_MAX;
        written.missing = wanted - std::min(wanted, written.bytes);
    }
    if (file.modified) out.setDates(*file.modified);
    out.finish();
    return written;
}

RestoreReport PhotoRestore::save(const std::vector<RecoverableFile>& files,
                                 const BlockReader& source, const std::filesystem::path& folder,
                                 const Progress& progress, const Cancelled& isCancelled) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error)
        throw RecoverError::message("Couldn't create " + folder.filename().string() + ". " +
                                    error.message());
    const std::filesystem::path rootPath = resolved(folder);
    const UniqueFd root(::open(rootPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root.valid())
        throw RecoverError::message("Couldn't open " + folder.filename().string() + ". " +
                                    std::strerror(errno));

    const double total = static_cast<double>(std::max<std::uint64_t>(saturatingSum(files), 1));
    std::uint64_t done = 0;
    std::unordered_set<std::string> used;
    RestoreReport report;
    FolderSync sync;
    // Files written before a stop or a pulled disk stay, so their names are flushed then too.
    struct FlushOnExit {
        FolderSync& sync;
        int root;
        ~FlushOnExit() {
            sync.flush();
            ::fsync(root);
        }
    } flushOnExit{sync, root.get()};
    for (const auto& file : files) {
        if (isCancelled && isCancelled()) throw RecoverError::cancelled();
        if (progress) progress(std::min(static_cast<double>(done) / total, 1.0), file.name);
        try {
            Destination where = destination(file, root.get(), rootPath, used);
            for (auto& grown : where.grown)
                sync.touched(std::move(grown));
            sync.movingTo(where.folder.get());
            sync.touched(duplicate(where.folder.get()));
            const Written written = write(file, source, where);
            report.saved.push_back({where.url, written.bytes, where.name, written.unreadable,
                                    written.missing, file.id});
        } catch (const RecoverError& failure) {
            if (failure.kind() == RecoverError::Case::deviceGone) throw;
            report.failed.push_back(file.name + ": " + failure.errorDescription());
        } catch (const std::exception& failure) {
            report.failed.push_back(file.name + ": " + failure.what());
        }
        if (__builtin_add_overflow(done, file.size, &done)) done = UINT64_MAX;
    }
    const auto count = report.saved.size();
    if (progress)
        progress(1.0, "Saved " + std::to_string(count) + (count == 1 ? " file" : " files"));
    return report;
}

} // namespace vellary
