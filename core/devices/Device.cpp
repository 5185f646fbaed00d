#include "core/devices/Device.hpp"

#include "core/records/ByteText.hpp"

namespace vellary {

std::string Device::detail() const {
    auto text = ByteText::string(size);
    if (!filesystems.empty()) text += " · " + filesystems.front();
    return text;
}

namespace deviceKind {

namespace {
constexpr std::string_view kNames[] = {"memoryCard", "usbDrive", "externalDrive", "diskImage"};
}

std::string_view rawValue(Device::Kind kind) {
    return kNames[static_cast<int>(kind)];
}

std::optional<Device::Kind> fromRaw(std::string_view raw) {
    for (int i = 0; i < 4; ++i)
        if (kNames[i] == raw) return static_cast<Device::Kind>(i);
    return std::nullopt;
}

} // namespace deviceKind
} // namespace vellary
