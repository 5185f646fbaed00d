#pragma once

#include <string>
#include <string_view>

namespace vellary {

// Safe names for the files the restore writes. All results are UTF-8.
struct OutputPath {
    // Longest name part in user-perceived characters (grapheme clusters).
    static constexpr int kMaxCharacters = 180;
    // Longest name part in bytes that Linux file systems accept.
    static constexpr int kMaxBytes = 255;

    // One name part: no control characters, slashes or colons, no surrounding white space, no
    // trailing dots or blanks, never empty, ".", or "..", at most 180 characters and 255 bytes.
    static std::string sanitize(std::string_view part);
    // A path split at "/" and backslash, without "." and "..", every part sanitised, joined with
    // "/". Possibly empty; never absolute, never leaving the folder it is appended to.
    static std::string relative(std::string_view path);
    // The n-th alternative of a relative path: Pictures/IMG_0001.JPG, 2 gives
    // Pictures/IMG_0001 2.JPG. The last part is shortened where needed to stay within 255 bytes.
    static std::string numbered(std::string_view path, int n);
    // Case folded, for comparing names on file systems that ignore case.
    static std::string folded(std::string_view path);
};

} // namespace vellary
