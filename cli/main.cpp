#include "cli/Arguments.hpp"
#include "cli/Commands.hpp"
#include "cli/Terminal.hpp"

#include "core/records/RecoverError.hpp"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <map>

namespace {

using namespace vellary::cli;

const std::map<std::string, std::string> kUsage = {
    {"", "usage: vellary-cli <scan|recover|image|demo-image|devices> [options] (see --help)"},
    {"scan", "usage: vellary-cli scan SOURCE [--deep] [--category LIST] [--map PATH] [--json]"},
    {"recover", "usage: vellary-cli recover SOURCE DEST [--id ID]... [--category LIST] [--flat] "
                "[--deep] [--map PATH]"},
    {"image", "usage: vellary-cli image SOURCE OUT.img [--map PATH] [--retries N]"},
    {"demo-image", "usage: vellary-cli demo-image OUT.img"},
    {"devices", "usage: vellary-cli devices [--json]"},
};

const std::string& usageFor(const std::string& command) {
    const auto it = kUsage.find(command);
    return it == kUsage.end() ? kUsage.at("") : it->second;
}

// Category names are checked while parsing, so a misspelt one is a usage error like any other.
const CLI::Validator kCategories(
    [](std::string& value) -> std::string {
        try {
            parseCategories(value);
        } catch (const vellary::RecoverError& error) {
            return error.errorDescription();
        }
        return {};
    },
    "LIST");

} // namespace

int main(int argc, char** argv) {
    CLI::App app("Brings back deleted photos, videos, audio and documents from disks and disk "
                 "images. Exit status: 0 done, 1 failed or stopped, 2 bad arguments, 3 done "
                 "except some files or bytes that could not be saved or read.",
                 "vellary-cli");
    app.require_subcommand(1);

    ScanArgs scan;
    auto* scanCommand =
        app.add_subcommand("scan", "list the deleted files found on a disk or disk image");
    scanCommand->add_option("SOURCE", scan.source, "disk or disk image")->required();
    scanCommand->add_flag("--deep", scan.deep, "also search the contents for files");
    scanCommand->add_option("--category", scan.categories, "only these kinds: photo,raw,video,...")
        ->delimiter(',')
        ->allow_extra_args(false)
        ->check(kCategories);
    scanCommand->add_option("--map", scan.map,
                            "the map of unreadable areas (default: SOURCE.map when there)");
    scanCommand->add_flag("--json", scan.json, "print JSON instead of a table");

    RecoverArgs recover;
    auto* recoverCommand = app.add_subcommand(
        "recover", "scan, then save the chosen files (all by default) into a folder");
    recoverCommand->add_option("SOURCE", recover.source, "disk or disk image")->required();
    recoverCommand->add_option("DEST", recover.destination, "folder to save into")->required();
    recoverCommand->add_option("--id", recover.ids, "a file to save, as scan --json names it")
        ->delimiter(',')
        ->allow_extra_args(false);
    recoverCommand->add_option("--category", recover.categories, "only these kinds")
        ->delimiter(',')
        ->allow_extra_args(false)
        ->check(kCategories);
    recoverCommand->add_flag("--flat", recover.flat, "save every file directly into DEST");
    recoverCommand->add_flag("--deep", recover.deep, "also search the contents for files");
    recoverCommand->add_option("--map", recover.map,
                               "the map of unreadable areas (default: SOURCE.map when there)");

    ImageArgs image;
    auto* imageCommand = app.add_subcommand(
        "image", "copy a disk byte for byte into an image, unreadable sectors as zeros; run "
                 "again to go on from its map");
    imageCommand->add_option("SOURCE", image.source, "disk or disk image to copy")->required();
    imageCommand->add_option("OUT", image.destination, "the image to make")->required();
    imageCommand->add_option("--map", image.map,
                             "where to keep the map of what was read (default: OUT.map)");
    imageCommand->add_option("--retries", image.retries, "rereads of unreadable sectors")
        ->check(CLI::Range(0, 100));

    DemoImageArgs demo;
    auto* demoCommand = app.add_subcommand(
        "demo-image", "write a small FAT32 disk image holding a few deleted photos");
    demoCommand->add_option("OUT", demo.destination, "the image to make")->required();

    DevicesArgs devices;
    auto* devicesCommand =
        app.add_subcommand("devices", "list the disks that may be scanned (never the system's)");
    devicesCommand->add_flag("--json", devices.json, "print JSON instead of a table");

    if (argc > 1 && argv[1][0] != '-' && kUsage.count(argv[1]) == 0) {
        std::fprintf(stderr, "vellary-cli: unknown command %s\n%s\n", argv[1],
                     usageFor("").c_str());
        return exitStatus::usage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0) return app.exit(error);
        const std::string command = argc > 1 ? argv[1] : "";
        std::fprintf(stderr, "vellary-cli: %s\n%s\n", error.what(), usageFor(command).c_str());
        return exitStatus::usage;
    }

    try {
        if (*scanCommand) return runScan(scan);
        if (*recoverCommand) return runRecover(recover);
        if (*imageCommand) return runImage(image);
        if (*demoCommand) return runDemoImage(demo);
        if (*devicesCommand) return runDevices(devices);
    } catch (const vellary::RecoverError& error) {
        return fail(error.errorDescription());
    } catch (const std::exception& error) {
        return fail(error.what());
    }
    return exitStatus::usage;
}
