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

constexpr const char* kUsage = "usage: vellary-cli image SOURCE OUT.img";
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

std::string progressText(const DiskImager::Progress& progress, double elapsed) {
    std::string text =
        ByteText::string(progress.bytesDone) + " of " + ByteText::string(progress.bytesTotal);
    if (progress.unreadable > 0)
        text += ", " + ByteText::string(progress.unreadable) + " unreadable";
    if (elapsed > kSettleSeconds && progress.bytesDone > 0 &&
        progress.bytesDone < progress.bytesTotal) {
        const double rate = static_cast<double>(progress.bytesDone) / elapsed;
        text +=
            ", " + inWords(static_cast<double>(progress.bytesTotal - progress.bytesDone) / rate);
    }
    return text;
}

} // namespace

int runImage(const Args& args) {
    for (const auto& arg : args)
        if (arg.starts_with("--")) {
            fail("Unknown option " + arg + ".");
            std::fprintf(stderr, "%s\n", kUsage);
            return 2;
        }
    if (args.size() != 2) {
        fail("image needs a source disk or image and the name of the copy to make.");
        std::fprintf(stderr, "%s\n", kUsage);
        return 2;
    }
    const std::string& sourcePath = args[0];
    const std::filesystem::path destination = args[1];
    installInterruptFlag();
    const auto& probe = DestinationCheck::system();
    if (DestinationCheck::onSource(
            destination.parent_path().empty() ? "." : destination.parent_path(), sourcePath, probe))
        return fail(RecoverError::destinationOnSource().errorDescription());
    const auto reader = openSource(sourcePath);
    if (const auto problem =
            DestinationCheck::forImage(destination, sourcePath, reader->size(), probe))
        return fail(problem->errorDescription());

    ProgressLine line;
    const auto started = std::chrono::steady_clock::now();
    DiskImager::Progress result;
    try {
        result = DiskImager::copy(
            *reader, destination,
            [&](const DiskImager::Progress& progress) {
                const double elapsed =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - started)
                        .count();
                line.show(progress.fraction(), progressText(progress, elapsed));
            },
            [] { return interrupted(); });
    } catch (const RecoverError& error) {
        line.finish();
        if (error.kind() == RecoverError::Case::cancelled)
            return fail("Stopped. The partial copy was removed.");
        return fail(error.errorDescription());
    }
    line.finish();
    if (!result.complete()) {
        std::fprintf(stderr,
                     "vellary-cli: The copy is incomplete: the source ended after %s of %s. %s "
                     "holds only what could be read.\n",
                     ByteText::string(result.bytesDone).c_str(),
                     ByteText::string(result.bytesTotal).c_str(), destination.c_str());
        return 1;
    }
    std::printf("Copied %s into %s.\n", ByteText::string(result.bytesDone).c_str(),
                destination.c_str());
    if (result.unreadable > 0)
        std::printf("%s couldn't be read and were written as zeros.\n",
                    ByteText::string(result.unreadable).c_str());
    return 0;
}

} // namespace vellary::cli
