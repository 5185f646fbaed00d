#include "core/records/RecoverableFile.hpp"

#include <array>

namespace vellary {

namespace recoveryConfidence {

namespace {
constexpr std::array<std::string_view, 3> kRaw = {"named", "estimated", "carved"};
}

std::string_view rawValue(RecoveryConfidence confidence) {
    return kRaw[static_cast<std::size_t>(confidence)];
}

std::optional<RecoveryConfidence> fromRaw(std::string_view raw) {
    for (std::size_t i = 0; i < kRaw.size(); ++i)
        if (kRaw[i] == raw) return static_cast<RecoveryConfidence>(i);
    return std::nullopt;
}

} // namespace recoveryConfidence

namespace quality {
std::string_view rawValue(RecoverableFile::Quality quality) {
    switch (quality) {
    case RecoverableFile::Quality::good:
        return "good";
    case RecoverableFile::Quality::partial:
        return "partial";
    case RecoverableFile::Quality::damaged:
        return "damaged";
    }
    return "damaged";
}
} // namespace quality

RecoverableFile::Quality RecoverableFile::quality() const {
    if (headerLooksValid.has_value() && !*headerLooksValid) return Quality::damaged;
    return complete ? Quality::good : Quality::partial;
}

std::string RecoverableFile::folder() const {
    if (confidence == RecoveryConfidence::carved) return {};
    std::vector<std::string_view> parts;
    std::string_view rest = originalPath;
    while (!rest.empty()) {
        const auto slash = rest.find('/');
        const auto part = rest.substr(0, slash);
        if (!part.empty()) parts.push_back(part);
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    if (!parts.empty()) parts.pop_back();
    std::string result;
    for (const auto& part : parts) {
        if (!result.empty()) result += '/';
        result += part;
    }
    return result;
}

} // namespace vellary
