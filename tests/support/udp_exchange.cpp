#include "support/udp_exchange.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "api/registry.h"
#include "udp/udp_endpoint.h"
#include "wirekit.h"

namespace wirekit::test {

namespace {

// Unacknowledged messages a sender keeps queued; well below the send queue
// limit, so that refusals stay the exception.
constexpr long SEND_WINDOW = 32;
constexpr int SLOT_COUNT = UdpExchange::MAX_EXCHANGES * 2;
constexpr std::size_t HEADER_BYTES = 9;  // index (8) and direction tag (1)

// Set by the callback when 2002 is raised, which happens on the thread that
// called SendMessage_Udp.
thread_local bool t_refused = false;

std::uint8_t fillerByte(long index, char tag, std::size_t position) {
    return static_cast<std::uint8_t>(index * 31 + static_cast<long>(position) * 7 + tag);
}

std::vector<std::uint8_t> encode(long index, char tag) {
    std::vector<std::uint8_t> out(HEADER_BYTES + static_cast<std::size_t>(index * 7 % 120));
    const auto wide = static_cast<std::uint64_t>(index);  // long may have 32 bits
    for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(wide >> (8 * i));
    out[8] = static_cast<std::uint8_t>(tag);
    for (std::size_t i = HEADER_BYTES; i < out.size(); ++i) out[i] = fillerByte(index, tag, i);
    return out;
}

// The index of an intact message from `tag`, or -1.
long decode(const std::uint8_t* bytes, std::size_t length, char tag) {
    if (length < HEADER_BYTES || bytes[8] != static_cast<std::uint8_t>(tag)) return -1;
    std::uint64_t wide = 0;
    for (int i = 0; i < 8; ++i) wide |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
    if (wide > 0x7FFFFFFFu) return -1;
    const auto index = static_cast<long>(wide);
    if (length != HEADER_BYTES + static_cast<std::size_t>(index * 7 % 120)) return -1;
    for (std::size_t i = HEADER_BYTES; i < length; ++i)
        if (bytes[i] != fillerByte(index, tag, i)) return -1;
    return index;
}

}  // namespace

struct UdpExchange::Side {
    int slot = -1;
    char peerTag = 0;  // direction tag of the messages this side receives
    std::atomic<void*> handle{nullptr};

    std::mutex lock;
    std::condition_variable changed;
    ReceiveTally tally;
    long sent = 0;
    long acked = 0;
    bool takeLate = false;
    // With takeLate: messages queued (1001) and taken so far.
    long queued = 0;
    long taken = 0;
    // Touched by one thread only: the receive thread, or the late taker.
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(70000);

    void onEvent(int code) {
        if (code == UDP_EV_SEND_QUEUE_FULL) {
            t_refused = true;
        } else if (code == UDP_EV_ACKED) {
            std::lock_guard<std::mutex> guard(lock);
            ++acked;
            changed.notify_all();
        } else if (code == UDP_EV_RECV_QUEUE_FULL) {
            std::lock_guard<std::mutex> guard(lock);
            ++tally.queueFull;
            changed.notify_all();
        } else if (code == UDP_EV_MSG_RECEIVED && takeLate) {
            std::lock_guard<std::mutex> guard(lock);
            ++queued;
            changed.notify_all();
        } else if (code == UDP_EV_MSG_RECEIVED) {
            // Each 1001 stands for one queued message.
            if (!take()) {
                std::lock_guard<std::mutex> guard(lock);
                ++tally.damaged;
            }
        }
    }

    // Takes the oldest queued message; false when none is queued.
    bool take() {
        long n = GetMessage_Udp(handle.load(), buffer.data(), static_cast<int>(buffer.size()));
        if (n < 0) return false;
        std::lock_guard<std::mutex> guard(lock);
        ++taken;
        {
            auto colon = std::find(buffer.begin(), buffer.end(), ':');
            const std::uint8_t* payload = &*colon + 1;
            long index = decode(payload, static_cast<std::size_t>(n), peerTag);
            if (index < 0)
                ++tally.damaged;
            else if (index == tally.delivered)
                ++tally.delivered;
            else if (index < tally.delivered)
                ++tally.repeated;
            else
                ++tally.skipped;
        }
        changed.notify_all();
        return true;
    }

