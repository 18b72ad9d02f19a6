// What idle and hostile connections cost one listening TCP endpoint, next to
// a plain accept loop measured in the same run:
//   (a) accept rate: 1 000 connections opened one after another, unpaced
//   (b) N idle sessions held (default 10 000): RSS and threads per session,
//       and how long a new client waits for its message at every 1 000
//   (c) 300 offers whose peers leave at once: threads and descriptors after
//   (d) 200 peers streaming one endless message: peak RSS
// The clients run in a child process of their own (each side needs a
// descriptor per connection). Linux only: it reads /proc/self.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "api/registry.h"
#include "platform/platform.h"
#include "tcp/tcp_endpoint.h"
#include "wirekit.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace platform = wirekit::platform;
using platform::Socket;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

long statusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(in, line))
        if (line.compare(0, prefix.size(), prefix) == 0)
            return std::atol(line.c_str() + prefix.size());
    return -1;
}

void raiseDescriptorLimit() {
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) == 0) {
        r.rlim_cur = r.rlim_max;
        setrlimit(RLIMIT_NOFILE, &r);
    }
}

std::uint32_t loopback() {
    std::uint32_t a = 0;
    platform::parseDottedAddress("127.0.0.1", &a);
    return a;
}

// ---- The endpoint's events -----------------------------------------------
std::atomic<long> g_connected{0}, g_ended{0}, g_messages{0}, g_fileEnds{0};
void* g_server = nullptr;

void serverEvents(int code, int param) {
    if (code == TCP_EV_CONNECTED) ++g_connected;
    if (code == TCP_EV_DISCONNECTED) ++g_ended;
    if (code == TCP_EV_RECV_FAILED) ++g_fileEnds;
    if (code == TCP_EV_MSG_RECEIVED) {
        std::vector<char> buffer(static_cast<std::size_t>(param));
        GetMessage_Tcp(g_server, buffer.data(), param);
        ++g_messages;
    }
}

bool waitFor(const std::atomic<long>& counter, long target, std::chrono::seconds limit) {
    const auto end = Clock::now() + limit;
    while (counter.load() < target) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// ---- The client process ------------------------------------------------------
// Commands arrive one per line on `in`; each is answered with a line on
// `out` once it is done.
//   connect K        open K connections one after another and keep them
//   offers K         K connections that send a file offer and close at once
//   stream K SECONDS K connections sending one endless message
//   quit
void clientProcess(int in, int out, int port) {
    FILE* commands = fdopen(in, "r");
    FILE* answers = fdopen(out, "w");
    std::vector<Socket> held;
    char line[128];
    while (std::fgets(line, sizeof line, commands)) {
        char what[32] = {};
        long count = 0, seconds = 0;
        std::sscanf(line, "%31s %ld %ld", what, &count, &seconds);
        const std::string command = what;
        if (command == "quit") break;
        long done = 0;
        if (command == "connect" || command == "offers") {
            const std::string offer = std::string("SENDFILE:a,1") + "\x05\x06";
            for (long i = 0; i < count; ++i) {
                Socket s = platform::tcpSocket();
                if (s == platform::INVALID_SOCKET_VALUE ||
                    platform::connectTo(s, loopback(), port) != 0) {
                    if (s != platform::INVALID_SOCKET_VALUE) platform::closeSocket(s);
                    continue;
                }
                ++done;
                if (command == "connect") {
                    held.push_back(s);
                } else {
                    platform::sendBytes(s, offer.data(), offer.size());
                    platform::closeSocket(s);
                }
            }
        } else if (command == "stream") {
            std::vector<Socket> streams;
            for (long i = 0; i < count; ++i) {
                Socket s = platform::tcpSocket();
                if (platform::connectTo(s, loopback(), port) != 0) continue;
                platform::sendBytes(s, "\x05\x07", 2);
                streams.push_back(s);
            }
            std::vector<char> chunk(64 * 1024, 'x');
            const auto end = Clock::now() + std::chrono::seconds(seconds);
            // One writer per 25 streams; a stream the endpoint gave up on
            // fails its send and is dropped.
            std::vector<std::thread> writers;
            for (std::size_t first = 0; first < streams.size(); first += 25) {
                writers.emplace_back([&, first] {
                    std::vector<Socket> mine(
                        streams.begin() + static_cast<long>(first),
                        streams.begin() + static_cast<long>(std::min(first + 25, streams.size())));
                    while (Clock::now() < end && !mine.empty()) {
                        for (std::size_t k = 0; k < mine.size();) {
                            if (platform::sendBytesNow(mine[k], chunk.data(), chunk.size()) < 0 &&
                                platform::classifyError(platform::lastError()) !=
                                    platform::ErrorKind::WouldBlock) {
                                platform::closeSocket(mine[k]);
                                mine.erase(mine.begin() + static_cast<long>(k));
                                continue;
                            }
                            ++k;
                        }
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    }
                    for (Socket s : mine) platform::closeSocket(s);
                });
            }
            for (auto& w : writers) w.join();
            done = static_cast<long>(streams.size());
        }
        std::fprintf(answers, "%ld\n", done);
        std::fflush(answers);
    }
    for (Socket s : held) platform::closeSocket(s);
}

struct Client {
    FILE* commands;
    FILE* answers;
    pid_t pid;
    long ask(const std::string& command) {
        std::fprintf(commands, "%s\n", command.c_str());
        std::fflush(commands);
        char line[64];
        return std::fgets(line, sizeof line, answers) ? std::atol(line) : -1;
    }
};

Client startClient(int port) {
    int down[2], up[2];
    if (pipe(down) != 0 || pipe(up) != 0) std::exit(1);
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        close(down[1]);
        close(up[0]);
        clientProcess(down[0], up[1], port);
        _exit(0);
    }
    close(down[0]);
    close(up[1]);
    return Client{fdopen(down[1], "w"), fdopen(up[0], "r"), pid};
}

