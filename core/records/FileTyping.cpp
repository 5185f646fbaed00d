#include "core/records/FileTyping.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

namespace vellary {
namespace {

struct ExtensionGroup {
    FileCategory category;
    std::initializer_list<std::string_view> extensions;
};

const std::array<ExtensionGroup, 6>& extensionTable() {
    static const std::array<ExtensionGroup, 6> table = {{
        {FileCategory::photo,
         {"jpg", "jpeg", "jpe", "heic", "heif", "hif", "avif", "png", "gif", "tif", "tiff", "webp",
          "bmp", "psd", "svg", "jxl"}},
        {FileCategory::raw,
         {"raf", "cr2", "cr3", "crw", "nef", "nrw", "arw", "srf", "sr2", "dng", "orf",
          "rw2", "pef", "srw", "x3f", "3fr", "iiq", "erf", "kdc", "mrw", "rwl", "gpr"}},
        {FileCategory::video,
         {"mov", "mp4", "m4v", "avi", "mts", "m2ts", "mkv", "webm", "3gp", "mpg", "mpeg", "wmv",
          "insv", "lrv", "lrf", "braw", "r3d", "mxf"}},
        {FileCategory::audio,
         {"mp3", "wav", "m4a", "aac", "flac", "aif", "aiff", "ogg", "opus", "wma", "caf", "amr"}},
        {FileCategory::document,
         {"pdf", "doc", "docx", "xls", "xlsx", "ppt", "pptx", "pages", "numbers", "key",  "txt",
          "rtf", "md",  "csv",  "odt", "ods",  "odp", "epub", "html",  "htm",     "json", "xml"}},
        {FileCategory::archive,
         {"zip", "rar", "7z", "tar", "gz", "tgz", "bz2", "xz", "dmg", "iso"}},
    }};
    return table;
}

} // namespace

std::string FileTyping::lower(std::string_view text) {
    std::string result(text);
    for (auto& c : result)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return result;
}

std::string FileTyping::extensionOf(std::string_view name) {
    const auto slash = name.rfind('/');
    if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos) return {};
    return lower(name.substr(dot + 1));
}

std::optional<FileCategory> FileTyping::categoryForExtension(std::string_view extension) {
    const auto ext = lower(extension);
    for (const auto& group : extensionTable())
        for (const auto candidate : group.extensions)
            if (candidate == ext) return group.category;
    return std::nullopt;
}

std::optional<FileKind> FileTyping::kindForExtension(std::string_view extension) {
    const auto ext = lower(extension);
    if (ext == "jpg" || ext == "jpeg" || ext == "jpe") return FileKind::jpeg;
    if (ext == "heic" || ext == "heif" || ext == "hif") return FileKind::heic;
    if (ext == "tif" || ext == "tiff") return FileKind::tiff;
    if (ext == "mpg" || ext == "mpeg") return std::nullopt;
    if (ext == "3gp") return FileKind::threegp;
    if (ext == "key") return FileKind::keynote;
    if (ext == "aif" || ext == "aiff") return FileKind::aiff;
    return fileKind::fromRaw(ext);
}

FileCategory FileTyping::category(std::string_view name, FileKind kind) {
    if (kind != FileKind::other) return fileKind::category(kind);
    return categoryForExtension(extensionOf(name)).value_or(FileCategory::other);
}

bool FileTyping::skipFile(std::string_view name) {
    if (name.empty() || name == "." || name == ".." || name.front() == '.') return true;
    const auto low = lower(name);
    return low == "thumbs.db" || low == "desktop.ini";
}

bool FileTyping::skipDirectory(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return true;
    const auto low = lower(name);
    return low == ".spotlight-v100" || low == ".fseventsd" || low == ".temporaryitems" ||
           low == "system volume information" || low == ".documentrevisions-v100";
}

bool FileTyping::verifiable(FileKind kind) {
    return kind != FileKind::mp3 && kind != FileKind::aiff && kind != FileKind::other;
}

std::string FileTyping::repairFujifilmShortName(std::string_view name) {
    const auto dot = name.find('.');
    if (dot == std::string_view::npos || name.find('.', dot + 1) != std::string_view::npos)
        return std::string(name);
    const auto base = name.substr(0, dot);
    std::string ext(name.substr(dot + 1));
    for (auto& c : ext)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (ext != "JPG" && ext != "RAF" && ext != "MOV" && ext != "HIF") return std::string(name);
    if (base.size() != 8 || base.substr(0, 4) != "_SCF") return std::string(name);
    const auto digits = base.substr(4);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::string(name);
    return "DSCF" + std::string(digits) + "." + ext;
}

} // namespace vellary
