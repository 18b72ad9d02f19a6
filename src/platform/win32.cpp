// Winsock 2.2 and the wide-character file calls behind platform.h.
//
// Windows does not end a blocked accept, recv or readiness wait when another
// thread shuts the socket down (only closesocket does, and closing a socket
// that another thread still uses lets its number be reused under that
// thread). So every wait here is built from events: the socket's own network
// events, selected with WSAEventSelect, and a stop event that
// shutdownReceive, shutdownBoth and closeSocket set. A blocking receive or
// accept is such a wait followed by the call.
//
// Every socket the layer opens or accepts is non-blocking from the start
// (WSAEventSelect would make it so at its first wait anyway), and every call
// that is meant to block (send, connect, receive, accept) takes WSAEWOULDBLOCK
// as "wait, then try again". A blocking send on Windows can be ended by
// neither a shutdown nor a wake-up, and when the connection breaks part-way
// it fails without saying how much of the buffer went out; sends built from
// non-blocking calls know their count and notice a shutdown.
//
// The layer keeps one record per socket it opened (the number of records is
// what openDescriptorCount reports); the record owns the two events and the
// stop flags, and is shared with the threads that wait, so closing a socket
// never frees what a waiting thread still reads.
//
// Files are opened by CreateFileW, so that a UTF-8 path names the same file
// whatever the ANSI code page is; a path that is not UTF-8 is read in the
// ANSI code page, as the narrow calls read every path.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// winsock2.h must come before windows.h.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>
#include <process.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

#include "platform/platform.h"

namespace wirekit::platform {
namespace {

using Clock = std::chrono::steady_clock;

// Two threads waiting on one socket share its network event, and one of them
// may reset it just after the other's wake-up was signalled; each wait
// therefore looks at the socket again at least this often.
constexpr DWORD RECHECK_MS = 250;
// Slice of a wait for room to send on a non-blocking socket, between which a
// shutdown or close on another thread is noticed.
constexpr long SEND_WAIT_SLICE_US = 50000;

std::atomic<int> g_references{0};

SOCKET sock(Socket s) { return static_cast<SOCKET>(s); }

sockaddr_in makeAddress(std::uint32_t address, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    a.sin_port = htons(static_cast<u_short>(port & 0xFFFF));
    return a;
}

int clampLength(std::size_t length) {
    return static_cast<int>(std::min<std::size_t>(length, INT_MAX));
}

int onOff(Socket s, int level, int option) {
    BOOL on = TRUE;
    return ::setsockopt(sock(s), level, option, reinterpret_cast<const char*>(&on), sizeof on) == 0
               ? 0
               : -1;
}

// What the layer knows about one open socket.
class SocketState {
public:
    SocketState() = default;
    SocketState(const SocketState&) = delete;
    SocketState& operator=(const SocketState&) = delete;
    ~SocketState() {
        if (netEvent_ != WSA_INVALID_EVENT) ::WSACloseEvent(netEvent_);
        if (stopEvent_) ::CloseHandle(stopEvent_);
    }

    // Creates the events and selects the socket's network events on the
    // first call. false (with the error set) when that fails.
    bool prepareWait(SOCKET s) {
        std::lock_guard<std::mutex> guard(lock_);
        if (selected_) return true;
        if (!stopEvent_) {
            stopEvent_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
            if (!stopEvent_) return failWith(static_cast<int>(::GetLastError()));
        }
        if (netEvent_ == WSA_INVALID_EVENT) {
            netEvent_ = ::WSACreateEvent();
            if (netEvent_ == WSA_INVALID_EVENT) return false;
        }
        if (::WSAEventSelect(s, netEvent_, FD_READ | FD_ACCEPT | FD_CLOSE) != 0) return false;
        selected_ = true;
        return true;
    }

    // Records a shutdown or close and wakes every thread waiting on the
    // socket. The flags stay set: later waits return at once.
    void stop(bool receive, bool send, bool closing) {
        if (receive) receiveStopped_.store(true);
        if (send) sendStopped_.store(true);
        if (closing) closed_.store(true);
        std::lock_guard<std::mutex> guard(lock_);
        if (stopEvent_) ::SetEvent(stopEvent_);
    }

