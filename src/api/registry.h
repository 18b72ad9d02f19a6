// The endpoint registry: turns the handles that Init_Udp and Init_Tcp issue
// into endpoint objects.
//
// Handles are the numbers 1, 2, 3, ... from one counter shared by both kinds,
// carried in a void*; a number is never issued twice while the library is
// loaded. The registry holds one socket-library reference while at least one
// endpoint is registered. A TCP endpoint is registered together with its file
// side, which the file exports use.
//
// Locks: lock_ guards the map and the counter. It is held only for the map's
// own work, never while an endpoint closes (its callbacks may call other
// exports). find*() hands out shared references, so a close on one thread
// cannot free an endpoint that another thread is inside.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace wirekit::core {
class Endpoint;
}
namespace wirekit::udp {
class UdpEndpoint;
}
namespace wirekit::tcp {
class TcpEndpoint;
}
namespace wirekit::filexfer {
class FileSide;
}

namespace wirekit::api {

// The value Init_Udp and Init_Tcp return when no handle could be issued.
inline void* const FAILED_HANDLE = reinterpret_cast<void*>(static_cast<std::intptr_t>(-1));

// A TCP endpoint and its file side, as the exports find them.
struct TcpEntry {
    std::shared_ptr<tcp::TcpEndpoint> tcp;
    std::shared_ptr<filexfer::FileSide> files;
    explicit operator bool() const { return tcp != nullptr; }
};

class EndpointRegistry {
public:
    static EndpointRegistry& instance();

    // Issue the next number for the endpoint. FAILED_HANDLE, registering
    // nothing, when the socket library cannot be started or the numbers are
    // used up.
    void* addUdp(std::shared_ptr<udp::UdpEndpoint> endpoint);
    void* addTcp(TcpEntry entry);

    // The endpoint of that kind behind the handle, or null.
    std::shared_ptr<udp::UdpEndpoint> findUdp(void* handle);
    TcpEntry findTcp(void* handle);

    // Retires the handle (of either kind): 1 when it named an endpoint, which
    // is then closed; 0 otherwise.
    int remove(void* handle);

    // Endpoints registered now (tests).
    std::size_t size();

private:
    struct Entry {
        std::shared_ptr<udp::UdpEndpoint> udp;
        TcpEntry tcp;
    };
    void* add(Entry entry);

    std::mutex lock_;
    std::uint32_t lastHandle_ = 0;                        // guarded by lock_
    std::unordered_map<std::uint32_t, Entry> endpoints_;  // guarded by lock_
};

}  // namespace wirekit::api
