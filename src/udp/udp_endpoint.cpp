#include "udp/udp_endpoint.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

#include "core/timing.h"

namespace wirekit::udp {

static_assert(MAX_PAYLOAD_BYTES == MAX_UDP_PAYLOAD_BYTES, "the public limit is the codec's");

namespace {

void printLine(const char* line) {
    std::fputs(line, stdout);
    std::fflush(stdout);
}

// The counter counts in unsigned arithmetic; the wire carries the same bits
// as a signed field.
std::int32_t toWireSequence(std::uint32_t counter) {
    std::int32_t value;
    std::memcpy(&value, &counter, sizeof value);
    return value;
}

// True for an address (network byte order) that reaches many hosts: the
// limited broadcast address, one ending in .255 (the broadcast address of a
// /24 and of every wider subnet) or a multicast address (224.0.0.0/4).
// Whether another address is a subnet's broadcast address depends on the
// interfaces; these are the forms hosts use.
bool isGroupAddress(std::uint32_t address) {
    unsigned char b[4];
    std::memcpy(b, &address, sizeof b);
    return b[3] == 255 || (b[0] & 0xF0) == 0xE0;
}

// A port a datagram can be sent to (0 cannot).
bool isDestinationPort(std::int32_t port) { return port >= 1 && port <= 65535; }

}  // namespace

UdpEndpoint::UdpEndpoint(unsigned char headerByte1, unsigned char headerByte2)
    : headerByte1_(headerByte1),
      headerByte2_(headerByte2),
      endpointId_(newEndpointId()),
      recvWake_(platform::createWakeup()) {}

UdpEndpoint::~UdpEndpoint() {
    // No thread of the endpoint runs any more: they hold references to it.
    releaseResources();
}

std::size_t UdpEndpoint::sendQueueSize() {
    std::lock_guard<std::mutex> guard(lock_);
    return acks_.size() + messages_.size();
}

// ---- Sockets ---------------------------------------------------------------

bool UdpEndpoint::openReceiveSocket(int port, int mode) {
    std::lock_guard<std::mutex> control(controlLock_);
    if (stopped_ || listening_.load()) return false;
    return openReceiveSocketLocked(port, mode != 0);
}

bool UdpEndpoint::openReceiveSocketLocked(int port, bool broadcast) {
    if (recvSocket_ != platform::INVALID_SOCKET_VALUE) {
        platform::closeSocket(recvSocket_);
        recvSocket_ = platform::INVALID_SOCKET_VALUE;
    }
    localPort_.store(port);
    broadcastMode_.store(broadcast);
    if (port < 0 || port > 65535) return false;
    platform::Socket s = platform::udpSocket();
    if (s == platform::INVALID_SOCKET_VALUE) return false;
    // Broadcast receivers do not share their port; normal ones may.
    int option = broadcast ? platform::setBroadcast(s) : platform::setReuseAddress(s);
    if (option != 0 || platform::bindAny(s, port) != 0) {
        platform::closeSocket(s);
        return false;
    }
    platform::ignoreConnectionReset(s);
    if (port == 0) {
        // The port the system picked is the one peers must acknowledge to.
        int bound = platform::localPort(s);
        if (bound <= 0) {
            platform::closeSocket(s);
            return false;
        }
        localPort_.store(bound);
    }
    recvSocket_ = s;
    return true;
}

bool UdpEndpoint::openSendSocket(int mode) {
    std::lock_guard<std::mutex> control(controlLock_);
    if (stopped_) return false;
    return openSendSocketLocked(mode != 0);
}

bool UdpEndpoint::openSendSocketLocked(bool broadcast) {
    platform::Socket s = platform::udpSocket();
    if (s != platform::INVALID_SOCKET_VALUE) {
        int option = broadcast ? platform::setBroadcast(s) : platform::setReuseAddress(s);
        if (option != 0) {
            platform::closeSocket(s);
            s = platform::INVALID_SOCKET_VALUE;
        } else {
            // A port-unreachable answer to one send must not fail later ones.
            platform::ignoreConnectionReset(s);
        }
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (sendSocket_ != platform::INVALID_SOCKET_VALUE) platform::closeSocket(sendSocket_);
    sendSocket_ = s;
    return s != platform::INVALID_SOCKET_VALUE;
}

// ---- Threads ---------------------------------------------------------------

bool UdpEndpoint::startListening() {
    std::unique_lock<std::mutex> control(controlLock_);
    if (stopped_ || closing()) return false;
    if (listening_.load()) return true;
    // A receive thread that ended on its own may still be on its way out;
    // it must be gone before another one uses the socket.
    recvEnded_.wait(control, [&] { return !recvRunning_; });
    bool broadcast = broadcastMode_.load();
    if (recvSocket_ == platform::INVALID_SOCKET_VALUE &&
        !openReceiveSocketLocked(localPort_.load(), broadcast))
        return false;
    bool sendSocketMissing;
    {
        std::lock_guard<std::mutex> guard(lock_);
        sendSocketMissing = sendSocket_ == platform::INVALID_SOCKET_VALUE;
    }
    if (sendSocketMissing) openSendSocketLocked(broadcast);

    platform::clearWakeup(recvWake_.get());
    listening_.store(true);
    recvRunning_ = true;
    if (!startThread([this] { receiveLoop(); })) {
        listening_.store(false);
        recvRunning_ = false;
        return false;
    }
    // Left for the next call to try again when it cannot start; received
    // messages are still filed meanwhile.
    if (!senderStarted_) senderStarted_ = startThread([this] { senderLoop(); });
    return true;
}

void UdpEndpoint::stopActivity() {
    {
        std::lock_guard<std::mutex> control(controlLock_);
        stopped_ = true;
        listening_.store(false);
        platform::raiseWakeup(recvWake_.get());
        // Also ends a read that would block, where readiness was reported
        // but the datagram was then dropped by the system.
        if (recvSocket_ != platform::INVALID_SOCKET_VALUE) platform::shutdownReceive(recvSocket_);
    }
    std::lock_guard<std::mutex> guard(lock_);
    stopping_.store(true);
    wake_.notify_all();
}

void UdpEndpoint::releaseResources() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (sendSocket_ != platform::INVALID_SOCKET_VALUE) platform::closeSocket(sendSocket_);
        sendSocket_ = platform::INVALID_SOCKET_VALUE;
    }
    std::lock_guard<std::mutex> control(controlLock_);
    if (recvSocket_ != platform::INVALID_SOCKET_VALUE) platform::closeSocket(recvSocket_);
    recvSocket_ = platform::INVALID_SOCKET_VALUE;
}

