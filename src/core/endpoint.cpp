#include "core/endpoint.h"

namespace wirekit::core {

void Endpoint::close() {
    if (closed_.exchange(true)) return;
    gate_.close();
    threads_.close();
    stopActivity();
    gate_.waitForOthers();
    if (threads_.isMember()) return;
    threads_.waitIdle();
    releaseResources();
}

bool Endpoint::startThread(std::function<void()> fn) {
    if (!fn || gate_.closed()) return false;
    std::shared_ptr<Endpoint> self = shared_from_this();
    return threads_.start([self = std::move(self), fn = std::move(fn)] { fn(); });
}

}  // namespace wirekit::core
