#pragma once

#include <string>
#include <vector>

namespace vellary::cli {

using Args = std::vector<std::string>;

// Each sub-command takes the arguments after its name and returns the process exit status.
int runScan(const Args& args);
int runRecover(const Args& args);
int runImage(const Args& args);
int runDemoImage(const Args& args);

} // namespace vellary::cli
