/*
 * wirekit - a small, handle-based networking toolkit.
 *
 * A host creates endpoints, receives a numeric handle for each and drives them
 * through the plain functions below: reliable UDP messaging, TCP messaging over
 * a byte-stuffed framing, TCP file transfer, a DES / triple-DES buffer cipher
 * and one-shot zlib compression.
 *
 * Event contract
 * --------------
 * Everything asynchronous reaches the host through the EventCallback given to
 * Init_Udp or Init_Tcp, as (code, param). The callback may be null; then no
 * event of that endpoint is raised.
 *
 *  - Which thread: events are raised on the thread that detects them. 1001,
 *    1003, 1004 and 2003 come from the UDP receive thread, 2001 from the UDP
 *    sender thread (or from the receive thread, when an acknowledgement lets
 *    the next message go out at once), 3015, 3002, 3004, 3009-3011, 3013 and
 *    session 3999 from the thread that serves one accepted TCP connection,
 *    3006-3008, 3012, 3014 and offer 3999 from a file-sender thread. 1005,
 *    1006, 2002, 3003 and 3005, 3999 from a client-form SendMessage_Tcp that
 *    fails, and 3010 from Stop/Pause/ResumeRecvFile_Tcp are raised on the
 *    host's own thread inside the export that causes them. Several threads
 *    may call one callback at the same time.
 *  - Stack: a handler that runs on a library thread has a stack of 1 MiB
 *    (256 KiB in a 32-bit process); keep large buffers off it.
 *  - Locks: no library lock is held while a callback runs, except for the
 *    file-state events (3006 raised by a job state change, 3010 raised by
 *    StopRecvFile_Tcp / PauseRecvFile_Tcp / ResumeRecvFile_Tcp), which are
 *    raised under the endpoint's re-entrant lock. A handler of those may call
 *    the library on its own thread but must not wait for another thread that
 *    needs the same endpoint.
 *  - What a callback may call: any export, including GetMessage_* from the
 *    1001/3002 handler, RecvFile_Tcp from the 3004 handler, and Close_Udp /
 *    Close_Tcp on its own endpoint. A close from inside the endpoint's own
 *    callback retires the handle, shuts everything down and returns 1 at once;
 *    the endpoint's memory is released when its last thread ends.
 *  - After Close_Udp or Close_Tcp returns, no callback of that endpoint starts.
 *
 * Output
 * ------
 * The library writes two lines of text, both from the UDP receive thread and
 * both to the C runtime's standard output (stdout, descriptor 1, flushed at
 * once): "Receive Thread Started." when ListenMessage_Udp has started the
 * receive thread, and "Receive Thread Ended." when that thread ends (on
 * Close_Udp, or when waiting on its socket fails). Nothing else is written
 * to any stream. A host whose standard output carries data can point
 * descriptor 1 elsewhere (the wirekit program sends it to standard error and
 * writes its own results to a duplicate of the original descriptor).
 *
 * Handles
 * -------
 * Init_Udp and Init_Tcp return (void*)1, (void*)2, ... from one counter shared
 * by both kinds; a number is never issued twice. (void*)-1 means failure. A
 * handle that names no endpoint of the export's kind makes the export return
 * its failure value (0, or -1 for GetMessage_*) and do nothing else.
 *
 * File-transfer job and offer handles are small positive integers (they travel
 * as the event param). A handle that names no live record is refused with 0.
 *
 * Calling convention and binary interface
 * ---------------------------------------
 * Every export and the EventCallback use the C calling convention (__cdecl,
 * the caller removes the arguments) on both Windows targets, x64 and x86;
 * WIREKIT_CALL and WIREKIT_CALLBACK say so in every declaration, so a host
 * compiled with another default (/Gz, -mrtd) still calls them correctly. The
 * DLL exports the undecorated names of this header: no leading underscore, no
 * @N suffix, no C++ mangling. `int` is 32 bits and `long` is 32 bits on both
 * Windows targets (64 bits on 64-bit Linux); pointers, void* handles and the
 * uintptr_t fields of the records below are 32 bits on x86 and 64 bits on
 * x64. File sizes and positions are 64-bit on every target. The layout of
 * FileSendJob and FileRecvOffer is checked below at compile time for 32-bit
 * and 64-bit targets, so a host whose packing settings would change it fails
 * to compile instead of misreading the records.
 */
