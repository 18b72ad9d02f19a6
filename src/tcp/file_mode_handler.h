// How a session hands its connection to the file-transfer side once the
// peer has offered a file. The file side lives above this folder and
// implements this interface; the TCP endpoint only calls it.
#pragma once

#include <cstddef>
#include <string>

namespace wirekit::tcp {

class Session;

class FileModeHandler {
public:
    virtual ~FileModeHandler() = default;

    // Runs on the session's thread after the decoder ended a non-empty offer
    // header with 0x05 0x06. `header` holds the collected bytes (no
    // terminator); `leftover` the `length` bytes that followed the marker in
    // the same read (the start of the unframed file stream; they are valid
    // only during the call). Everything the connection carries from here on
    // is the handler's: it reads with session.socket().receive(...,
    // timing::readTimeoutMs()), answers under the socket's sendLock(), and
    // raises its own events (3004, 3009-3011, 3013, 3999) with
    // session.raise(). When it returns the session ends: it leaves the
    // endpoint's map and its connection is closed, with no further event.
    // It must return promptly once session.stopRequested() holds: reads then
    // fail at once and session.waitUntil() ends with WaitEnd::Stopped.
    virtual void runFileMode(Session& session, std::string header, const unsigned char* leftover,
                             std::size_t length) = 0;

    // Called once by Close_Tcp after the endpoint was marked closing and its
    // connections were shut down, before it waits for the endpoint's
    // threads: stop every job and wake every wait so that every thread of
    // the file side ends. No library lock is held; it may run on one of the
    // endpoint's own threads.
    virtual void onEndpointClose() = 0;
};

}  // namespace wirekit::tcp
