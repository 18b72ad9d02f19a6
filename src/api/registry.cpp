#include "api/registry.h"

#include "filexfer/file_side.h"
#include "platform/platform.h"
#include "tcp/message_bytes.h"
#include "tcp/tcp_endpoint.h"
#include "udp/udp_endpoint.h"

namespace wirekit::api {

namespace {
// The number carried by a handle, or 0 when it cannot be one.
std::uint32_t handleNumber(void* handle) {
    auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (value == 0 || value > 0xFFFFFFFFu) return 0;
    return static_cast<std::uint32_t>(value);
}
}  // namespace

EndpointRegistry& EndpointRegistry::instance() {
    // Never destroyed: endpoints a host failed to close may still have
    // threads running when the library is unloaded.
    static auto* registry = new EndpointRegistry;
    return *registry;
}

void* EndpointRegistry::add(Entry entry) {
    std::lock_guard<std::mutex> guard(lock_);
    // 0xFFFFFFFF would read as the failure value on a 32-bit host.
    if (lastHandle_ == 0xFFFFFFFEu) return FAILED_HANDLE;
    if (endpoints_.empty() && platform::netStartup() != 0) return FAILED_HANDLE;
    std::uint32_t number = lastHandle_ + 1;
    try {
        endpoints_.emplace(number, std::move(entry));
    } catch (...) {
        if (endpoints_.empty()) platform::netCleanup();
        throw;
    }
    lastHandle_ = number;
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(number));
}

void* EndpointRegistry::addUdp(std::shared_ptr<udp::UdpEndpoint> endpoint) {
    if (!endpoint) return FAILED_HANDLE;
    return add(Entry{std::move(endpoint), TcpEntry{}});
}

void* EndpointRegistry::addTcp(TcpEntry entry) {
    if (!entry.tcp || !entry.files) return FAILED_HANDLE;
    return add(Entry{nullptr, std::move(entry)});
}

std::shared_ptr<udp::UdpEndpoint> EndpointRegistry::findUdp(void* handle) {
    std::uint32_t number = handleNumber(handle);
    if (number == 0) return nullptr;
    std::lock_guard<std::mutex> guard(lock_);
    auto it = endpoints_.find(number);
    return it == endpoints_.end() ? nullptr : it->second.udp;
}

TcpEntry EndpointRegistry::findTcp(void* handle) {
    std::uint32_t number = handleNumber(handle);
    if (number == 0) return {};
    std::lock_guard<std::mutex> guard(lock_);
    auto it = endpoints_.find(number);
    return it == endpoints_.end() ? TcpEntry{} : it->second.tcp;
}

int EndpointRegistry::remove(void* handle) {
    std::uint32_t number = handleNumber(handle);
    if (number == 0) return 0;
    Entry entry;
    bool emptied = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = endpoints_.find(number);
        if (it == endpoints_.end()) return 0;
        entry = std::move(it->second);
        endpoints_.erase(it);
        emptied = endpoints_.empty();
    }
    // Closing waits for the endpoint's threads, so it runs outside the lock:
    // their callbacks may call other exports.
    if (entry.udp) entry.udp->close();
    if (entry.tcp) entry.tcp.tcp->close();
    entry = Entry{};
    if (emptied) {
        platform::netCleanup();
        // No endpoint is left to reuse the large buffers kept for it.
        tcp::releaseLargeBuffers();
    }
    return 1;
}

std::size_t EndpointRegistry::size() {
    std::lock_guard<std::mutex> guard(lock_);
    return endpoints_.size();
}

}  // namespace wirekit::api
