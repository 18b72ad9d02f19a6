#include "tcp/framing.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(WIREKIT_FRAME_AVX512)
#include "tcp/frame_lanes_avx512.h"
#endif

namespace wirekit::tcp {

namespace {
// First allocation of a message buffer; later ones double.
constexpr std::size_t MESSAGE_BUFFER_START = 256;
// Largest first allocation taken from the size of the message before.
constexpr std::size_t MESSAGE_HINT_LIMIT = 1 << 20;
// Room the encoder keeps beyond the frame's estimate, so that its last lanes
// still go whole.
constexpr std::size_t STAGING_SLACK = 64;
// A frame of a body this long or longer is staged half a page away from the
// body, modulo the page size (see FrameEncoder::run); the buffer has this much
// more room for it. Processors take a load whose address matches that of a
// pending store in its low 12 bits as possibly depending on it, and a copy
// whose output runs that close behind its input then stalls on every lane;
// half a page leaves room for the output to drift ahead by the escapes.
constexpr std::size_t PLACEMENT_ROOM = 4096;
constexpr std::size_t PLACEMENT_MIN_BODY = 1024;
// A body that comes from memory rather than the caches is read faster when
// the encoder asks for its bytes this far ahead.
constexpr std::size_t BODY_PREFETCH_AHEAD = 4096;

// A lane copies WIDTH bytes from `in` to `out` (both may be unaligned; the
// whole width is written whatever it finds) and returns the marks of the
// 0x05 among them: zero when there is none, otherwise a value that first()
// turns into the index of the first 0x05 and that equals marksOf(k, n) when
// the lane's only 0x05 are the n bytes from index k on (n bytes that pass the
// lane's end give zero, which no lane with a 0x05 returns). move() copies
// WIDTH bytes and nothing else. The callers decide what becomes of the bytes from
// the first 0x05 on.

// Eight bytes in a 64-bit word: a byte equal to 0x05 turns to zero under the
// XOR, and the exact zero-byte test sets the top bit of each such byte.
struct PortableLane {
    static constexpr std::size_t WIDTH = 8;
    using Marks = std::uint64_t;
    static Marks copy(unsigned char* out, const unsigned char* in) {
        std::uint64_t word;
        std::memcpy(&word, in, 8);
        std::memcpy(out, &word, 8);
        constexpr std::uint64_t LOW7 = 0x7F7F7F7F7F7F7F7FULL;
        const std::uint64_t x = word ^ 0x0505050505050505ULL;
        return ~(((x & LOW7) + LOW7) | x | LOW7);
    }
    static void move(unsigned char* out, const unsigned char* in) { std::memmove(out, in, 8); }
    // A hint every 8 bytes costs more than it saves: the processor's own
    // prefetching is left to it.
    static void prefetch(const unsigned char*) {}
    static std::size_t first(Marks marks, const unsigned char* in) {
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        (void)in;
        return static_cast<std::size_t>(__builtin_ctzll(marks)) >> 3;
#else
        (void)marks;
        std::size_t k = 0;
        while (in[k] != FRAME_ESC) ++k;
        return k;
#endif
    }
    static Marks marksOf(std::size_t k, std::size_t n) {
        if (k + n > WIDTH) return 0;
        // Built in memory order, so that it holds whatever the byte order.
        unsigned char bytes[WIDTH] = {};
        for (std::size_t j = k; j < k + n; ++j) bytes[j] = 0x80;
        Marks marks;
        std::memcpy(&marks, bytes, sizeof marks);
        return marks;
    }
};

#if defined(__SSE2__)
// Two 16-byte vectors at a time: one branch per 32 bytes; a mark is a bit.
struct Sse2Lane {
    static constexpr std::size_t WIDTH = 32;
    using Marks = unsigned;
    static Marks copy(unsigned char* out, const unsigned char* in) {
        const __m128i esc = _mm_set1_epi8(static_cast<char>(FRAME_ESC));
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), low);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), high);
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(low, esc))) |
               (static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(high, esc))) << 16);
    }
    static void prefetch(const unsigned char* at) {
        _mm_prefetch(reinterpret_cast<const char*>(at), _MM_HINT_T0);
    }
    static void move(unsigned char* out, const unsigned char* in) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), low);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), high);
    }
    static std::size_t first(Marks marks, const unsigned char*) {
        return static_cast<std::size_t>(__builtin_ctz(marks));
    }
    static Marks marksOf(std::size_t k, std::size_t n) {
        if (k + n > WIDTH) return 0;
        return static_cast<Marks>(((std::uint64_t{1} << n) - 1) << k);
    }
};
using NativeLane = Sse2Lane;
#else
using NativeLane = PortableLane;
#endif

