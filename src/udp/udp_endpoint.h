// The UDP endpoint behind a handle from Init_Udp: reliable messaging by
// stop-and-wait over two datagram sockets.
//
// Sending. Messages wait in a send queue; only the first message is ever in
// flight. It is transmitted when it becomes the first, again whenever the
// sender thread is woken by anything but a queued acknowledgement (a new
// message, a stop), and again once the re-send interval has passed since its
// last transmission, until an acknowledgement with its sequence number
// arrives. Acknowledgements go out ahead of every message. In broadcast mode
// each message is transmitted once and dropped; nothing is acknowledged.
//
// Receiving. The receive thread waits for the receive socket to be readable,
// reads one whole datagram per read, and files new messages in the receive
// queue (at most 101), acknowledging each message it accepts and each
// duplicate it recognises. The host takes messages with takeMessage.
//
// Threads. startListening starts the receive thread (again after it ended)
// and, once, the sender thread, both as threads of the endpoint (they hold a
// reference to it, and closing waits for them; see core::Endpoint).
//
// Locks (neither is held while the host's callback runs):
//  - controlLock_: startListening and the stop in turn; recvSocket_'s
//    replacement, senderStarted_, stopped_, recvRunning_.
//  - lock_: both queues, the duplicate filter, the sequence counter, the
//    send socket and its use. Transmissions happen under it, so a record is
//    never freed while it is being sent.
// controlLock_ may be held when lock_ is taken, never the other way round.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "core/endpoint.h"
#include "platform/platform.h"
#include "udp/datagram.h"
#include "udp/duplicate_filter.h"
#include "udp/endpoint_id.h"
#include "wirekit.h"

namespace wirekit::udp {

constexpr int DEFAULT_PORT = 9527;
constexpr unsigned char DEFAULT_HEADER_BYTE_1 = 55;
constexpr unsigned char DEFAULT_HEADER_BYTE_2 = 77;
// A send is refused when this many records (acknowledgements included) wait.
constexpr std::size_t SEND_QUEUE_LIMIT = 100;
// At most this many acknowledgements whose transmission failed wait to be
// tried again, so that they never take most of the send queue.
constexpr std::size_t ACK_QUEUE_LIMIT = 16;
// A received message is refused when the queue already holds more than this.
constexpr std::size_t RECV_QUEUE_LIMIT = 100;
// Large enough for any datagram, so every read takes one datagram whole.
constexpr std::size_t RECEIVE_BUFFER_BYTES = 65536;
// Pause before a failed acknowledgement or broadcast transmission is tried
// again (a failed normal message waits for the re-send interval instead).
constexpr int SEND_RETRY_MS = 10;
// An acknowledgement that failed this many times is dropped: its message is
// re-sent by the peer and the duplicate is acknowledged again.
constexpr int ACK_SEND_ATTEMPTS = 10;

enum class EnqueueResult {
    Queued,
    QueueFull,  // 2002 raised, nothing queued, no sequence number used
    NotBuilt,   // the datagram could not be built; its number is used up
    Refused,    // can never be sent: bad length, data, address or port
};

class UdpEndpoint : public core::Endpoint {
public:
    // Must be owned by a std::shared_ptr (its threads hold one). Draws the
    // endpoint's identity.
    UdpEndpoint(unsigned char headerByte1 = DEFAULT_HEADER_BYTE_1,
                unsigned char headerByte2 = DEFAULT_HEADER_BYTE_2);
    ~UdpEndpoint() override;

    // (Re)opens the receive socket bound to `port` (0 picks a free port,
    // which is then the reply port) and sets the mode: 0 normal (address
    // reuse), anything else broadcast. False on failure (also for a port
    // outside 0..65535, or while the receive thread runs); the socket is then
    // invalid and startListening tries again.
    bool openReceiveSocket(int port, int mode);
    // (Re)opens the unbound send socket for the mode. False on failure.
    bool openSendSocket(int mode);
    // Stored once, before the endpoint is used.
    void setCallback(EventCallback callback) { core::Endpoint::setCallback(callback); }

    // Queues a message for address:port. Raises 2002 when the queue is full.
    // Refused, with nothing queued, for a length below 0 or above
    // MAX_PAYLOAD_BYTES, null data with a positive length, an address that is
    // not dotted-decimal IPv4, or a port outside 1..65535.
    EnqueueResult enqueueMessage(const void* payload, int length, const char* address, int port);

