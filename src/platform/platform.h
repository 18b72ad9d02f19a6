// These are the socket and file services that a platform must implement for
// wirekit. Everything here is a thin wrapper: one call of the operating
// system's socket or file library (or a loop of them where stated), its
// result passed back as that library reports it, IPv4 only.
// Threads, locks, condition variables and clocks come from the C++ standard
// library, not from here, except for starting a thread with a chosen stack
// size, which the standard library cannot do. No OS header may be included by
// this file.
//
// Conventions: functions returning int give 0 for success and -1 for failure
// unless stated otherwise; after a failure lastError() holds the raw error
// code of the socket library. Addresses are IPv4 in network byte order
// (uint32_t, as they sit in memory in a sockaddr_in); ports are host order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace wirekit::platform {

// A socket of the platform (a descriptor on POSIX, a SOCKET on Windows).
using Socket = std::intptr_t;
// The value that stands for "no socket". 0 is a valid descriptor on POSIX.
constexpr Socket INVALID_SOCKET_VALUE = -1;

// Socket-library reference counting. netStartup() takes one reference (on
// Windows, WSAStartup 2.2) and returns 0 on success; each successful start
// must be paired with one netCleanup(). On POSIX these only count.
int netStartup();
void netCleanup();
// The number of references currently held (for tests).
int netReferences();

// Creation and closing.
Socket tcpSocket();  // IPv4 stream socket, or INVALID_SOCKET_VALUE
Socket udpSocket();  // IPv4 datagram socket, or INVALID_SOCKET_VALUE
// A socket must not be closed while another thread still waits on it or
// uses it (its number could be reused under that thread): shut it down, wait
// for that thread to finish, then close it.
int closeSocket(Socket s);
// Ends the receiving direction. A thread blocked in waitReadable(),
// waitReadableOrWoken(), acceptConnection(), receiveBytes(),
// receiveBytesTimed() or receiveDatagram() on this socket returns promptly;
// later receives return 0 (or bytes that were already buffered) and later
// waits report the socket readable.
int shutdownReceive(Socket s);
// Ends both directions (wakes waiters like shutdownReceive, and the peer sees
// the end of the stream).
int shutdownBoth(Socket s);

// Options (each switches the option on).
int setReuseAddress(Socket s);  // listening and datagram sockets
int setBroadcast(Socket s);
int setNoDelay(Socket s);  // TCP_NODELAY on a stream socket
// Makes an ICMP port-unreachable from an earlier send not fail later reads of
// a datagram socket (a no-op where the platform never reports it so).
int ignoreConnectionReset(Socket s);
// Sets the kernel buffer sizes (best effort). Tests use it to fill a
// connection's buffers quickly.
int setBufferSizes(Socket s, int bytes);
// Makes the next closeSocket() abort the connection (SO_LINGER with a zero
// time): unsent data is dropped and the peer gets a reset instead of the end
// of the stream. For stream sockets; tests use it to play a peer that dies.
int setLingerReset(Socket s);

// Binding, listening, accepting, connecting.
// address:port (address in network byte order); port 0 picks a free one.
int bindTo(Socket s, std::uint32_t address, int port);
// 0.0.0.0:port, every local address.
inline int bindAny(Socket s, int port) { return bindTo(s, 0, port); }
// backlog BACKLOG_MAX asks for the longest queue of waiting connections the
// system allows.
constexpr int BACKLOG_MAX = -1;
int listenOn(Socket s, int backlog);
// Binds a listening socket so that a port held by another listening socket
// fails but one still in TIME_WAIT from an earlier listener does not.
int bindListener(Socket s, int port);
// Blocks until a connection arrives; INVALID_SOCKET_VALUE on failure (also
// once another thread has called shutdownReceive on the listener).
Socket acceptConnection(Socket listener, std::uint32_t* peerAddress);
// Blocking connect to address:port.
int connectTo(Socket s, std::uint32_t address, int port);
// The local port a socket is bound to, or -1.
int localPort(Socket s);

// Data. Each is one call; the result is the byte count the platform reports,
// or -1. Sends never raise a signal when the peer has gone.
long sendBytes(Socket s, const void* data, std::size_t length);
// Like sendBytes, but never waits for room in the send buffer: the bytes it
// takes at once, possibly fewer; -1 with a WouldBlock error when it has no
// room at all.
long sendBytesNow(Socket s, const void* data, std::size_t length);
// One part of a gathered send.
struct SendPart {
    const void* data;
    std::size_t length;
};
// Sends the parts in order in one call (at most 64 parts), like sendBytes:
// the byte count the platform took, possibly short, or -1.
long sendGather(Socket s, const SendPart* parts, std::size_t count);
long receiveBytes(Socket s, void* buffer, std::size_t length);
// Sets how long receiveBytesTimed() on `s` waits for input (timeoutMs > 0).
int setReceiveTimeout(Socket s, int timeoutMs);
// Like receiveBytes, but waits at most the time set with setReceiveTimeout
// (one call of the system where it keeps the limit itself): once that passes
// without input, -1 with a WouldBlock error. Without a time set it waits as
// receiveBytes does.
long receiveBytesTimed(Socket s, void* buffer, std::size_t length);
// Like receiveBytes, but never waits: -1 with a WouldBlock error when
// nothing is waiting. 0 at the end of the stream (also once this layer shut
// the receiving direction down).
long receiveBytesNow(Socket s, void* buffer, std::size_t length);
// Looks at waiting bytes without taking them and without waiting: their
// count (at most `length`), 0 at the end of the stream, -1 on failure (a
// WouldBlock error when nothing is waiting).
long peekBytes(Socket s, void* buffer, std::size_t length);
long sendDatagram(Socket s, const void* data, std::size_t length, std::uint32_t address, int port);
// Reads one whole datagram; fills the source address and port when non-null.
long receiveDatagram(Socket s, void* buffer, std::size_t length, std::uint32_t* address, int* port);