// ---- Sending ---------------------------------------------------------------

EnqueueResult UdpEndpoint::enqueueMessage(const void* payload, int length, const char* address,
                                          int port) {
    if (length < 0 || length > MAX_PAYLOAD_BYTES) return EnqueueResult::Refused;
    if (payload == nullptr && length > 0) return EnqueueResult::Refused;
    std::uint32_t destination = 0;
    if (address == nullptr || !platform::parseDottedAddress(address, &destination))
        return EnqueueResult::Refused;
    if (!isDestinationPort(port)) return EnqueueResult::Refused;

    bool full = false;
    try {
        Outgoing record(headerByte1_, headerByte2_);
        record.packet.address = address;
        record.packet.port = port;
        record.packet.isMessage = true;
        record.destination = destination;
        record.toMany = isGroupAddress(destination);

        std::lock_guard<std::mutex> guard(lock_);
        if (acks_.size() + messages_.size() >= SEND_QUEUE_LIMIT) {
            full = true;
        } else {
            std::int32_t sequence = toWireSequence(++sequenceCounter_);
            if (!record.packet.buildMessage(endpointId_, sequence, localPort_.load(), payload,
                                            static_cast<std::size_t>(length)))
                return EnqueueResult::NotBuilt;
            messages_.push_back(std::move(record));
            otherWake_ = true;
            wake_.notify_one();
        }
    } catch (const std::bad_alloc&) {
        return EnqueueResult::NotBuilt;
    }
    if (full) {
        raise(UDP_EV_SEND_QUEUE_FULL, 0);
        return EnqueueResult::QueueFull;
    }
    return EnqueueResult::Queued;
}

bool UdpEndpoint::transmitLocked(const Outgoing& record) {
    if (sendSocket_ == platform::INVALID_SOCKET_VALUE) return false;
    const auto& data = record.packet.data;
    long sent = platform::sendDatagram(sendSocket_, data.data(), data.size(), record.destination,
                                       record.packet.port);
    return sent == static_cast<long>(data.size());
}

