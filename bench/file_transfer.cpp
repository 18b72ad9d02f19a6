// File transfer between two endpoints on loopback, next to a raw baseline in
// the same run: one thread reading the file and writing it over a plain TCP
// connection in 40 960-byte pieces, one thread writing what it receives to
// the target file. Files live in memory (/dev/shm where it exists) so that
// the disk does not set the pace.
//
// The data phase is timed: for the endpoints from the receive start (3009)
// to the receive end (3011), for the baseline from the first byte read to
// the last byte written. The set-up before it (offer, acceptance, opening
// the file; for the baseline the connection) is reported apart. Runs go in
// alternating pairs; the median of the per-pair ratios is printed, with the
// process's CPU time per MiB over the data phase.
//   file_transfer [MiB (256)] [pairs (5)]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/registry.h"
#include "bench_support.h"
#include "core/thread_group.h"
#include "net/listener.h"
#include "net/stream_socket.h"
#include "platform/platform.h"
#include "tcp/tcp_endpoint.h"
#include "wirekit.h"

namespace {

using wirekit::bench::median;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr int CHUNK = 40960;

struct Phases {
    double setup = 0;  // seconds before the data phase
    double data = 0;   // seconds of the data phase
    double cpu = 0;    // process CPU seconds over the data phase
    bool ok = false;
};

// ---- Endpoints ----------------------------------------------------------------
void* g_server = nullptr;
std::string g_target;
std::mutex g_lock;
std::condition_variable g_changed;
bool g_received = false, g_sent = false, g_failed = false;  // under g_lock
Clock::time_point g_dataStart, g_dataEnd;                   // under g_lock
double g_cpuStart = 0, g_cpuEnd = 0;                        // under g_lock

void WIREKIT_CALLBACK serverEvents(int code, int param) {
    if (code == TCP_EV_FILE_OFFER) {
        SetSavePath_Tcp(g_server, param, g_target.c_str());
        RecvFile_Tcp(g_server, param, true);
    }
    if (code == TCP_EV_RECV_STARTED) {
        const double cpu = wirekit::platform::processCpuSeconds();
        std::lock_guard<std::mutex> guard(g_lock);
        g_dataStart = Clock::now();
        g_cpuStart = cpu;
    }
    if (code == TCP_EV_RECV_DONE || code == TCP_EV_RECV_FAILED) {
        const double cpu = wirekit::platform::processCpuSeconds();
        std::lock_guard<std::mutex> guard(g_lock);
        // The session ends with 3013 once the sender closes after the file;
        // only a 3013 before 3011 is a failure.
        if (code == TCP_EV_RECV_DONE) {
            g_received = true;
            g_dataEnd = Clock::now();
            g_cpuEnd = cpu;
        } else if (!g_received) {
            g_failed = true;
        }
        g_changed.notify_all();
    }
}

void WIREKIT_CALLBACK clientEvents(int code, int) {
    if (code == TCP_EV_SEND_DONE || code == TCP_EV_SEND_FAILED || code == TCP_EV_DISCONNECTED) {
        std::lock_guard<std::mutex> guard(g_lock);
        (code == TCP_EV_SEND_DONE ? g_sent : g_failed) = true;
        g_changed.notify_all();
    }
}

Phases endpointRun(const std::string& source, const std::string& target) {
    Phases out;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_received = g_sent = g_failed = false;
    }
    g_target = target;
    g_server = Init_Tcp(serverEvents);
    void* client = Init_Tcp(clientEvents);
    ListenMessage_Tcp(g_server, 0);
    auto ep = wirekit::api::EndpointRegistry::instance().findTcp(g_server).tcp;
    const auto start = Clock::now();
    Connect_Tcp(client, "127.0.0.1", ep->listenPort());
    if (SendFile_Tcp(client, source.c_str()) == 1) {
        std::unique_lock<std::mutex> guard(g_lock);
        g_changed.wait_for(guard, std::chrono::minutes(5),
                           [] { return (g_received && g_sent) || g_failed; });
        out.ok = g_received && g_sent && !g_failed;
        out.setup = std::chrono::duration<double>(g_dataStart - start).count();
        out.data = std::chrono::duration<double>(g_dataEnd - g_dataStart).count();
        out.cpu = g_cpuEnd - g_cpuStart;
    }
    Close_Tcp(client);
    Close_Tcp(g_server);
    return out;
}

