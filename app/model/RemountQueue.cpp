#include "app/model/RemountQueue.hpp"

#include <chrono>
#include <map>
#include <mutex>
#include <vector>

namespace vellary {
namespace {

std::mutex mutex;
std::multimap<std::string, std::shared_future<void>> running;

bool ready(const std::shared_future<void>& future) {
    return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

void dropFinished() {
    for (auto it = running.begin(); it != running.end();)
        it = ready(it->second) ? running.erase(it) : std::next(it);
}

} // namespace

void RemountQueue::add(const std::string& deviceID, std::shared_future<void> remount) {
    const std::lock_guard lock(mutex);
    dropFinished();
    running.emplace(deviceID, std::move(remount));
}

void RemountQueue::waitFor(const std::string& deviceID) {
    std::vector<std::shared_future<void>> waits;
    {
        const std::lock_guard lock(mutex);
        const auto [first, last] = running.equal_range(deviceID);
        for (auto it = first; it != last; ++it)
            waits.push_back(it->second);
    }
    for (const auto& future : waits)
        future.wait();
    const std::lock_guard lock(mutex);
    dropFinished();
}

bool RemountQueue::pending(const std::string& deviceID) {
    const std::lock_guard lock(mutex);
    dropFinished();
    return running.count(deviceID) != 0;
}

} // namespace vellary
