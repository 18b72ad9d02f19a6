#include "filexfer/handle_table.h"

#include <atomic>
#include <climits>

namespace wirekit::filexfer {

int nextFileHandle() {
    static std::atomic<int> counter{0};
    int current = counter.load();
    int next;
    do {
        next = current == INT_MAX ? 1 : current + 1;
    } while (!counter.compare_exchange_weak(current, next));
    return next;
}

}  // namespace wirekit::filexfer