// Readiness. waitReadable waits up to timeoutMs (-1: no limit) for the socket
// to be readable (data, end of stream, a pending error, or an incoming
// connection on a listener). 1 readable, 0 time limit passed, -1 failure.
int waitReadable(Socket s, int timeoutMs);
// 1 when the socket is readable right now, 0 when not, -1 on failure.
int pollReadable(Socket s);
// Bytes waiting to be read (FIONREAD); -1 on failure (tests).
long bytesPending(Socket s);

// A wake-up that another thread can raise to end a wait on a socket early.
// waitReadableOrWoken returns 1 readable, 2 woken, 0 time limit, -1 failure.
// A raised wake-up stays raised until clearWakeup.
struct Wakeup;
// Null when the system refuses one (or there is no memory for it).
Wakeup* createWakeup();
void destroyWakeup(Wakeup* w);
void raiseWakeup(Wakeup* w);
void clearWakeup(Wakeup* w);
int waitReadableOrWoken(Socket s, Wakeup* w, int timeoutMs);
// Waits for the wake-up alone: 1 woken, 0 time limit, -1 failure.
int waitWoken(Wakeup* w, int timeoutMs);
// Owns a wake-up (for std::unique_ptr).
struct WakeupDeleter {
    void operator()(Wakeup* w) const { destroyWakeup(w); }
};

// Errors. The raw code of the last failed socket call on this thread.
int lastError();
// Kinds the logic tells apart; everything else is Other.
enum class ErrorKind { None, WouldBlock, Interrupted, ConnectionReset, TooManyFiles, Other };
ErrorKind classifyError(int code);

// Address text.
// Dotted-decimal IPv4 text to an address; false for anything else
// (including host names).
bool parseDottedAddress(const char* text, std::uint32_t* address);
// An address as dotted-decimal text, first byte first.
std::string dottedText(std::uint32_t address);
// The first IPv4 address of a host name or dotted text; false if none.
bool resolveHost(const char* host, std::uint32_t* address);

// Memory straight from the system, for large buffers: it goes back to the
// system when freed instead of staying with the process's heap. Null when
// refused. freePages takes the size given to allocatePages.
void* allocatePages(std::size_t bytes);
void freePages(void* pages, std::size_t bytes);

// What the whole process (all threads) has used so far; for the benchmarks.
struct ProcessUsage {
    double userSeconds = 0;
    double systemSeconds = 0;
    // Times a thread gave up its processor, waiting or preempted; -1 where
    // the system does not count them.
    long contextSwitches = -1;
};
ProcessUsage processUsage();
inline double processCpuSeconds() {
    const ProcessUsage usage = processUsage();
    return usage.userSeconds + usage.systemSeconds;
}

// Threads.
// Runs `fn` on a new detached thread whose stack holds at least stackBytes
// (raised to the platform's minimum and rounded to its page size; 0 means the
// platform's default). False, with `fn` destroyed unrun, when the thread
// cannot be started. `fn` must not throw; it is destroyed on the new thread
// after it returned.
bool startThread(std::function<void()> fn, std::size_t stackBytes);

// Files. Paths are UTF-8 text on every system; on Windows a path that is not
// valid UTF-8 is read in the ANSI code page. Sizes and positions are 64-bit
// in every build, 32-bit processes included.
// A file of the platform (a descriptor on POSIX, a HANDLE on Windows).
using File = std::intptr_t;
constexpr File INVALID_FILE_VALUE = -1;
// Opens an existing regular file for reading (never a directory, device or
// pipe, and without waiting for one); INVALID_FILE_VALUE otherwise.
File openFileForReading(const char* path);
// Creates the file, or empties an existing one, for writing.
File createFileForWriting(const char* path);
// The size of an open file in bytes, or -1.
std::int64_t fileSize(File f);
// Moves the position to `offset` bytes from the start.
int seekFile(File f, std::int64_t offset);
// Reads until `length` bytes or the end of the file: the count, possibly
// short only at the end, or -1.
long readFile(File f, void* buffer, std::size_t length);
// Writes all `length` bytes (0), or fails (-1).
int writeFile(File f, const void* data, std::size_t length);
int closeFile(File f);
// Owns an open file and closes it when it goes.
class OwnedFile {
public:
    OwnedFile() = default;
    explicit OwnedFile(File f) : file_(f) {}
    OwnedFile(const OwnedFile&) = delete;
    OwnedFile& operator=(const OwnedFile&) = delete;
    ~OwnedFile() { reset(); }
    bool isOpen() const { return file_ != INVALID_FILE_VALUE; }
    File get() const { return file_; }
    // Closes the file held now and holds `f` instead; closeFile's result.
    int reset(File f = INVALID_FILE_VALUE) {
        const int result = isOpen() ? closeFile(file_) : 0;
        file_ = f;
        return result;
    }

private:
    File file_ = INVALID_FILE_VALUE;
};

// Number of descriptors the process has open (on Windows, the sockets this
// layer has open), or -1 where unknown (tests).
int openDescriptorCount();

}  // namespace wirekit::platform
