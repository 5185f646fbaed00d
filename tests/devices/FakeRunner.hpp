#pragma once

#include "core/devices/ProcessRunner.hpp"

#include <functional>
#include <string>
#include <vector>

namespace vellary::testing {

// Answers lsblk with recorded output and udisksctl by a rule; remembers every call.
class FakeRunner : public ProcessRunner {
public:
    std::string listing;
    int listingStatus = 0;
    // Decides the exit status of a udisksctl call from its verb and node.
    std::function<int(const std::string& verb, const std::string& node)> udisks =
        [](const std::string&, const std::string&) { return 0; };
    std::vector<std::string> calls; // "verb node" for udisksctl, "lsblk" for the listing

    Outcome run(const std::vector<std::string>& arguments) override {
        if (arguments.at(0) == "lsblk") {
            calls.push_back("lsblk");
            return {true, listingStatus, listing};
        }
        std::string joined;
        for (const auto& a : arguments)
            joined += (joined.empty() ? "" : " ") + a;
        if (joined.find("force") != std::string::npos) calls.push_back("FORCED");
        const auto& verb = arguments.at(1);
        const auto& node = arguments.back();
        calls.push_back(verb + " " + node);
        return {true, udisks(verb, node), ""};
    }
};

} // namespace vellary::testing
