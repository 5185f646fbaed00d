#include "tests/support/CliRun.hpp"

#include "tests/support/Tools.hpp"

#include <cstdlib>
#include <sys/wait.h>

namespace vellary::testing {

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

CliOutcome runProgram(const std::string& program, const std::string& arguments) {
    const TempDir scratch;
    const auto out = scratch / "stdout";
    const auto err = scratch / "stderr";
    const std::string command = shellQuote(program) + " " + arguments + " >" +
                                shellQuote(out.string()) + " 2>" + shellQuote(err.string());
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(out), readFile(err)};
}

} // namespace vellary::testing
