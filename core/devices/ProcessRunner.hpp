#pragma once

#include <memory>
#include <string>
#include <vector>

namespace vellary {

// Runs the disk tools (lsblk, udisksctl) as child processes; tests put a fake behind it.
class ProcessRunner {
public:
    struct Outcome {
        bool started = false;
        int status = -1; // exit status; -1 when the child did not exit normally
        std::string output;
        bool succeeded() const { return started && status == 0; }
    };

    virtual ~ProcessRunner() = default;
    // Standard input and standard error go to the null device; standard output is captured.
    virtual Outcome run(const std::vector<std::string>& arguments) = 0;

    static std::shared_ptr<ProcessRunner> system();
};

} // namespace vellary
