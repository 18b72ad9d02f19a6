#include "filexfer/offer.h"

#include <cstring>
#include <limits>

namespace wirekit::filexfer {

std::string formatOffer(const std::string& name, std::int64_t size) {
    return "SENDFILE:" + name + "," + std::to_string(size);
}

namespace {
std::string afterLastSeparator(const std::string& path) {
    const std::size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}
}  // namespace

std::string offeredName(const std::string& path) {
    std::string name = afterLastSeparator(path);
    if (name.size() > FILE_NAME_MAX) name.resize(FILE_NAME_MAX);
    return name;
}

std::int64_t atoiInt64(const char* text) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    // Accumulated as a negative number so that the minimum fits.
    constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
    std::int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const int digit = *p - '0';
        if (value < (lowest + digit) / 10) {
            value = lowest;
            while (p[1] >= '0' && p[1] <= '9') ++p;
            continue;
        }
        value = value * 10 - digit;
    }
    if (negative) return value;
    return value == lowest ? std::numeric_limits<std::int64_t>::max() : -value;
}

ParsedOffer parseOfferHeader(const std::string& header) {
    // The receiver treats the header as C text: it ends at the first NUL.
    const std::string text = header.substr(0, std::strlen(header.c_str()));
    ParsedOffer out{std::string(), 0};
    const std::size_t colon = text.find(':');
    const std::string rest = colon == std::string::npos ? text : text.substr(colon + 1);
    const std::size_t nameEnd = rest.find(',');
    if (nameEnd != std::string::npos) out.name = rest.substr(0, nameEnd);
    const std::size_t comma = text.find(',');
    const std::string sizeText = comma == std::string::npos ? text : text.substr(comma + 1);
    out.size = atoiInt64(sizeText.c_str());
    return out;
}

std::string sanitizeReceivedName(const std::string& name) {
    std::string last = afterLastSeparator(name);
    if (last == "." || last == "..") last.clear();
    if (last.size() > FILE_NAME_MAX) last.resize(FILE_NAME_MAX);
    return last;
}

Answer parseAnswer(const unsigned char* data, std::size_t length) {
    std::size_t n = 0;
    while (n < length && n < ANSWER_BYTES && data[n] != 0) ++n;
    const std::string text(reinterpret_cast<const char*>(data), n);
    if (text == ANSWER_ACCEPT) return Answer::Accept;
    if (text == ANSWER_REFUSE) return Answer::Refuse;
    return Answer::Unrecognised;
}

}  // namespace wirekit::filexfer
