#include "tcp/message_bytes.h"

#include <algorithm>
#include <mutex>

namespace wirekit::tcp {

namespace {

class KeptBuffers {
public:
    // Never destroyed: a session thread of a host that exits without closing
    // its endpoints may still free a buffer.
    static KeptBuffers& instance() {
        static KeptBuffers* kept = new KeptBuffers;
        return *kept;
    }

    void* take(std::size_t bytes) {
        std::lock_guard<std::mutex> guard(lock_);
        for (std::size_t i = count_; i-- > 0;) {
            if (entries_[i].bytes != bytes) continue;
            void* p = entries_[i].p;
            remove(i);
            return p;
        }
        return nullptr;
    }

    void give(void* p, std::size_t bytes) {
        if (!p) return;
        if (bytes > LARGE_BUFFERS_KEPT_BYTES) {
            platform::freePages(p, bytes);
            return;
        }
        Entry dropped[MAX_ENTRIES];
        std::size_t droppedCount = 0;
        {
            std::lock_guard<std::mutex> guard(lock_);
            while (count_ > 0 &&
                   (count_ == MAX_ENTRIES || total_ + bytes > LARGE_BUFFERS_KEPT_BYTES)) {
                dropped[droppedCount++] = entries_[0];
                remove(0);
            }
            entries_[count_++] = {p, bytes};
            total_ += bytes;
        }
        freeAll(dropped, droppedCount);
    }

    void releaseAll() {
        Entry dropped[MAX_ENTRIES];
        std::size_t droppedCount = 0;
        {
            std::lock_guard<std::mutex> guard(lock_);
            std::copy(entries_, entries_ + count_, dropped);
            droppedCount = count_;
            count_ = 0;
            total_ = 0;
        }
        freeAll(dropped, droppedCount);
    }

private:
    static constexpr std::size_t MAX_ENTRIES = 8;
    struct Entry {
        void* p;
        std::size_t bytes;
    };

    // Called outside the lock: unmapping can take a while.
    static void freeAll(const Entry* entries, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) platform::freePages(entries[i].p, entries[i].bytes);
    }

    void remove(std::size_t i) {
        total_ -= entries_[i].bytes;
        for (std::size_t j = i + 1; j < count_; ++j) entries_[j - 1] = entries_[j];
        --count_;
    }

    std::mutex lock_;
    Entry entries_[MAX_ENTRIES] = {};  // oldest first; guarded by lock_
    std::size_t count_ = 0;            // guarded by lock_
    std::size_t total_ = 0;            // guarded by lock_
};

}  // namespace

void* takeLargeBuffer(std::size_t bytes) { return KeptBuffers::instance().take(bytes); }

void giveLargeBuffer(void* p, std::size_t bytes) { KeptBuffers::instance().give(p, bytes); }

void releaseLargeBuffers() { KeptBuffers::instance().releaseAll(); }

}  // namespace wirekit::tcp
