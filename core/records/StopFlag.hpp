#pragma once

#include <mutex>

namespace vellary {

// Set once to stop a scan or job; polled from the worker, set from the main thread. Never reset:
// a new run needs a new flag.
class StopFlag {
public:
    void set() {
        const std::lock_guard lock(mutex_);
        value_ = true;
    }
    bool isSet() const {
        const std::lock_guard lock(mutex_);
        return value_;
    }

private:
    mutable std::mutex mutex_;
    bool value_ = false;
};

} // namespace vellary
