#include "cli/Commands.hpp"
#include "cli/Terminal.hpp"

namespace vellary::cli {

int runDemoImage(const Args&) { return fail("demo-image is not available yet."); }

} // namespace vellary::cli
