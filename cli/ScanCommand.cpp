#include "cli/Arguments.hpp"
#include "cli/Commands.hpp"
#include "cli/SourceOpener.hpp"
#include "cli/Terminal.hpp"

#include "core/engine/RecoveryEngine.hpp"
#include "core/records/ByteText.hpp"
#include "core/records/FileTyping.hpp"
#include "core/records/RecoverError.hpp"
#include "core/restore/RescueMap.hpp"

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

namespace vellary::cli {
namespace {

std::string dateText(const std::optional<Date>& date) {
    if (!date) return "";
    const auto t = static_cast<std::time_t>(unixSeconds(*date));
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &tm);
    return text;
}

// Where the file was found, in words a user can act on: from the file system's list, with its
// name and folder, or from the contents alone.
const char* foundIn(const RecoverableFile& file) {
    return file.confidence == RecoveryConfidence::carved ? "contents" : "file list";
}

nlohmann::json toJson(const RecoverableFile& file, std::uint64_t unreadable) {
    nlohmann::json ranges = nlohmann::json::array();
    for (const auto& r : file.ranges)
        ranges.push_back({{"offset", r.offset}, {"length", r.length}});
    nlohmann::json j = {
        {"id", file.id},
        {"name", file.name},
        {"originalPath", file.originalPath},
        {"folder", file.folder()},
        {"size", file.size},
        {"kind", fileKind::rawValue(file.kind)},
        {"category", fileCategory::rawValue(file.category)},
        {"confidence", recoveryConfidence::rawValue(file.confidence)},
        {"quality", quality::rawValue(file.quality())},
        {"complete", file.complete},
        {"ranges", ranges},
        {"state", quality::rawValue(file.quality())},
        {"foundIn", foundIn(file)},
        {"unreadableBytes", unreadable},
    };
    j["modified"] = file.modified ? nlohmann::json(unixSeconds(*file.modified)) : nlohmann::json();
    j["headerLooksValid"] =
        file.headerLooksValid ? nlohmann::json(*file.headerLooksValid) : nlohmann::json();
    j["device"] = file.device ? nlohmann::json(*file.device) : nlohmann::json();
    j["nameInferred"] = file.nameInferred;
    return j;
}

void printTable(const ScanResult& result, const std::vector<std::string>& warnings,
                const std::vector<std::uint64_t>& unreadable) {
    std::printf("File system: %s\n", result.filesystem.c_str());
    std::printf("Volumes: %" PRId64 "\n", result.volumeCount);
    for (const auto& warning : warnings)
        std::printf("Warning: %s\n", warning.c_str());
    std::printf("Files found: %zu%s\n", result.files.size(),
                result.searchedContents ? " (deep scan included)" : "");
    if (result.files.empty()) return;
    std::printf("\n%-8s %-9s %10s  %-16s  %s\n", "STATE", "FOUND IN", "SIZE", "DATE", "PATH");
    std::size_t holed = 0;
    for (std::size_t i = 0; i < result.files.size(); ++i) {
        const auto& file = result.files[i];
        const auto path = file.originalPath.empty() ? file.name : file.originalPath;
        std::printf("%-8s %-9s %10s  %-16s  %s\n",
                    std::string(quality::rawValue(file.quality())).c_str(), foundIn(file),
                    ByteText::string(file.size).c_str(), dateText(file.modified).c_str(),
                    path.c_str());
        holed += unreadable[i] > 0 ? 1 : 0;
    }
    if (holed > 0)
        std::printf("\n%zu %s unreadable areas of the disk: those parts will be blanks.\n", holed,
                    holed == 1 ? "file overlaps" : "files overlap");
}

} // namespace

int runScan(const ScanArgs& parsed) {
    const auto map = loadMapFor(parsed.source, parsed.map);
    installInterruptFlag();
    ProgressLine line;
    ScanOptions options;
    options.deepScan = parsed.deep;
    options.categories = parseCategories(parsed.categories);
    options.isCancelled = [] { return interrupted(); };
    options.progress = [&line](const ScanProgress& p) {
        if (p.phase == ScanProgress::Phase::finished) return line.finish();
        const auto text = p.phase == ScanProgress::Phase::fileRecords
                              ? std::string("Reading the file list…")
                              : "Searching contents: " + ByteText::string(p.bytesDone) + " of " +
                                    ByteText::string(p.bytesTotal) + ", " +
                                    std::to_string(p.found) + " found";
        line.show(p.fraction(), text);
    };

    ScanResult result;
    try {
        const auto reader = openScanSource(parsed.source);
        result = RecoveryEngine::scan(*reader, options);
    } catch (const RecoverError& error) {
        line.finish();
        return fail(error.errorDescription());
    }
    line.finish();
    const auto unreadable = markUnreadable(result.files, map ? &*map : nullptr);
    const auto warnings = warningsFor(result.warnings, result.searchedContents);

    if (parsed.json) {
        nlohmann::json files = nlohmann::json::array();
        for (std::size_t i = 0; i < result.files.size(); ++i)
            files.push_back(toJson(result.files[i], unreadable[i]));
        nlohmann::json doc = {{"filesystem", result.filesystem},
                              {"volumeCount", result.volumeCount},
                              {"warnings", result.warnings},
                              {"searchedContents", result.searchedContents},
                              {"unreadableBytes", result.unreadableBytes},
                              {"files", files}};
        if (warnings != result.warnings) doc["hints"] = warnings;
        std::printf("%s\n", doc.dump(2).c_str());
    } else {
        printTable(result, warnings, unreadable);
    }
    return interrupted() ? exitStatus::failed : exitStatus::done;
}

} // namespace vellary::cli
