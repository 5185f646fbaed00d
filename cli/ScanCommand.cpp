#include "cli/Commands.hpp"
#include "cli/Terminal.hpp"

namespace vellary::cli {

int runScan(const Args&) { return fail("scan is not available yet."); }

} // namespace vellary::cli
