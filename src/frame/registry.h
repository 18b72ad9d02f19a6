// The endpoint registry: turns the handles that Init_Udp and Init_Tcp issue
// into endpoint objects.
//
// Handles are the numbers 1, 2, 3, ... from one counter shared by both kinds,
// carried in a void*; a number is never issued twice while the library is
// loaded. The registry holds one socket-library reference while at least one
// endpoint is registered. It is safe to call from several host threads: the
// maps are guarded by a lock, and find() hands out a shared reference, so a
// close on one thread cannot free an endpoint that another thread is inside.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace wirekit {

// What every endpoint kind provides to the registry.
class Endpoint {
public:
    virtual ~Endpoint() = default;
    // The endpoint's full shutdown, run once by the registry when the handle
    // is retired: stop every thread, close every socket, and make sure no
    // callback starts after this returns. Called from one of the endpoint's
    // own threads (a close inside its callback) it must not wait for that
    // thread; the memory is then released when the last reference goes.
    virtual void close() = 0;
};

enum class EndpointKind { Udp, Tcp };

// The value Init_Udp and Init_Tcp return when no handle could be issued.
inline void* const FAILED_HANDLE = reinterpret_cast<void*>(static_cast<std::intptr_t>(-1));

class EndpointRegistry {
public:
    static EndpointRegistry& instance();

    // Issues the next number for the endpoint. Returns FAILED_HANDLE, and
    // registers nothing, when the socket library cannot be started.
    void* add(EndpointKind kind, std::shared_ptr<Endpoint> endpoint);

    // The endpoint of that kind behind the handle, or null.
    std::shared_ptr<Endpoint> find(void* handle, EndpointKind kind);

    template <typename T>
    std::shared_ptr<T> findAs(void* handle, EndpointKind kind) {
        return std::static_pointer_cast<T>(find(handle, kind));
    }

    // Retires the handle (of either kind): 1 when it named an endpoint, which
    // is then closed; 0 otherwise.
    int remove(void* handle);

    std::uint32_t lastHandle();
    std::size_t size();

private:
    struct Entry {
        EndpointKind kind;
        std::shared_ptr<Endpoint> endpoint;
    };

    std::mutex lock_;
    std::uint32_t lastHandle_ = 0;
    std::unordered_map<std::uint32_t, Entry> endpoints_;
};

// The number carried by a handle, or 0 when it cannot be one.
std::uint32_t handleNumber(void* handle);

}  // namespace wirekit
