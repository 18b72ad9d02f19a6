#include "support/lossy_link.h"

#include <exception>
#include <utility>

#include "udp/datagram.h"

namespace wirekit::test {

namespace {

constexpr std::size_t DATAGRAM_BUFFER_BYTES = 65536;

bool chance(std::mt19937& random, double rate) {
    if (rate <= 0.0) return false;
    if (rate >= 1.0) return true;
    return std::uniform_real_distribution<double>(0.0, 1.0)(random) < rate;
}

int uniformMs(std::mt19937& random, int low, int high) {
    if (high <= low) return low < 0 ? 0 : low;
    return std::uniform_int_distribution<int>(low, high)(random);
}

}  // namespace

LossyLink::LossyLink(int portA, int portB, const LinkConfig& config)
    : config_(config), endpointPort_{portA, portB} {
    random_[0].seed(config.seed);
    random_[1].seed(config.seed ^ 0x9E3779B9u);
    lastDue_[0] = lastDue_[1] = Clock::now();
    if (!net_.held() || !platform::parseDottedAddress("127.0.0.1", &loopback_)) return;
    for (int side = 0; side < 2; ++side) {
        socket_[side] = platform::udpSocket();
        wake_[side] = platform::createWakeup();
        if (socket_[side] == platform::INVALID_SOCKET_VALUE || wake_[side] == nullptr) return;
        platform::ignoreConnectionReset(socket_[side]);
        // Bursts of re-sends must not overflow the system's default buffers.
        platform::setBufferSizes(socket_[side], 1 << 20);
        if (platform::bindAny(socket_[side], 0) != 0) return;
        port_[side] = platform::localPort(socket_[side]);
        if (port_[side] <= 0) return;
    }
    try {
        releaser_ = std::thread([this] { releaseLoop(); });
        receivers_[0] = std::thread([this] { receiveLoop(0); });
        receivers_[1] = std::thread([this] { receiveLoop(1); });
    } catch (const std::exception&) {
        stop();
        return;
    }
    ok_ = true;
}

LossyLink::~LossyLink() { stop(); }

void LossyLink::stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_.store(true);
        changed_.notify_all();
    }
    for (int side = 0; side < 2; ++side)
        if (wake_[side]) platform::raiseWakeup(wake_[side]);
    for (auto& t : receivers_)
        if (t.joinable()) t.join();
    if (releaser_.joinable()) releaser_.join();
    // Only now that no thread uses them are the sockets closed.
    for (int side = 0; side < 2; ++side) {
        if (socket_[side] != platform::INVALID_SOCKET_VALUE) platform::closeSocket(socket_[side]);
        socket_[side] = platform::INVALID_SOCKET_VALUE;
        if (wake_[side]) platform::destroyWakeup(wake_[side]);
        wake_[side] = nullptr;
    }
    ok_ = false;
}

LinkCounts LossyLink::counts() const {
    std::lock_guard<std::mutex> guard(lock_);
    return counts_;
}

void LossyLink::receiveLoop(int side) {
    std::vector<std::uint8_t> buffer(DATAGRAM_BUFFER_BYTES);
    while (!stopping_.load()) {
        int ready = platform::waitReadableOrWoken(socket_[side], wake_[side], 200);
        if (ready == 2 || ready < 0) break;
        if (ready == 0) continue;
        long count = platform::receiveDatagram(socket_[side], buffer.data(), buffer.size(), nullptr,
                                               nullptr);
        // Failed reads (a port-unreachable report on some systems) and empty
        // datagrams carry nothing to relay.
        if (count <= 0) continue;
        schedule(side, std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + count));
    }
}

void LossyLink::schedule(int side, std::vector<std::uint8_t> bytes) {
    const int out = 1 - side;
    udp::UdpPacket packet(config_.headerByte1, config_.headerByte2);
    const bool parsed = packet.parseDatagram(bytes.data(), bytes.size());
    const bool isAck = parsed && !packet.isMessage;
    if (parsed && packet.isMessage) {
        // The receiver is to answer to the link, which forwards the answer.
        udp::putInt32(bytes.data() + 22, port_[out]);
        bytes.back() = udp::checkByteOf(bytes.data(), bytes.size() - 1);
    }
    const LinkRates& rates = isAck ? config_.acks : config_.messages;

    std::lock_guard<std::mutex> guard(lock_);
    std::mt19937& random = random_[side];
    ++(isAck ? counts_.acks : counts_.messages);
    if (chance(random, rates.drop)) {
        ++counts_.dropped;
        return;
    }
    const Clock::time_point now = Clock::now();
    Clock::time_point due =
        now + std::chrono::milliseconds(uniformMs(random, rates.delayMinMs, rates.delayMaxMs));
    if (chance(random, rates.reorder)) {
        ++counts_.reordered;
        due += std::chrono::milliseconds(uniformMs(random, 1, rates.reorderHoldMs));
    } else {
        // Jitter alone never lets a datagram overtake an earlier one.
        if (due < lastDue_[side]) due = lastDue_[side];
        lastDue_[side] = due;
    }
    if (chance(random, rates.duplicate)) {
        ++counts_.duplicated;
        Clock::time_point copyDue =
            due + std::chrono::milliseconds(uniformMs(random, 0, rates.delayMaxMs));
        pending_.push(Pending{copyDue, order_++, out, bytes});
    }
    pending_.push(Pending{due, order_++, out, std::move(bytes)});
    changed_.notify_one();
}

void LossyLink::releaseLoop() {
    std::unique_lock<std::mutex> guard(lock_);
    while (!stopping_.load()) {
        if (pending_.empty()) {
            changed_.wait(guard);
            continue;
        }
        const Clock::time_point due = pending_.top().due;
        if (due > Clock::now()) {
            changed_.wait_until(guard, due);
            continue;
        }
        Pending next = pending_.top();
        pending_.pop();
        guard.unlock();
        long sent = platform::sendDatagram(socket_[next.side], next.bytes.data(), next.bytes.size(),
                                           loopback_, endpointPort_[next.side]);
        guard.lock();
        if (sent == static_cast<long>(next.bytes.size()))
            ++counts_.forwarded;
        else
            ++counts_.sendFailures;
    }
}

}  // namespace wirekit::test