#ifndef WIREKIT_H
#define WIREKIT_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#define WIREKIT_CALL __cdecl
#define WIREKIT_CALLBACK __cdecl
#if defined(WIREKIT_BUILDING)
#define WIREKIT_API __declspec(dllexport)
#elif defined(WIREKIT_STATIC)
#define WIREKIT_API
#else
#define WIREKIT_API __declspec(dllimport)
#endif
#else
#define WIREKIT_CALL
#define WIREKIT_CALLBACK
#define WIREKIT_API __attribute__((visibility("default")))
#endif

#define WIREKIT_VERSION_MAJOR 1
#define WIREKIT_VERSION_MINOR 0
#define WIREKIT_VERSION_PATCH 0
#define WIREKIT_VERSION_STRING "1.0.0"

/* A TCP message that grows past this many bytes without a boundary ends its
 * session as a read failure does (event 3999, the partial message dropped). */
#define MAX_MESSAGE_BYTES (64 * 1024 * 1024)

/* What one TCP endpoint holds of what its peers send: the received messages
 * waiting for GetMessage_Tcp and the partial messages its connections are
 * collecting, together. When the waiting messages fill it, the endpoint
 * stops reading from its connections (their peers are held back by TCP's own
 * flow control) until the host takes messages: nothing is lost, but a host
 * that never calls GetMessage_Tcp receives nothing more. When partial
 * messages alone would pass it, the connection collecting the largest ends
 * as at MAX_MESSAGE_BYTES (event 3999). */
#define WIREKIT_TCP_RECEIVE_BUDGET (256 * 1024 * 1024)

/* Largest UDP payload that fits one IPv4 datagram with the 31-byte envelope. */
#define MAX_UDP_PAYLOAD_BYTES 65476

/*
 * Event codes: one table, X(name, code, description). The constants and
 * wirekit_event_name() below are generated from it.
 */
#define WIREKIT_EVENT_TABLE(X)                                                               \
    X(UDP_EV_MSG_RECEIVED, 1001, "UDP message queued (param: address length + 1 + payload)") \
    X(UDP_EV_RECV_QUEUE_FULL, 1003, "UDP message dropped: receive queue full")               \
    X(UDP_EV_RECV_FAILED, 1004, "UDP datagram read failed")                                  \
    X(UDP_EV_BUFFER_TOO_SMALL, 1005, "GetMessage_Udp buffer too small")                      \
    X(EV_NO_MESSAGE, 1006, "GetMessage found its queue empty")                               \
    X(UDP_EV_SENT, 2001, "UDP message datagram transmitted")                                 \
    X(UDP_EV_SEND_QUEUE_FULL, 2002, "UDP send refused: send queue full")                     \
    X(UDP_EV_ACKED, 2003, "UDP message acknowledged")                                        \
    X(TCP_EV_MSG_RECEIVED, 3002, "TCP message queued (param: length)")                       \
    X(TCP_EV_BUFFER_TOO_SMALL, 3003, "GetMessage_Tcp buffer too small")                      \
    X(TCP_EV_FILE_OFFER, 3004, "file offered (param: offer)")                                \
    X(TCP_EV_SEND_QUEUED, 3005, "file send queued (param: job)")                             \
    X(TCP_EV_SEND_PROGRESS, 3006, "file send progressed or changed state (param: job)")      \
    X(TCP_EV_SEND_DONE, 3007, "file send complete (param: job)")                             \
    X(TCP_EV_SEND_STOPPED, 3008, "file send stopped (param: job)")                           \
    X(TCP_EV_RECV_STARTED, 3009, "file receive started (param: offer)")                      \
    X(TCP_EV_RECV_PROGRESS, 3010, "file receive progressed or changed state (param: offer)") \
    X(TCP_EV_RECV_DONE, 3011, "file receive complete (param: offer)")                        \
    X(TCP_EV_SEND_OPEN_FAILED, 3012, "file to send could not be opened (param: job)")        \
    X(TCP_EV_RECV_FAILED, 3013,                                                              \
      "file receive failed; after 3011 or a refusal: the connection ended (param: offer)")   \
    X(TCP_EV_SEND_FAILED, 3014, "file data send failed (param: job)")                        \
    X(TCP_EV_CONNECTED, 3015, "TCP connection accepted (param: socket number)")              \
    X(TCP_EV_DISCONNECTED, 3999, "TCP connection ended or offer failed")