// True when `kernel` puts the AVX-512 lanes first: it is Native, they are
// built in, and the processor and the system run them (the checks include
// the system's saving of the vector state).
bool wideLanesFor(FrameKernel kernel) {
#if defined(WIREKIT_FRAME_AVX512)
    static const bool runs = __builtin_cpu_supports("avx512f") &&
                             __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("bmi");
    return kernel == FrameKernel::Native && runs;
#else
    (void)kernel;
    return false;
#endif
}

#if defined(WIREKIT_FRAME_AVX512)
// Below these the AVX-512 lanes take nothing (a lane's second copy may land
// past it), so they are not called.
constexpr std::size_t WIDE_MIN_IN = 2 * avx512::LANE_BYTES + 2;
constexpr std::size_t WIDE_MIN_ROOM = 2 * avx512::LANE_BYTES + 1;
#endif
}  // namespace

const char* frameKernelName(FrameKernel kernel) {
    if (wideLanesFor(kernel)) return "avx512";
    if (kernel == FrameKernel::Portable) return "portable";
#if defined(__SSE2__)
    return "sse2";
#else
    return "portable";
#endif
}

// ---- Encoder ------------------------------------------------------------------

FrameEncoder::FrameEncoder(std::size_t stagingBytes, std::size_t directRunBytes, FrameKernel kernel)
    : stagingLimit_(std::max<std::size_t>(stagingBytes, 4)),
      directRunBytes_(std::max<std::size_t>(directRunBytes, 1)),
      kernel_(kernel),
      wideLanes_(wideLanesFor(kernel)) {}

bool FrameEncoder::placesFrame(std::size_t length) const {
    return length >= PLACEMENT_MIN_BODY && stagingLimit_ >= 4 * PLACEMENT_ROOM;
}

void FrameEncoder::prepare(std::size_t length) {
    // The frame of a body with escapes at their average rate (one in 256
    // random bytes) fits with room to spare.
    const std::size_t room = placesFrame(length) ? PLACEMENT_ROOM : 0;
    std::size_t want = length + length / 128 + 4 + STAGING_SLACK;
    if (overflowed_) want = std::max(want, staging_.size() * 2);
    want = std::min(want, stagingLimit_) + room;
    overflowed_ = false;
    if (staging_.size() >= want) return;
    // Geometric growth: a stream of slowly growing messages reallocates a
    // few times only.
    want = std::max(want, std::min(staging_.size() * 2, stagingLimit_ + room));
    staging_.clear();
    staging_.resize(want);
}

bool FrameEncoder::encode(const void* body, std::size_t length, Sink sink, void* context) {
    prepare(length);
    const auto* p = static_cast<const unsigned char*>(body);
    if (kernel_ != FrameKernel::Portable) return run<NativeLane>(p, length, sink, context);
    return run<PortableLane>(p, length, sink, context);
}

