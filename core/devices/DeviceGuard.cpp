#include "core/devices/DeviceGuard.hpp"

#include <algorithm>
#include <cctype>

namespace vellary {
namespace {

std::size_t countWhile(std::string_view s, std::size_t from, int (*test)(int)) {
    std::size_t n = from;
    while (n < s.size() && test(static_cast<unsigned char>(s[n])))
        ++n;
    return n - from;
}

int isLower(int c) {
    return c >= 'a' && c <= 'z';
}
int isDigit(int c) {
    return c >= '0' && c <= '9';
}

struct Split {
    std::size_t wholeLength = 0;       // 0 when the text starts with no whole-disk name
    bool digitsOnlyPartitions = false; // sdb1 rather than mmcblk0p1
};

// How long the whole-disk name at the front of text is.
Split wholeDiskPrefix(std::string_view s) {
    const auto starts = [&](std::string_view p) { return s.substr(0, p.size()) == p; };
    if (starts("sd") || starts("vd")) {
        const auto letters = countWhile(s, 2, isLower);
        return {letters ? 2 + letters : 0, true};
    }
    if (starts("mmcblk") || starts("loop")) {
        const std::size_t base = starts("loop") ? 4 : 6;
        const auto digits = countWhile(s, base, isDigit);
        return {digits ? base + digits : 0, false};
    }
    if (starts("nvme")) {
        const auto controller = countWhile(s, 4, isDigit);
        if (!controller || s.size() <= 4 + controller || s[4 + controller] != 'n') return {};
        const auto ns = countWhile(s, 5 + controller, isDigit);
        return {ns ? 5 + controller + ns : 0, false};
    }
    return {};
}

bool isPartitionSuffix(std::string_view rest, bool digitsOnly) {
    if (!digitsOnly) {
        if (rest.empty() || rest.front() != 'p') return false;
        rest.remove_prefix(1);
    }
    return !rest.empty() && countWhile(rest, 0, isDigit) == rest.size();
}

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

} // namespace

bool DeviceGuard::isWholeDiskName(std::string_view name) {
    const auto split = wholeDiskPrefix(name);
    return split.wholeLength != 0 && split.wholeLength == name.size();
}

std::optional<std::string> DeviceGuard::diskIdentifier(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    const bool node = text.substr(0, 5) == "/dev/";
    if (node) text.remove_prefix(5);
    const auto split = wholeDiskPrefix(text);
    if (split.wholeLength == 0) return std::nullopt;
    const auto rest = text.substr(split.wholeLength);
    if (rest.empty() || (!node && isPartitionSuffix(rest, split.digitsOnlyPartitions)))
        return std::string(text.substr(0, split.wholeLength));
    return std::nullopt;
}

std::optional<std::string> DeviceGuard::refusal(const DeviceFacts& facts, bool allowDiskImages) {
    if (!isWholeDiskName(facts.identifier) || !facts.wholeDisk)
        return "Only a whole removable or external disk can be scanned, not " +
               (facts.identifier.empty() ? std::string("this device") : facts.identifier) + ".";
    if (facts.startup) return "This disk runs the system, so it can't be scanned.";
    if (facts.internalDisk && !facts.removableOrExternal)
        return "This is the computer's own internal disk, so it can't be scanned.";
    const auto bus = lower(facts.bus);
    if (!facts.virtualDisk) {
        for (const char* accepted : {"usb", "secure digital", "thunderbolt", "firewire", "sata"})
            if (bus.find(accepted) != std::string::npos) return std::nullopt;
        if (facts.removableOrExternal || bus.find("pci") != std::string::npos) return std::nullopt;
        return "This disk is neither removable nor external, so it can't be scanned.";
    }
    if (allowDiskImages && bus == "disk image") return std::nullopt;
    return "An attached disk image is scanned as a file: open the image file instead.";
}

} // namespace vellary
