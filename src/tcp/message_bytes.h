// The buffers that hold what peers send: partial messages, the received
// messages waiting for the host, and sessions' read blocks.
#pragma once

#include <cstddef>
#include <new>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace wirekit::tcp {

// Buffers of at least this many bytes come straight from the system and go
// back to it when freed. From the heap, the memory of the large buffers a
// peer made the endpoint allocate and then lost would stay with the process
// (the heap keeps freed blocks for reuse), so that the memory actually held
// would be several times what the receive budget counts.
constexpr std::size_t LARGE_BUFFER_BYTES = 128 * 1024;

// A few freed large buffers are kept for the next request of the same size,
// at most LARGE_BUFFERS_KEPT_BYTES of them for the whole process (the oldest
// go first). Pages fresh from the system cost a fault each as they are first
// written, which for a stream of large messages (a new buffer for each, and
// the read blocks of sessions that come and go) costs far more than the
// bytes' decoding.
constexpr std::size_t LARGE_BUFFERS_KEPT_BYTES = 4 * 1024 * 1024;
// A kept buffer of exactly `bytes`, or null.
void* takeLargeBuffer(std::size_t bytes);
// Keeps `p` (of `bytes`) for reuse, or gives it back to the system.
void giveLargeBuffer(void* p, std::size_t bytes);
// Gives every kept buffer back to the system (the last endpoint has closed).
void releaseLargeBuffers();

template <typename T>
struct BufferAllocator {
    using value_type = T;
    BufferAllocator() = default;
    template <typename U>
    BufferAllocator(const BufferAllocator<U>&) {}

    T* allocate(std::size_t n) {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < LARGE_BUFFER_BYTES) return static_cast<T*>(::operator new(bytes));
        if (void* p = takeLargeBuffer(bytes)) return static_cast<T*>(p);
        if (void* p = platform::allocatePages(bytes)) return static_cast<T*>(p);
        throw std::bad_alloc();
    }
    void deallocate(T* p, std::size_t n) {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < LARGE_BUFFER_BYTES)
            ::operator delete(p);
        else
            giveLargeBuffer(p, bytes);
    }
    // resize() leaves new bytes as they are: they are always written
    // (received into) before they are read, and zeroing them would touch
    // every page for nothing.
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    template <typename U>
    bool operator==(const BufferAllocator<U>&) const {
        return true;
    }
    template <typename U>
    bool operator!=(const BufferAllocator<U>&) const {
        return false;
    }
};

using MessageBytes = std::vector<unsigned char, BufferAllocator<unsigned char>>;

}  // namespace wirekit::tcp