template <typename Lane>
bool FrameEncoder::run(const unsigned char* p, std::size_t length, Sink sink, void* context) {
    constexpr std::size_t W = Lane::WIDTH;
    const unsigned char* const end = p + length;
    unsigned char* const first = staging_.data();
    unsigned char* const limit = first + staging_.size();
    // Where staging starts for the body bytes from `in` on: at the buffer's
    // start, or for a placed frame half a page ahead of `in` modulo the page.
    const bool placed = placesFrame(length);
    auto placeFor = [&](const unsigned char* in) {
        if (!placed) return first;
        const std::uintptr_t gap = (reinterpret_cast<std::uintptr_t>(in) + PLACEMENT_ROOM / 2 -
                                    reinterpret_cast<std::uintptr_t>(first)) &
                                   (PLACEMENT_ROOM - 1);
        return first + gap;
    };
    unsigned char* base = placeFor(p);
    unsigned char* out = base;   // next staged byte
    unsigned char* open = base;  // start of the staged bytes not yet a piece
    // The body's current run without an escape, and where its copy starts
    // in the staging buffer.
    const unsigned char* runStart = p;
    unsigned char* runOut = out;
    count_ = 0;

    auto closeOpen = [&] {
        if (out > open) pieces_[count_++] = {open, static_cast<std::size_t>(out - open)};
        open = out;
    };
    // Hands over everything so far. Staged bytes always end on a whole
    // escape pair, so no pair is split.
    auto flush = [&] {
        closeOpen();
        const std::size_t n = count_;
        count_ = 0;
        base = placeFor(p);
        out = open = runOut = base;
        runStart = p;
        return n == 0 || sink(context, pieces_, n);
    };

    // Stages the 0x05 at p with its partner; a new run starts after it.
    auto doubleEscape = [&] {
        out[0] = FRAME_ESC;
        out[1] = FRAME_ESC;
        out += 2;
        ++p;
        runStart = p;
        runOut = out;
    };

    // A long run without an escape: its copy is taken back and the run, up
    // to its end, goes from the body itself.
    auto sendRunFromBody = [&] {
        const unsigned char* const start = runStart;
        out = runOut;
        if (count_ + 3 > MAX_PIECES && !flush()) return false;
        closeOpen();
        const void* esc = std::memchr(p, FRAME_ESC, static_cast<std::size_t>(end - p));
        p = esc ? static_cast<const unsigned char*>(esc) : end;
        pieces_[count_++] = {start, static_cast<std::size_t>(p - start)};
        runStart = p;
        runOut = out;
        return true;
    };

    // The start mark. The buffer always has room for 4 bytes.
    out[0] = FRAME_ESC;
    out[1] = FRAME_BOUNDARY;
    out += 2;
    runOut = out;
    while (p < end) {
#if defined(WIREKIT_FRAME_AVX512)
        if (wideLanes_ && static_cast<std::size_t>(end - p) >= WIDE_MIN_IN &&
            static_cast<std::size_t>(limit - out) >= WIDE_MIN_ROOM) {
            avx512::EncodeCursor cursor{p, out, runStart, runOut};
            avx512::doubleLanes(cursor, end, limit, directRunBytes_);
            p = cursor.in;
            out = cursor.out;
            runStart = cursor.runStart;
            runOut = cursor.runOut;
            if (static_cast<std::size_t>(p - runStart) >= directRunBytes_) {
                if (!sendRunFromBody()) return false;
                continue;
            }
            // Otherwise a lane with more than one 0x05, or the frame's last
            // lanes, are next: they go the usual way.
        }
#endif
        const auto room = static_cast<std::size_t>(limit - out);
        if (static_cast<std::size_t>(end - p) >= W && room >= W + 2) {
            if (static_cast<std::size_t>(end - p) > BODY_PREFETCH_AHEAD)
                Lane::prefetch(p + BODY_PREFETCH_AHEAD);
            const auto marks = Lane::copy(out, p);
            if (marks == 0) {
                out += W;
                p += W;
                if (static_cast<std::size_t>(p - runStart) < directRunBytes_) continue;
            } else {
                const std::size_t k = Lane::first(marks, p);
                if (marks == Lane::marksOf(k, 1) && static_cast<std::size_t>(end - p) >= k + W &&
                    room >= k + 1 + W) {
                    // The lane's only 0x05: the bytes from it on go again one
                    // place further, which doubles it, and the next lane
                    // starts where this one ended.
                    Lane::move(out + k + 1, p + k);
                    runStart = p + k + 1;
                    runOut = out + k + 2;
                    out += W + 1;
                    p += W;
                    continue;
                }
                out += k;
                p += k;
                doubleEscape();
                continue;
            }
        } else if (*p != FRAME_ESC) {
            if (room < 1) {
                overflowed_ = true;
                if (!flush()) return false;
                continue;
            }
            *out++ = *p++;
            if (static_cast<std::size_t>(p - runStart) < directRunBytes_) continue;
        } else {
            if (room < 2) {
                overflowed_ = true;
                if (!flush()) return false;
                continue;
            }
            doubleEscape();
            continue;
        }
        if (!sendRunFromBody()) return false;
    }
    // The end mark.
    if (static_cast<std::size_t>(limit - out) < 2) {
        overflowed_ = true;
        if (!flush()) return false;
    }
    out[0] = FRAME_ESC;
    out[1] = FRAME_BOUNDARY;
    out += 2;
    return flush();
}