// ---- Raw baseline -------------------------------------------------------------
Phases rawRun(const std::string& source, const std::string& target, std::int64_t size) {
    Phases out;
    wirekit::core::ThreadGroup group;
    wirekit::net::Listener listener;
    const auto start = Clock::now();
    listener.listen(0, 5);
    std::mutex lock;
    std::condition_variable changed;
    bool done = false;  // under lock
    Clock::time_point dataStart, dataEnd;
    double cpuStart = 0, cpuEnd = 0;
    std::int64_t received = 0;
    auto startIn = [group](std::function<void()> fn) mutable { return group.start(std::move(fn)); };
    listener.start(startIn, [&](wirekit::platform::Socket s, int, const std::string&) {
        wirekit::net::StreamSocket conn;
        conn.attach(s);
        std::ofstream file(target, std::ios::binary | std::ios::trunc);
        std::vector<char> buf(CHUNK);
        std::int64_t got = 0;
        while (got < size) {
            int n = conn.receive(buf.data(), CHUNK, 60000);
            if (n <= 0) break;
            if (got == 0) {
                cpuStart = wirekit::platform::processCpuSeconds();
                dataStart = Clock::now();
            }
            file.write(buf.data(), n);
            got += n;
        }
        file.close();
        cpuEnd = wirekit::platform::processCpuSeconds();
        dataEnd = Clock::now();
        conn.disconnect();
        wirekit::platform::closeSocket(s);
        std::lock_guard<std::mutex> guard(lock);
        received = got;
        done = true;
        changed.notify_all();
    });
    std::thread sender([&] {
        wirekit::net::StreamSocket conn;
        if (conn.connect("127.0.0.1", listener.port()) != 1) return;
        std::ifstream in(source, std::ios::binary);
        std::vector<char> buf(CHUNK);
        while (in.read(buf.data(), CHUNK) || in.gcount() > 0) {
            if (conn.sendAll(buf.data(), static_cast<std::size_t>(in.gcount())) != 1) break;
        }
        std::unique_lock<std::mutex> guard(lock);
        changed.wait_for(guard, std::chrono::minutes(5), [&] { return done; });
    });
    sender.join();
    listener.stop();
    group.waitIdle();
    out.ok = done && received == size;
    out.setup = std::chrono::duration<double>(dataStart - start).count();
    out.data = std::chrono::duration<double>(dataEnd - dataStart).count();
    out.cpu = cpuEnd - cpuStart;
    return out;
}

fs::path scratchFolder() {
    const fs::path shm = "/dev/shm";
    std::error_code ec;
    const fs::path base = fs::is_directory(shm, ec) ? shm : fs::temp_directory_path();
    return base / ("wirekit_bench_" + std::to_string(std::rand()));
}

}  // namespace

int main(int argc, char** argv) {
    const long mib = argc > 1 ? std::max(1L, std::atol(argv[1])) : 256;
    const int pairs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const std::int64_t size = static_cast<std::int64_t>(mib) << 20;
    const fs::path dir = scratchFolder();
    fs::create_directories(dir);
    const std::string source = (dir / "source.bin").string();
    {
        std::ofstream out(source, std::ios::binary);
        std::vector<char> block(1 << 20);
        unsigned x = 12345;
        for (long i = 0; i < mib; ++i) {
            for (auto& c : block) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }
    std::printf("file transfer, %ld MiB over loopback, files in %s, %d pairs\n", mib,
                dir.parent_path().string().c_str(), pairs);
    std::printf(
        "  pair   raw MB/s  ms CPU/MiB  set-up ms   wirekit MB/s  ms CPU/MiB  set-up ms"
        "   ratio\n");
    const double mb = static_cast<double>(size) / 1e6;
    std::vector<double> ratios, cpuRatios;
    bool ok = true;
    for (int p = 0; p < pairs && ok; ++p) {
        const std::string rawTarget = (dir / "raw.bin").string();
        const std::string libTarget = (dir / "lib.bin").string();
        Phases raw, lib;
        if (p % 2 == 0) {
            raw = rawRun(source, rawTarget, size);
            lib = endpointRun(source, libTarget);
        } else {
            lib = endpointRun(source, libTarget);
            raw = rawRun(source, rawTarget, size);
        }
        std::error_code ec;
        const bool intact =
            lib.ok && fs::file_size(libTarget, ec) == static_cast<std::uintmax_t>(size);
        fs::remove(rawTarget, ec);
        fs::remove(libTarget, ec);
        if (!raw.ok || !intact) {
            std::printf("  pair %d failed (raw %s, wirekit %s)\n", p + 1, raw.ok ? "ok" : "FAILED",
                        intact ? "ok" : "FAILED");
            ok = false;
            break;
        }
        ratios.push_back(raw.data / lib.data);
        cpuRatios.push_back(raw.cpu / lib.cpu);
        std::printf("  %4d  %9.1f  %10.3f  %9.1f  %13.1f  %10.3f  %9.1f  %6.2f\n", p + 1,
                    mb / raw.data, raw.cpu / mib * 1e3, raw.setup * 1e3, mb / lib.data,
                    lib.cpu / mib * 1e3, lib.setup * 1e3, ratios.back());
    }
    if (ok) {
        std::printf(
            "  data phase: median ratio raw time / wirekit time %.2f (goal >= 0.95), "
            "median CPU ratio %.2f\n",
            median(ratios), median(cpuRatios));
    }
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return ok ? 0 : 1;
}
