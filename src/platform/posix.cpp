// POSIX sockets and files behind platform.h.
//
// File offsets are 64 bits wide also in a 32-bit process.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/platform.h"

namespace wirekit::platform {
namespace {

std::atomic<int> g_references{0};

sockaddr_in makeAddress(std::uint32_t address, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    a.sin_port = htons(static_cast<std::uint16_t>(port & 0xFFFF));
    return a;
}

int fd(Socket s) { return static_cast<int>(s); }

int onOff(Socket s, int level, int option) {
    int on = 1;
    return ::setsockopt(fd(s), level, option, &on, sizeof on) == 0 ? 0 : -1;
}

// Retries a call that a signal interrupted; the library's waits must not end
// early because the host process handles signals.
template <typename F>
auto retryEintr(F f) -> decltype(f()) {
    for (;;) {
        auto r = f();
        if (r == -1 && errno == EINTR) continue;
        return r;
    }
}

}  // namespace

int netStartup() {
    g_references.fetch_add(1);
    return 0;
}

void netCleanup() {
    int expected = g_references.load();
    while (expected > 0 && !g_references.compare_exchange_weak(expected, expected - 1)) {
    }
}

int netReferences() { return g_references.load(); }

// Descriptors are created close-on-exec so that a host that starts programs
// does not hand them our connections.
Socket tcpSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }
Socket udpSocket() { return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); }

int closeSocket(Socket s) {
    if (s == INVALID_SOCKET_VALUE) return -1;
    // close() must not be retried on EINTR: the descriptor is gone either way.
    return ::close(fd(s)) == 0 ? 0 : -1;
}

int shutdownReceive(Socket s) { return ::shutdown(fd(s), SHUT_RD) == 0 ? 0 : -1; }
int shutdownBoth(Socket s) { return ::shutdown(fd(s), SHUT_RDWR) == 0 ? 0 : -1; }

int setReuseAddress(Socket s) { return onOff(s, SOL_SOCKET, SO_REUSEADDR); }
int setBroadcast(Socket s) { return onOff(s, SOL_SOCKET, SO_BROADCAST); }
int setNoDelay(Socket s) { return onOff(s, IPPROTO_TCP, TCP_NODELAY); }
int ignoreConnectionReset(Socket) { return 0; }

