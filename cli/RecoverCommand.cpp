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
    const std::size_t cut = report.incompleteCount();
    const std::size_t whole = report.saved.size() - cut;
    if (cut == 0)
        std::printf("Saved %s (%s) into %s.\n", plural(whole, "file", "files").c_str(),
                    ByteText::string(report.bytes()).c_str(), destination.c_str());
    else
        std::printf("Saved %s and %s (%s) into %s.\n",
                    plural(whole, "whole file", "whole files").c_str(),
                    plural(cut, "incomplete file", "incomplete files").c_str(),
                    ByteText::string(report.bytes()).c_str(), destination.c_str());
    std::size_t partial = 0;
    for (const auto& file : report.saved)
        if (file.unreadableBytes > 0) ++partial;
    if (partial > 0)
        std::printf("%s could only be read in part; the unreadable parts are filled with blanks.\n",
                    plural(partial, "file", "files").c_str());
    if (cut > 0)
        std::printf("%s cut short: the disk ends before the rest of the data.\n",
                    plural(cut, "file is", "files are").c_str());
    if (!report.failed.empty()) {
        std::printf("%s couldn't be saved:\n",
                    plural(report.failed.size(), "file", "files").c_str());
        for (const auto& line : report.failed)
            std::printf("  %s\n", line.c_str());
    }
    if (note) std::printf("Details are in %s.\n", note->c_str());
}

} // namespace

int runRecover(const RecoverArgs& args) {
    installInterruptFlag();
    const auto& probe = DestinationCheck::system();
    // Refused before the disk is even opened, let alone scanned.
    if (DestinationCheck::onSource(args.destination, args.source, probe))
        return fail(RecoverError::destinationOnSource().errorDescription());
    const auto map = loadMapFor(args.source, args.map);
    const auto reader = openSource(args.source);

    ProgressLine line;
    ScanOptions options;
    options.deepScan = args.deep;
    options.categories = parseCategories(args.categories);
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
    for (const auto& warning : warningsFor(result.warnings, result.searchedContents))
        std::fprintf(stderr, "%s\n", warning.c_str());

    std::string missing;
    auto files = choose(result.files, args, missing);
    if (!missing.empty()) return fail("No file with the id " + missing + " was found.");
    if (files.empty()) {
        std::printf("No files to recover.\n");
        return exitStatus::done;
    }
    // The image holds zeros where the disk could not be read; the restore cannot see that.
    std::map<std::string, std::uint64_t> holes;
    const auto unreadable = markUnreadable(files, map ? &*map : nullptr);
    for (std::size_t i = 0; i < files.size(); ++i)
        if (unreadable[i] > 0) holes[files[i].id] = unreadable[i];
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
    for (auto& saved : report.saved)
        if (const auto it = holes.find(saved.id); it != holes.end())
            saved.unreadableBytes = std::max(saved.unreadableBytes, it->second);
    const auto note = RecoveryNotes::writeNotes(report, args.destination);
    printSummary(report, args.destination, note);
    bool partly = !report.failed.empty();
    for (const auto& saved : report.saved)
        partly = partly || saved.incomplete() || saved.unreadableBytes > 0;
    return partly ? exitStatus::partly : exitStatus::done;
}

} // namespace vellary::cli
