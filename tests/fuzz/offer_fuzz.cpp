// libFuzzer target for the receiver's offer-header parser and the received
// name sanitiser. Beyond not crashing: the safe name never names a directory
// or leaves it, and fits the offer record; sizes read as a plain saturating
// reference reads them; and what a sender formats parses back to its name
// and size.
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string header(reinterpret_cast<const char*>(data), size);
    const ParsedOffer offer = parseOfferHeader(header);
    if (offer.name.find('\0') != std::string::npos) std::abort();
    const std::string safe = sanitizeReceivedName(offer.name);
    if (safe.size() > FILE_NAME_MAX) std::abort();
    if (safe.find_first_of("/\\") != std::string::npos) std::abort();
    if (safe == "." || safe == "..") std::abort();
    if (sanitizeReceivedName(header).size() > FILE_NAME_MAX) std::abort();
    (void)parseAnswer(data, size);

    // Sizes: the text up to its first NUL, as the parser sees it.
    const std::string text = header.substr(0, std::strlen(header.c_str()));
    if (atoiInt64(text.c_str()) != referenceAtoi(text)) std::abort();

    // A sender's offer for a path taken from the input parses back to the
    // offered name and size, and the receiver keeps that name unchanged
    // unless it is "." or "..".
    std::string path = text;
    for (char& c : path) {
        if (c == ',' || c == ':') c = '_';
    }
    const std::string offered = offeredName(path);
    if (offered.size() > FILE_NAME_MAX || offered.find_first_of("/\\") != std::string::npos)
        std::abort();
    std::int64_t size64 = 0;
    if (size >= 8) std::memcpy(&size64, data + size - 8, 8);
    const ParsedOffer back = parseOfferHeader(formatOffer(offered, size64));
    if (back.name != offered || back.size != size64) std::abort();
    if (offered != "." && offered != ".." && sanitizeReceivedName(offered) != offered) std::abort();
    return 0;
}