    bool receiveStopped() const { return receiveStopped_.load(); }
    // How long receiveBytesTimed() waits (-1: no limit).
    int receiveTimeoutMs() const { return receiveTimeoutMs_.load(); }
    void setReceiveTimeoutMs(int ms) { receiveTimeoutMs_.store(ms); }
    bool sendStopped() const { return sendStopped_.load(); }
    bool closed() const { return closed_.load(); }
    // Valid after a successful prepareWait; neither changes afterwards.
    WSAEVENT netEvent() const { return netEvent_; }
    HANDLE stopEvent() const { return stopEvent_; }

private:
    static bool failWith(int code) {
        ::WSASetLastError(code);
        return false;
    }

    std::mutex lock_;  // guards the lazy set-up and the stop event's use
    WSAEVENT netEvent_ = WSA_INVALID_EVENT;
    HANDLE stopEvent_ = nullptr;
    bool selected_ = false;
    std::atomic<bool> receiveStopped_{false};
    std::atomic<int> receiveTimeoutMs_{-1};
    std::atomic<bool> sendStopped_{false};
    std::atomic<bool> closed_{false};
};

using StatePtr = std::shared_ptr<SocketState>;

// Never destroyed: threads a host left running may still use sockets while
// the process ends.
std::mutex& tableLock() {
    static auto* lock = new std::mutex;
    return *lock;
}
std::unordered_map<SOCKET, StatePtr>& table() {
    static auto* sockets = new std::unordered_map<SOCKET, StatePtr>;
    return *sockets;
}

void track(SOCKET s) {
    auto state = std::make_shared<SocketState>();
    std::lock_guard<std::mutex> guard(tableLock());
    // A record left under this number belonged to a socket closed behind
    // the layer's back; the number now names a new socket.
    table()[s] = std::move(state);
}

StatePtr untrack(SOCKET s) {
    std::lock_guard<std::mutex> guard(tableLock());
    auto it = table().find(s);
    if (it == table().end()) return nullptr;
    StatePtr state = std::move(it->second);
    table().erase(it);
    return state;
}

// The record of a socket; a valid socket that the layer did not open gets
// one. Null, with WSAENOTSOCK, for anything that is not a socket.
StatePtr stateOf(SOCKET s) {
    {
        std::lock_guard<std::mutex> guard(tableLock());
        auto it = table().find(s);
        if (it != table().end()) return it->second;
    }
    int type = 0;
    int length = sizeof type;
    if (s == INVALID_SOCKET ||
        ::getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) != 0) {
        ::WSASetLastError(WSAENOTSOCK);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(tableLock());
    auto& slot = table()[s];
    if (!slot) slot = std::make_shared<SocketState>();
    return slot;
}

// 1 when a read on the socket would not block right now, 0 when it would,
// -1 on failure. select takes a list of sockets on Windows, so any socket
// value fits.
int readableNow(SOCKET s) {
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(s, &readSet);
    timeval zero{0, 0};
    int r = ::select(0, &readSet, nullptr, nullptr, &zero);
    if (r == SOCKET_ERROR) return -1;
    return r > 0 ? 1 : 0;
}

// The wait behind waitReadable, waitReadableOrWoken and the blocking calls:
// 1 readable (or shut down for receiving), 2 woken, 0 time limit, -1 failure.
int waitOn(SOCKET s, SocketState& state, HANDLE wake, int timeoutMs) {
    if (!state.prepareWait(s)) return -1;
    const bool limited = timeoutMs >= 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
    for (;;) {
        if (wake && ::WaitForSingleObject(wake, 0) == WAIT_OBJECT_0) return 2;
        if (state.closed()) {
            ::WSASetLastError(WSAENOTSOCK);
            return -1;
        }
        if (state.receiveStopped()) return 1;
        // Reset before looking, so that readiness arriving after the look
        // signals the event again.
        ::WSAResetEvent(state.netEvent());
        int ready = readableNow(s);
        if (ready != 0) return ready;
        DWORD slice = RECHECK_MS;
        if (limited) {
            // Rounded up: a wait of what is left, cut to whole milliseconds,
            // would end before the deadline.
            const auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero()) return 0;
            const long long ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
            slice = static_cast<DWORD>(std::min<long long>(ms, RECHECK_MS));
        }
        WSAEVENT events[3] = {state.netEvent(), state.stopEvent(), wake};
        DWORD count = wake ? 3 : 2;
        if (::WSAWaitForMultipleEvents(count, events, FALSE, slice, FALSE) == WSA_WAIT_FAILED)
            return -1;
    }
}

// Waits until a send (or a pending connect) on a non-blocking socket can go
// on; false, with the error set, once the socket is shut down for sending or
// closed, or when select fails.
bool waitWritable(SOCKET s, const SocketState* state) {
    for (;;) {
        if (state && (state->sendStopped() || state->closed())) {
            ::WSASetLastError(WSAESHUTDOWN);
            return false;
        }
        fd_set writeSet;
        fd_set errorSet;
        FD_ZERO(&writeSet);
        FD_ZERO(&errorSet);
        FD_SET(s, &writeSet);
        FD_SET(s, &errorSet);
        timeval slice{0, SEND_WAIT_SLICE_US};
        int r = ::select(0, nullptr, &writeSet, &errorSet, &slice);
        if (r == SOCKET_ERROR) return false;
        if (r > 0) return true;
    }
}

// A receive that blocks until data, the end of the stream or a shutdown by
// another thread. `call` is one non-blocking receive returning its count or
// SOCKET_ERROR. After this layer shut the socket down for receiving, the
// stream reads as ended (0), as it does on POSIX.
// With `timed`, the wait ends after the socket's receive timeout with
// WSAEWOULDBLOCK.
template <typename Call>
long blockingReceive(Socket s, Call call, bool timed = false) {
    SOCKET h = sock(s);
    StatePtr state = stateOf(h);
    if (!state || !state->prepareWait(h)) return -1;
    const int limitMs = timed ? state->receiveTimeoutMs() : -1;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs < 0 ? 0 : limitMs);
    for (;;) {
        bool stopped = state->receiveStopped();
        long r = call(h);
        if (r != SOCKET_ERROR) return r;
        int err = ::WSAGetLastError();
        if (stopped && (err == WSAEWOULDBLOCK || err == WSAESHUTDOWN)) return 0;
        if (err != WSAEWOULDBLOCK) return -1;
        int waitMs = -1;
        if (limitMs >= 0) {
            const auto left = deadline - Clock::now();
            const long long ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
            if (ms <= 0) {
                ::WSASetLastError(WSAEWOULDBLOCK);
                return -1;
            }
            waitMs = static_cast<int>(ms);  // no more than limitMs: the deadline is that far
        }
        if (waitOn(h, *state, nullptr, waitMs) < 0) return -1;
    }
}

