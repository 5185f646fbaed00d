#pragma once

#include "tests/support/Tools.hpp"

#include <cstdlib>
#include <sys/wait.h>
#include <utility>
#include <vector>

namespace vellary::testing {

struct CliOutcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Quotes one argument for the shell.
inline std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

#ifdef VELLARY_CLI
// Runs the vellary-cli built with the tests, with already quoted arguments and extra environment.
inline CliOutcome runCli(const std::string& arguments,
                         const std::vector<std::pair<std::string, std::string>>& env = {}) {
    const TempDir scratch;
    std::string command = "env";
    for (const auto& [name, value] : env)
        command += " " + name + "=" + shellQuote(value);
    const int status = std::system((command + " " + shellQuote(VELLARY_CLI) + " " + arguments +
                                    " >" + shellQuote((scratch / "out").string()) + " 2>" +
                                    shellQuote((scratch / "err").string()))
                                       .c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(scratch / "out"),
            readFile(scratch / "err")};
}
#endif

} // namespace vellary::testing
