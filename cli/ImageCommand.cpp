#include "cli/Commands.hpp"
#include "cli/SourceOpener.hpp"
#include "cli/Terminal.hpp"

#include "core/records/ByteText.hpp"
#include "core/records/RecoverError.hpp"
#include "core/restore/DestinationCheck.hpp"
#include "core/restore/DiskImager.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace vellary::cli {
namespace {

// Estimates before this many seconds jump around too much to show.
constexpr double kSettleSeconds = 5.0;

std::string inWords(double seconds) {
    const auto round = [](double value) { return static_cast<long>(std::lround(value)); };
    if (seconds < 60) return "about " + std::to_string(std::max(1L, round(seconds))) + " s left";
    if (seconds < 3600) return "about " + std::to_string(round(seconds / 60)) + " min left";
    const long minutes = round(seconds / 60);
    return "about " + std::to_string(minutes / 60) + " h " + std::to_string(minutes % 60) +
           " min left";
}

const char* phaseText(const RescueProgress& progress) {
    switch (progress.phase) {
    case RescueMap::Phase::copying:
        return progress.pass == 1 ? "copying" : "copying what was skipped";
    case RescueMap::Phase::trimming:
        return "trimming bad areas";
    case RescueMap::Phase::scraping:
        return "scraping bad areas";
    case RescueMap::Phase::retrying:
        return "retrying bad sectors";
    case RescueMap::Phase::finished:
        return "finishing";
    }
    return "";
}

std::string progressText(const RescueProgress& progress, double elapsed) {
    std::string text = std::string(phaseText(progress)) + ": " +
                       ByteText::string(progress.rescued) + " of " +
                       ByteText::string(progress.bytesTotal) + " rescued";
    if (progress.unreadable > 0)
        text += ", " + ByteText::string(progress.unreadable) + " unreadable";
    const std::uint64_t now = progress.rescued - std::min(progress.rescued, progress.rescuedBefore);
    const std::uint64_t left =
        progress.bytesTotal - std::min(progress.bytesTotal, progress.rescued + progress.unreadable);
    if (progress.phase == RescueMap::Phase::copying && elapsed > kSettleSeconds && now > 0 &&
        left > 0)
        text += ", " + inWords(static_cast<double>(left) / (static_cast<double>(now) / elapsed));
    return text;
}

std::string areasText(std::size_t areas) {
    return std::to_string(areas) + (areas == 1 ? " area" : " areas");
}

} // namespace

int runImage(const ImageArgs& args) {
    const std::string& sourcePath = args.source;
    const std::filesystem::path destination = args.destination;
    const std::filesystem::path mapPath =
        std::filesystem::path(args.map.empty() ? args.destination + ".map" : args.map);
    installInterruptFlag();
    const auto& probe = DestinationCheck::system();
    if (DestinationCheck::onSource(
            destination.parent_path().empty() ? "." : destination.parent_path(), sourcePath, probe))
        return fail(RecoverError::destinationOnSource().errorDescription());
    const auto reader = openSource(sourcePath);
    std::error_code error;
    const bool resuming = std::filesystem::exists(mapPath, error);
    if (!resuming)
        if (const auto problem =
                DestinationCheck::forImage(destination, sourcePath, reader->size(), probe))
            return fail(problem->errorDescription());

    ProgressLine line;
    const auto started = std::chrono::steady_clock::now();
    DiskImager::RescueOptions options;
    options.map = mapPath;
    options.retries = args.retries;
    options.commandLine = "vellary-cli image " + sourcePath + " " + args.destination;
    options.isCancelled = [] { return interrupted(); };
    options.progress = [&](const RescueProgress& progress) {
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        line.show(progress.fraction(), progressText(progress, elapsed));
    };
    RescueProgress result;
    try {
        result = DiskImager::rescue(*reader, destination, options);
    } catch (const RecoverError& stop) {
        line.finish();
        if (stop.kind() == RecoverError::Case::cancelled ||
            stop.kind() == RecoverError::Case::deviceGone)
            return fail(std::string(stop.kind() == RecoverError::Case::cancelled
                                        ? "Stopped."
                                        : "The disk went away.") +
                        " What was copied is kept in " + destination.string() + " and " +
                        mapPath.string() + "; run the same command again to go on.");
        return fail(stop.errorDescription());
    }
    line.finish();
    if (result.resumed)
        std::printf("Went on from %s: %s had been copied before.\n", mapPath.c_str(),
                    ByteText::string(result.rescuedBefore).c_str());
    if (result.rescued + result.unreadable < result.bytesTotal ||
        result.bytesTotal < reader->size()) {
        std::fprintf(stderr,
                     "vellary-cli: The copy is incomplete: the source ended after %s of %s. %s "
                     "holds only what could be read.\n",
                     ByteText::string(result.rescued + result.unreadable).c_str(),
                     ByteText::string(reader->size()).c_str(), destination.c_str());
        return exitStatus::partly;
    }
    std::printf("Copied %s into %s.\n", ByteText::string(result.rescued).c_str(),
                destination.c_str());
    if (result.unreadable > 0) {
        std::printf("%s in %s couldn't be read and were written as zeros; %s lists them.\n",
                    ByteText::string(result.unreadable).c_str(), areasText(result.areas).c_str(),
                    mapPath.c_str());
        return exitStatus::partly;
    }
    return exitStatus::done;
}

} // namespace vellary::cli
