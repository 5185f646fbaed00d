#include "cli/Arguments.hpp"
#include "cli/Commands.hpp"
#include "cli/SourceOpener.hpp"
#include "cli/Terminal.hpp"

#include "core/engine/RecoveryEngine.hpp"
#include "core/records/ByteText.hpp"
#include "core/records/RecoverError.hpp"
#include "core/restore/DestinationCheck.hpp"
#include "core/restore/PhotoRestore.hpp"
#include "core/restore/RecoveryNotes.hpp"

#include <cstdio>
#include <map>

namespace vellary::cli {
namespace {

constexpr const char* kUsage =
    "usage: vellary-cli recover IMAGE DEST [--id ID ...] [--category ...] [--flat] [--deep]";

struct RecoverArgs {
    std::string source;
    std::string destination;
    std::vector<std::string> ids;
    std::set<FileCategory> categories;
    bool flat = false;
    bool deep = false;
};

// Ids read like "fat-1048576-2099200": a lower-case prefix, then hyphen-separated numbers.
bool looksLikeId(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] >= 'a' && text[i] <= 'z')
        ++i;
    if (i == 0 || i == text.size()) return false;
    while (i < text.size()) {
        if (text[i] != '-' || i + 1 == text.size()) return false;
        ++i;
        const std::size_t digits = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            ++i;
        if (i == digits) return false;
    }
    return true;
}

// Returns an error text, empty when the arguments make sense.
std::string parse(const Args& args, RecoverArgs& out) {
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--flat") {
            out.flat = true;
        } else if (arg == "--deep") {
            out.deep = true;
        } else if (arg == "--id" || arg == "--category") {
            if (i + 1 >= args.size()) return arg + " needs a value.";
            const std::string value = args[++i];
            if (arg == "--category") {
                try {
                    const auto categories = parseCategories(value);
                    out.categories.insert(categories.begin(), categories.end());
                } catch (const RecoverError& error) {
                    return error.errorDescription();
                }
                continue;
            }
            out.ids.push_back(value);
            // "--id A B C": further values that look like ids belong to it.
            while (i + 1 < args.size() && looksLikeId(args[i + 1]))
                out.ids.push_back(args[++i]);
        } else if (arg.starts_with("--")) {
            return "Unknown option " + arg + ".";
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 2) return "recover needs an image (or disk) and a destination folder.";
    out.source = positional[0];
    out.destination = positional[1];
    return {};
}

std::string plural(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::vector<RecoverableFile> choose(const std::vector<RecoverableFile>& found,
                                    const RecoverArgs& args, std::string& missing) {
    if (args.ids.empty()) return found;
    std::map<std::string, const RecoverableFile*> byId;
    for (const auto& file : found)
        byId.emplace(file.id, &file);
    std::vector<RecoverableFile> chosen;
    std::set<std::string> taken;
    for (const auto& id : args.ids) {
        const auto it = byId.find(id);
        if (it == byId.end()) {
            missing = id;
            return {};
        }
        if (taken.insert(id).second) chosen.push_back(*it->second);
    }
    return chosen;
}

void printSummary(const RestoreReport& report, const std::string& destination,
                  const std::optional<std::filesystem::path>& note) {
    std::printf("Saved %s (%s) into %s.\n", plural(report.saved.size(), "file", "files").c_str(),
                ByteText::string(report.bytes()).c_str(), destination.c_str());
    std::size_t partial = 0;
    for (const auto& file : report.saved)
        if (file.unreadableBytes > 0) ++partial;
    if (partial > 0)
        std::printf("%s could only be read in part; the unreadable parts are filled with blanks.\n",
                    plural(partial, "file", "files").c_str());
    if (!report.failed.empty()) {
        std::printf("%s couldn't be saved:\n",
                    plural(report.failed.size(), "file", "files").c_str());
        for (const auto& line : report.failed)
            std::printf("  %s\n", line.c_str());
    }
    if (note) std::printf("Details are in %s.\n", note->c_str());
}

} // namespace

int runRecover(const Args& rawArgs) {
    RecoverArgs args;
    if (const std::string error = parse(rawArgs, args); !error.empty()) {
        fail(error);
        std::fprintf(stderr, "%s\n", kUsage);
        return 2;
    }
    installInterruptFlag();
    const auto& probe = DestinationCheck::system();
    // Refused before the disk is even opened, let alone scanned.
    if (DestinationCheck::onSource(args.destination, args.source, probe))
        return fail(RecoverError::destinationOnSource().errorDescription());
    const auto reader = openSource(args.source);

    ProgressLine line;
    ScanOptions options;
    options.deepScan = args.deep;
    options.categories = args.categories;
    options.isCancelled = [] { return interrupted(); };
    options.progress = [&line](const ScanProgress& progress) {
        switch (progress.phase) {
        case ScanProgress::Phase::fileRecords:
            line.show(std::nullopt, "Reading the file list…");
            break;
        case ScanProgress::Phase::contents:
            line.show(progress.fraction(),
                      "Searching contents… " + std::to_string(progress.found) + " found");
            break;
        case ScanProgress::Phase::finished:
            line.finish();
            break;
        }
    };
    ScanResult result;
    try {
        result = RecoveryEngine::scan(*reader, options);
    } catch (const RecoverError&) {
        line.finish();
        throw;
    }
    line.finish();
    if (interrupted()) return fail(RecoverError::cancelled().errorDescription());
    for (const auto& warning : result.warnings)
        std::fprintf(stderr, "%s\n", warning.c_str());

    std::string missing;
    auto files = choose(result.files, args, missing);
    if (!missing.empty()) return fail("No file with the id " + missing + " was found.");
    if (files.empty()) {
        std::printf("No files to recover.\n");
        return 0;
    }
    std::uint64_t total = 0;
    for (auto& file : files) {
        if (args.flat) file.originalPath = file.name;
        if (__builtin_add_overflow(total, file.size, &total)) total = UINT64_MAX;
    }
    if (const auto problem =
            DestinationCheck::forRecovery(args.destination, args.source, total, probe))
        return fail(problem->errorDescription());

    RestoreReport report;
    try {
        report = PhotoRestore::save(
            files, *reader, args.destination,
            [&line](double fraction, const std::string& name) { line.show(fraction, name); },
            [] { return interrupted(); });
    } catch (const RecoverError& error) {
        line.finish();
        if (error.kind() == RecoverError::Case::cancelled)
            return fail("Stopped. Files copied before you stopped are in the folder.");
        return fail(error.errorDescription());
    }
    line.finish();
    const auto note = RecoveryNotes::writeNotes(report, args.destination);
    printSummary(report, args.destination, note);
    return report.failed.empty() ? 0 : 1;
}

} // namespace vellary::cli
