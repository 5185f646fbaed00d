#include "cli/Commands.hpp"
#include "cli/Terminal.hpp"

namespace vellary::cli {

int runRecover(const Args&) {
    return fail("recover is not available yet.");
}

} // namespace vellary::cli
