// The shared library exports exactly the C interface of wirekit.h, the event
// table is consistent, and no exception crosses the interface.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <new>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "support/test_support.h"
#include "wirekit.h"

// Allocations of this program fail on demand, on the arming thread only: the
// library is linked into it, so its allocations come here too.
namespace {
thread_local long t_allocationsLeft = -1;  // -1: never fail
}

void* operator new(std::size_t size) {
    if (t_allocationsLeft == 0) throw std::bad_alloc();
    if (t_allocationsLeft > 0) --t_allocationsLeft;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
// The pair matches: what the operator new above returns comes from malloc.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

#ifndef _WIN32
// On Windows the DLL's export table is checked on the build host instead
// (frame/dll_exports.cmake, run by ctest), since nm reads ELF libraries only.
std::set<std::string> headerFunctions() {
    std::ifstream in(std::string(WIREKIT_SOURCE_DIR) + "/include/wirekit.h");
    std::set<std::string> names;
    std::regex declaration(R"(^WIREKIT_API[^(]*?\b(\w+)\s*\()");
    std::smatch match;
    for (std::string line; std::getline(in, line);)
        if (std::regex_search(line, match, declaration)) names.insert(match[1]);
    return names;
}

std::set<std::string> exportedSymbols() {
    std::string command =
        std::string("nm -D --defined-only '") + WIREKIT_SHARED_LIBRARY + "' 2>/dev/null";
    std::set<std::string> names;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return names;
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) {
        std::istringstream fields(line);
        std::string address, type, name;
        fields >> address >> type >> name;
        if (type == "A") continue;  // the version node, not a symbol
        if (!name.empty()) names.insert(name);
    }
    pclose(pipe);
    return names;
}

TEST(Interface, SharedLibraryExportsExactlyTheHeaderFunctions) {
    auto declared = headerFunctions();
    ASSERT_EQ(declared.size(), 32u);
    auto exported = exportedSymbols();
    ASSERT_FALSE(exported.empty()) << "could not read the symbols of " << WIREKIT_SHARED_LIBRARY;
    EXPECT_EQ(exported, declared);
}
#endif

TEST(Interface, HelloAnswersOk) { EXPECT_STREQ(hello(), "OK"); }

TEST(Interface, EventCodesAreUniqueAndNamed) {
    const int codes[] = {
#define WIREKIT_EVENT_CODE(name, value, text) value,
        WIREKIT_EVENT_TABLE(WIREKIT_EVENT_CODE)
#undef WIREKIT_EVENT_CODE
    };
    std::set<int> seen;
    for (int code : codes) {
        EXPECT_TRUE(seen.insert(code).second) << code;
        EXPECT_STRNE(wirekit_event_name(code), "UNKNOWN_EVENT") << code;
    }
    EXPECT_EQ(seen.size(), 23u);
    EXPECT_EQ(UDP_EV_MSG_RECEIVED, 1001);
    EXPECT_EQ(EV_NO_MESSAGE, 1006);
    EXPECT_EQ(UDP_EV_ACKED, 2003);
    EXPECT_EQ(TCP_EV_MSG_RECEIVED, 3002);
    EXPECT_EQ(TCP_EV_CONNECTED, 3015);
    EXPECT_EQ(TCP_EV_DISCONNECTED, 3999);
    EXPECT_STREQ(wirekit_event_name(3013), "TCP_EV_RECV_FAILED");
    EXPECT_STREQ(wirekit_event_name(1002), "UNKNOWN_EVENT");
}

TEST(Interface, RecordLayoutsKeepFieldOrderAndWidths) {
    EXPECT_EQ(offsetof(FileSendJob, fileName), sizeof(uintptr_t));
    EXPECT_EQ(offsetof(FileSendJob, filePath) - offsetof(FileSendJob, fileName), 260u);
    EXPECT_EQ(sizeof(FileSendJob::peerHost), 47u);
    EXPECT_LT(offsetof(FileSendJob, savedState), offsetof(FileSendJob, state));
    EXPECT_EQ(offsetof(FileRecvOffer, fileName), sizeof(uintptr_t));
    EXPECT_EQ(offsetof(FileRecvOffer, savePath) - offsetof(FileRecvOffer, fileName), 260u);
    EXPECT_EQ(sizeof(FileRecvOffer::peerAddress), 27u);
    EXPECT_EQ(offsetof(FileRecvOffer, acceptDecision), offsetof(FileRecvOffer, state) + 4);
}

// Runs `call` with its first, second, third ... allocation failing until it
// runs through, which must end in success; a failing run may end either way
// (`undo` cleans up a success), but no exception may escape and nothing may
// stay open.
template <typename Result>
void failEachAllocation(
    const std::function<Result()>& call, Result failure,
    const std::function<void(Result)>& undo = [](Result) {}) {
    const int descriptors = wirekit::test::openDescriptors();
    for (long k = 0; k < 10000; ++k) {
        t_allocationsLeft = k;
        Result r = call();
        const bool ranThrough = t_allocationsLeft > 0;
        t_allocationsLeft = -1;
        undo(r);
        wirekit::test::expectDescriptorsBack(descriptors);
        if (ranThrough) {
            EXPECT_NE(r, failure) << "with " << k << " allocations";
            return;
        }
    }
    ADD_FAILURE() << "never ran through";
}

TEST(Interface, AnAllocationFailureInsideAnExportReturnsTheFailureValue) {
    auto closeTcp = [](void* h) {
        if (h != reinterpret_cast<void*>(-1)) {
            EXPECT_EQ(Close_Tcp(h), 1);
        }
    };
    failEachAllocation<void*>([] { return Init_Tcp(nullptr); }, reinterpret_cast<void*>(-1),
                              closeTcp);
    failEachAllocation<void*>([] { return Init_Udp(0, nullptr, 55, 77, 0); },
                              reinterpret_cast<void*>(-1), closeTcp);

    void* udp = Init_Udp(0, nullptr, 55, 77, 0);
    failEachAllocation<int>([&] { return SendMessage_Udp(udp, "127.0.0.1", 9, "abc", 3); }, 0);
    EXPECT_EQ(Close_Udp(udp), 1);

    void* tcp = Init_Tcp(nullptr);
    failEachAllocation<int>([&] { return ListenMessage_Tcp(tcp, 0); }, 0,
                            [&](int) { StopListen_Tcp(tcp); });
    const std::string path = std::string(WIREKIT_SOURCE_DIR) + "/README.md";
    failEachAllocation<int>([&] { return SendFile_Tcp(tcp, path.c_str()); }, 0);
    EXPECT_EQ(Close_Tcp(tcp), 1);
}

}  // namespace
