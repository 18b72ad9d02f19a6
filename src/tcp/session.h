// One accepted connection of a TCP endpoint and the loop that serves it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "net/stream_socket.h"
#include "platform/platform.h"

namespace wirekit::tcp {

class TcpEndpoint;

// A session waits for input and reads its first bytes in one call, into a
// small block on its own stack (small, so that a waiting session's stack
// reaches no deeper than it would without it). While reads fill their block
// (a stream is under way) it reads on without waiting, up to the largest
// size per read, into a block that it allocates for this and gives back
// whenever it waits again, so that an idle session holds none.
constexpr std::size_t SESSION_FIRST_READ_BYTES = 512;
constexpr std::size_t SESSION_BLOCK_MIN_BYTES = 4 * 1024;
constexpr std::size_t SESSION_BLOCK_MAX_BYTES = 256 * 1024;

// A session lives on its own thread from the accept to the end of its
// connection. The endpoint's map refers to it by socket number; host threads
// may hold a reference to it for the length of an export (a server-form send
// or disconnect), which is why its connection is closed only after those
// uses have ended (StreamSocket::disconnect waits for them). Sessions are
// made with make_shared, so the file side may keep a shared_from_this()
// reference (to wake a waiting session from a host thread, say).
//
// Locks: waitLock_ guards wakeup_ and serves waitUntil()/wake(): what a
// waiter looks at are atomics, and taking the lock in wake() orders a
// wake-up after the waiter's last look. It is taken under no other lock of
// the session. The connection has its own (see StreamSocket).
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(TcpEndpoint& endpoint, platform::Socket socket, std::string peerAddress);

    // The connection (taken over with attach() when the session starts).
    net::StreamSocket& socket() { return socket_; }
    // The accepted socket's number, as reported with 3015; it does not change
    // when the connection is closed.
    platform::Socket socketNumber() const { return socketNumber_; }
    // The peer's dotted IPv4 address.
    const std::string& peerAddress() const { return peerAddress_; }
    // Valid while the session's thread runs (that thread keeps it alive).
    TcpEndpoint& endpoint() const { return endpoint_; }

    // Raises an event of the endpoint unless the endpoint is closing.
    bool raise(int code, int param);

    // Set by Close_Tcp, the server-form DisConnect_Tcp and the receive
    // budget: the session is to end. The connection has then been shut down
    // (reads fail at once) and every waitUntil() returns. Whoever asks
    // wakes the endpoint's receive budget afterwards, unless it is the
    // budget itself.
    bool stopRequested() const { return stop_.load(); }
    void requestStop(bool bothDirections);

    // How a waitUntil() ended.
    enum class WaitEnd {
        Ready,     // ready() held
        Stopped,   // a stop was requested
        PeerGone,  // the connection ended or failed
        TimedOut,  // timeoutMs passed
    };
    // Waits until `ready()` holds, a stop is requested, the peer goes, or
    // timeoutMs passes (negative: no limit). The connection is watched
    // meanwhile: its end or a failure (a reset) ends the wait at once. Bytes
    // the peer sends meanwhile stay unread; once some wait, only a failure
    // of the connection is noticed until the wait ends (an orderly end
    // behind them is the reader's to find). `ready` should only read
    // atomics; whoever changes what it looks at calls wake() afterwards, and
    // a wake() between the change and the wait is not lost. Only the
    // session's own thread waits.
    WaitEnd waitUntil(const std::function<bool()>& ready, int timeoutMs = -1);
    void wake();

private:
    TcpEndpoint& endpoint_;
    const platform::Socket socketNumber_;
    const std::string peerAddress_;
    net::StreamSocket socket_;
    std::atomic<bool> stop_{false};
    std::mutex waitLock_;
    std::condition_variable woken_;
    // What ends a wait early; made at the first wait (an idle session keeps
    // no descriptor for it). guarded by waitLock_.
    std::unique_ptr<platform::Wakeup, platform::WakeupDeleter> wakeup_;
};

// The body of an accepted connection's thread: takes over the socket, joins
// the endpoint's map, raises 3015, decodes messages (3002) until the
// connection fails, times out or is stopped (3999), hands an offer header to
// the file side, and cleans up: leaves the map, then closes the connection.
void runSession(std::shared_ptr<TcpEndpoint> endpoint, platform::Socket socket,
                const std::string& peerAddress);

}  // namespace wirekit::tcp
