#pragma once

#include "core/carve/FormatCarver.hpp"

#include <string>
#include <string_view>

namespace vellary {

class ByteWindow;

// ZIP archives and the documents built on them (Office Open XML, iWork, EPUB), measured from the
// local entries through the central directory to the end record.
class ZIPCarver : public FormatCarver {
public:
    // What the entry names say about the kind of document.
    struct NameClues {
        std::optional<std::string> firstName;
        std::optional<std::string> mimetype;
        bool word = false;
        bool excel = false;
        bool powerPoint = false;
        bool iWork = false;
        bool keynote = false;
        bool numbers = false;

        void add(std::string_view name);
        FileKind kind() const;
    };

    std::optional<std::vector<std::uint8_t>> leadBytes() const override;
    std::optional<FileKind> sniff(ByteSpan bytes) const override;
    std::optional<Carved> carve(const BlockReader& reader, std::uint64_t start,
                                FileKind kind) const override;

private:
    struct Walk {
        std::int64_t entries = 0;
        std::optional<std::uint64_t> centralDirectory;
        std::uint64_t stoppedAt = 0;
    };
    static std::optional<Walk> walkLocalEntries(ByteWindow& window, std::uint64_t start,
                                                NameClues& clues);
    static std::optional<std::uint64_t> searchDescriptor(ByteWindow& window,
                                                         std::uint64_t dataStart);
    static std::optional<std::uint64_t> searchForEnd(ByteWindow& window, std::uint64_t start,
                                                     std::uint64_t from, NameClues& clues);
    static std::optional<std::uint64_t> finish(ByteWindow& window, std::uint64_t start,
                                               std::uint64_t cdStart, NameClues& clues);
};

} // namespace vellary