int setBufferSizes(Socket s, int bytes) {
    int a = ::setsockopt(fd(s), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    int b = ::setsockopt(fd(s), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    return (a == 0 && b == 0) ? 0 : -1;
}

int setLingerReset(Socket s) {
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    return ::setsockopt(fd(s), SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0 ? 0 : -1;
}

int bindTo(Socket s, std::uint32_t address, int port) {
    sockaddr_in a = makeAddress(address, port);
    return ::bind(fd(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : -1;
}

// On Linux SO_REUSEADDR lets a listener bind over connections in TIME_WAIT but
// still refuses a port on which another socket listens, which is exactly the
// rule wanted for a listener that is restarted.
int bindListener(Socket s, int port) {
    if (setReuseAddress(s) != 0) return -1;
    return bindAny(s, port);
}

int listenOn(Socket s, int backlog) {
    // The kernel cuts a longer backlog to the system's limit (Linux's
    // net.core.somaxconn, the BSDs' kern.ipc.somaxconn), so asking for the
    // most gets that limit. SOMAXCONN is only what the C library's headers
    // say, 128 in many of them (older glibc, musl, macOS) on systems whose
    // kernel allows 4096.
    return ::listen(fd(s), backlog < 0 ? INT_MAX : backlog) == 0 ? 0 : -1;
}

Socket acceptConnection(Socket listener, std::uint32_t* peerAddress) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    int r = retryEintr([&] {
        return ::accept4(fd(listener), reinterpret_cast<sockaddr*>(&a), &len, SOCK_CLOEXEC);
    });
    if (r < 0) return INVALID_SOCKET_VALUE;
    if (peerAddress) *peerAddress = a.sin_addr.s_addr;
    return r;
}

int connectTo(Socket s, std::uint32_t address, int port) {
    sockaddr_in a = makeAddress(address, port);
    int r = ::connect(fd(s), reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (r != 0 && errno == EINTR) {
        // An interrupted connect goes on in the background; wait for its end.
        pollfd p{fd(s), POLLOUT, 0};
        if (retryEintr([&] { return ::poll(&p, 1, -1); }) < 0) return -1;
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(fd(s), SOL_SOCKET, SO_ERROR, &err, &len) != 0) return -1;
        if (err != 0) {
            errno = err;
            return -1;
        }
        return 0;
    }
    return r == 0 ? 0 : -1;
}

int localPort(Socket s) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd(s), reinterpret_cast<sockaddr*>(&a), &len) != 0) return -1;
    return ntohs(a.sin_port);
}

long sendBytes(Socket s, const void* data, std::size_t length) {
    return retryEintr([&] { return ::send(fd(s), data, length, MSG_NOSIGNAL); });
}

long sendBytesNow(Socket s, const void* data, std::size_t length) {
    return retryEintr([&] { return ::send(fd(s), data, length, MSG_NOSIGNAL | MSG_DONTWAIT); });
}

long sendGather(Socket s, const SendPart* parts, std::size_t count) {
    // One part goes with a plain send, the cheaper call.
    if (count == 1) return sendBytes(s, parts[0].data, parts[0].length);
    iovec vectors[64];
    if (count > 64) count = 64;
    for (std::size_t i = 0; i < count; ++i) {
        vectors[i].iov_base = const_cast<void*>(parts[i].data);
        vectors[i].iov_len = parts[i].length;
    }
    msghdr message{};
    message.msg_iov = vectors;
    message.msg_iovlen = count;
    return retryEintr([&] { return ::sendmsg(fd(s), &message, MSG_NOSIGNAL); });
}

long receiveBytes(Socket s, void* buffer, std::size_t length) {
    return retryEintr([&] { return ::recv(fd(s), buffer, length, 0); });
}

int setReceiveTimeout(Socket s, int timeoutMs) {
    timeval limit{};
    limit.tv_sec = timeoutMs / 1000;
    limit.tv_usec = static_cast<suseconds_t>(timeoutMs % 1000) * 1000;
    return ::setsockopt(fd(s), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0 ? 0 : -1;
}

// SO_RCVTIMEO makes the system end the wait with EAGAIN.
long receiveBytesTimed(Socket s, void* buffer, std::size_t length) {
    return receiveBytes(s, buffer, length);
}

long receiveBytesNow(Socket s, void* buffer, std::size_t length) {
    return retryEintr([&] { return ::recv(fd(s), buffer, length, MSG_DONTWAIT); });
}

long peekBytes(Socket s, void* buffer, std::size_t length) {
    return retryEintr([&] { return ::recv(fd(s), buffer, length, MSG_PEEK | MSG_DONTWAIT); });
}

long sendDatagram(Socket s, const void* data, std::size_t length, std::uint32_t address, int port) {
    sockaddr_in a = makeAddress(address, port);
    return retryEintr([&] {
        return ::sendto(fd(s), data, length, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&a),
                        sizeof a);
    });
}

long receiveDatagram(Socket s, void* buffer, std::size_t length, std::uint32_t* address,
                     int* port) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    long r = retryEintr([&] {
        return ::recvfrom(fd(s), buffer, length, 0, reinterpret_cast<sockaddr*>(&a), &len);
    });
    if (r >= 0) {
        if (address) *address = a.sin_addr.s_addr;
        if (port) *port = ntohs(a.sin_port);
    }
    return r;
}

