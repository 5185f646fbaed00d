#pragma once

#include <future>
#include <string>

namespace vellary {

// Remounts still running in the background for closed sessions. Opening the same disk again
// waits for them, so the new scan's unmount does not race the old session's mount.
class RemountQueue {
public:
    static void add(const std::string& deviceID, std::shared_future<void> remount);
    // Blocks until every remount of that disk has finished.
    static void waitFor(const std::string& deviceID);
    static bool pending(const std::string& deviceID);
};

} // namespace vellary
