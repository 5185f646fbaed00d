#pragma once

#include "core/io/BlockReader.hpp"

#include <memory>
#include <string>
#include <vector>

namespace vellary::cli {

using Args = std::vector<std::string>;

// Each sub-command takes the arguments after its name and returns the process exit status.
int runScan(const Args& args);
int runRecover(const Args& args);
int runImage(const Args& args);
int runDemoImage(const Args& args);
int runDevices(const Args& args);

// An image file as openSource does; a block device only when the disk catalog offers it.
std::shared_ptr<BlockReader> openScanSource(const std::string& path);

} // namespace vellary::cli
