#include "filexfer/receive_side.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <vector>

#include "filexfer/offer.h"
#include "frame/timing.h"
#include "tcp/session.h"
#include "tcp/tcp_endpoint.h"

namespace wirekit::filexfer {

namespace {
// Bounds the reads that drop what a stopped peer had already sent.
constexpr int DISCARD_READS_MAX = 256;

void copyText(char* out, std::size_t room, const std::string& text) {
    const std::size_t n = std::min(room - 1, text.size());
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

// The answer normally fits the empty send buffer at once, and a send that
// cannot block still goes out when a stop has just shut the connection down.
// Only the rest of a partial send (the host filled the buffer with messages
// the peer does not read) waits for room.
bool sendAnswer(tcp::Session& session, const char* answer) {
    auto& socket = session.socket();
    std::lock_guard<std::mutex> guard(socket.sendLock());
    const long now = socket.SendNow(answer, ANSWER_BYTES);
    if (now < 0) return false;
    const auto sent = static_cast<std::size_t>(now);
    return sent == ANSWER_BYTES || socket.SendAll(answer + sent, ANSWER_BYTES - sent) == 1;
}

// Drops what the peer has already sent, without waiting for more, so that
// closing a refused connection ends the stream in order: a close with
// unread bytes resets the connection, and a peer can lose an answer it had
// not read yet to that reset.
void discardArrivedInput(tcp::Session& session, std::vector<unsigned char>& buffer) {
    auto& socket = session.socket();
    for (int i = 0; i < DISCARD_READS_MAX && socket.PeerQuiet() == 0; ++i) {
        if (socket.Receive(buffer.data(), static_cast<int>(buffer.size()), 0) <= 0) break;
    }
}
}  // namespace

FileRecvOffer RecvOffer::snapshot() {
    FileRecvOffer out;
    std::memset(&out, 0, sizeof out);
    out.waitEvent = waiting.load() ? static_cast<std::uintptr_t>(handle) : 0;
    copyText(out.fileName, sizeof out.fileName, fileName);
    {
        std::lock_guard<std::mutex> guard(pathLock);
        copyText(out.savePath, sizeof out.savePath, savePath);
    }
    out.fileSize = fileSize;
    out.bytesReceived = bytesReceived.load();
    out.state = state.load();
    out.acceptDecision = static_cast<std::uint8_t>(acceptDecision.load());
    copyText(out.peerAddress, sizeof out.peerAddress, peerAddress);
    return out;
}

void ReceiveSide::wake(RecvOffer& offer) {
    if (auto session = offer.session.lock()) session->wake();
}

void ReceiveSide::setOfferState(RecvOffer& offer, int value) {
    std::lock_guard<std::recursive_mutex> guard(endpoint_.lock());
    offer.state.store(value);
    endpoint_.raise(TCP_EV_RECV_PROGRESS, offer.handle);
}

int ReceiveSide::decide(long handle, bool accept) {
    auto offer = handles_.find(handle);
    if (!offer) return 0;
    offer->acceptDecision.store(accept ? 1 : 0);
    offer->decisionSignal.store(true);
    wake(*offer);
    return 1;
}

int ReceiveSide::pause(long handle) {
    auto offer = handles_.find(handle);
    if (!offer) return 0;
    // A resume given before this pause must not end its wait.
    offer->resumeSignal.store(false);
    setOfferState(*offer, OFFER_PAUSED);
    return 1;
}

int ReceiveSide::resume(long handle) {
    auto offer = handles_.find(handle);
    if (!offer) return 0;
    setOfferState(*offer, OFFER_RECEIVING);
    // A resume also ends a wait for the decision, which then stands as it
    // is (a refusal unless the host accepted).
    offer->resumeSignal.store(true);
    offer->decisionSignal.store(true);
    wake(*offer);
    return 1;
}

int ReceiveSide::stop(long handle) {
    auto offer = handles_.find(handle);
    if (!offer) return 0;
    setOfferState(*offer, OFFER_STOPPED);
    // Ends a pause wait; a wait for the decision goes on.
    wake(*offer);
    return 1;
}

int ReceiveSide::snapshot(long handle, FileRecvOffer* out) {
    if (out == nullptr) return 0;
    auto offer = handles_.find(handle);
    if (!offer) return 0;
    *out = offer->snapshot();
    return 1;
}

int ReceiveSide::setSavePath(long handle, const char* path) {
    if (path == nullptr || std::strlen(path) > FILE_PATH_MAX) return 0;
    auto offer = handles_.find(handle);
    if (!offer) return 0;
    std::lock_guard<std::mutex> guard(offer->pathLock);
    offer->savePath = path;
    return 1;
}

void ReceiveSide::close() { handles_.takeAll(); }

void ReceiveSide::run(tcp::Session& session, const std::string& header,
                      const unsigned char* leftover, std::size_t length) {
    auto offer = std::make_shared<RecvOffer>();
    const ParsedOffer parsed = parseOfferHeader(header);
    offer->fileName = sanitizeReceivedName(parsed.name);
    offer->fileSize = parsed.size;
    offer->peerAddress = session.peerAddress().substr(0, PEER_ADDRESS_MAX);
    offer->session = session.weak_from_this();
    offer->handle = handles_.add(offer);
    // The record dies with the session, whichever way it ends.
    struct Release {
        HandleTable<RecvOffer>& table;
        int handle;
        ~Release() { table.remove(handle); }
    } release{handles_, offer->handle};

    // Whatever followed the marker in the decoder's read is the start of the
    // stream; it must be kept past this call's own reads.
    std::vector<unsigned char> pending(leftover, leftover + length);

    offer->waiting.store(true);
    session.raise(TCP_EV_FILE_OFFER, offer->handle);
    session.waitUntil([&] { return offer->decisionSignal.load(); });
    offer->waiting.store(false);
    // A stop ends the wait too, but a decision given before it stands: a
    // host that refuses and at once closes the endpoint or drops the
    // connection must not leave the peer without its answer. An acceptance
    // is not sent once stopped: the data would have nowhere to go, and the
    // sender of a small file could count it as delivered.
    if (!offer->decisionSignal.load()) return;
    const bool accepted = offer->acceptDecision.load() == 1;
    if (accepted && session.stopRequested()) return;
    if (!sendAnswer(session, accepted ? ANSWER_ACCEPT : ANSWER_REFUSE)) {
        session.raise(TCP_EV_DISCONNECTED, 0);
        return;
    }

    std::vector<unsigned char> buffer(FILE_CHUNK_BYTES);
    std::ofstream file;
    bool opened = false;
    auto fail = [&] {
        if (file.is_open()) file.close();
        offer->state.store(OFFER_FAILED);
        session.raise(TCP_EV_RECV_FAILED, offer->handle);
    };
    for (;;) {
        if (session.stopRequested()) {
            // A stopped transfer is reset on purpose: that ends a send
            // blocked on the other side at once.
            if (!accepted) discardArrivedInput(session, buffer);
            return;
        }
        const int state = offer->state.load();
        if (state == OFFER_STOPPED) return;
        if (state == OFFER_PAUSED) {
            offer->waiting.store(true);
            const bool resumed = session.waitUntil([&] {
                return offer->resumeSignal.load() || offer->state.load() == OFFER_STOPPED;
            });
            offer->waiting.store(false);
            offer->resumeSignal.store(false);
            if (!resumed) return;
            if (offer->state.load() == OFFER_STOPPED) return;
        }

        const unsigned char* data = buffer.data();
        int n;
        if (!pending.empty()) {
            data = pending.data();
            n = static_cast<int>(pending.size());
        } else {
            n = session.socket().Receive(buffer.data(), FILE_CHUNK_BYTES, timing::readTimeoutMs());
        }
        if (n <= 0) {
            fail();
            return;
        }
        const std::int64_t received = offer->bytesReceived.load();
        // Only the announced bytes of an accepted file are written; anything
        // else the stream carries is dropped.
        const std::int64_t room = offer->fileSize - received;
        const std::size_t take =
            accepted && room > 0 ? static_cast<std::size_t>(std::min<std::int64_t>(room, n)) : 0;
        if (take > 0) {
            if (!opened) {
                std::string path;
                {
                    std::lock_guard<std::mutex> guard(offer->pathLock);
                    path = offer->savePath;
                }
                if (!path.empty())
                    file.open(path, std::ios::binary | std::ios::out | std::ios::trunc);
                if (!file.is_open()) {
                    fail();
                    return;
                }
                opened = true;
                offer->state.store(OFFER_RECEIVING);
                session.raise(TCP_EV_RECV_STARTED, offer->handle);
            }
            file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(take));
            if (received + static_cast<std::int64_t>(take) == offer->fileSize) file.flush();
            if (!file.good()) {
                fail();
                return;
            }
            offer->bytesReceived.store(received + static_cast<std::int64_t>(take));
            if (received + static_cast<std::int64_t>(take) == offer->fileSize) {
                session.raise(TCP_EV_RECV_DONE, offer->handle);
                file.close();
            } else {
                session.raise(TCP_EV_RECV_PROGRESS, offer->handle);
            }
        }
        pending.clear();
    }
}

}  // namespace wirekit::filexfer
