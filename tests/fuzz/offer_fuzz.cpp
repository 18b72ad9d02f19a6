// libFuzzer target for the receiver's offer-header parser and the received
// name sanitiser. Beyond not crashing: the safe name never names a directory
// or leaves it, and fits the offer record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "filexfer/offer.h"

using namespace wirekit::filexfer;

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
    return 0;
}