enum WirekitEvent {
#define WIREKIT_EVENT_ENUM(name, code, text) name = code,
    WIREKIT_EVENT_TABLE(WIREKIT_EVENT_ENUM)
#undef WIREKIT_EVENT_ENUM
};

/* The constant's name for an event code, or "UNKNOWN_EVENT". */
static inline const char* wirekit_event_name(int code) {
    switch (code) {
#define WIREKIT_EVENT_CASE(name, value, text) \
    case value:                               \
        return #name;
        WIREKIT_EVENT_TABLE(WIREKIT_EVENT_CASE)
#undef WIREKIT_EVENT_CASE
    }
    return "UNKNOWN_EVENT";
}

/* A one-line description of an event code, or "unknown event". */
static inline const char* wirekit_event_text(int code) {
    switch (code) {
#define WIREKIT_EVENT_TEXT(name, value, text) \
    case value:                               \
        return text;
        WIREKIT_EVENT_TABLE(WIREKIT_EVENT_TEXT)
#undef WIREKIT_EVENT_TEXT
    }
    return "unknown event";
}

/* File-send job states (FileSendJob.state). */
#define JOB_NEW 0
#define JOB_OFFERED 1
#define JOB_REFUSED 2
#define JOB_SENDING 3
#define JOB_DONE 4
#define JOB_PAUSED 5
#define JOB_STOPPED 6
#define JOB_SEND_FAILED 8

/* File-offer states (FileRecvOffer.state). */
#define OFFER_PENDING 0
#define OFFER_RECEIVING 2
#define OFFER_PAUSED 4
#define OFFER_STOPPED 5
#define OFFER_FAILED 7

/* A file being sent. Read it with GetSendJob_Tcp; the library owns the live record.
 * The fields keep this order on every target. Offsets and sizes in bytes:
 *
 *   field        32-bit (Win32)   64-bit (Win64, Linux x86-64)
 *   connection     0   4            0   8
 *   fileName       4 260            8 260
 *   filePath     264 264          268 264
 *   fileSize     528   8          536   8   (64-bit: 4 bytes of padding before)
 *   bytesSent    536   8          544   8
 *   savedState   544   4          552   4
 *   state        548   4          556   4
 *   busy         552   1          560   1
 *   peerHost     553  47          561  47
 *   whole record     600              608
 */
typedef struct FileSendJob {
    uintptr_t connection; /* internal reference to the connection the job travels on */
    char fileName[260];   /* name offered to the peer, no directory */
    char filePath[264];   /* path given to SendFile_Tcp */
    int64_t fileSize;     /* size when queued */
    int64_t bytesSent;    /* bytes the connection has taken */
    int32_t savedState;   /* state a resume returns to */
    int32_t state;        /* JOB_* */
    uint8_t busy;         /* 1 while a sender thread works on the job */
    char peerHost[47];    /* peer host at queue time */
} FileSendJob;

