#include "app/model/QuickLookExport.hpp"

#include "core/restore/PhotoRestore.hpp"

#include <QStandardPaths>
#include <algorithm>
#include <sys/stat.h>

namespace vellary {
namespace {

// Makes a private folder, or takes an existing real folder (not a link) and makes it private.
bool privateFolder(const std::filesystem::path& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
    return (info.st_mode & 0777) == 0700 || ::chmod(path.c_str(), 0700) == 0;
}

} // namespace

std::filesystem::path QuickLookExport::folder() {
    const auto cache =
        QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation).toStdString();
    return std::filesystem::path(cache) / "vellary" / "Preview";
}

std::string QuickLookExport::exportName(const RecoverableFile& file) {
    std::string stem = file.name;
    if (const auto dot = stem.rfind('.'); dot != std::string::npos && dot > 0) stem.resize(dot);
    if (stem.empty() || stem == "." || stem == "..") stem = "file";
    return stem + "." + std::string(fileKind::fileExtension(file.kind));
}

std::optional<std::filesystem::path> QuickLookExport::exportFile(const RecoverableFile& file,
                                                                 const BlockReader& reader) {
    const auto root = folder();
    std::error_code ignored;
    std::filesystem::create_directories(root.parent_path().parent_path(), ignored);
    if (!privateFolder(root.parent_path()) || !privateFolder(root)) return std::nullopt;
    std::string id = file.id;
    std::replace(id.begin(), id.end(), '/', '-');
    if (id.empty() || id == "." || id == "..") return std::nullopt;
    const auto target = root / id;
    std::filesystem::remove_all(target, ignored);

    RecoverableFile copy = file;
    copy.name = exportName(file);
    copy.originalPath = copy.name;
    try {
        const auto report = PhotoRestore::save({copy}, reader, target);
        if (report.saved.empty()) return std::nullopt;
        return report.saved.front().url;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void QuickLookExport::cleanUp() {
    std::error_code ignored;
    std::filesystem::remove_all(folder(), ignored);
}

bool QuickLookExport::opensDirectly(const RecoverableFile& file) {
    switch (fileKind::category(file.kind)) {
    case FileCategory::photo:
    case FileCategory::video:
    case FileCategory::audio:
    case FileCategory::document:
        return true;
    default:
        return false;
    }
}

} // namespace vellary
