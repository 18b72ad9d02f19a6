// What idle and hostile connections cost one listening TCP endpoint:
//   (a) accept rate: 1 000 connections opened one after another, unpaced;
//       median of five rounds alternating with a plain accept loop in the
//       same process (wall time and the server's CPU time per connection)
//   (b) N idle sessions held (default 10 000): RSS and threads per session at
//       every 1 000, and how long a new client waits for its message (five
//       new clients at every 1 000, alternating with five of a plain thread
//       that accepts and reads in the same process)
//   (c) 300 file offers nobody answers, from peers that leave at once, then
//       from peers that stay (the read limit shortened to 2 s): threads and
//       descriptors before, while they wait and after
//   (d) 200 peers streaming one endless message for 10 s: peak RSS against
//       the receive budget, sessions ended, and new clients' waits meanwhile
// The clients run in a child process of their own (each side needs a
// descriptor per connection), forked before the endpoint starts a thread.
// Linux only: it reads /proc/self. Raises RLIMIT_NOFILE as far as it may.
#include <poll.h>
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
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/registry.h"
#include "bench_support.h"
#include "core/timing.h"
#include "platform/platform.h"
#include "tcp/tcp_endpoint.h"
#include "wirekit.h"

namespace {

using wirekit::bench::median;

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

long threads() { return statusKiB("Threads"); }

// User plus system CPU time of this process (every thread), in milliseconds.
double cpuMs() { return platform::processCpuSeconds() * 1000.0; }

// Up to 65 536 descriptors where the process may raise its hard limit
// (root), otherwise the hard limit.
long raiseDescriptorLimit() {
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) != 0) return -1;
    rlimit wanted = r;
    wanted.rlim_cur = wanted.rlim_max = std::max<rlim_t>(r.rlim_max, 65536);
    if (setrlimit(RLIMIT_NOFILE, &wanted) == 0) return static_cast<long>(wanted.rlim_cur);
    r.rlim_cur = r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
    return static_cast<long>(r.rlim_cur);
}

std::uint32_t loopback() {
    std::uint32_t a = 0;
    platform::parseDottedAddress("127.0.0.1", &a);
    return a;
}