/* A file being received. Read it with GetRecvOffer_Tcp; name the target with
 * SetSavePath_Tcp before accepting with RecvFile_Tcp. The fields keep this
 * order on every target. Offsets and sizes in bytes:
 *
 *   field           32-bit (Win32)   64-bit (Win64, Linux x86-64)
 *   waitEvent          0   4            0   8
 *   fileName           4 260            8 260
 *   savePath         264 264          268 264
 *   fileSize         528   8          536   8   (64-bit: 4 bytes of padding before)
 *   bytesReceived    536   8          544   8
 *   state            544   4          552   4
 *   acceptDecision   548   1          556   1
 *   peerAddress      549  27          557  27
 *   whole record         576              584
 *
 * fileName is the offered name made safe to save on every system: only its
 * last path component; control characters and \ / : * ? " < > | turned into
 * '_'; no trailing dots or spaces; a device name (CON, PRN, AUX, NUL,
 * COM1-COM9, LPT1-LPT9, with or without an extension, in any case) prefixed
 * with '_'; at most 259 bytes, cut between UTF-8 characters. "." and ".."
 * become "". A host may save it as dir + "/" + fileName. */
typedef struct FileRecvOffer {
    uintptr_t waitEvent;    /* non-zero while the session waits for a decision or a resume */
    char fileName[260];     /* offered name, made safe (see the note below) */
    char savePath[264];     /* where the file is written */
    int64_t fileSize;       /* announced size */
    int64_t bytesReceived;  /* bytes written so far */
    int32_t state;          /* OFFER_* */
    uint8_t acceptDecision; /* 1 accept, anything else refuse */
    char peerAddress[27];   /* dotted IPv4 address of the offering peer */
} FileRecvOffer;

/* The layouts above, checked wherever this header is compiled: static_assert
 * in C++, _Static_assert in C11, and an array whose size turns negative in
 * older C. */
