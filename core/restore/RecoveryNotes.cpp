#include "core/restore/RecoveryNotes.hpp"

#include "core/records/ByteText.hpp"
#include "core/records/RecoverError.hpp"
#include "core/restore/OutputFile.hpp"
#include "core/restore/OutputPath.hpp"

#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace vellary {
namespace {

constexpr int kMaxAlternatives = 100;

// Names come from the disk: a line break or other control character in one must not break the
// note's layout.
std::string oneLine(std::string text) {
    for (auto& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    return text;
}

} // namespace

std::optional<std::string> RecoveryNotes::text(const RestoreReport& report) {
    std::vector<std::string> lines;
    if (!report.failed.empty()) {
        lines.emplace_back("These files couldn't be saved:");
        for (const auto& line : report.failed)
            lines.push_back("  " + oneLine(line));
        lines.emplace_back();
    }
    bool headed = false;
    for (const auto& file : report.saved) {
        if (!file.incomplete()) continue;
        if (!headed) {
            lines.emplace_back("These files end early because the disk ends before the rest of "
                               "their data. What there was is saved:");
            headed = true;
        }
        lines.push_back("  " + oneLine(file.name) + " (" + ByteText::string(file.missingBytes) +
                        " missing)");
    }
    if (headed) lines.emplace_back();
    headed = false;
    for (const auto& file : report.saved) {
        if (file.unreadableBytes == 0) continue;
        if (!headed) {
            lines.emplace_back("Parts of these files couldn't be read from the disk and were "
                               "filled with blanks. They may open with gaps or glitches:");
            headed = true;
        }
        lines.push_back("  " + oneLine(file.name) + " (" + ByteText::string(file.unreadableBytes) +
                        " unreadable)");
    }
    if (lines.empty()) return std::nullopt;
    std::string joined;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) joined += '\n';
        joined += lines[i];
    }
    return joined;
}

std::optional<std::filesystem::path>
RecoveryNotes::writeNotes(const RestoreReport& report, const std::filesystem::path& folder) {
    const auto note = text(report);
    if (!note) return std::nullopt;
    const UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) return std::nullopt;
    std::string name = kFileName;
    for (int n = 2; n <= kMaxAlternatives + 1; ++n) {
        std::optional<OutputFile> out;
        try {
            out = OutputFile::createIfFree(dir.get(), name);
        } catch (const RecoverError&) {
            return std::nullopt;
        }
        if (!out) {
            name = OutputPath::numbered(kFileName, n);
            continue;
        }
        try {
            out->write({reinterpret_cast<const std::uint8_t*>(note->data()), note->size()});
            out->finish();
            return folder / name;
        } catch (const RecoverError&) {
            // A half-written note would mislead more than none; this file is ours to remove.
            out.reset();
            ::unlinkat(dir.get(), name.c_str(), 0);
            return std::nullopt;
        }
    }
    return std::nullopt;
}

} // namespace vellary
