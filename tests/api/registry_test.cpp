// Handle numbering, retirement and the socket-library reference, through the
// exports and through the registry itself.
#include "api/registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "filexfer/file_side.h"
#include "platform/platform.h"
#include "tcp/tcp_endpoint.h"
#include "wirekit.h"

namespace {

std::uintptr_t number(void* h) { return reinterpret_cast<std::uintptr_t>(h); }
void* handleOf(std::uintptr_t n) { return reinterpret_cast<void*>(n); }

TEST(Registry, NumbersFollowEachOtherAcrossKinds) {
    void* u = Init_Udp(0, nullptr, 55, 77, 0);
    void* t = Init_Tcp(nullptr);
    void* u2 = Init_Udp(0, nullptr, 55, 77, 0);
    ASSERT_NE(u, wirekit::api::FAILED_HANDLE);
    EXPECT_EQ(number(t), number(u) + 1);
    EXPECT_EQ(number(u2), number(t) + 1);
    EXPECT_EQ(Close_Udp(u), 1);
    EXPECT_EQ(Close_Tcp(t), 1);
    EXPECT_EQ(Close_Udp(u2), 1);
}

TEST(Registry, ClosedNumberIsNeverIssuedAgain) {
    void* a = Init_Udp(0, nullptr, 55, 77, 0);
    void* b = Init_Tcp(nullptr);
    ASSERT_EQ(Close_Udp(a), 1);
    void* c = Init_Tcp(nullptr);
    EXPECT_EQ(number(c), number(b) + 1);
    EXPECT_NE(c, a);
    EXPECT_EQ(Close_Tcp(b), 1);
    EXPECT_EQ(Close_Tcp(c), 1);
}

TEST(Registry, ClosingTwiceGivesOneThenZero) {
    void* u = Init_Udp(0, nullptr, 55, 77, 0);
    EXPECT_EQ(Close_Udp(u), 1);
    EXPECT_EQ(Close_Udp(u), 0);
    void* t = Init_Tcp(nullptr);
    EXPECT_EQ(Close_Tcp(t), 1);
    EXPECT_EQ(Close_Tcp(t), 0);
}

TEST(Registry, HandleOfTheOtherKindNamesNothingButCloseRemovesIt) {
    void* u = Init_Udp(0, nullptr, 55, 77, 0);
    void* t = Init_Tcp(nullptr);
    char buffer[8];
    EXPECT_EQ(GetMessage_Tcp(u, buffer, sizeof buffer), -1);
    EXPECT_EQ(SendMessage_Tcp(u, "x", 1), 0);
    EXPECT_EQ(ListenMessage_Udp(t), 0);
    EXPECT_EQ(GetMessage_Udp(t, buffer, sizeof buffer), -1);
    // Either closing call removes an endpoint of either kind.
    EXPECT_EQ(Close_Tcp(u), 1);
    EXPECT_EQ(GetMessage_Udp(u, buffer, sizeof buffer), -1);
    EXPECT_EQ(ListenMessage_Udp(u), 0);
    EXPECT_EQ(Close_Udp(t), 1);
    EXPECT_EQ(StopListen_Tcp(t), 0);
}

// Every handle export must refuse handles that name nothing, without an
// event and without touching the other arguments.
TEST(Registry, HandlesThatNameNothingAreRefusedByEveryExport) {
    void* live = Init_Tcp(nullptr);
    const std::vector<void*> bogus = {
        nullptr, handleOf(number(live) + 1000), handleOf(0xFFFFFFFFu), wirekit::api::FAILED_HANDLE,
        // Past 32 bits where pointers are wider; 0 where not.
        handleOf(static_cast<std::uintptr_t>(std::uint64_t{1} << 40))};
    char buffer[16];
    FileSendJob job;
    FileRecvOffer offer;
    for (void* h : bogus) {
        EXPECT_EQ(Close_Udp(h), 0);
        EXPECT_EQ(ListenMessage_Udp(h), 0);
        EXPECT_EQ(SendMessage_Udp(h, "127.0.0.1", 9, "x", 1), 0);
        EXPECT_EQ(Broadcast_Udp(h, "127.0.0.1", 9, "x", 1), 0);
        EXPECT_EQ(GetMessage_Udp(h, buffer, sizeof buffer), -1);
        EXPECT_EQ(Close_Tcp(h), 0);
        EXPECT_EQ(ListenMessage_Tcp(h, 0), 0);
        EXPECT_EQ(StopListen_Tcp(h), 0);
        EXPECT_EQ(Connect_Tcp(h, "127.0.0.1", 9), 0);
        EXPECT_EQ(DisConnect_Tcp(h), 0);
        EXPECT_EQ(DisConnectSocket_Tcp(h, handleOf(3)), 0);
        EXPECT_EQ(SendMessage_Tcp(h, "x", 1), 0);
        EXPECT_EQ(SendMessageSocket_Tcp(h, handleOf(3), "x", 1), 0);
        EXPECT_EQ(GetMessage_Tcp(h, buffer, sizeof buffer), -1);
        EXPECT_EQ(SendFile_Tcp(h, "/dev/null"), 0);
        EXPECT_EQ(StopSendFile_Tcp(h, 1), 0);
        EXPECT_EQ(PauseSendFile_Tcp(h, 1), 0);
        EXPECT_EQ(ResumeSendFile_Tcp(h, 1), 0);
        EXPECT_EQ(RecvFile_Tcp(h, 1, true), 0);
        EXPECT_EQ(StopRecvFile_Tcp(h, 1), 0);
        EXPECT_EQ(PauseRecvFile_Tcp(h, 1), 0);
        EXPECT_EQ(ResumeRecvFile_Tcp(h, 1), 0);
        EXPECT_EQ(GetSendJob_Tcp(h, 1, &job), 0);
        EXPECT_EQ(GetRecvOffer_Tcp(h, 1, &offer), 0);
        EXPECT_EQ(SetSavePath_Tcp(h, 1, "/tmp/x"), 0);
    }
    EXPECT_EQ(Close_Tcp(live), 1);
}

// The registry holds one reference while any endpoint exists; a TCP
// endpoint's stream sockets hold references of their own on top.
TEST(Registry, SocketLibraryReferenceFollowsTheEndpoints) {
    auto& registry = wirekit::api::EndpointRegistry::instance();
    ASSERT_EQ(registry.size(), 0u) << "an earlier test leaked an endpoint";
    int before = wirekit::platform::netReferences();
    void* a = Init_Udp(0, nullptr, 55, 77, 0);
    EXPECT_EQ(wirekit::platform::netReferences(), before + 1);
    void* b = Init_Tcp(nullptr);
    int withTcp = wirekit::platform::netReferences();
    EXPECT_GT(withTcp, before + 1);
    EXPECT_EQ(Close_Udp(a), 1);
    EXPECT_EQ(wirekit::platform::netReferences(), withTcp);  // the TCP endpoint keeps it
    EXPECT_EQ(Close_Tcp(b), 1);
    EXPECT_EQ(wirekit::platform::netReferences(), before);
    void* c = Init_Udp(0, nullptr, 55, 77, 0);
    EXPECT_EQ(wirekit::platform::netReferences(), before + 1);
    EXPECT_EQ(Close_Udp(c), 1);
    EXPECT_EQ(wirekit::platform::netReferences(), before);
}

// A close on one thread must not free an endpoint that another thread is
// still using through a reference it took from the registry.
TEST(Registry, ReferenceOutlivesConcurrentRemove) {
    auto& registry = wirekit::api::EndpointRegistry::instance();
    void* h = Init_Tcp(nullptr);
    wirekit::api::TcpEntry held = registry.findTcp(h);
    ASSERT_TRUE(held);
    EXPECT_FALSE(registry.findUdp(h));
    EXPECT_EQ(registry.remove(h), 1);
    EXPECT_TRUE(held.tcp->closing());
    EXPECT_FALSE(registry.findTcp(h));
    EXPECT_EQ(held.tcp.use_count(), 1);  // only ours is left; the object is still alive
}

TEST(Registry, ManyThreadsIssueDistinctNumbers) {
    auto& registry = wirekit::api::EndpointRegistry::instance();
    std::vector<std::vector<void*>> issued(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                auto tcp = std::make_shared<wirekit::tcp::TcpEndpoint>(nullptr);
                auto files = std::make_shared<wirekit::filexfer::FileSide>(*tcp);
                issued[t].push_back(registry.addTcp({tcp, files}));
            }
        });
    }
    for (auto& th : threads) th.join();
    std::vector<std::uintptr_t> all;
    for (auto& v : issued)
        for (void* h : v) all.push_back(number(h));
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
    int removed = 0;
    for (auto& v : issued)
        for (void* h : v) removed += registry.remove(h);
    EXPECT_EQ(removed, 800);
}

}  // namespace