    // Starts the receive thread unless it runs, reopening the receive socket
    // first if it is invalid, and the sender thread if it never ran. True
    // when a receive thread is running afterwards.
    bool startListening();

    // Writes the oldest message as "address:payload" into `buffer` and
    // returns the payload length. -1 with 1006 when none is queued; -1 with
    // 1005 when `size` is smaller than needed (a null buffer counts as size
    // 0), the message then stays queued.
    long takeMessage(void* buffer, int size);

    // Observers (tests, diagnostics).
    int localPort() const { return localPort_.load(); }
    const EndpointId& endpointId() const { return endpointId_; }
    bool listening() const { return listening_.load(); }
    std::size_t sendQueueSize();

private:
    using Clock = std::chrono::steady_clock;

    // A record waiting in the send queue.
    struct Outgoing {
        Outgoing(unsigned char h1, unsigned char h2) : packet(h1, h2) {}
        UdpPacket packet;
        std::uint32_t destination = 0;
        // Sent to a broadcast or multicast address: any receiver may answer.
        bool toMany = false;
        // Whether it was transmitted (or tried) since it became the first
        // message, and when.
        bool everSent = false;
        Clock::time_point lastSent{};
        int failures = 0;
    };

    // Closing: wakes both threads and shuts the receive socket down; the
    // sockets are closed once the threads have ended.
    void stopActivity() override;
    void releaseResources() override;

    bool openReceiveSocketLocked(int port, bool broadcast);
    bool openSendSocketLocked(bool broadcast);

    void receiveLoop();
    void onDatagram(const std::uint8_t* bytes, std::size_t length, std::uint32_t source);
    void onMessage(UdpPacket& packet, std::uint32_t source);
    void onAck(std::int32_t sequence, std::uint32_t source);

    void senderLoop();
    std::optional<Clock::time_point> nextDueLocked() const;
    int serviceQueueLocked(Clock::time_point now, bool woken);
    int resendIntervalMs() const;

    // Sends the acknowledgement at once or, failing that, queues it for the
    // sender thread. A reply port outside 1..65535 cannot be answered.
    void acknowledgeLocked(std::uint32_t address, std::int32_t port, std::int32_t sequence);
    bool transmitLocked(const Outgoing& record);

    const unsigned char headerByte1_;
    const unsigned char headerByte2_;
    const EndpointId endpointId_;
    std::atomic<int> localPort_{DEFAULT_PORT};
    std::atomic<bool> broadcastMode_{false};

    std::mutex controlLock_;
    bool senderStarted_ = false;  // guarded by controlLock_
    bool stopped_ = false;        // guarded by controlLock_
    // A receive thread runs (it may already be past its loop); guarded by
    // controlLock_, recvEnded_ is signalled when it clears.
    bool recvRunning_ = false;
    std::condition_variable recvEnded_;
    // Replaced under controlLock_; the receive thread reads it while it runs
    // (no replacement happens meanwhile).
    platform::Socket recvSocket_ = platform::INVALID_SOCKET_VALUE;
    // Ends the receive thread's wait on a stop. Made once, never replaced.
    std::unique_ptr<platform::Wakeup, platform::WakeupDeleter> recvWake_;
    std::atomic<bool> listening_{false};

    std::mutex lock_;
    std::condition_variable wake_;                                  // waited on under lock_
    platform::Socket sendSocket_ = platform::INVALID_SOCKET_VALUE;  // guarded by lock_
    std::deque<Outgoing> acks_;                                     // guarded by lock_
    std::deque<Outgoing> messages_;                                 // guarded by lock_
    Clock::time_point ackRetryAt_{};                                // guarded by lock_
    // Wake-up reasons of the sender thread: anything that is not a queued
    // acknowledgement, and a queued acknowledgement.
    bool otherWake_ = false;  // guarded by lock_
    bool ackWake_ = false;    // guarded by lock_
    // Set under lock_ (so that the sender thread cannot miss it between its
    // look and its wait).
    std::atomic<bool> stopping_{false};
    std::uint32_t sequenceCounter_ = 0;  // guarded by lock_
    std::deque<UdpPacket> recvQueue_;    // guarded by lock_
    DuplicateFilter filter_;             // guarded by lock_
};

}  // namespace wirekit::udp
