#include "cli/Arguments.hpp"
#include "cli/Commands.hpp"
#include "cli/SourceOpener.hpp"
#include "cli/Terminal.hpp"

#include "core/engine/RecoveryEngine.hpp"
#include "core/records/ByteText.hpp"
#include "core/records/FileTyping.hpp"
#include "core/records/RecoverError.hpp"

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

namespace vellary::cli {
namespace {

struct ScanArgs {
    std::string source;
    bool deep = false;
    bool json = false;
    std::set<FileCategory> categories;
};

std::string dateText(const std::optional<Date>& date) {
    if (!date) return "";
    const auto t = static_cast<std::time_t>(unixSeconds(*date));
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &tm);
    return text;
}

nlohmann::json toJson(const RecoverableFile& file) {
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
    };
    j["modified"] = file.modified ? nlohmann::json(unixSeconds(*file.modified)) : nlohmann::json();
    j["headerLooksValid"] =
        file.headerLooksValid ? nlohmann::json(*file.headerLooksValid) : nlohmann::json();
    j["device"] = file.device ? nlohmann::json(*file.device) : nlohmann::json();
    return j;
}

void printTable(const ScanResult& result) {
    std::printf("File system: %s\n", result.filesystem.c_str());
    std::printf("Volumes: %" PRId64 "\n", result.volumeCount);
    for (const auto& warning : result.warnings)
        std::printf("Warning: %s\n", warning.c_str());
    std::printf("Files found: %zu%s\n", result.files.size(),
                result.searchedContents ? " (deep scan included)" : "");
    if (result.files.empty()) return;
    std::printf("\n%-8s %-9s %10s  %-16s  %s\n", "QUALITY", "FOUND BY", "SIZE", "MODIFIED", "PATH");
    for (const auto& file : result.files) {
        const auto path = file.originalPath.empty() ? file.name : file.originalPath;
        std::printf(
            "%-8s %-9s %10s  %-16s  %s\n", std::string(quality::rawValue(file.quality())).c_str(),
            std::string(recoveryConfidence::rawValue(file.confidence)).c_str(),
            ByteText::string(file.size).c_str(), dateText(file.modified).c_str(), path.c_str());
    }
}

} // namespace

int runScan(const Args& args) {
    ScanArgs parsed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const auto& arg = args[i];
        if (arg == "--deep") {
            parsed.deep = true;
        } else if (arg == "--json") {
            parsed.json = true;
        } else if (arg == "--category" && i + 1 < args.size()) {
            parsed.categories = parseCategories(args[++i]);
        } else if (arg.rfind("--category=", 0) == 0) {
            parsed.categories = parseCategories(arg.substr(11));
        } else if (!arg.empty() && arg[0] == '-') {
            return fail("unknown option " + arg + " (see vellary-cli --help)");
        } else if (parsed.source.empty()) {
            parsed.source = arg;
        } else {
            return fail("scan takes one disk or image (see vellary-cli --help)");
        }
    }
    if (parsed.source.empty()) return fail("scan needs a disk or image (see vellary-cli --help)");

    installInterruptFlag();
    ProgressLine line;
    ScanOptions options;
    options.deepScan = parsed.deep;
    options.categories = parsed.categories;
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

    if (parsed.json) {
        nlohmann::json files = nlohmann::json::array();
        for (const auto& file : result.files)
            files.push_back(toJson(file));
        const nlohmann::json doc = {{"filesystem", result.filesystem},
                                    {"volumeCount", result.volumeCount},
                                    {"warnings", result.warnings},
                                    {"searchedContents", result.searchedContents},
                                    {"unreadableBytes", result.unreadableBytes},
                                    {"files", files}};
        std::printf("%s\n", doc.dump(2).c_str());
    } else {
        printTable(result);
    }
    return interrupted() ? 130 : 0;
}

} // namespace vellary::cli
