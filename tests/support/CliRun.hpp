#pragma once

#include <string>

namespace vellary::testing {

struct CliOutcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a program with already quoted arguments, capturing both output streams.
CliOutcome runProgram(const std::string& program, const std::string& arguments);
#ifdef VELLARY_CLI
// The vellary-cli binary built with the tests.
inline CliOutcome runCli(const std::string& arguments) {
    return runProgram(VELLARY_CLI, arguments);
}
#endif
// Quotes one argument for the shell.
std::string shellQuote(const std::string& text);

} // namespace vellary::testing