namespace {
// Waits on the descriptors with poll until one is ready or timeoutMs (-1: no
// limit) has passed on the steady clock: a wait interrupted by a signal, or
// one that the kernel ends a little early, waits again for what is left, so
// that a time limit never ends before its deadline.
int pollUntil(pollfd* fds, nfds_t count, int timeoutMs) {
    // A look without a wait needs no clock.
    if (timeoutMs == 0) {
        const int r = retryEintr([&] { return ::poll(fds, count, 0); });
        return r < 0 ? -1 : r;
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    int wait = timeoutMs < 0 ? -1 : timeoutMs;
    for (;;) {
        int r = ::poll(fds, count, wait);
        if (r > 0) return r;
        if (r < 0 && errno != EINTR) return -1;
        if (timeoutMs < 0) continue;
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return 0;
        wait = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
    }
}
}  // namespace

// poll, not select: select cannot describe descriptors of 1024 and above.
int waitReadable(Socket s, int timeoutMs) {
    pollfd p{fd(s), POLLIN, 0};
    int r = pollUntil(&p, 1, timeoutMs);
    if (r < 0) return -1;
    if (r == 0) return 0;
    if (p.revents & POLLNVAL) {
        errno = EBADF;
        return -1;
    }
    return 1;  // POLLIN, POLLHUP and POLLERR all mean a read will not block
}

// One poll without a wait: this gates every message sent, so it is kept to
// the one call.
int pollReadable(Socket s) { return waitReadable(s, 0); }

long bytesPending(Socket s) {
    int n = 0;
    if (::ioctl(fd(s), FIONREAD, &n) != 0) return -1;
    return n;
}

struct Wakeup {
    int readEnd = -1;
    int writeEnd = -1;
};

Wakeup* createWakeup() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
    auto* w = new (std::nothrow) Wakeup{fds[0], fds[1]};
    if (!w) {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    return w;
}

void destroyWakeup(Wakeup* w) {
    if (!w) return;
    ::close(w->readEnd);
    ::close(w->writeEnd);
    delete w;
}

void raiseWakeup(Wakeup* w) {
    if (!w) return;
    char b = 1;
    // A full pipe already means "raised"; nothing else can go wrong here.
    [[maybe_unused]] ssize_t r = ::write(w->writeEnd, &b, 1);
}

void clearWakeup(Wakeup* w) {
    if (!w) return;
    char buf[64];
    while (::read(w->readEnd, buf, sizeof buf) > 0) {
    }
}

int waitReadableOrWoken(Socket s, Wakeup* w, int timeoutMs) {
    pollfd p[2] = {{fd(s), POLLIN, 0}, {w ? w->readEnd : -1, POLLIN, 0}};
    int r = pollUntil(p, w ? 2 : 1, timeoutMs);
    if (r < 0) return -1;
    if (r == 0) return 0;
    if (w && (p[1].revents & POLLIN)) return 2;
    if (p[0].revents & POLLNVAL) {
        errno = EBADF;
        return -1;
    }
    return 1;
}

int waitWoken(Wakeup* w, int timeoutMs) {
    if (!w) return -1;
    pollfd p{w->readEnd, POLLIN, 0};
    const int r = pollUntil(&p, 1, timeoutMs);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int lastError() { return errno; }

ErrorKind classifyError(int code) {
    switch (code) {
        case 0:
            return ErrorKind::None;
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
            return ErrorKind::WouldBlock;
        case EINTR:
            return ErrorKind::Interrupted;
        case ECONNRESET:
        case ECONNABORTED:
        case ECONNREFUSED:
        case EPIPE:
            return ErrorKind::ConnectionReset;
        case EMFILE:
        case ENFILE:
            return ErrorKind::TooManyFiles;
        default:
            return ErrorKind::Other;
    }
}

bool parseDottedAddress(const char* text, std::uint32_t* address) {
    if (!text) return false;
    in_addr a{};
    if (::inet_pton(AF_INET, text, &a) != 1) return false;
    if (address) *address = a.s_addr;
    return true;
}

std::string dottedText(std::uint32_t address) {
    const auto* b = reinterpret_cast<const unsigned char*>(&address);
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    return text;
}

bool resolveHost(const char* host, std::uint32_t* address) {
    if (!host || !*host) return false;
    if (parseDottedAddress(host, address)) return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &list) != 0 || !list) return false;
    const auto* a = reinterpret_cast<const sockaddr_in*>(list->ai_addr);
    if (address) *address = a->sin_addr.s_addr;
    ::freeaddrinfo(list);
    return true;
}

