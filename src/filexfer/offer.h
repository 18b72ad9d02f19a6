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
// cut to FILE_NAME_MAX bytes on a UTF-8 character boundary.
std::string offeredName(const std::string& path);

// False for a name the offer text cannot carry: one holding a comma (the
// receiver's size would start inside the name) or the byte 0x05 (the
// framing escape byte).
bool offerCanCarry(const std::string& name);

struct ParsedOffer {
    std::string name;   // raw, as offered (see sanitizeReceivedName)
    std::int64_t size;  // as read; valid only when sizeIsNumber
    // The size text holds a decimal number that is not negative.
    bool sizeIsNumber;
};

// Reads a received header. The text ends at its first NUL byte. The name is
// what lies between the first colon (or the start, without one) and the
// last comma, empty when no comma follows the colon; the text before the
// colon is ignored, and commas in the name are kept. The size is the text
// after the last comma (the whole header without one), read as atoiInt64
// does; it is a number when that text has a digit after the white space and
// sign and its value is not negative. Anything after the digits is ignored.
ParsedOffer parseOfferHeader(const std::string& header);

// atoi's rules on a 64-bit value: leading white space, an optional sign,
// digits up to the first non-digit, 0 without digits. Values beyond the
// 64-bit range saturate instead of overflowing.
std::int64_t atoiInt64(const char* text);

// The name a received file is shown and saved under, the same on every
// system so that a file received anywhere can be copied anywhere: the last
// path component of the offered name (after the last '/' or '\\'); every
// control character (0x00-0x1F, 0x7F) and each of \ / : * ? " < > | turned
// into '_'; trailing dots and spaces removed; a reserved device name (CON,
// PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, in any case, with or without an
// extension) prefixed with '_'; the result cut to FILE_NAME_MAX bytes on a
// UTF-8 character boundary. "." and ".." become "". Bytes that are not
// UTF-8 are kept as they are.
std::string sanitizeReceivedName(const std::string& name);

// True when `name` opens a device instead of a file on Windows: its part
// before the first dot, trailing spaces removed, is one of the names above
// (or CONIN$, CONOUT$, or COM and LPT with a superscript 1, 2 or 3), in
// any case.
bool isReservedDeviceName(const std::string& name);

enum class Answer { Accept, Refuse, Unrecognised };

// Compares the first six received bytes (fewer when a NUL comes first)
// exactly with "accept" and "refuse"; later bytes are ignored.
Answer parseAnswer(const unsigned char* data, std::size_t length);

}  // namespace wirekit::filexfer
