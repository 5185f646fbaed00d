#include "core/devices/CameraFolders.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <utility>

namespace fs = std::filesystem;

namespace vellary {
namespace {

// Tested in this order: a longer prefix never hides behind a shorter one here.
constexpr std::pair<std::string_view, std::string_view> kFolderBrands[] = {
    {"_FUJI", "Fujifilm"}, {"CANON", "Canon"},     {"EOS", "Canon"},       {"NIKON", "Nikon"},
    {"ND", "Nikon"},       {"NZ_", "Nikon"},       {"NCD", "Nikon"},       {"MSDCF", "Sony"},
    {"OLYMP", "Olympus"},  {"OMSYS", "OM System"}, {"_PANA", "Panasonic"}, {"LUMIX", "Panasonic"},
    {"GOPRO", "GoPro"},    {"MEDIA", "DJI"},       {"RICOH", "Ricoh"},     {"_PENT", "Pentax"},
    {"PENTX", "Pentax"},   {"LEICA", "Leica"},     {"SIGMA", "Sigma"},     {"HASBL", "Hasselblad"},
    {"INSTA", "Insta360"},
};

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// Entry names in listing order; nothing when the folder cannot be listed.
std::optional<std::vector<std::string>> listing(const fs::path& folder) {
    std::error_code error;
    fs::directory_iterator it(folder, error);
    if (error) return std::nullopt;
    std::vector<std::string> names;
    for (; it != fs::directory_iterator(); it.increment(error)) {
        if (error) break;
        names.push_back(it->path().filename().string());
    }
    return names;
}

} // namespace

std::optional<std::string> CameraFolders::brand(std::string_view folder) {
    for (const auto& [prefix, brand] : kFolderBrands)
        if (folder.substr(0, prefix.size()) == prefix) return std::string(brand);
    return std::nullopt;
}

std::optional<CameraFolders::Match>
CameraFolders::identify(const std::vector<std::string>& mounts) {
    for (const auto& mount : mounts) {
        if (mount.empty()) continue;
        const auto dcim = listing(fs::path(mount) / "DCIM");
        if (!dcim) continue;

        std::optional<std::string> found;
        for (const auto& name : *dcim) {
            const auto up = upper(name);
            if (up.size() < 5 || !std::isdigit(static_cast<unsigned char>(up[0])) ||
                !std::isdigit(static_cast<unsigned char>(up[1])) ||
                !std::isdigit(static_cast<unsigned char>(up[2])))
                continue;
            if ((found = brand(std::string_view(up).substr(3)))) break;
        }
        if (const auto upd = listing(fs::path(mount) / "UPD")) {
            for (const auto& name : *upd)
                if (!name.empty() && name.front() != '.' && name != "Icon\r")
                    return Match{"Fujifilm", name};
        }
        if (found) return Match{found, std::nullopt};
        std::error_code error;
        if (fs::exists(fs::path(mount) / "PRIVATE" / "M4ROOT", error)) return Match{"Sony", {}};
        return Match{};
    }
    return std::nullopt;
}

} // namespace vellary
