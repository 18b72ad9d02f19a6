// libFuzzer target for the receiver's offer-header parser and the received
// name sanitiser. Beyond not crashing: the safe name never names a directory
// or leaves it, a device or a stream, holds no control character, does not
// end in a dot or space, fits the offer record, stays UTF-8 when it was, and
// is kept as it is when cleaned again; sizes read as a plain saturating
// reference reads them; and what a sender formats parses back to its name
// and size.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "filexfer/offer.h"

using namespace wirekit::filexfer;

namespace {

// atoi's rules, digit by digit on an unsigned magnitude that saturates.
std::int64_t referenceAtoi(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::strchr(" \t\n\v\f\r", text[i]) != nullptr && text[i] != 0) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
    std::uint64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const unsigned digit = static_cast<unsigned>(text[i] - '0');
        magnitude = magnitude > (limit - digit) / 10 ? limit : magnitude * 10 + digit;
    }
    if (!negative) return static_cast<std::int64_t>(magnitude);
    return magnitude == limit ? std::numeric_limits<std::int64_t>::min()
                              : -static_cast<std::int64_t>(magnitude);
}

// The device names, checked apart from the library's own list: the part
// before the first dot, without trailing spaces, in any case.
bool namesDevice(const std::string& name) {
    std::string base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const char* device : {"CON", "PRN", "AUX", "NUL"})
        if (base == device) return true;
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
           base[3] >= '1' && base[3] <= '9';
}

bool isUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t n = c < 0x80         ? 1
                              : (c >> 5) == 6  ? 2
                              : (c >> 4) == 14 ? 3
                              : (c >> 3) == 30 ? 4
                                               : 0;
        if (n == 0 || i + n > text.size()) return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

// The properties every cleaned name has.
void checkCleaned(const std::string& offered) {
    const std::string safe = sanitizeReceivedName(offered);
    if (safe.size() > FILE_NAME_MAX) std::abort();
    for (unsigned char c : safe) {
        if (c < 0x20 || c == 0x7F || std::strchr("\\/:*?\"<>|", c) != nullptr) std::abort();
    }
    if (!safe.empty() && (safe.back() == '.' || safe.back() == ' ')) std::abort();
    if (namesDevice(safe)) std::abort();
    if (isUtf8(offered) && !isUtf8(safe)) std::abort();
    if (sanitizeReceivedName(safe) != safe) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string header(reinterpret_cast<const char*>(data), size);
    const ParsedOffer offer = parseOfferHeader(header);
    if (offer.name.find('\0') != std::string::npos) std::abort();
    checkCleaned(offer.name);
    checkCleaned(header);
    // The same bytes as UTF-8 text (each byte of 0x80 and above as the
    // character of that number), long enough to be cut.
    std::string text8;
    for (std::size_t i = 0; i < 300 && size > 0; ++i) {
        const unsigned char c = data[i % size];
        if (c < 0x80) {
            text8 += static_cast<char>(c);
        } else {
            text8 += static_cast<char>(0xC0 | (c >> 6));
            text8 += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    checkCleaned(text8);
    (void)parseAnswer(data, size);

    // Sizes: the text up to its first NUL, as the parser sees it.
    const std::string text = header.substr(0, std::strlen(header.c_str()));
    if (atoiInt64(text.c_str()) != referenceAtoi(text)) std::abort();

    // A sender's offer for a path taken from the input, with a name the
    // offer can carry, parses back to the offered name and size; a name the
    // offer cannot carry holds a comma or 0x05.
    std::string path = text;
    const bool carried = offerCanCarry(offeredName(path));
    if (carried == (offeredName(path).find_first_of(",\x05") != std::string::npos)) std::abort();
    for (char& c : path) {
        if (c == ',') c = '_';
    }
    const std::string offered = offeredName(path);
    if (offered.size() > FILE_NAME_MAX || offered.find_first_of("/\\") != std::string::npos)
        std::abort();
    if (isUtf8(path) && !isUtf8(offered)) std::abort();
    std::int64_t size64 = 0;
    if (size >= 8) std::memcpy(&size64, data + size - 8, 8);
    const ParsedOffer back = parseOfferHeader(formatOffer(offered, size64));
    if (back.name != offered || back.size != size64 || back.sizeIsNumber != (size64 >= 0))
        std::abort();
    return 0;
}