bool waitUntil(const std::function<bool()>& done, std::chrono::seconds limit) {
    const auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// ---- The client process ------------------------------------------------------
// Commands arrive one per line; each is answered with a line (a count) once
// it is done.
//   connect PORT K       open K connections one after another and hold them
//   close                close every connection held
//   offers PORT K        K connections that offer a file and close at once
//   offers-stay PORT K   K connections that offer a file and are held
//   stream PORT K S      K connections sending one endless message for S s
//   quit
Socket connectTo(int port) {
    Socket s = platform::tcpSocket();
    if (s != platform::INVALID_SOCKET_VALUE && platform::connectTo(s, loopback(), port) == 0)
        return s;
    if (s != platform::INVALID_SOCKET_VALUE) platform::closeSocket(s);
    return platform::INVALID_SOCKET_VALUE;
}

// Writes 64 KiB blocks into every stream until `end`, one writer thread per
// 25 streams; a stream the endpoint gave up on fails its send and is closed.
void streamUntil(const std::vector<Socket>& streams, Clock::time_point end) {
    std::vector<std::thread> writers;
    for (std::size_t first = 0; first < streams.size(); first += 25) {
        writers.emplace_back([&, first] {
            std::vector<char> chunk(64 * 1024, 'x');
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
}

void clientProcess(int in, int out) {
    FILE* commands = fdopen(in, "r");
    FILE* answers = fdopen(out, "w");
    const std::string offer = std::string("SENDFILE:a,1") + "\x05\x06";
    std::vector<Socket> held;
    char line[128];
    while (std::fgets(line, sizeof line, commands)) {
        char what[32] = {};
        long port = 0, count = 0, seconds = 0;
        std::sscanf(line, "%31s %ld %ld %ld", what, &port, &count, &seconds);
        const std::string command = what;
        if (command == "quit") break;
        long done = 0;
        if (command == "close") {
            for (Socket s : held) platform::closeSocket(s);
            done = static_cast<long>(held.size());
            held.clear();
        } else if (command == "connect" || command == "offers" || command == "offers-stay") {
            for (long i = 0; i < count; ++i) {
                Socket s = connectTo(static_cast<int>(port));
                if (s == platform::INVALID_SOCKET_VALUE) continue;
                ++done;
                if (command != "connect") platform::sendBytes(s, offer.data(), offer.size());
                if (command == "offers")
                    platform::closeSocket(s);
                else
                    held.push_back(s);
            }
        } else if (command == "stream") {
            std::vector<Socket> streams;
            for (long i = 0; i < count; ++i) {
                Socket s = connectTo(static_cast<int>(port));
                if (s == platform::INVALID_SOCKET_VALUE) continue;
                platform::sendBytes(s, "\x05\x07", 2);
                streams.push_back(s);
            }
            streamUntil(streams, Clock::now() + std::chrono::seconds(seconds));
            done = static_cast<long>(streams.size());
        }
        std::fprintf(answers, "%ld\n", done);
        std::fflush(answers);
    }
    for (Socket s : held) platform::closeSocket(s);
}

struct Client {
    FILE* commands = nullptr;
    int answers = -1;
    pid_t pid = -1;

    void send(const std::string& command) {
        std::fprintf(commands, "%s\n", command.c_str());
        std::fflush(commands);
    }
    // True once the answer to the last command has arrived (waits up to
    // waitMs for it).
    bool answered(int waitMs) {
        pollfd p{answers, POLLIN, 0};
        return poll(&p, 1, waitMs) == 1;
    }
    long answer() {
        std::string text;
        char c;
        while (read(answers, &c, 1) == 1 && c != '\n') text += c;
        return std::atol(text.c_str());
    }
    long ask(const std::string& command) {
        send(command);
        return answer();
    }
};

Client startClient() {
    int down[2], up[2];
    if (pipe(down) != 0 || pipe(up) != 0) std::exit(1);
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        close(down[1]);
        close(up[0]);
        clientProcess(down[0], up[1]);
        _exit(0);
    }
    close(down[0]);
    close(up[1]);
    return Client{fdopen(down[1], "w"), up[0], pid};
}

// ---- The endpoint under test ---------------------------------------------
std::atomic<long> g_connected{0}, g_ended{0}, g_messages{0}, g_fileEnds{0}, g_offers{0};
void* g_server = nullptr;

void serverEvents(int code, int param) {
    if (code == TCP_EV_CONNECTED) ++g_connected;
    if (code == TCP_EV_DISCONNECTED) ++g_ended;
    if (code == TCP_EV_FILE_OFFER) ++g_offers;
    if (code == TCP_EV_RECV_FAILED) ++g_fileEnds;
    if (code == TCP_EV_MSG_RECEIVED) {
        std::vector<char> buffer(static_cast<std::size_t>(param));
        GetMessage_Tcp(g_server, buffer.data(), param);
        ++g_messages;
    }
}

std::size_t sessions() {
    return wirekit::api::EndpointRegistry::instance().findTcp(g_server).tcp->sessionCount();
}

// Waits until the endpoint serves no session and its threads have ended.
void settle(long threadsIdle) {
    waitUntil([&] { return sessions() == 0 && threads() <= threadsIdle; },
              std::chrono::seconds(120));
}

const char PROBE_FRAME[] = "\x05\x07probe\x05\x07";
constexpr std::size_t PROBE_BYTES = sizeof PROBE_FRAME - 1;

// A new client's wait: connect, send one message, until `received` counts
// it; -1 when it did not arrive within 10 s.
double probe(int port, const std::atomic<long>& received = g_messages) {
    const long before = received.load();
    const auto start = Clock::now();
    Socket s = connectTo(port);
    if (s == platform::INVALID_SOCKET_VALUE) return -1;
    platform::sendBytes(s, PROBE_FRAME, PROBE_BYTES);
    const bool got = waitUntil([&] { return received.load() > before; }, std::chrono::seconds(10));
    const double elapsed = ms(Clock::now() - start);
    platform::closeSocket(s);
    return got ? elapsed : -1;
}

// The baseline for new clients: one thread that accepts a connection, reads
// the probe's bytes and counts them, with no session thread and no event.
class PlainProbeServer {
public:
    PlainProbeServer() : listener_(platform::tcpSocket()) {
        platform::bindListener(listener_, 0);
        platform::listenOn(listener_, platform::BACKLOG_MAX);
        port_ = platform::localPort(listener_);
        thread_ = std::thread([this] { serve(); });
    }
    ~PlainProbeServer() {
        stop_.store(true);
        thread_.join();
        platform::closeSocket(listener_);
    }
    double probe() { return ::probe(port_, received_); }

private:
    void serve() {
        while (!stop_.load()) {
            if (platform::waitReadable(listener_, 100) != 1) continue;
            Socket c = platform::acceptConnection(listener_, nullptr);
            if (c == platform::INVALID_SOCKET_VALUE) continue;
            char buffer[64];
            std::size_t got = 0;
            while (got < PROBE_BYTES && platform::waitReadable(c, 10000) == 1) {
                const long n = platform::receiveBytes(c, buffer, sizeof buffer);
                if (n <= 0) break;
                got += static_cast<std::size_t>(n);
            }
            if (got >= PROBE_BYTES) ++received_;
            platform::closeSocket(c);
        }
    }

    Socket listener_;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<long> received_{0};
    std::thread thread_;
};

struct Probes {
    std::vector<double> waits;
    int lost = 0;
    void add(double wait) {
        if (wait < 0)
            ++lost;
        else
            waits.push_back(wait);
    }
    void print(const char* when) const {
        const double worst = waits.empty() ? 0 : *std::max_element(waits.begin(), waits.end());
        std::printf("  new clients %s: %zu served, median %.2f ms, worst %.2f ms%s\n", when,
                    waits.size(), median(waits), worst,
                    lost ? (" [" + std::to_string(lost) + " NOT SERVED]").c_str() : "");
    }
};

// ---- (a) accept rate -----------------------------------------------------------
struct Round {
    double wallMs, cpuMs;
};

// A plain accept loop that only takes connections, on a thread of its own.
Round plainAcceptRound(Client& client, long count) {
    Socket listener = platform::tcpSocket();
    platform::bindListener(listener, 0);
    platform::listenOn(listener, platform::BACKLOG_MAX);
    const int port = platform::localPort(listener);
    std::atomic<long> accepted{0};
    std::vector<Socket> taken;
    const double cpu0 = cpuMs();
    const auto start = Clock::now();
    std::thread acceptor([&] {
        while (accepted.load() < count && platform::waitReadable(listener, 10000) == 1) {
            Socket c = platform::acceptConnection(listener, nullptr);
            if (c == platform::INVALID_SOCKET_VALUE) break;
            taken.push_back(c);
            ++accepted;
        }
    });
    client.ask("connect " + std::to_string(port) + " " + std::to_string(count));
    acceptor.join();
    const Round round{ms(Clock::now() - start), cpuMs() - cpu0};
    client.ask("close");
    for (Socket c : taken) platform::closeSocket(c);
    platform::closeSocket(listener);
    return round;
}

// The endpoint: until it has raised 3015 for every connection.
Round endpointAcceptRound(Client& client, int port, long count, long threadsIdle) {
    const long target = g_connected.load() + count;
    const double cpu0 = cpuMs();
    const auto start = Clock::now();
    client.ask("connect " + std::to_string(port) + " " + std::to_string(count));
    const bool all =
        waitUntil([&] { return g_connected.load() >= target; }, std::chrono::seconds(60));
    const Round round{ms(Clock::now() - start), cpuMs() - cpu0};
    if (!all) std::printf("  [NOT ALL %ld ACCEPTED]\n", count);
    client.ask("close");
    settle(threadsIdle);
    return round;
}

void acceptRate(Client& client, int port, long threadsIdle) {
    constexpr long COUNT = 1000;
    constexpr int ROUNDS = 5;
    std::vector<double> wall, cpu, plainWall, plainCpu;
    for (int i = 0; i < ROUNDS; ++i) {
        for (int k = 0; k < 2; ++k) {
            if ((i + k) % 2 == 0) {
                const Round r = endpointAcceptRound(client, port, COUNT, threadsIdle);
                wall.push_back(r.wallMs);
                cpu.push_back(r.cpuMs);
            } else {
                const Round r = plainAcceptRound(client, COUNT);
                plainWall.push_back(r.wallMs);
                plainCpu.push_back(r.cpuMs);
            }
        }
    }
    const double w = median(wall), p = median(plainWall);
    std::printf(
        "(a) accept: %ld unpaced sequential connects, median of %d alternating rounds\n"
        "  endpoint    %7.1f ms (%6.0f/s)  CPU %5.1f us per connection  (rounds %.0f..%.0f "
        "ms)\n"
        "  plain loop  %7.1f ms (%6.0f/s)  CPU %5.1f us per connection\n",
        COUNT, ROUNDS, w, COUNT / (w / 1000), median(cpu) * 1000 / COUNT,
        *std::min_element(wall.begin(), wall.end()), *std::max_element(wall.begin(), wall.end()), p,
        COUNT / (p / 1000), median(plainCpu) * 1000 / COUNT);
}

// ---- (b) idle sessions -----------------------------------------------------------
void idleSessions(Client& client, int port, long idle, long threadsIdle) {
    const long rss0 = statusKiB("VmRSS");
    const long threads0 = threads();
    std::printf("(b) idle sessions (RSS %.1f MB and %ld threads before)\n", rss0 / 1024.0,
                threads0);
    Probes probes, plainProbes;
    auto plain = std::make_unique<PlainProbeServer>();
    long held = 0;
    const long connected0 = g_connected.load();
    while (held < idle) {
        const long step = std::min(1000L, idle - held);
        client.ask("connect " + std::to_string(port) + " " + std::to_string(step));
        held += step;
        waitUntil([&] { return g_connected.load() - connected0 >= held; },
                  std::chrono::seconds(60));
        const long rss = statusKiB("VmRSS");
        const long t = threads() - threads0;
        double worst = 0, plainWorst = 0;
        for (int k = 0; k < 5; ++k) {
            const double wait = probe(port), plainWait = plain->probe();
            probes.add(wait);
            plainProbes.add(plainWait);
            worst = wait < 0 ? 10000 : std::max(worst, wait);
            plainWorst = plainWait < 0 ? 10000 : std::max(plainWorst, plainWait);
        }
        std::printf(
            "  %6ld sessions  RSS %7.1f MB  %5.1f KiB and %.2f threads per session; new clients "
            "%5.2f ms at worst (plain %5.2f)\n",
            held, rss / 1024.0, static_cast<double>(rss - rss0) / static_cast<double>(held),
            static_cast<double>(t) / static_cast<double>(held), worst, plainWorst);
        std::fflush(stdout);
    }
    probes.print("while they were held (5 at every 1000)");
    plainProbes.print("of the plain accept-and-read thread, alternating");
    plain.reset();
    client.ask("close");
    settle(threadsIdle);
}

// ---- (c) unanswered offers ---------------------------------------------------------
void unansweredOffers(Client& client, int port, long threadsIdle) {
    constexpr long COUNT = 300;
    settle(threadsIdle);
    auto state = [] {
        return "threads " + std::to_string(threads()) + ", descriptors " +
               std::to_string(platform::openDescriptorCount());
    };
    std::printf("(c) %ld unanswered offers (%s before)\n", COUNT, state().c_str());
    long target = g_fileEnds.load() + COUNT;
    auto start = Clock::now();
    client.ask("offers " + std::to_string(port) + " " + std::to_string(COUNT));
    bool ended = waitUntil([&] { return g_fileEnds.load() >= target; }, std::chrono::seconds(90));
    double took = ms(Clock::now() - start);
    settle(threadsIdle);
    std::printf(
        "  peers that left at once: all ended (3013)%s %.0f ms after the first connect; %s\n",
        ended ? "" : " [NOT ALL]", took, state().c_str());

    wirekit::timing::setReadTimeoutMs(2000);
    target = g_fileEnds.load() + COUNT;
    const long offers0 = g_offers.load();
    start = Clock::now();
    client.ask("offers-stay " + std::to_string(port) + " " + std::to_string(COUNT));
    waitUntil([&] { return g_offers.load() - offers0 >= COUNT; }, std::chrono::seconds(30));
    const std::string waiting = state();
    ended = waitUntil([&] { return g_fileEnds.load() >= target; }, std::chrono::seconds(30));
    took = ms(Clock::now() - start);
    settle(threadsIdle);
    std::printf(
        "  peers that stay, read limit 2 s: %s while they wait; all ended (3013)%s %.0f ms after "
        "the first connect; %s\n",
        waiting.c_str(), ended ? "" : " [NOT ALL]", took, state().c_str());
    client.ask("close");
    wirekit::timing::restoreDefaults();
}

// ---- (d) hostile streams -------------------------------------------------------------
void hostileStreams(Client& client, int port, long threadsIdle) {
    constexpr long PEERS = 200;
    constexpr int SECONDS = 10;
    settle(threadsIdle);
    {
        std::ofstream reset("/proc/self/clear_refs");
        reset << "5";  // resets VmHWM, the peak
    }
    const long rssBefore = statusKiB("VmRSS");
    const long ended0 = g_ended.load();
    Probes probes;
    client.send("stream " + std::to_string(port) + " " + std::to_string(PEERS) + " " +
                std::to_string(SECONDS));
    while (!client.answered(500)) probes.add(probe(port));
    client.answer();
    std::printf(
        "(d) %ld peers streaming one endless message for %d s: peak RSS %.1f MB (%.1f MB before; "
        "budget %d MiB); %ld of their sessions ended (3999)\n",
        PEERS, SECONDS, statusKiB("VmHWM") / 1024.0, rssBefore / 1024.0,
        WIREKIT_TCP_RECEIVE_BUDGET >> 20, g_ended.load() - ended0);
    probes.print("meanwhile (one every 500 ms)");
    settle(threadsIdle);
}

}  // namespace

int main(int argc, char** argv) {
    const long idle = argc > 1 ? std::atol(argv[1]) : 10000;
    const long limit = raiseDescriptorLimit();
    platform::netStartup();
    // Forked while this process has one thread.
    Client client = startClient();
    std::printf("descriptor limit %ld\n", limit);

    g_server = Init_Tcp(serverEvents);
    ListenMessage_Tcp(g_server, 0);
    const int port = wirekit::api::EndpointRegistry::instance().findTcp(g_server).tcp->listenPort();
    // The listening endpoint's own threads (the accept thread).
    const long threadsIdle = threads();

    acceptRate(client, port, threadsIdle);
    idleSessions(client, port, idle, threadsIdle);
    unansweredOffers(client, port, threadsIdle);
    hostileStreams(client, port, threadsIdle);

    client.ask("quit");
    waitpid(client.pid, nullptr, 0);
    Close_Tcp(g_server);
    return 0;
}