// ---- Decoder ------------------------------------------------------------------

FrameDecoder::FrameDecoder(std::size_t maxMessageBytes, FrameKernel kernel)
    : maxMessageBytes_(maxMessageBytes), kernel_(kernel), wideLanes_(wideLanesFor(kernel)) {}

std::size_t FrameDecoder::grownArea(std::size_t area, bool empty) const {
    // Doubling keeps the copying linear in the message size; the cap keeps
    // the buffer from overshooting what may ever be stored.
    const std::size_t first = empty ? std::min(lastMessageBytes_, MESSAGE_HINT_LIMIT) : 0;
    return std::min(std::max({area * 2, MESSAGE_BUFFER_START, first}), maxMessageBytes_);
}

std::size_t FrameDecoder::growthFor(std::size_t bytes) const {
    // Each byte fed adds at most one byte to the collection. The bytes may
    // go on with the message being collected, or (after it ends within
    // them) start a new one in a buffer of its own; the larger growth counts.
    auto areaFor = [&](std::size_t area, std::size_t need, bool empty) {
        need = std::min(need, maxMessageBytes_);
        while (area < need && area < maxMessageBytes_) {
            area = grownArea(area, empty);
            empty = false;
        }
        return area;
    };
    const std::size_t area = current_.size();
    // A pending escape may add itself besides the byte after it.
    const std::size_t pending = escapePending_ ? 1 : 0;
    const std::size_t goingOn = areaFor(area, size_ + bytes + pending, size_ == 0) - area;
    const std::size_t fresh = areaFor(0, bytes, true);
    return std::max(goingOn, fresh);
}

bool FrameDecoder::grow() {
    const std::size_t area = current_.size();
    if (area >= maxMessageBytes_) return false;
    const std::size_t grown = grownArea(area, size_ == 0);
    MessageBytes bigger;
    bigger.reserve(grown);
    bigger.resize(bigger.capacity());  // no bytes are written: see BufferAllocator
    if (size_ > 0) std::memcpy(bigger.data(), current_.data(), size_);
    current_.swap(bigger);
    return true;
}

FrameDecoder::Step FrameDecoder::feed(const unsigned char* data, std::size_t length) {
    if (kernel_ != FrameKernel::Portable) return run<NativeLane>(data, length);
    return run<PortableLane>(data, length);
}