bool setNonBlocking(SOCKET s) {
    u_long on = 1;
    return ::ioctlsocket(s, FIONBIO, &on) == 0;
}

Socket openSocket(int type) {
    SOCKET h = ::WSASocketW(AF_INET, type, 0, nullptr, 0,
                            WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (h == INVALID_SOCKET && ::WSAGetLastError() == WSAEINVAL) {
        // Systems before Windows 7 SP1 refuse the no-inherit flag.
        h = ::WSASocketW(AF_INET, type, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
        if (h != INVALID_SOCKET)
            ::SetHandleInformation(reinterpret_cast<HANDLE>(h), HANDLE_FLAG_INHERIT, 0);
    }
    if (h == INVALID_SOCKET) return INVALID_SOCKET_VALUE;
    if (!setNonBlocking(h)) {
        int err = ::WSAGetLastError();
        ::closesocket(h);
        ::WSASetLastError(err);
        return INVALID_SOCKET_VALUE;
    }
    track(h);
    return static_cast<Socket>(h);
}

bool isListening(SOCKET s) {
    BOOL listening = FALSE;
    int length = sizeof listening;
    return ::getsockopt(s, SOL_SOCKET, SO_ACCEPTCONN, reinterpret_cast<char*>(&listening),
                        &length) == 0 &&
           listening;
}

// Ends the receiving direction (and with `bothDirections` the sending one).
// The receiving direction is ended by this layer alone, never with
// SD_RECEIVE: Windows answers every byte that arrives after SD_RECEIVE with a
// reset, which throws away what the peer had not read yet (a last answer
// just sent, say). What the layer does is what POSIX's SHUT_RD does: waits
// end, and receives return what is buffered and then the end of the stream.
int shutdownWith(Socket s, bool bothDirections) {
    SOCKET h = sock(s);
    StatePtr state = stateOf(h);
    if (!state) return -1;
    state->stop(true, bothDirections, false);
    if (!bothDirections) return 0;
    if (::shutdown(h, SD_SEND) == 0) return 0;
    const int err = ::WSAGetLastError();
    // A listening socket has no connection to shut down; ending the accept
    // that waits on it is what is wanted, and POSIX reports success too.
    if (err == WSAENOTCONN && isListening(h)) return 0;
    ::WSASetLastError(err);
    return -1;
}

}  // namespace

int netStartup() {
    WSADATA data;
    int r = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (r != 0) {
        ::WSASetLastError(r);
        return -1;
    }
    if (data.wVersion != MAKEWORD(2, 2)) {
        ::WSACleanup();
        ::WSASetLastError(WSAVERNOTSUPPORTED);
        return -1;
    }
    g_references.fetch_add(1);
    return 0;
}

void netCleanup() {
    int expected = g_references.load();
    while (expected > 0) {
        if (g_references.compare_exchange_weak(expected, expected - 1)) {
            ::WSACleanup();
            return;
        }
    }
}

int netReferences() { return g_references.load(); }

Socket tcpSocket() { return openSocket(SOCK_STREAM); }
Socket udpSocket() { return openSocket(SOCK_DGRAM); }

int closeSocket(Socket s) {
    if (s == INVALID_SOCKET_VALUE) {
        ::WSASetLastError(WSAENOTSOCK);
        return -1;
    }
    SOCKET h = sock(s);
    // Waiters are told before the number is released, so none of them goes
    // on to use it once the system hands it out again.
    if (StatePtr state = untrack(h)) state->stop(true, true, true);
    return ::closesocket(h) == 0 ? 0 : -1;
}

int shutdownReceive(Socket s) { return shutdownWith(s, false); }
int shutdownBoth(Socket s) { return shutdownWith(s, true); }

int setReuseAddress(Socket s) { return onOff(s, SOL_SOCKET, SO_REUSEADDR); }
int setBroadcast(Socket s) { return onOff(s, SOL_SOCKET, SO_BROADCAST); }
int setNoDelay(Socket s) { return onOff(s, IPPROTO_TCP, TCP_NODELAY); }

// Without this, an ICMP port-unreachable answering an earlier sendto makes a
// later recvfrom on the same socket fail with WSAECONNRESET.
int ignoreConnectionReset(Socket s) {
    BOOL report = FALSE;
    DWORD returned = 0;
    return ::WSAIoctl(sock(s), SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned,
                      nullptr, nullptr) == 0
               ? 0
               : -1;
}

int setBufferSizes(Socket s, int bytes) {
    const char* value = reinterpret_cast<const char*>(&bytes);
    int a = ::setsockopt(sock(s), SOL_SOCKET, SO_SNDBUF, value, sizeof bytes);
    int b = ::setsockopt(sock(s), SOL_SOCKET, SO_RCVBUF, value, sizeof bytes);
    return (a == 0 && b == 0) ? 0 : -1;
}

int setLingerReset(Socket s) {
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    return ::setsockopt(sock(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l),
                        sizeof l) == 0
               ? 0
               : -1;
}

int bindTo(Socket s, std::uint32_t address, int port) {
    sockaddr_in a = makeAddress(address, port);
    return ::bind(sock(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : -1;
}

// SO_REUSEADDR on Windows would let another socket bind a port on which this
// one listens; SO_EXCLUSIVEADDRUSE forbids that, and a listener bound
// without SO_REUSEADDR may already bind over connections left in TIME_WAIT.
int bindListener(Socket s, int port) {
    if (onOff(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE) != 0) return -1;
    return bindAny(s, port);
}

int listenOn(Socket s, int backlog) {
    return ::listen(sock(s), backlog < 0 ? SOMAXCONN : backlog) == 0 ? 0 : -1;
}

Socket acceptConnection(Socket listener, std::uint32_t* peerAddress) {
    SOCKET h = sock(listener);
    StatePtr state = stateOf(h);
    if (!state || !state->prepareWait(h)) return INVALID_SOCKET_VALUE;
    for (;;) {
        if (state->receiveStopped() || state->closed()) {
            ::WSASetLastError(WSAESHUTDOWN);
            return INVALID_SOCKET_VALUE;
        }
        sockaddr_in a{};
        int length = sizeof a;
        SOCKET c = ::accept(h, reinterpret_cast<sockaddr*>(&a), &length);
        if (c != INVALID_SOCKET) {
            // An accepted socket inherits the listener's event selection,
            // which belongs to the listener's events; its own comes with its
            // first wait. It stays non-blocking, as the listener is.
            ::WSAEventSelect(c, nullptr, 0);
            setNonBlocking(c);
            ::SetHandleInformation(reinterpret_cast<HANDLE>(c), HANDLE_FLAG_INHERIT, 0);
            track(c);
            if (peerAddress) *peerAddress = a.sin_addr.s_addr;
            return static_cast<Socket>(c);
        }
        if (::WSAGetLastError() != WSAEWOULDBLOCK) return INVALID_SOCKET_VALUE;
        if (waitOn(h, *state, nullptr, -1) < 0) return INVALID_SOCKET_VALUE;
    }
}

int connectTo(Socket s, std::uint32_t address, int port) {
    SOCKET h = sock(s);
    sockaddr_in a = makeAddress(address, port);
    if (::connect(h, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return 0;
    if (::WSAGetLastError() != WSAEWOULDBLOCK) return -1;
    // The connect goes on in the background on the non-blocking socket; it
    // blocks for the caller by waiting for its end here.
    StatePtr state = stateOf(h);
    if (!waitWritable(h, state.get())) return -1;
    int err = 0;
    int length = sizeof err;
    if (::getsockopt(h, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &length) != 0)
        return -1;
    if (err != 0) {
        ::WSASetLastError(err);
        return -1;
    }
    return 0;
}

int localPort(Socket s) {
    sockaddr_in a{};
    int length = sizeof a;
    if (::getsockname(sock(s), reinterpret_cast<sockaddr*>(&a), &length) != 0) return -1;
    return ntohs(a.sin_port);
}

// A send as a blocking POSIX send makes it: it returns once every byte is
// out, or with the count that went out before the connection failed (the
// failure then shows at the next send), or -1 when nothing went out. The
// connection's end, a shutdown for sending or a close on another thread stop
// the wait for room.
long sendBytes(Socket s, const void* data, std::size_t length) {
    SendPart part{data, length};
    return sendGather(s, &part, 1);
}

// The socket is non-blocking already: one send, no wait for room.
long sendBytesNow(Socket s, const void* data, std::size_t length) {
    int r = ::send(sock(s), static_cast<const char*>(data), clampLength(length), 0);
    return r == SOCKET_ERROR ? -1 : r;
}

long sendGather(Socket s, const SendPart* parts, std::size_t count) {
    if (count > 64) count = 64;
    WSABUF buffers[64];
    unsigned long long total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        buffers[i].buf = static_cast<CHAR*>(const_cast<void*>(parts[i].data));
        buffers[i].len = static_cast<ULONG>(clampLength(parts[i].length));
        total += buffers[i].len;
    }
    // The count goes back as a long, which is 32 bits wide on Windows.
    for (std::size_t i = 0; i < count; ++i) {
        if (total <= static_cast<unsigned long long>(LONG_MAX)) break;
        unsigned long long excess = total - LONG_MAX;
        std::size_t j = count - 1 - i;
        ULONG cut = static_cast<ULONG>(std::min<unsigned long long>(buffers[j].len, excess));
        buffers[j].len -= cut;
        total -= cut;
    }
    SOCKET h = sock(s);
    StatePtr state;
    std::size_t first = 0;
    long done = 0;
    for (;;) {
        while (first < count && buffers[first].len == 0) ++first;
        if (first == count) return done;
        DWORD sent = 0;
        int r = ::WSASend(h, buffers + first, static_cast<DWORD>(count - first), &sent, 0, nullptr,
                          nullptr);
        if (r == 0) {
            done += static_cast<long>(sent);
            // A short send: go on inside the buffer where it stopped.
            for (; first < count && sent >= buffers[first].len; ++first) sent -= buffers[first].len;
            if (first < count) {
                buffers[first].buf += sent;
                buffers[first].len -= sent;
            }
            continue;
        }
        int err = ::WSAGetLastError();
        if (err == WSAEWOULDBLOCK) {
            if (!state) state = stateOf(h);
            if (waitWritable(h, state.get())) continue;
            err = ::WSAGetLastError();
        }
        if (done > 0) return done;
        ::WSASetLastError(err);
        return -1;
    }
}

namespace {
long receiveInto(Socket s, void* buffer, std::size_t length, bool timed) {
    return blockingReceive(
        s,
        [&](SOCKET h) -> long {
            return ::recv(h, static_cast<char*>(buffer), clampLength(length), 0);
        },
        timed);
}
}  // namespace

long receiveBytes(Socket s, void* buffer, std::size_t length) {
    return receiveInto(s, buffer, length, false);
}

int setReceiveTimeout(Socket s, int timeoutMs) {
    StatePtr state = stateOf(sock(s));
    if (!state) return -1;
    state->setReceiveTimeoutMs(timeoutMs);
    return 0;
}

long receiveBytesTimed(Socket s, void* buffer, std::size_t length) {
    return receiveInto(s, buffer, length, true);
}

namespace {
// One non-blocking call with `flags`; after this layer shut the receiving
// direction down the stream reads as ended, as it does on POSIX.
long receiveWithoutWaiting(Socket s, void* buffer, std::size_t length, int flags) {
    SOCKET h = sock(s);
    StatePtr state = stateOf(h);
    if (!state) return -1;
    const bool stopped = state->receiveStopped();
    const int r = ::recv(h, static_cast<char*>(buffer), clampLength(length), flags);
    if (r != SOCKET_ERROR) return r;
    const int err = ::WSAGetLastError();
    if (stopped && (err == WSAEWOULDBLOCK || err == WSAESHUTDOWN)) return 0;
    ::WSASetLastError(err);
    return -1;
}
}  // namespace

long receiveBytesNow(Socket s, void* buffer, std::size_t length) {
    return receiveWithoutWaiting(s, buffer, length, 0);
}

long peekBytes(Socket s, void* buffer, std::size_t length) {
    return receiveWithoutWaiting(s, buffer, length, MSG_PEEK);
}

long sendDatagram(Socket s, const void* data, std::size_t length, std::uint32_t address, int port) {
    SOCKET h = sock(s);
    sockaddr_in a = makeAddress(address, port);
    StatePtr state;
    for (;;) {
        int r = ::sendto(h, static_cast<const char*>(data), clampLength(length), 0,
                         reinterpret_cast<sockaddr*>(&a), sizeof a);
        if (r != SOCKET_ERROR) return r;
        if (::WSAGetLastError() != WSAEWOULDBLOCK) return -1;
        if (!state) state = stateOf(h);
        if (!waitWritable(h, state.get())) return -1;
    }
}

long receiveDatagram(Socket s, void* buffer, std::size_t length, std::uint32_t* address,
                     int* port) {
    sockaddr_in a{};
    long r = blockingReceive(s, [&](SOCKET h) -> long {
        int addressLength = sizeof a;
        int n = ::recvfrom(h, static_cast<char*>(buffer), clampLength(length), 0,
                           reinterpret_cast<sockaddr*>(&a), &addressLength);
        // A datagram longer than the buffer fails on Windows, with the buffer
        // filled and the rest dropped; POSIX returns the part that fitted.
        if (n == SOCKET_ERROR && ::WSAGetLastError() == WSAEMSGSIZE) return clampLength(length);
        return n;
    });
    if (r >= 0) {
        if (address) *address = a.sin_addr.s_addr;
        if (port) *port = ntohs(a.sin_port);
    }
    return r;
}

int waitReadable(Socket s, int timeoutMs) { return waitReadableOrWoken(s, nullptr, timeoutMs); }

int pollReadable(Socket s) {
    SOCKET h = sock(s);
    {
        std::lock_guard<std::mutex> guard(tableLock());
        auto it = table().find(h);
        if (it != table().end() && it->second->receiveStopped()) return 1;
    }
    return readableNow(h);
}

long bytesPending(Socket s) {
    u_long n = 0;
    if (::ioctlsocket(sock(s), FIONREAD, &n) != 0) return -1;
    return static_cast<long>(n);
}

struct Wakeup {
    HANDLE event = nullptr;  // manual reset: stays signalled until cleared
};

Wakeup* createWakeup() {
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!event) {
        ::WSASetLastError(static_cast<int>(::GetLastError()));
        return nullptr;
    }
    auto* w = new (std::nothrow) Wakeup{event};
    if (!w) ::CloseHandle(event);
    return w;
}

void destroyWakeup(Wakeup* w) {
    if (!w) return;
    ::CloseHandle(w->event);
    delete w;
}

void raiseWakeup(Wakeup* w) {
    if (w) ::SetEvent(w->event);
}

void clearWakeup(Wakeup* w) {
    if (w) ::ResetEvent(w->event);
}

int waitReadableOrWoken(Socket s, Wakeup* w, int timeoutMs) {
    SOCKET h = sock(s);
    StatePtr state = stateOf(h);
    if (!state) return -1;
    return waitOn(h, *state, w ? w->event : nullptr, timeoutMs);
}

int waitWoken(Wakeup* w, int timeoutMs) {
    if (!w) return -1;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        DWORD wait = INFINITE;
        if (timeoutMs >= 0) {
            const auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero()) return 0;
            wait = static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
        }
        const DWORD r = ::WaitForSingleObject(w->event, wait);
        if (r == WAIT_OBJECT_0) return 1;
        if (r != WAIT_TIMEOUT) return -1;
        // A timed wait may end a little early; the loop waits for the rest.
    }
}

int lastError() { return ::WSAGetLastError(); }

ErrorKind classifyError(int code) {
    switch (code) {
        case 0:
            return ErrorKind::None;
        case WSAEWOULDBLOCK:
            return ErrorKind::WouldBlock;
        case WSAEINTR:
            return ErrorKind::Interrupted;
        case WSAECONNRESET:
        case WSAECONNABORTED:
        case WSAECONNREFUSED:
        case WSAENETRESET:
        case WSAESHUTDOWN:
            return ErrorKind::ConnectionReset;
        // Windows reports running out of sockets as a lack of buffer space.
        case WSAEMFILE:
        case WSAENOBUFS:
            return ErrorKind::TooManyFiles;
        default:
            return ErrorKind::Other;
    }
}

// Parsed here rather than by the socket library, which on Windows needs to be
// started first: four decimal numbers of 0..255 without leading zeros, the
// form inet_pton accepts on POSIX.
bool parseDottedAddress(const char* text, std::uint32_t* address) {
    if (!text) return false;
    unsigned char bytes[4];
    const char* p = text;
    for (int i = 0; i < 4; ++i) {
        if (i > 0 && *p++ != '.') return false;
        const char* start = p;
        unsigned value = 0;
        while (*p >= '0' && *p <= '9') {
            value = value * 10 + static_cast<unsigned>(*p - '0');
            if (value > 255 || p - start >= 3) return false;
            ++p;
        }
        if (p == start || (p - start > 1 && *start == '0')) return false;
        bytes[i] = static_cast<unsigned char>(value);
    }
    if (*p != '\0') return false;
    if (address) std::memcpy(address, bytes, sizeof bytes);
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
    return ::VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void freePages(void* pages, std::size_t) {
    if (pages) ::VirtualFree(pages, 0, MEM_RELEASE);
}

ProcessUsage processUsage() {
    ProcessUsage result;  // the process's switches are not counted here
    FILETIME created, exited, kernel, user;
    if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) return result;
    // FILETIME counts 100 ns units.
    auto seconds = [](const FILETIME& t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime) /
               1e7;
    };
    result.userSeconds = seconds(user);
    result.systemSeconds = seconds(kernel);
    return result;
}

