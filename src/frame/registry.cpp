#include "frame/registry.h"

#include "frame/platform.h"

namespace wirekit {

std::uint32_t handleNumber(void* handle) {
    auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (value == 0 || value > 0xFFFFFFFFu) return 0;
    return static_cast<std::uint32_t>(value);
}

EndpointRegistry& EndpointRegistry::instance() {
    // Never destroyed: endpoints a host failed to close may still have
    // threads running when the library is unloaded.
    static auto* registry = new EndpointRegistry;
    return *registry;
}

void* EndpointRegistry::add(EndpointKind kind, std::shared_ptr<Endpoint> endpoint) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!endpoint || lastHandle_ == 0xFFFFFFFEu) return FAILED_HANDLE;
    if (endpoints_.empty() && platform::netStartup() != 0) return FAILED_HANDLE;
    std::uint32_t number = ++lastHandle_;
    endpoints_.emplace(number, Entry{kind, std::move(endpoint)});
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(number));
}

std::shared_ptr<Endpoint> EndpointRegistry::find(void* handle, EndpointKind kind) {
    std::uint32_t number = handleNumber(handle);
    if (number == 0) return nullptr;
    std::lock_guard<std::mutex> guard(lock_);
    auto it = endpoints_.find(number);
    if (it == endpoints_.end() || it->second.kind != kind) return nullptr;
    return it->second.endpoint;
}

int EndpointRegistry::remove(void* handle) {
    std::uint32_t number = handleNumber(handle);
    if (number == 0) return 0;
    std::shared_ptr<Endpoint> endpoint;
    bool emptied = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = endpoints_.find(number);
        if (it == endpoints_.end()) return 0;
        endpoint = std::move(it->second.endpoint);
        endpoints_.erase(it);
        emptied = endpoints_.empty();
    }
    // Closing waits for the endpoint's threads, so it runs outside the lock:
    // their callbacks may call other exports.
    endpoint->close();
    endpoint.reset();
    if (emptied) platform::netCleanup();
    return 1;
}

std::uint32_t EndpointRegistry::lastHandle() {
    std::lock_guard<std::mutex> guard(lock_);
    return lastHandle_;
}

std::size_t EndpointRegistry::size() {
    std::lock_guard<std::mutex> guard(lock_);
    return endpoints_.size();
}

}  // namespace wirekit