template <typename Lane>
FrameDecoder::Step FrameDecoder::run(const unsigned char* data, std::size_t length) {
    constexpr std::size_t W = Lane::WIDTH;
    // The loop works on copies of the buffer's state (stores through a byte
    // pointer could otherwise change any field, as far as the compiler can
    // tell) and writes the size back before it returns or grows the buffer.
    unsigned char* buffer = current_.data();
    std::size_t area = std::min(current_.size(), maxMessageBytes_);
    std::size_t size = size_;
    bool escapePending = escapePending_;
    auto add = [&](unsigned char b) {
        if (size == area) {
            size_ = size;
            if (!grow()) return false;
            buffer = current_.data();
            area = std::min(current_.size(), maxMessageBytes_);
        }
        buffer[size++] = b;
        return true;
    };
    auto stop = [&](Outcome outcome, std::size_t consumed) {
        size_ = size;
        escapePending_ = escapePending;
        return Step{outcome, consumed};
    };
    std::size_t i = 0;
    while (i < length) {
        if (escapePending) {
            escapePending = false;
            const unsigned char b = data[i++];
            switch (b) {
                case FRAME_BOUNDARY:
                    if (size > 0) return stop(Outcome::Message, i);
                    break;
                case FRAME_OFFER_END:
                    // Without a header there is no offer to act on: the
                    // marker is dropped and the connection stays framed.
                    if (size > 0) {
                        // A collection longer than any offer header is
                        // handed over cut just past that length: enough for
                        // the receiver to refuse it, without a copy of what
                        // may be megabytes.
                        header_.assign(buffer, buffer + std::min(size, OFFER_HEADER_MAX + 1));
                        current_ = MessageBytes();
                        size = 0;
                        return stop(Outcome::OfferHeader, i);
                    }
                    break;
                case FRAME_ESC:
                    if (!add(FRAME_ESC)) return stop(Outcome::TooLarge, i);
                    break;
                default:
                    // A stray escape before an ordinary byte is kept as it came.
                    if (!add(FRAME_ESC) || !add(b)) return stop(Outcome::TooLarge, i);
                    break;
            }
            continue;
        }
#if defined(WIREKIT_FRAME_AVX512)
        if (wideLanes_ && length - i >= WIDE_MIN_IN && area - size >= WIDE_MIN_ROOM) {
            std::size_t written;
            // They leave two lanes of the block at least: there are bytes
            // for the steps below.
            i += avx512::undoubleLanes(data + i, length - i, buffer + size, area - size, &written);
            size += written;
        }
#endif
        // A lane goes whole into the buffer or not at all; the buffer grows
        // only for a byte that has no room, so that a message the size hint
        // foresaw fits the first allocation exactly.
        if (length - i >= W && area - size >= W) {
            const auto marks = Lane::copy(buffer + size, data + i);
            if (marks == 0) {
                size += W;
                i += W;
                continue;
            }
            const std::size_t k = Lane::first(marks, data + i);
            // The 0x05 was copied with the lane. When its partner is the
            // only other 0x05 of the lane (the common case inside a
            // message), the bytes after the pair go again one place back,
            // over the partner, and the next lane starts where this one
            // ended.
            if (marks == Lane::marksOf(k, 2) && length - i >= k + 2 + W &&
                area - size >= k + 1 + W) {
                Lane::move(buffer + size + k + 1, data + i + k + 2);
                size += W - 1;
                i += W;
                continue;
            }
            size += k;
            i += k;
            // A doubled one elsewhere keeps that copy and skips its partner
            // here, without a round through the pending state.
            if (i + 1 < length && data[i + 1] == FRAME_ESC) {
                ++size;
                i += 2;
                continue;
            }
            // Otherwise what it means depends on the byte after it.
            escapePending = true;
            ++i;
            continue;
        }
        const unsigned char b = data[i++];
        if (b == FRAME_ESC) {
            escapePending = true;
        } else if (!add(b)) {
            return stop(Outcome::TooLarge, i);
        }
    }
    return stop(Outcome::NeedMore, length);
}

MessageBytes FrameDecoder::takeMessage() {
    MessageBytes out;
    out.swap(current_);
    out.resize(size_);
    lastMessageBytes_ = size_;
    size_ = 0;
    // A message much smaller than the allocation the hint gave it would
    // hold that memory for as long as it waits in the queue.
    if (out.capacity() > 2 * out.size() + MESSAGE_BUFFER_START) out.shrink_to_fit();
    return out;
}

std::string FrameDecoder::takeHeader() {
    std::string out;
    out.swap(header_);
    return out;
}

}  // namespace wirekit::tcp
