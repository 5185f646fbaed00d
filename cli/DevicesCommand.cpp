#include "cli/Commands.hpp"
#include "cli/SourceOpener.hpp"
#include "cli/Terminal.hpp"

#include "core/devices/DeviceCatalog.hpp"
#include "core/io/FileBlockReader.hpp"
#include "core/records/ByteText.hpp"
#include "core/records/RecoverError.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

namespace vellary::cli {
namespace {

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items)
        out += (out.empty() ? "" : ", ") + item;
    return out;
}

nlohmann::json toJson(const Device& d) {
    return {{"id", d.id},
            {"node", d.rawNode()},
            {"name", d.name},
            {"kind", deviceKind::rawValue(d.kind)},
            {"size", d.size},
            {"blockSize", d.blockSize},
            {"filesystems", d.filesystems},
            {"mountPoints", d.mountPoints},
            {"partitionIDs", d.partitionIDs},
            {"camera", d.camera ? nlohmann::json(*d.camera) : nlohmann::json()},
            {"media", d.media},
            {"solidState", d.solidState}};
}

} // namespace

int runDevices(const DevicesArgs& args) {
    const bool json = args.json;
    std::vector<Device> devices;
    try {
        devices = DeviceCatalog().devices();
    } catch (const RecoverError& error) {
        return fail(error.errorDescription());
    }
    if (json) {
        auto list = nlohmann::json::array();
        for (const auto& d : devices)
            list.push_back(toJson(d));
        std::printf("%s\n", list.dump(2).c_str());
        return 0;
    }
    if (devices.empty()) {
        std::printf("No disk that can be scanned is attached.\n");
        return 0;
    }
    std::printf("%-14s %-24s %-14s %10s  %-14s %s\n", "DISK", "NAME", "KIND", "SIZE",
                "FILE SYSTEMS", "CAMERA");
    for (const auto& d : devices)
        std::printf("%-14s %-24s %-14s %10s  %-14s %s\n", d.rawNode().c_str(), d.name.c_str(),
                    std::string(deviceKind::rawValue(d.kind)).c_str(),
                    ByteText::string(d.size).c_str(), joined(d.filesystems).c_str(),
                    d.camera.value_or("").c_str());
    return 0;
}

std::shared_ptr<BlockReader> openScanSource(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return openSource(path);
    // A disk is read only when the catalog offers it; the refusal says why not.
    std::error_code error;
    const auto real = std::filesystem::canonical(path, error);
    const auto device = DeviceCatalog().listed(error ? path : real.string());
    const int fd = ::open(device.rawNode().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw RecoverError::readFailed("Couldn't open " + path + ". " + std::strerror(errno));
    return std::make_shared<FileBlockReader>(fd, device.blockSize, true, device.size, true);
}

} // namespace vellary::cli