void* allocatePages(std::size_t bytes) {
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void freePages(void* pages, std::size_t bytes) {
    if (pages) ::munmap(pages, bytes);
}

ProcessUsage processUsage() {
    ProcessUsage result;
    rusage usage{};
    if (::getrusage(RUSAGE_SELF, &usage) != 0) return result;
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    result.userSeconds = seconds(usage.ru_utime);
    result.systemSeconds = seconds(usage.ru_stime);
    result.contextSwitches = usage.ru_nvcsw + usage.ru_nivcsw;
    return result;
}

namespace {
void* threadEntry(void* arg) {
    std::function<void()>* fn = static_cast<std::function<void()>*>(arg);
    try {
        (*fn)();
    } catch (...) {
    }
    delete fn;
    return nullptr;
}
}  // namespace

bool startThread(std::function<void()> fn, std::size_t stackBytes) {
    auto* heap = new (std::nothrow) std::function<void()>(std::move(fn));
    if (!heap) return false;
    pthread_attr_t attr;
    if (::pthread_attr_init(&attr) != 0) {
        delete heap;
        return false;
    }
    ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stackBytes > 0) {
        const long page = ::sysconf(_SC_PAGESIZE);
        const std::size_t pageBytes = page > 0 ? static_cast<std::size_t>(page) : 4096;
        std::size_t size = std::max<std::size_t>(stackBytes, PTHREAD_STACK_MIN);
        size = (size + pageBytes - 1) / pageBytes * pageBytes;
        ::pthread_attr_setstacksize(&attr, size);
    }
    pthread_t thread;
    const int rc = ::pthread_create(&thread, &attr, threadEntry, heap);
    ::pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete heap;
        return false;
    }
    return true;
}

static_assert(sizeof(off_t) == 8, "64-bit file offsets");

// Opened without waiting, so that a pipe with no writer does not block;
// the flag is then taken off again.
File openFileForReading(const char* path) {
    if (!path) return INVALID_FILE_VALUE;
    const int f = retryEintr([&] { return ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK); });
    if (f < 0) return INVALID_FILE_VALUE;
    struct stat info;
    if (::fstat(f, &info) != 0 || !S_ISREG(info.st_mode) ||
        ::fcntl(f, F_SETFL, ::fcntl(f, F_GETFL) & ~O_NONBLOCK) != 0) {
        ::close(f);
        return INVALID_FILE_VALUE;
    }
    return f;
}

File createFileForWriting(const char* path) {
    if (!path) return INVALID_FILE_VALUE;
    const int f =
        retryEintr([&] { return ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666); });
    return f < 0 ? INVALID_FILE_VALUE : f;
}

std::int64_t fileSize(File f) {
    struct stat info;
    if (::fstat(fd(f), &info) != 0) return -1;
    return static_cast<std::int64_t>(info.st_size);
}

int seekFile(File f, std::int64_t offset) {
    return ::lseek(fd(f), static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset) ? 0
                                                                                              : -1;
}

long readFile(File f, void* buffer, std::size_t length) {
    length = std::min<std::size_t>(length, LONG_MAX);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = retryEintr(
            [&] { return ::read(fd(f), static_cast<char*>(buffer) + done, length - done); });
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<long>(done);
}

int writeFile(File f, const void* data, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = retryEintr(
            [&] { return ::write(fd(f), static_cast<const char*>(data) + done, length - done); });
        if (n <= 0) return -1;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

int closeFile(File f) {
    if (f == INVALID_FILE_VALUE) return -1;
    // A failed close can be the first report of a failed write (on network
    // file systems), so it counts; it is not retried, as for sockets.
    return ::close(fd(f)) == 0 ? 0 : -1;
}

int openDescriptorCount() {
    DIR* d = ::opendir("/proc/self/fd");
    if (!d) return -1;
    int n = 0;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] != '.') ++n;
    }
    ::closedir(d);
    return n - 1;  // the directory stream's own descriptor
}

}  // namespace wirekit::platform
