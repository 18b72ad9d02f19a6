// Helpers for the TCP messaging tests: endpoints with recording callbacks
// and raw peers that write whatever bytes a test wants.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "api/registry.h"
#include "core/thread_group.h"
#include "core/timing.h"
#include "net/listener.h"
#include "net/stream_socket.h"
#include "platform/platform.h"
#include "support/test_support.h"
#include "tcp/frame_bytes.h"
#include "tcp/framing.h"
#include "tcp/receive_budget.h"
#include "tcp/tcp_endpoint.h"
#include "wirekit.h"

namespace wirekit::tcp::test {

using Bytes = std::vector<unsigned char>;
using wirekit::test::log;
using wirekit::test::recorder;

inline Bytes frameOf(const std::string& body) { return encodeFrame(body.data(), body.size()); }

// Starts threads in `group` (for listeners that tests run themselves).
inline net::ThreadStarter startIn(core::ThreadGroup& group) {
    return [group](std::function<void()> fn) mutable { return group.start(std::move(fn)); };
}

inline std::shared_ptr<TcpEndpoint> endpointOf(void* h) {
    return api::EndpointRegistry::instance().findTcp(h).tcp;
}

// Ends a raw connection the way a crashed peer's does: unsent bytes are
// dropped and the other end gets a reset instead of the end of the stream.
inline void resetConnection(net::StreamSocket& s) {
    platform::setLingerReset(s.socketNumber());
    s.disconnect();
}

// A connection made with a plain stream socket.
struct RawPeer {
    net::StreamSocket socket;
    bool connect(int port) { return socket.connect("127.0.0.1", port) == 1; }
    bool send(const Bytes& b) { return socket.sendAll(b.data(), b.size()) == 1; }
    bool send(const std::string& s) { return socket.sendAll(s.data(), s.size()) == 1; }
    // Reads exactly n bytes (or fails).
    std::string read(std::size_t n) {
        std::string out;
        char buf[4096];
        while (out.size() < n) {
            int r =
                socket.receive(buf, static_cast<int>(std::min(sizeof buf, n - out.size())), 10000);
            if (r <= 0) break;
            out.append(buf, static_cast<std::size_t>(r));
        }
        return out;
    }
    void reset() { resetConnection(socket); }
};

// A listener that keeps every connection it accepts for the test to read
// and write directly.
class RawListener {
public:
    RawListener() {
        EXPECT_EQ(listener_.listen(0, 5), 1);
        listener_.start(startIn(group_), [this](net::Socket s, int, const std::string&) {
            std::lock_guard<std::mutex> guard(lock_);
            auto conn = std::make_unique<net::StreamSocket>();
            conn->attach(s);
            accepted_.push_back(s);
            conns_.push_back(std::move(conn));
        });
    }
    ~RawListener() {
        listener_.stop();
        group_.waitIdle();
        for (auto& c : conns_) c->disconnect();
    }
    int port() const { return listener_.port(); }
    // The n-th accepted connection (from 0), waiting for it.
    net::StreamSocket* conn(std::size_t n) {
        net::StreamSocket* out = nullptr;
        wirekit::test::waitUntil([&] {
            std::lock_guard<std::mutex> guard(lock_);
            if (conns_.size() > n) out = conns_[n].get();
            return out != nullptr;
        });
        return out;
    }

private:
    // A listener holds no socket-library reference of its own (its endpoint
    // does); on Windows it cannot open its socket without one.
    wirekit::test::NetReference net_;  // declared first: taken before the listener opens
    core::ThreadGroup group_;
    net::Listener listener_;
    std::mutex lock_;
    std::vector<net::Socket> accepted_;
    std::vector<std::unique_ptr<net::StreamSocket>> conns_;
};

// Reads n bytes from a raw connection, fewer when it ends or stays silent.
inline std::string readN(net::StreamSocket* s, std::size_t n) {
    std::string out;
    std::vector<char> buf(65536);
    while (s && out.size() < n) {
        int r =
            s->receive(buf.data(), static_cast<int>(std::min(buf.size(), n - out.size())), 10000);
        if (r <= 0) break;
        out.append(buf.data(), static_cast<std::size_t>(r));
    }
    return out;
}

inline bool sendText(net::StreamSocket* s, const std::string& text) {
    return s && s->sendAll(text.data(), text.size()) == 1;
}

class TcpTest : public ::testing::Test {
protected:
    void SetUp() override { wirekit::test::resetLogs(); }
    void TearDown() override {
        for (void* h : handles_) Close_Tcp(h);
        timing::restoreDefaults();
        ReceiveBudget::setDefaultLimitForTests(0);
        wirekit::test::resetLogs();
    }
    void* endpoint(int slot) {
        void* h = Init_Tcp(slot < 0 ? nullptr : recorder(slot));
        handles_.push_back(h);
        return h;
    }
    // An endpoint listening on a free port.
    void* server(int slot, int* port) {
        void* h = endpoint(slot);
        EXPECT_EQ(ListenMessage_Tcp(h, 0), 1);
        *port = endpointOf(h)->listenPort();
        return h;
    }
    std::string take(void* h) {
        if (takeBuffer_.empty()) takeBuffer_.resize(8 << 20);
        long n = GetMessage_Tcp(h, takeBuffer_.data(), static_cast<int>(takeBuffer_.size()));
        return n < 0 ? "<none>" : std::string(takeBuffer_.data(), static_cast<std::size_t>(n));
    }

    std::vector<void*> handles_;
    std::vector<char> takeBuffer_;
};

// A fixture for tests against raw peers that misbehave: `Fixture` is TcpTest
// or one like it that keeps the endpoints it opens in handles_. It holds a
// socket-library reference for the raw peers and notes the descriptor count
// at the start, so that a test can check that nothing was left open.
template <class Fixture>
class LeakCheckedTest : public Fixture {
protected:
    void SetUp() override {
        Fixture::SetUp();
        descriptorsBefore_ = wirekit::test::openDescriptors();
    }
    // Closes every endpoint the test opened and expects the descriptor
    // count back where it started.
    void expectNothingLeaked() {
        for (void* h : this->handles_) Close_Tcp(h);
        this->handles_.clear();
        wirekit::test::expectDescriptorsBack(descriptorsBefore_);
    }

    wirekit::test::NetReference net_;
    int descriptorsBefore_ = 0;
};

}  // namespace wirekit::tcp::test
