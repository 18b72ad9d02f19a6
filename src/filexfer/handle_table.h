// Small positive integer handles for the file records the host names (send
// jobs and receive offers). Handles come from one counter of the library, so
// a handle is never reused while the process runs (until the counter wraps
// past INT_MAX), and a table per endpoint maps them to the live records. A
// freed record's handle simply finds nothing.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace wirekit::filexfer {

// The next handle: 1, 2, 3, ... shared by every table of the library.
int nextFileHandle();

template <typename T>
class HandleTable {
public:
    // Records `item` under a fresh handle and returns it.
    int add(std::shared_ptr<T> item) {
        const int handle = nextFileHandle();
        std::lock_guard<std::mutex> guard(lock_);
        items_[handle] = std::move(item);
        return handle;
    }
    // The live record of `handle`, or null (also for handles <= 0 and for
    // values that do not fit an int).
    std::shared_ptr<T> find(long handle) {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = items_.find(handle);
        return it == items_.end() ? nullptr : it->second;
    }
    void remove(int handle) {
        std::lock_guard<std::mutex> guard(lock_);
        items_.erase(handle);
    }
    // Removes every record and returns them.
    std::vector<std::shared_ptr<T>> takeAll() {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<std::shared_ptr<T>> out;
        for (auto& entry : items_) out.push_back(std::move(entry.second));
        items_.clear();
        return out;
    }

private:
    std::mutex lock_;
    std::map<long, std::shared_ptr<T>> items_;  // guarded by lock_
};

}  // namespace wirekit::filexfer