void UdpEndpoint::acknowledgeLocked(std::uint32_t address, std::int32_t port,
                                    std::int32_t sequence) {
    if (!isDestinationPort(port)) return;
    Outgoing ack(headerByte1_, headerByte2_);
    ack.packet.buildAck(sequence);
    ack.packet.port = port;
    ack.destination = address;
    // It would go out before anything else anyway, so the receive thread
    // sends it itself instead of handing it to the sender thread.
    if (transmitLocked(ack)) return;
    // Datagrams with forged sources can make every acknowledgement fail;
    // past a few waiting ones a new one is dropped. Nothing is lost: the
    // sender of a real message sends it again and is acknowledged then.
    if (acks_.size() >= ACK_QUEUE_LIMIT) return;
    ack.failures = 1;
    acks_.push_back(std::move(ack));
    ackRetryAt_ = Clock::now() + std::chrono::milliseconds(SEND_RETRY_MS);
    ackWake_ = true;
    wake_.notify_one();
}

int UdpEndpoint::resendIntervalMs() const {
    return broadcastMode_.load() ? SEND_RETRY_MS : timing::udpResendMs();
}

std::optional<UdpEndpoint::Clock::time_point> UdpEndpoint::nextDueLocked() const {
    std::optional<Clock::time_point> due;
    if (!acks_.empty()) due = ackRetryAt_;
    if (!messages_.empty()) {
        const Outgoing& head = messages_.front();
        Clock::time_point t = head.everSent
                                  ? head.lastSent + std::chrono::milliseconds(resendIntervalMs())
                                  : Clock::time_point::min();
        if (!due || t < *due) due = t;
    }
    return due;
}

int UdpEndpoint::serviceQueueLocked(Clock::time_point now, bool woken) {
    while (!acks_.empty()) {
        Outgoing& ack = acks_.front();
        if (transmitLocked(ack) || ++ack.failures >= ACK_SEND_ATTEMPTS) {
            acks_.pop_front();
            continue;
        }
        ackRetryAt_ = now + std::chrono::milliseconds(SEND_RETRY_MS);
        break;
    }
    if (messages_.empty()) return 0;
    Outgoing& head = messages_.front();
    bool timeUp =
        head.everSent && now >= head.lastSent + std::chrono::milliseconds(resendIntervalMs());
    if (head.everSent && !woken && !timeUp) return 0;
    bool sent = transmitLocked(head);
    head.everSent = true;
    head.lastSent = now;
    if (!sent) return 0;
    if (broadcastMode_.load()) messages_.pop_front();
    return 1;
}

void UdpEndpoint::senderLoop() {
    std::unique_lock<std::mutex> guard(lock_);
    while (!stopping_.load()) {
        Clock::time_point now = Clock::now();
        bool signalled = otherWake_ || ackWake_;
        std::optional<Clock::time_point> due = nextDueLocked();
        if (!signalled && (!due || *due > now)) {
            // Re-evaluated after every wake: the receive thread may have
            // replaced the first message meanwhile.
            if (due)
                wake_.wait_until(guard, *due);
            else
                wake_.wait(guard);
            continue;
        }
        // Queued acknowledgements alone do not re-send the waiting message;
        // anything else that woke the thread does.
        bool woken = otherWake_;
        otherWake_ = false;
        ackWake_ = false;
        int transmitted = serviceQueueLocked(now, woken);
        if (transmitted > 0) {
            guard.unlock();
            raise(UDP_EV_SENT, 0);
            guard.lock();
        }
    }
}

// ---- Receiving -------------------------------------------------------------

void UdpEndpoint::receiveLoop() {
    printLine("Receive Thread Started.\n");
    std::vector<std::uint8_t> buffer;
    try {
        buffer.resize(RECEIVE_BUFFER_BYTES);
    } catch (const std::bad_alloc&) {
        listening_.store(false);
    }
    // Without a wake-up the wait is bounded so that a stop is still noticed.
    const int waitMs = recvWake_ ? -1 : 100;
    while (listening_.load()) {
        int ready = platform::waitReadableOrWoken(recvSocket_, recvWake_.get(), waitMs);
        if (!listening_.load() || ready == 2) break;
        if (ready < 0) break;
        if (ready == 0) continue;
        std::uint32_t source = 0;
        long count =
            platform::receiveDatagram(recvSocket_, buffer.data(), buffer.size(), &source, nullptr);
        if (!listening_.load()) break;
        if (count < 0) {
            platform::ErrorKind kind = platform::classifyError(platform::lastError());
            if (kind != platform::ErrorKind::WouldBlock && kind != platform::ErrorKind::Interrupted)
                raise(UDP_EV_RECV_FAILED, 0);
            continue;
        }
        // A zero-length datagram carries nothing; it has been drained.
        if (count == 0) continue;
        try {
            onDatagram(buffer.data(), static_cast<std::size_t>(count), source);
        } catch (const std::exception&) {
            // Out of memory: the datagram is dropped unacknowledged, so its
            // sender re-sends it.
        }
    }
    listening_.store(false);
    printLine("Receive Thread Ended.\n");
    {
        std::lock_guard<std::mutex> control(controlLock_);
        recvRunning_ = false;
    }
    recvEnded_.notify_all();
}

