#include "filexfer/receive_side.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/timing.h"
#include "filexfer/offer.h"
#include "platform/platform.h"
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
    const long now = socket.sendNow(answer, ANSWER_BYTES);
    if (now < 0) return false;
    const auto sent = static_cast<std::size_t>(now);
    return sent == ANSWER_BYTES || socket.sendAll(answer + sent, ANSWER_BYTES - sent) == 1;
}

// Drops what the peer has already sent, without waiting for more, so that
// closing a refused connection ends the stream in order: a close with
// unread bytes resets the connection, and a peer can lose an answer it had
// not read yet to that reset.
void discardArrivedInput(tcp::Session& session, std::vector<unsigned char>& buffer) {
    auto& socket = session.socket();
    for (int i = 0; i < DISCARD_READS_MAX && socket.peerIsQuiet() == 0; ++i) {
        if (socket.receive(buffer.data(), static_cast<int>(buffer.size()), 0) <= 0) break;
    }
}

// An offer whose size is no number cannot be received: it is refused before
// the host hears of it, and the connection then ends as after a refused
// offer, its bytes read and dropped until the peer closes it or the read
// limit passes. The host never saw an offer, so that end is reported as the
// end of a connection (3999), not of a file.
void refuseUnreadableOffer(tcp::Session& session) {
    if (!sendAnswer(session, ANSWER_REFUSE)) {
        session.raise(TCP_EV_DISCONNECTED, 0);
        return;
    }
    std::vector<unsigned char> buffer(FILE_CHUNK_BYTES);
    for (;;) {
        if (session.stopRequested()) {
            discardArrivedInput(session, buffer);
            return;
        }
        if (session.socket().receive(buffer.data(), FILE_CHUNK_BYTES, timing::readTimeoutMs()) <= 0)
            break;
    }
    session.raise(TCP_EV_DISCONNECTED, 0);
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
    std::lock_guard<std::recursive_mutex> guard(lock_);
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

namespace {

// One offered file on one session, from the decision to the end of the
// connection. Runs on the session's thread.
class Transfer {
public:
    Transfer(tcp::Session& session, RecvOffer& offer, const unsigned char* leftover,
             std::size_t length)
        : session_(session), offer_(offer), pending_(leftover, leftover + length) {}

    // The whole file mode of the session. However it ends, the host hears of
    // the connection's end once: a session stopped by DisConnect_Tcp in the
    // middle of the file mode reports it with 3013 like a failed receive
    // (after Close_Tcp nothing is raised any more, and an offer the host
    // stopped itself ends quietly).
    void run() {
        steps();
        if (!reported_ && session_.stopRequested() && offer_.state.load() != OFFER_STOPPED) fail();
    }

private:
    void steps() {
        if (!awaitDecision()) return;
        if (!sendAnswer(session_, accepted_ ? ANSWER_ACCEPT : ANSWER_REFUSE)) {
            reported_ = true;
            session_.raise(TCP_EV_DISCONNECTED, 0);
            return;
        }
        // No data follows for an empty file: it is complete once created,
        // also when the session was stopped right after the acceptance.
        if (accepted_ && offer_.fileSize == 0 && offer_.state.load() != OFFER_STOPPED &&
            !completeEmptyFile())
            return;
        buffer_.resize(FILE_CHUNK_BYTES);
        for (;;) {
            if (session_.stopRequested()) {
                // A stopped transfer is reset on purpose: that ends a send
                // blocked on the other side at once.
                if (!accepted_) discardArrivedInput(session_, buffer_);
                return;
            }
            const int state = offer_.state.load();
            if (state == OFFER_STOPPED) return;
            if (state == OFFER_PAUSED && !awaitResume()) return;
            const unsigned char* data = nullptr;
            const int n = nextPiece(&data);
            if (n <= 0) {
                fail();
                return;
            }
            const bool goOn = writePiece(data, static_cast<std::size_t>(n));
            pending_.clear();
            if (!goOn) return;
        }
    }

    // Waits for the host's decision (3004 tells it). False when the session
    // ends without an answer. The wait has the read limit: the sender gives
    // up on its answer after that time anyway. It ends at once when the peer
    // goes, with 3013 as a failed receive does.
    bool awaitDecision() {
        if (!session_.endpoint().hasCallback()) {
            // Nobody could ever decide: the offer is refused at once.
            accepted_ = false;
            return true;
        }
        offer_.waiting.store(true);
        session_.raise(TCP_EV_FILE_OFFER, offer_.handle);
        const auto end = session_.waitUntil([&] { return offer_.decisionSignal.load(); },
                                            timing::readTimeoutMs());
        offer_.waiting.store(false);
        if (end == tcp::Session::WaitEnd::PeerGone || end == tcp::Session::WaitEnd::TimedOut) {
            fail();
            return false;
        }
        // A stop ends the wait too, but a decision given before it stands: a
        // host that refuses, or accepts an empty file, and at once closes the
        // endpoint or drops the connection must not leave the peer without
        // its answer (the empty file is created before the session ends).
        // Any other acceptance is not sent once stopped: the data would have
        // nowhere to go, and the sender of a small file could count it as
        // delivered.
        if (!offer_.decisionSignal.load()) return false;
        accepted_ = offer_.acceptDecision.load() == 1;
        return !(accepted_ && offer_.fileSize != 0 && session_.stopRequested());
    }

    // A paused transfer waits for a resume or a stop before its next read;
    // the peer's going ends it too (3013). False when the session is to end.
    bool awaitResume() {
        offer_.waiting.store(true);
        const auto end = session_.waitUntil(
            [&] { return offer_.resumeSignal.load() || offer_.state.load() == OFFER_STOPPED; });
        offer_.waiting.store(false);
        offer_.resumeSignal.store(false);
        if (end == tcp::Session::WaitEnd::PeerGone) {
            fail();
            return false;
        }
        return end == tcp::Session::WaitEnd::Ready && offer_.state.load() != OFFER_STOPPED;
    }

    // The next bytes of the stream: first what followed the marker in the
    // decoder's read, then one timed read. Their count, or <= 0 when the
    // connection ended, failed or stayed silent past the read limit.
    int nextPiece(const unsigned char** data) {
        if (!pending_.empty()) {
            *data = pending_.data();
            return static_cast<int>(pending_.size());
        }
        *data = buffer_.data();
        return session_.socket().receive(buffer_.data(), FILE_CHUNK_BYTES, timing::readTimeoutMs());
    }

    // Creates the target the host named (3009). False, with 3013, when it
    // cannot be opened.
    bool openTarget() {
        std::string path;
        {
            std::lock_guard<std::mutex> guard(offer_.pathLock);
            path = offer_.savePath;
        }
        if (!path.empty()) file_.reset(platform::createFileForWriting(path.c_str()));
        if (!file_.isOpen()) {
            fail();
            return false;
        }
        offer_.state.store(OFFER_RECEIVING);
        session_.raise(TCP_EV_RECV_STARTED, offer_.handle);
        return true;
    }

    // Writes what of `n` received bytes belongs to the file (3010, or 3011
    // with the last byte). Only the announced bytes of an accepted file are
    // written; anything else the stream carries is dropped. False when the
    // session is to end.
    bool writePiece(const unsigned char* data, std::size_t n) {
        const std::int64_t received = offer_.bytesReceived.load();
        const std::int64_t room = offer_.fileSize - received;
        const std::size_t take = accepted_ && room > 0
                                     ? static_cast<std::size_t>(std::min<std::int64_t>(
                                           room, static_cast<std::int64_t>(n)))
                                     : 0;
        if (take == 0) return true;
        if (!file_.isOpen() && !openTarget()) return false;
        const std::int64_t total = received + static_cast<std::int64_t>(take);
        if (platform::writeFile(file_.get(), data, take) != 0) {
            fail();
            return false;
        }
        offer_.bytesReceived.store(total);
        if (total == offer_.fileSize) return complete();
        session_.raise(TCP_EV_RECV_PROGRESS, offer_.handle);
        return true;
    }

    // An accepted empty file: created (3009) and complete (3011) at once.
    // False when it cannot be created (3013).
    bool completeEmptyFile() { return openTarget() && complete(); }

    // The last byte is written (3011); the file stays open while the host
    // handles the event. Writes go straight to the system, so nothing is
    // left to fail at the close.
    bool complete() {
        session_.raise(TCP_EV_RECV_DONE, offer_.handle);
        file_.reset();
        return true;
    }

    void fail() {
        reported_ = true;
        file_.reset();
        offer_.state.store(OFFER_FAILED);
        session_.raise(TCP_EV_RECV_FAILED, offer_.handle);
    }

    tcp::Session& session_;
    RecvOffer& offer_;
    // Whatever followed the marker in the decoder's read is the start of the
    // stream; it must be kept past the session's own reads.
    std::vector<unsigned char> pending_;
    std::vector<unsigned char> buffer_;
    platform::OwnedFile file_;
    bool accepted_ = false;
    bool reported_ = false;  // the connection's end was reported
};

}  // namespace

void ReceiveSide::run(tcp::Session& session, std::string header, const unsigned char* leftover,
                      std::size_t length) {
    ParsedOffer parsed = parseOfferHeader(header);
    // Nothing of the header outlives what the record keeps of it.
    std::string().swap(header);
    if (!parsed.sizeIsNumber) {
        refuseUnreadableOffer(session);
        return;
    }
    auto offer = std::make_shared<RecvOffer>();
    offer->fileName = sanitizeReceivedName(parsed.name);
    std::string().swap(parsed.name);
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
    Transfer(session, *offer, leftover, length).run();
}

}  // namespace wirekit::filexfer