    // Lets the receive queue fill up and empties it only once a message has
    // been refused, or once every message up to `end` is queued, until
    // `done`. Nothing here depends on how fast messages come.
    void takeLateUntil(const std::atomic<bool>& done, long end) {
        std::unique_lock<std::mutex> guard(lock);
        while (!done.load()) {
            const long refused = tally.queueFull;
            // `done` is set by run() once its deadline has passed at the latest.
            changed.wait(guard, [&] {
                const long waiting = queued - taken;
                return done.load() || (waiting > 0 && (tally.queueFull != refused ||
                                                       tally.delivered + waiting >= end));
            });
            guard.unlock();
            while (take()) {
            }
            guard.lock();
        }
    }
};

namespace {

std::atomic<UdpExchange::Side*> g_slots[SLOT_COUNT];

template <int N>
void onSlotEvent(int code, int) {
    if (UdpExchange::Side* side = g_slots[N].load()) side->onEvent(code);
}

template <int... N>
constexpr std::array<EventCallback, sizeof...(N)> slotCallbacks(std::integer_sequence<int, N...>) {
    return {onSlotEvent<N>...};
}

const auto g_callbacks = slotCallbacks(std::make_integer_sequence<int, SLOT_COUNT>{});

std::mutex g_slotLock;

int receivePortOf(void* h) {
    auto endpoint = api::EndpointRegistry::instance().findUdp(h);
    return endpoint ? endpoint->localPort() : -1;
}

int claimSlot(UdpExchange::Side* side) {
    std::lock_guard<std::mutex> guard(g_slotLock);
    for (int i = 0; i < SLOT_COUNT; ++i) {
        if (g_slots[i].load() == nullptr) {
            g_slots[i].store(side);
            return i;
        }
    }
    return -1;
}

void releaseSlot(int slot) {
    if (slot < 0) return;
    std::lock_guard<std::mutex> guard(g_slotLock);
    g_slots[slot].store(nullptr);
}

}  // namespace

UdpExchange::UdpExchange(const LinkConfig& config, bool takeLate) {
    for (int i = 0; i < 2; ++i) {
        sides_[i] = std::make_unique<Side>();
        sides_[i]->takeLate = takeLate;
        sides_[i]->peerTag = i == 0 ? 'B' : 'A';
        sides_[i]->slot = claimSlot(sides_[i].get());
        if (sides_[i]->slot < 0) return;
        void* h =
            Init_Udp(0, g_callbacks[sides_[i]->slot], config.headerByte1, config.headerByte2, 0);
        if (h == reinterpret_cast<void*>(-1)) return;
        handles_[i] = h;
        sides_[i]->handle.store(h);
    }
    // Both receive ports are known once the sockets are bound, before either
    // endpoint listens.
    int ports[2];
    for (int i = 0; i < 2; ++i) {
        ListenMessage_Udp(handles_[i]);
        ports[i] = receivePortOf(handles_[i]);
        if (ports[i] <= 0) return;
    }
    link_ = std::make_unique<LossyLink>(ports[0], ports[1], config);
}

UdpExchange::~UdpExchange() {
    // After a close returns no callback of that endpoint starts, so the
    // slots can be given back.
    for (void* h : handles_)
        if (h) Close_Udp(h);
    link_.reset();
    for (auto& side : sides_)
        if (side) releaseSlot(side->slot);
}

bool UdpExchange::ok() const { return handles_[0] && handles_[1] && link_ && link_->ok(); }

LinkCounts UdpExchange::linkCounts() const { return link_ ? link_->counts() : LinkCounts{}; }

ExchangeResult UdpExchange::run(long count, std::chrono::milliseconds limit) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + limit;
    if (!ok()) return ExchangeResult{};
    const long first = nextIndex_;
    const long end = first + count;
    nextIndex_ = end;

    auto sender = [&](int i) {
        Side& side = *sides_[i];
        const char tag = i == 0 ? 'A' : 'B';
        const int port = i == 0 ? link_->portForA() : link_->portForB();
        for (long index = first; index < end; ++index) {
            const std::vector<std::uint8_t> payload = encode(index, tag);
            for (;;) {
                {
                    std::unique_lock<std::mutex> guard(side.lock);
                    if (!side.changed.wait_until(
                            guard, deadline, [&] { return side.sent - side.acked < SEND_WINDOW; }))
                        return;
                }
                t_refused = false;
                SendMessage_Udp(handles_[i], "127.0.0.1", port, payload.data(),
                                static_cast<int>(payload.size()));
                std::unique_lock<std::mutex> guard(side.lock);
                if (!t_refused) {
                    ++side.sent;
                    break;
                }
                // Refused: offered again once the queue has moved.
                const long acked = side.acked;
                if (!side.changed.wait_until(guard, deadline, [&] { return side.acked != acked; }))
                    return;
            }
        }
    };
    std::atomic<bool> done{false};
    std::vector<std::thread> takers;
    if (sides_[0]->takeLate)
        for (auto& side : sides_)
            takers.emplace_back([&side, &done, end] { side->takeLateUntil(done, end); });
    std::thread senders[2] = {std::thread(sender, 0), std::thread(sender, 1)};
    for (auto& t : senders) t.join();

    bool finished = true;
    for (auto& side : sides_) {
        std::unique_lock<std::mutex> guard(side->lock);
        finished = side->changed.wait_until(guard, deadline, [&] {
            return side->tally.delivered >= end && side->acked >= end && side->sent >= end;
        }) && finished;
    }
    for (auto& side : sides_) {
        // Under each lock, so that no taker misses it between check and wait.
        std::lock_guard<std::mutex> guard(side->lock);
        done.store(true);
        side->changed.notify_all();
    }
    for (auto& t : takers) t.join();

    ExchangeResult result;
    result.finished = finished;
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    for (int i = 0; i < 2; ++i) {
        std::lock_guard<std::mutex> guard(sides_[i]->lock);
        (i == 0 ? result.atA : result.atB) = sides_[i]->tally;
        (i == 0 ? result.sentByA : result.sentByB) = sides_[i]->sent;
        (i == 0 ? result.ackedAtA : result.ackedAtB) = sides_[i]->acked;
    }
    return result;
}

}  // namespace wirekit::test
