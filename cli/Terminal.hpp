#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vellary::cli {

// Ctrl-C sets a flag instead of killing the process, so scans and copies end cleanly.
void installInterruptFlag();
bool interrupted();

// A one-line progress bar on stderr, drawn only when stderr is a terminal.
class ProgressLine {
public:
    ProgressLine();
    // fraction absent: indeterminate.
    void show(std::optional<double> fraction, const std::string& text);
    void finish();

private:
    bool enabled_;
    bool drawn_ = false;
};

// Prints "vellary-cli: <message>" on stderr; returns 1 for `return fail(...)`.
int fail(const std::string& message);

} // namespace vellary::cli