// A new client's wait: connect, send one message, until the endpoint has it.
double probe(int port) {
    const long before = g_messages.load();
    const auto start = Clock::now();
    Socket s = platform::tcpSocket();
    if (platform::connectTo(s, loopback(), port) != 0) return -1;
    const char frame[] = "\x05\x07probe\x05\x07";
    platform::sendBytes(s, frame, sizeof frame - 1);
    const bool got = waitFor(g_messages, before + 1, std::chrono::seconds(10));
    const double elapsed = ms(Clock::now() - start);
    platform::closeSocket(s);
    return got ? elapsed : -1;
}

// The baseline: a plain accept loop that only takes and keeps connections.
double plainAcceptMs(long count) {
    Socket listener = platform::tcpSocket();
    platform::bindListener(listener, 0);
    platform::listenOn(listener, platform::BACKLOG_MAX);
    const int port = platform::localPort(listener);
    std::atomic<long> accepted{0};
    std::vector<Socket> taken;
    std::thread acceptor([&] {
        while (accepted.load() < count) {
            Socket c = platform::acceptConnection(listener, nullptr);
            if (c == platform::INVALID_SOCKET_VALUE) break;
            taken.push_back(c);
            ++accepted;
        }
    });
    Client client = startClient(port);
    const auto start = Clock::now();
    client.ask("connect " + std::to_string(count));
    waitFor(accepted, count, std::chrono::seconds(60));
    const double elapsed = ms(Clock::now() - start);
    client.ask("quit");
    waitpid(client.pid, nullptr, 0);
    acceptor.join();
    for (Socket c : taken) platform::closeSocket(c);
    platform::closeSocket(listener);
    return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    const long idle = argc > 1 ? std::atol(argv[1]) : 10000;
    raiseDescriptorLimit();
    platform::netStartup();

    const double plain = plainAcceptMs(1000);

    g_server = Init_Tcp(serverEvents);
    ListenMessage_Tcp(g_server, 0);
    const int port = wirekit::api::EndpointRegistry::instance().findTcp(g_server).tcp->listenPort();
    Client client = startClient(port);

    // (a) accept rate
    const long threads0 = statusKiB("Threads");
    const long rss0 = statusKiB("VmRSS");
    auto start = Clock::now();
    client.ask("connect 1000");
    const bool allAccepted = waitFor(g_connected, 1000, std::chrono::seconds(60));
    const double acceptMs = ms(Clock::now() - start);
    std::printf(
        "accept: 1000 sequential connects accepted in %.0f ms (%.0f/s)%s; "
        "plain accept loop %.0f ms (%.0f/s)\n",
        acceptMs, 1000 / (acceptMs / 1000), allAccepted ? "" : " [NOT ALL]", plain,
        1000 / (plain / 1000));

    // (b) idle sessions, with a probe at every 1 000
    auto report = [&](long held) {
        const long rss = statusKiB("VmRSS");
        std::printf("idle: %6ld sessions  RSS %7.1f MB (%.1f KiB per session)  threads %ld\n", held,
                    rss / 1024.0, static_cast<double>(rss - rss0) / static_cast<double>(held),
                    statusKiB("Threads") - threads0);
    };
    double worstProbe = probe(port);
    long held = 1000;
    report(held);
    while (held < idle) {
        const long step = std::min(1000L, idle - held);
        client.ask("connect " + std::to_string(step));
        held += step;
        waitFor(g_connected, held, std::chrono::seconds(60));
        worstProbe = std::max(worstProbe, probe(port));
        if (held % 5000 == 0 || held == idle) report(held);
    }
    std::printf(
        "idle: a new client's message arrived within %.2f ms at worst (every 1000 sessions)\n",
        worstProbe);
    client.ask("quit");
    waitpid(client.pid, nullptr, 0);
    waitFor(g_ended, g_connected.load(), std::chrono::seconds(120));

    // (c) offers whose peers leave at once
    client = startClient(port);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long fdsBefore = platform::openDescriptorCount();
    const long threadsBefore = statusKiB("Threads");
    const long endsBefore = g_fileEnds.load();
    start = Clock::now();
    client.ask("offers 300");
    const bool ended = waitFor(g_fileEnds, endsBefore + 300, std::chrono::seconds(90));
    const double offersMs = ms(Clock::now() - start);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::printf(
        "offers: 300 unanswered offers from peers that left: ended%s in %.0f ms; "
        "threads %ld -> %ld, descriptors %ld -> %ld\n",
        ended ? "" : " [NOT ALL]", offersMs, threadsBefore, statusKiB("Threads"), fdsBefore,
        static_cast<long>(platform::openDescriptorCount()));

    // (d) hostile streams: peak RSS
    {
        std::ofstream reset("/proc/self/clear_refs");
        reset << "5";  // resets the peak
    }
    const long rssBefore = statusKiB("VmRSS");
    client.ask("stream 200 10");
    std::printf(
        "hostile: 200 peers streaming one endless message for 10 s: peak RSS %.1f MB "
        "(%.1f MB before; budget %d MB); %ld sessions ended\n",
        statusKiB("VmHWM") / 1024.0, rssBefore / 1024.0, WIREKIT_TCP_RECEIVE_BUDGET >> 20,
        g_ended.load());
    client.ask("quit");
    waitpid(client.pid, nullptr, 0);
    Close_Tcp(g_server);
    return 0;
}
