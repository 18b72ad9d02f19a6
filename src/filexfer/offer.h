// The bytes of a file offer and its answer, and the rules by which each side
// reads them. Pure functions: no sockets, no files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace wirekit::filexfer {

// Data moves in pieces of at most this many bytes in both directions.
constexpr int FILE_CHUNK_BYTES = 40960;
// The sender reads the answer with one receive of at most this many bytes.
constexpr int OFFER_ANSWER_MAX = 250;
// Room for text in the host-visible records, without the terminating NUL.
constexpr std::size_t FILE_NAME_MAX = 259;
constexpr std::size_t FILE_PATH_MAX = 263;
constexpr std::size_t PEER_ADDRESS_MAX = 26;
constexpr std::size_t PEER_HOST_MAX = 46;

// The two bytes that end an offer header (the framing escape byte and the
// end-of-offer byte).
constexpr unsigned char OFFER_END[2] = {0x05, 0x06};
// The six answer bytes, sent without terminator.
constexpr char ANSWER_ACCEPT[] = "accept";
constexpr char ANSWER_REFUSE[] = "refuse";
constexpr std::size_t ANSWER_BYTES = 6;

// "SENDFILE:<name>,<size>" with the size in decimal (64 bits, so that files
// of 2^31 bytes and more are announced truthfully). The name is not escaped.
std::string formatOffer(const std::string& name, std::int64_t size);

// The name a sender offers for `path`: what follows its last '/' or '\\',
// cut to FILE_NAME_MAX bytes.
std::string offeredName(const std::string& path);

struct ParsedOffer {
    std::string name;   // raw, as offered (see sanitizeReceivedName)
    std::int64_t size;  // may be negative or zero
};

// Reads a received header. The text ends at its first NUL byte. The name is
// what lies between the first colon (or the start, without one) and the
// next comma, empty without a comma; the text before the colon is ignored.
// The size is the text after the first comma of the whole header (the whole
// header without one), read as atoiInt64 does.
ParsedOffer parseOfferHeader(const std::string& header);

// atoi's rules on a 64-bit value: leading white space, an optional sign,
// digits up to the first non-digit, 0 without digits. Values beyond the
// 64-bit range saturate instead of overflowing.
std::int64_t atoiInt64(const char* text);

// Keeps only the last path component of an offered name (after the last
// '/' or '\\'), turns "." and ".." into "", and cuts it to FILE_NAME_MAX.
std::string sanitizeReceivedName(const std::string& name);

enum class Answer { Accept, Refuse, Unrecognised };

// Compares the first six received bytes (fewer when a NUL comes first)
// exactly with "accept" and "refuse"; later bytes are ignored.
Answer parseAnswer(const unsigned char* data, std::size_t length);

}  // namespace wirekit::filexfer