namespace {
unsigned __stdcall threadEntry(void* arg) {
    std::function<void()>* fn = static_cast<std::function<void()>*>(arg);
    try {
        (*fn)();
    } catch (...) {
    }
    delete fn;
    return 0;
}
}  // namespace

bool startThread(std::function<void()> fn, std::size_t stackBytes) {
    auto* heap = new (std::nothrow) std::function<void()>(std::move(fn));
    if (!heap) return false;
    // The size is a reservation: the system commits pages as the stack grows.
    const unsigned size = static_cast<unsigned>(std::min<std::size_t>(stackBytes, UINT_MAX));
    const std::uintptr_t thread = ::_beginthreadex(nullptr, size, threadEntry, heap,
                                                   STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == 0) {
        delete heap;
        return false;
    }
    ::CloseHandle(reinterpret_cast<HANDLE>(thread));
    return true;
}

namespace {
// Text of `path` as the wide-character calls take it: UTF-8 when it is
// valid UTF-8, otherwise the ANSI code page. Empty when neither reads it.
std::wstring widePath(const char* path) {
    for (UINT codePage : {UINT{CP_UTF8}, UINT{CP_ACP}}) {
        const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
        const int n = ::MultiByteToWideChar(codePage, flags, path, -1, nullptr, 0);
        if (n <= 0) continue;
        std::wstring wide(static_cast<std::size_t>(n), L'\0');
        if (::MultiByteToWideChar(codePage, flags, path, -1, &wide[0], n) != n) continue;
        wide.resize(static_cast<std::size_t>(n - 1));  // the terminator
        return wide;
    }
    return std::wstring();
}

HANDLE handle(File f) { return reinterpret_cast<HANDLE>(f); }

File openWide(const char* path, DWORD access, DWORD share, DWORD disposition) {
    if (!path || !*path) return INVALID_FILE_VALUE;
    const std::wstring wide = widePath(path);
    if (wide.empty()) return INVALID_FILE_VALUE;
    const HANDLE h = ::CreateFileW(wide.c_str(), access, share, nullptr, disposition,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? INVALID_FILE_VALUE : reinterpret_cast<File>(h);
}
}  // namespace

// Others may read, write, rename or delete a file while it is being sent, as
// on POSIX. CreateFileW opens no directory without FILE_FLAG_BACKUP_SEMANTICS;
// devices (NUL, COM1, a console) are not disk files.
File openFileForReading(const char* path) {
    const File f = openWide(path, GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING);
    if (f == INVALID_FILE_VALUE) return f;
    BY_HANDLE_FILE_INFORMATION info;
    if (::GetFileType(handle(f)) != FILE_TYPE_DISK ||
        !::GetFileInformationByHandle(handle(f), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        ::CloseHandle(handle(f));
        return INVALID_FILE_VALUE;
    }
    return f;
}

// Others may read a file while it is being received (to show its growth).
File createFileForWriting(const char* path) {
    return openWide(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
}

std::int64_t fileSize(File f) {
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(handle(f), &size)) return -1;
    return static_cast<std::int64_t>(size.QuadPart);
}

int seekFile(File f, std::int64_t offset) {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    return offset >= 0 && ::SetFilePointerEx(handle(f), to, nullptr, FILE_BEGIN) ? 0 : -1;
}

long readFile(File f, void* buffer, std::size_t length) {
    length = std::min<std::size_t>(length, LONG_MAX);
    std::size_t done = 0;
    while (done < length) {
        const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(length - done, 1u << 30));
        DWORD got = 0;
        if (!::ReadFile(handle(f), static_cast<char*>(buffer) + done, ask, &got, nullptr))
            return -1;
        if (got == 0) break;
        done += got;
    }
    return static_cast<long>(done);
}

int writeFile(File f, const void* data, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(length - done, 1u << 30));
        DWORD put = 0;
        if (!::WriteFile(handle(f), static_cast<const char*>(data) + done, ask, &put, nullptr) ||
            put == 0)
            return -1;
        done += put;
    }
    return 0;
}

int closeFile(File f) {
    if (f == INVALID_FILE_VALUE) return -1;
    return ::CloseHandle(handle(f)) ? 0 : -1;
}

int openDescriptorCount() {
    std::lock_guard<std::mutex> guard(tableLock());
    return static_cast<int>(table().size());
}

}  // namespace wirekit::platform
