#pragma once

#include "core/io/BlockReader.hpp"

#include <memory>
#include <string>
#include <vector>

namespace vellary::cli {

// What the process tells its caller.
namespace exitStatus {
constexpr int done = 0;
constexpr int failed = 1;
constexpr int usage = 2;
// Everything ran, but some files could not be saved or are incomplete, or some bytes could not
// be read.
constexpr int partly = 3;
} // namespace exitStatus

struct ScanArgs {
    std::string source;
    bool deep = false;
    bool json = false;
    std::vector<std::string> categories;
    std::string map;
};

struct RecoverArgs {
    std::string source;
    std::string destination;
    std::vector<std::string> ids;
    std::vector<std::string> categories;
    bool flat = false;
    bool deep = false;
    std::string map;
};

struct ImageArgs {
    std::string source;
    std::string destination;
    std::string map;
    int retries = 1;
};

struct DemoImageArgs {
    std::string destination;
};

struct DevicesArgs {
    bool json = false;
};

// Each command returns the process exit status.
int runScan(const ScanArgs& args);
int runRecover(const RecoverArgs& args);
int runImage(const ImageArgs& args);
int runDemoImage(const DemoImageArgs& args);
int runDevices(const DevicesArgs& args);

// An image file as openSource does; a block device only when the disk catalog offers it.
std::shared_ptr<BlockReader> openScanSource(const std::string& path);

} // namespace vellary::cli
