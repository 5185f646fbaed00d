#include "cli/Commands.hpp"
#include "cli/Terminal.hpp"

namespace vellary::cli {

int runImage(const Args&) {
    return fail("image is not available yet.");
}

} // namespace vellary::cli
