#include "cli/Commands.hpp"
#include "cli/Terminal.hpp"

#include <cstdio>
#include <exception>

namespace {

constexpr const char* kUsage =
    "usage: vellary-cli <command> [arguments]\n"
    "\n"
    "  scan IMAGE|DISK [--deep] [--category photo,raw,...] [--json]\n"
    "      list the deleted files found on a disk or disk image\n"
    "  recover IMAGE DEST [--id ID ...] [--category ...] [--flat] [--deep]\n"
    "      scan, then save the chosen files (all by default) into DEST\n"
    "  image SOURCE OUT.img\n"
    "      copy a disk or image byte for byte, unreadable sectors as zeros\n"
    "  demo-image OUT.img\n"
    "      write a small FAT32 disk image holding a few deleted photos\n"
    "  devices [--json]\n"
    "      list the disks that may be scanned (never the system's own)\n";

} // namespace

int main(int argc, char** argv) {
    using namespace vellary::cli;
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string command = argv[1];
    const Args args(argv + 2, argv + argc);
    try {
        if (command == "scan") return runScan(args);
        if (command == "recover") return runRecover(args);
        if (command == "image") return runImage(args);
        if (command == "demo-image") return runDemoImage(args);
        if (command == "devices") return runDevices(args);
        if (command == "--help" || command == "-h" || command == "help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
    } catch (const std::exception& error) {
        return fail(error.what());
    }
    std::fputs(kUsage, stderr);
    return 2;
}
