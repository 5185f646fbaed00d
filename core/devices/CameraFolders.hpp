#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellary {

// Which camera wrote a card, from the folders it leaves (DCIM/100CANON, UPD, PRIVATE/M4ROOT).
struct CameraFolders {
    struct Match {
        std::optional<std::string> brand; // absent: a camera folder of an unknown make
        std::optional<std::string> model;
        bool operator==(const Match&) const = default;
    };

    static std::optional<Match> identify(const std::vector<std::string>& mounts);
    // The brand for the part of a DCIM folder name after its three digits, upper-cased.
    static std::optional<std::string> brand(std::string_view folder);
};

} // namespace vellary