void UdpEndpoint::onDatagram(const std::uint8_t* bytes, std::size_t length, std::uint32_t source) {
    UdpPacket packet(headerByte1_, headerByte2_);
    if (!packet.parseDatagram(bytes, length)) return;
    if (packet.isMessage)
        onMessage(packet, source);
    else
        onAck(packet.sequence, source);
}

void UdpEndpoint::onMessage(UdpPacket& packet, std::uint32_t source) {
    packet.address = platform::dottedText(source);
    const bool broadcast = broadcastMode_.load();
    int param = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        const SenderKey sender{packet.senderId, source};
        if (filter_.isDuplicate(sender, packet.sequence)) {
            // The sender re-sent it because our acknowledgement was lost;
            // without a new one it would re-send it for ever.
            if (!broadcast) acknowledgeLocked(source, packet.port, packet.sequence);
            return;
        }
        if (recvQueue_.size() > RECV_QUEUE_LIMIT) {
            param = -1;
        } else {
            param = static_cast<int>(packet.address.size()) + 1 + packet.length();
            const std::int32_t sequence = packet.sequence;
            const std::int32_t replyPort = packet.port;
            recvQueue_.push_back(std::move(packet));
            try {
                filter_.accept(sender, sequence);
            } catch (...) {
                recvQueue_.pop_back();
                throw;
            }
            if (!broadcast) acknowledgeLocked(source, replyPort, sequence);
        }
    }
    // Not acknowledged when refused: the sender re-sends it, and it is
    // accepted once the host has made room.
    if (param < 0)
        raise(UDP_EV_RECV_QUEUE_FULL, 0);
    else
        raise(UDP_EV_MSG_RECEIVED, param);
}

void UdpEndpoint::onAck(std::int32_t sequence, std::uint32_t source) {
    bool sentNext = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        // Only the first message is ever in flight; acknowledgements waiting
        // ahead of it do not take part. Broadcast messages expect none.
        if (broadcastMode_.load() || messages_.empty()) return;
        const Outgoing& head = messages_.front();
        if (!head.everSent || head.packet.sequence != sequence) return;
        // The receiver of a message answers from its own address; anyone
        // else who knows or guesses the sequence number cannot end it. Where
        // the message went to many receivers any of them may answer.
        if (!head.toMany && source != head.destination) return;
        messages_.pop_front();
        if (!messages_.empty()) {
            // The next message is due at once; sending it here saves waking
            // the sender thread for it.
            Outgoing& next = messages_.front();
            sentNext = transmitLocked(next);
            next.everSent = true;
            next.lastSent = Clock::now();
        }
    }
    raise(UDP_EV_ACKED, 0);
    if (sentNext) raise(UDP_EV_SENT, 0);
}

long UdpEndpoint::takeMessage(void* buffer, int size) {
    int missing = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (recvQueue_.empty()) {
            missing = EV_NO_MESSAGE;
        } else {
            const UdpPacket& m = recvQueue_.front();
            const std::size_t needed = m.address.size() + 1 + m.data.size();
            const std::size_t room =
                (buffer == nullptr || size < 0) ? 0 : static_cast<std::size_t>(size);
            if (room < needed) {
                missing = UDP_EV_BUFFER_TOO_SMALL;
            } else {
                auto* out = static_cast<std::uint8_t*>(buffer);
                std::memcpy(out, m.address.data(), m.address.size());
                out[m.address.size()] = ':';
                if (!m.data.empty())
                    std::memcpy(out + m.address.size() + 1, m.data.data(), m.data.size());
                long count = m.length();
                recvQueue_.pop_front();
                return count;
            }
        }
    }
    raise(missing, 0);
    return -1;
}

}  // namespace wirekit::udp
