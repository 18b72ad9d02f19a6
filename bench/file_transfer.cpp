// File transfer between two endpoints on loopback, next to a raw baseline in
// the same run: one thread reading the file and writing it over a plain TCP
// connection in 40 960-byte pieces, one thread writing what it receives to
// disk. Prints MB/s for both and the ratio.
//   file_transfer [MiB]   (512 by default)
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
#include "core/thread_group.h"
#include "net/listener.h"
#include "net/stream_socket.h"
#include "tcp/tcp_endpoint.h"
#include "wirekit.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr int CHUNK = 40960;

void* g_server = nullptr;
std::string g_target;
std::mutex g_lock;
std::condition_variable g_changed;
bool g_received = false, g_sent = false, g_failed = false;

void serverEvents(int code, int param) {
    if (code == TCP_EV_FILE_OFFER) {
        SetSavePath_Tcp(g_server, param, g_target.c_str());
        RecvFile_Tcp(g_server, param, true);
    }
    if (code == TCP_EV_RECV_DONE || code == TCP_EV_RECV_FAILED) {
        std::lock_guard<std::mutex> guard(g_lock);
        // The session ends with 3013 once the sender closes after the file;
        // only a 3013 before 3011 is a failure.
        if (code == TCP_EV_RECV_DONE)
            g_received = true;
        else if (!g_received)
            g_failed = true;
        g_changed.notify_all();
    }
}

void clientEvents(int code, int) {
    if (code == TCP_EV_SEND_DONE || code == TCP_EV_SEND_FAILED || code == TCP_EV_DISCONNECTED) {
        std::lock_guard<std::mutex> guard(g_lock);
        (code == TCP_EV_SEND_DONE ? g_sent : g_failed) = true;
        g_changed.notify_all();
    }
}

double endpointRun(const std::string& source, const std::string& target) {
    g_target = target;
    g_server = Init_Tcp(serverEvents);
    void* client = Init_Tcp(clientEvents);
    ListenMessage_Tcp(g_server, 0);
    auto ep = wirekit::api::EndpointRegistry::instance().findTcp(g_server).tcp;
    Connect_Tcp(client, "127.0.0.1", ep->listenPort());
    const auto start = Clock::now();
    if (SendFile_Tcp(client, source.c_str()) != 1) return -1;
    {
        std::unique_lock<std::mutex> guard(g_lock);
        g_changed.wait(guard, [] { return (g_received && g_sent) || g_failed; });
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    Close_Tcp(client);
    Close_Tcp(g_server);
    return g_failed ? -1 : elapsed;
}

double rawRun(const std::string& source, const std::string& target, std::int64_t size) {
    wirekit::core::ThreadGroup group;
    wirekit::net::Listener listener;
    listener.listen(0, 5);
    std::atomic<bool> done{false};
    auto startIn = [group](std::function<void()> fn) mutable { return group.start(std::move(fn)); };
    listener.start(startIn, [&](wirekit::platform::Socket s, int, const std::string&) {
        wirekit::net::StreamSocket conn;
        conn.attach(s);
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        std::vector<char> buf(CHUNK);
        std::int64_t got = 0;
        while (got < size) {
            int n = conn.receive(buf.data(), CHUNK, 60000);
            if (n <= 0) break;
            out.write(buf.data(), n);
            got += n;
        }
        out.close();
        conn.disconnect();
        wirekit::platform::closeSocket(s);
        done = true;
    });
    const auto start = Clock::now();
    std::thread sender([&] {
        wirekit::net::StreamSocket conn;
        conn.connect("127.0.0.1", listener.port());
        std::ifstream in(source, std::ios::binary);
        std::vector<char> buf(CHUNK);
        while (in.read(buf.data(), CHUNK) || in.gcount() > 0) {
            if (conn.sendAll(buf.data(), static_cast<std::size_t>(in.gcount())) != 1) break;
        }
        while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    sender.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    listener.stop();
    group.waitIdle();
    return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    const long mib = argc > 1 ? std::atol(argv[1]) : 512;
    const std::int64_t size = static_cast<std::int64_t>(mib) << 20;
    const fs::path dir =
        fs::temp_directory_path() / ("wirekit_bench_" + std::to_string(std::rand()));
    fs::create_directories(dir);
    const std::string source = (dir / "source.bin").string();
    {
        std::ofstream out(source, std::ios::binary);
        std::vector<char> block(1 << 20);
        unsigned x = 12345;
        for (auto& c : block) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
        for (long i = 0; i < mib; ++i)
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    const double mb = static_cast<double>(size) / 1e6;
    const double raw = rawRun(source, (dir / "raw.bin").string(), size);
    const double lib = endpointRun(source, (dir / "lib.bin").string());
    const bool intact = fs::file_size(dir / "lib.bin") == static_cast<std::uintmax_t>(size);
    std::printf("file transfer, %ld MiB over loopback\n", mib);
    std::printf("  raw baseline : %8.1f MB/s\n", mb / raw);
    if (lib > 0)
        std::printf("  endpoints    : %8.1f MB/s%s\n", mb / lib, intact ? "" : " (size mismatch)");
    else
        std::printf("  endpoints    : failed\n");
    if (lib > 0) std::printf("  ratio        : %8.2f\n", raw / lib);
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return lib > 0 && intact ? 0 : 1;
}