#if defined(__cplusplus)
#define WIREKIT_LAYOUT(condition, name) static_assert(condition, "wirekit.h layout: " #name)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define WIREKIT_LAYOUT(condition, name) _Static_assert(condition, "wirekit.h layout: " #name)
#else
#define WIREKIT_LAYOUT(condition, name) typedef char wirekit_layout_##name[(condition) ? 1 : -1]
#endif
#if UINTPTR_MAX == 0xFFFFFFFFu
#define WIREKIT_LAYOUT_AT(type, field, at32, at64) \
    WIREKIT_LAYOUT(offsetof(type, field) == (at32), type##_##field)
#define WIREKIT_LAYOUT_SIZE(type, size32, size64) \
    WIREKIT_LAYOUT(sizeof(type) == (size32), type##_size)
#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
#define WIREKIT_LAYOUT_AT(type, field, at32, at64) \
    WIREKIT_LAYOUT(offsetof(type, field) == (at64), type##_##field)
#define WIREKIT_LAYOUT_SIZE(type, size32, size64) \
    WIREKIT_LAYOUT(sizeof(type) == (size64), type##_size)
#endif
#ifdef WIREKIT_LAYOUT_AT
WIREKIT_LAYOUT_AT(FileSendJob, connection, 0, 0);
WIREKIT_LAYOUT_AT(FileSendJob, fileName, 4, 8);
WIREKIT_LAYOUT_AT(FileSendJob, filePath, 264, 268);
WIREKIT_LAYOUT_AT(FileSendJob, fileSize, 528, 536);
WIREKIT_LAYOUT_AT(FileSendJob, bytesSent, 536, 544);
WIREKIT_LAYOUT_AT(FileSendJob, savedState, 544, 552);
WIREKIT_LAYOUT_AT(FileSendJob, state, 548, 556);
WIREKIT_LAYOUT_AT(FileSendJob, busy, 552, 560);
WIREKIT_LAYOUT_AT(FileSendJob, peerHost, 553, 561);
WIREKIT_LAYOUT_SIZE(FileSendJob, 600, 608);
WIREKIT_LAYOUT_AT(FileRecvOffer, waitEvent, 0, 0);
WIREKIT_LAYOUT_AT(FileRecvOffer, fileName, 4, 8);
WIREKIT_LAYOUT_AT(FileRecvOffer, savePath, 264, 268);
WIREKIT_LAYOUT_AT(FileRecvOffer, fileSize, 528, 536);
WIREKIT_LAYOUT_AT(FileRecvOffer, bytesReceived, 536, 544);
WIREKIT_LAYOUT_AT(FileRecvOffer, state, 544, 552);
WIREKIT_LAYOUT_AT(FileRecvOffer, acceptDecision, 548, 556);
WIREKIT_LAYOUT_AT(FileRecvOffer, peerAddress, 549, 557);
WIREKIT_LAYOUT_SIZE(FileRecvOffer, 576, 584);
#undef WIREKIT_LAYOUT_AT
#undef WIREKIT_LAYOUT_SIZE
#endif
#undef WIREKIT_LAYOUT

#ifdef __cplusplus
extern "C" {
#endif

/* Host notification: event code and one integer parameter. */
typedef void(WIREKIT_CALLBACK* EventCallback)(int code, int param);

/* Library probe: always the text "OK". */
WIREKIT_API const char* WIREKIT_CALL hello(void);

/* ---- Reliable UDP ---------------------------------------------------------
 * Init_Udp: creates an endpoint whose receive socket is bound to `port`; its
 * messages ask for acknowledgements at that port (0 picks a free port, which
 * peers then cannot know in advance). Header bytes mark every datagram; both
 * peers must use the same two. mode 0 is normal (acknowledged, re-sent every
 * 10 s until acknowledged), any other value broadcast (sent once, nothing
 * acknowledged). Returns the handle or (void*)-1. Socket failures (also a
 * port outside 0..65535) are not reported here. */
WIREKIT_API void* WIREKIT_CALL Init_Udp(int port, EventCallback cb, unsigned char firstHeaderByte,
                                        unsigned char secondHeaderByte, int mode);
/* Stops both threads, closes the sockets and destroys the endpoint. 1 when an
 * endpoint (of either kind) was removed, 0 otherwise. Called from inside the
 * endpoint's own callback it does not wait for the calling thread: it
 * returns 1 at once, that thread ends when the callback returns, and no
 * further callback of the endpoint starts. */
WIREKIT_API int WIREKIT_CALL Close_Udp(void* h);
/* Starts the receive thread and, once, the sender thread. 1 for any known handle. */
WIREKIT_API int WIREKIT_CALL ListenMessage_Udp(void* h);
/* Queues a message for `address` (dotted IPv4) and `port`. 1 for a known handle
 * (a full queue raises 2002 and still returns 1); 0 for an unknown handle or a
 * message that can never be sent (null data with length > 0, negative length,
 * payload above MAX_UDP_PAYLOAD_BYTES, address that is not dotted IPv4, port
 * outside 1..65535); such a message uses no sequence number. */
WIREKIT_API int WIREKIT_CALL SendMessage_Udp(void* h, const char* address, int port,
                                             const void* data, int length);
/* Exactly SendMessage_Udp; whether many receive it depends on the address. */
WIREKIT_API int WIREKIT_CALL Broadcast_Udp(void* h, const char* address, int port, const void* data,
                                           int length);
/* Copies the oldest message as "address:payload" (no terminator) and returns
 * the payload length; -1 with 1006 when empty, -1 with 1005 when `size` is
 * short or `buffer` is null (the message stays queued). */
WIREKIT_API long WIREKIT_CALL GetMessage_Udp(void* h, void* buffer, int size);

/* ---- TCP messaging -------------------------------------------------------- */
/* Creates a TCP endpoint (server and client roles). Handle or (void*)-1. */
WIREKIT_API void* WIREKIT_CALL Init_Tcp(EventCallback cb);
/* Stops listening, ends every session and sender thread, closes every
 * connection and destroys the endpoint; waits for its threads unless called
 * from one of them. 1 when an endpoint (of either kind) was removed. */
WIREKIT_API int WIREKIT_CALL Close_Tcp(void* h);
/* Listens on `port` (all local addresses, with the longest backlog the system allows) and accepts
 * on a thread of its own; each connection gets a session thread (3015). 1 or 0. A second call while
 * listening returns 1 and changes nothing. */
WIREKIT_API int WIREKIT_CALL ListenMessage_Tcp(void* h, int port);
/* Closes the listening socket; running sessions go on. 1. */
WIREKIT_API int WIREKIT_CALL StopListen_Tcp(void* h);
/* Connects the client connection. Same host text and port while connected:
 * 1 at once without reconnecting. 1 connected, 0 not. */
WIREKIT_API int WIREKIT_CALL Connect_Tcp(void* h, const char* host, int port);
/* Closes the client connection. 1. */
WIREKIT_API int WIREKIT_CALL DisConnect_Tcp(void* h);
/* Shuts down the receiving side of an accepted connection (the number from
 * 3015); its session then ends with 3999, or with 3013 when the connection
 * carries a file. 1 if it is a live session, else 0. */
WIREKIT_API int WIREKIT_CALL DisConnectSocket_Tcp(void* h, void* socket);
/* Sends one framed message over the client connection. 1 sent, 0 not. */
WIREKIT_API int WIREKIT_CALL SendMessage_Tcp(void* h, const void* data, int length);
/* Sends raw bytes (no framing) over one of this endpoint's accepted
 * connections; socket 0 means the client form. 1 sent, 0 not. */
WIREKIT_API int WIREKIT_CALL SendMessageSocket_Tcp(void* h, void* socket, const void* data,
                                                   int length);
/* Copies the oldest received message and returns its length; -1 with 1006
 * when empty, -1 with 3003 when `size` is short (the message stays queued). */
WIREKIT_API long WIREKIT_CALL GetMessage_Tcp(void* h, void* buffer, int size);

/* ---- File transfer -------------------------------------------------------- *
 * Paths and names are UTF-8 text on every system; on Windows files are
 * opened through the system's wide-character calls, and a path that is not
 * valid UTF-8 is read in the ANSI code page. Files of any size travel, 2 GiB
 * and more included.
 *
 * A connection carries one file. After the file is complete (3011), or after
 * a refusal, the receiving session reads on until the sender closes the
 * connection or the read limit passes, and reports that end with 3013: there
 * 3013 means "the connection ended", not a failure. An offer whose size is
 * no decimal number, or a negative one, is refused without 3004, and that
 * connection's end is reported with 3999. An accepted empty file is created
 * and complete at once (3009, 3011).
 *
 * An offer (3004) waits for RecvFile_Tcp for at most the read limit (60 s),
 * and a paused receive for its resume, only while the sender stays
 * connected: the sender's close or reset, or the limit for an undecided
 * offer, ends the wait with 3013 and the offer's handle dies. An endpoint
 * with a null callback, whose host never hears of offers, refuses each at
 * once. */
/* Queues `path` for sending to the peer of the last Connect_Tcp (3005). 1
 * queued, 0 (with no event) when the file cannot be opened or sized, the path
 * is too long, or the file's name (after its last '/' or '\') holds a comma
 * or the byte 0x05, which the offer cannot carry. */
WIREKIT_API int WIREKIT_CALL SendFile_Tcp(void* h, const char* path);
/* Stops a job and frees it: its handle is dead once this returns. 3008 tells
 * that the job ended (from its sender thread when one holds it, else from
 * this call), except for a job whose offer already failed (3999). 1, or 0 for
 * a job that is not live. */
WIREKIT_API int WIREKIT_CALL StopSendFile_Tcp(void* h, long job);
/* Pauses a job (state 5, the state it had kept in savedState). Called on a
 * host thread it waits for the job's sender thread to let go of it, at most
 * 2 s: a send blocked on a receiver that reads nothing goes on in the
 * background and the job is parked once it ends. 1, or 0 if not live. */
WIREKIT_API int WIREKIT_CALL PauseSendFile_Tcp(void* h, long job);
/* Resumes a paused job in the state it was paused in. 1, or 0 if not live. */
WIREKIT_API int WIREKIT_CALL ResumeSendFile_Tcp(void* h, long job);
/* Answers an offer (3004): accept or refuse. 1, or 0 for an offer that is not live. */
WIREKIT_API int WIREKIT_CALL RecvFile_Tcp(void* h, long offer, bool accept);
WIREKIT_API int WIREKIT_CALL StopRecvFile_Tcp(void* h, long offer);
WIREKIT_API int WIREKIT_CALL PauseRecvFile_Tcp(void* h, long offer);
WIREKIT_API int WIREKIT_CALL ResumeRecvFile_Tcp(void* h, long offer);
/* Copies a snapshot of a live job; 0 for a job that is not live or a null `out`. */
WIREKIT_API int WIREKIT_CALL GetSendJob_Tcp(void* h, long job, FileSendJob* out);
/* Copies a snapshot of a live offer; 0 for an offer that is not live or a null `out`. */
WIREKIT_API int WIREKIT_CALL GetRecvOffer_Tcp(void* h, long offer, FileRecvOffer* out);
/* Names the file an offer is written to (created, or emptied, when the first
 * data arrives, or at once for an empty file); 0 if not live, null or too long. */
WIREKIT_API int WIREKIT_CALL SetSavePath_Tcp(void* h, long offer, const char* savePath);

/* ---- Cipher and compression ------------------------------------------------
 * Des_Go: ECB over ceil(length / 8) blocks of `in` into `out` (both at least
 * that long; they may be the same buffer). Keys of up to 8 bytes select single
 * DES, 9 to 16 bytes two-key triple DES; shorter keys are zero-padded, longer
 * ones cut at 16 bytes, a negative keyLength counts as 0. The bit order is the
 * library's own, not standard DES. false for null pointers or length <= 0. */
WIREKIT_API bool WIREKIT_CALL Des_Go(unsigned char* out, const unsigned char* in, int length,
                                     const unsigned char* key, int keyLength, bool decrypt);
/* zlib one-shot compress at the default level; zlib status code
 * (Z_STREAM_ERROR -2 for null pointers). Succeeds whenever *destLen is at
 * least CompressBound(sourceLen). */
WIREKIT_API int WIREKIT_CALL Compress(unsigned char* dest, unsigned int* destLen,
                                      const unsigned char* source, unsigned int sourceLen);
/* zlib one-shot uncompress; zlib status code. */
WIREKIT_API int WIREKIT_CALL Uncompress(unsigned char* dest, unsigned int* destLen,
                                        const unsigned char* source, unsigned int sourceLen);
/* n + (n >> 12) + (n >> 14) + 11, in unsigned 32-bit arithmetic. */
WIREKIT_API unsigned int WIREKIT_CALL CompressBound(unsigned int sourceLen);

#ifdef __cplusplus
} /* extern "C" */

#include <string>

/* C++ forms: the server-form overloads and text passed as std::string. */
inline int DisConnect_Tcp(void* h, void* socket) { return DisConnectSocket_Tcp(h, socket); }
inline int SendMessage_Tcp(void* h, void* socket, const void* data, int length) {
    return SendMessageSocket_Tcp(h, socket, data, length);
}
inline int Connect_Tcp(void* h, std::string host, int port) {
    return Connect_Tcp(h, host.c_str(), port);
}
inline int SendMessage_Udp(void* h, std::string address, int port, const void* data, int length) {
    return SendMessage_Udp(h, address.c_str(), port, data, length);
}
inline int Broadcast_Udp(void* h, std::string address, int port, const void* data, int length) {
    return Broadcast_Udp(h, address.c_str(), port, data, length);
}
inline int SendFile_Tcp(void* h, std::string path) { return SendFile_Tcp(h, path.c_str()); }
inline int SetSavePath_Tcp(void* h, long offer, std::string savePath) {
    return SetSavePath_Tcp(h, offer, savePath.c_str());
}
#endif

#endif /* WIREKIT_H */
