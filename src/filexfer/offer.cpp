#include "filexfer/offer.h"

#include <cstring>
#include <limits>
#include <string_view>

namespace wirekit::filexfer {

std::string formatOffer(const std::string& name, std::int64_t size) {
    return "SENDFILE:" + name + "," + std::to_string(size);
}

namespace {
std::string afterLastSeparator(const std::string& path) {
    const std::size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

// Cuts `text` to at most FILE_NAME_MAX bytes without splitting a UTF-8
// character: a cut that would land on a continuation byte moves back to the
// start of its character (at most three bytes, so text that is not UTF-8
// loses no more than that).
void cutToNameRecord(std::string& text) {
    if (text.size() <= FILE_NAME_MAX) return;
    std::size_t cut = FILE_NAME_MAX;
    for (int back = 0; back < 3 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80; ++back)
        --cut;
    if ((static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) cut = FILE_NAME_MAX;
    text.resize(cut);
}

// Windows drops trailing dots and spaces when it opens a name, so that
// "a.txt. " would open "a.txt".
void dropTrailingDotsAndSpaces(std::string& text) {
    while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
}

bool isNameSafeByte(unsigned char c) {
    return c >= 0x20 && c != 0x7F && std::strchr("\\/:*?\"<>|", c) == nullptr;
}

// The bytes that read as a superscript 1, 2 or 3 after "COM" or "LPT":
// the character in UTF-8, or its byte in the ANSI code page, which reads
// text that is not UTF-8.
bool isSuperscriptDigit(std::string_view rest) {
    auto superscript = [](unsigned char c) { return c == 0xB9 || c == 0xB2 || c == 0xB3; };
    if (rest.size() == 1) return superscript(static_cast<unsigned char>(rest[0]));
    return rest.size() == 2 && static_cast<unsigned char>(rest[0]) == 0xC2 &&
           superscript(static_cast<unsigned char>(rest[1]));
}
}  // namespace

std::string offeredName(const std::string& path) {
    std::string name = afterLastSeparator(path);
    cutToNameRecord(name);
    return name;
}

bool offerCanCarry(const std::string& name) {
    return name.find_first_of(std::string(",\x05", 2)) == std::string::npos;
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
    ParsedOffer out{std::string(), 0, false};
    const std::size_t colon = text.find(':');
    const std::size_t nameStart = colon == std::string::npos ? 0 : colon + 1;
    // The size never holds a comma, so the last comma ends the name, and a
    // name with commas from a sender that does not refuse them arrives whole.
    const std::size_t comma = text.rfind(',');
    if (comma != std::string::npos && comma >= nameStart)
        out.name = text.substr(nameStart, comma - nameStart);
    const char* sizeText = text.c_str() + (comma == std::string::npos ? 0 : comma + 1);
    out.size = atoiInt64(sizeText);
    const char* p = sizeText;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    if (*p == '+' || *p == '-') ++p;
    out.sizeIsNumber = *p >= '0' && *p <= '9' && out.size >= 0;
    return out;
}

bool isReservedDeviceName(const std::string& name) {
    std::string base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    for (char& c : base) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" ||
        base == "CONOUT$")
        return true;
    if (base.size() < 4 || (base.compare(0, 3, "COM") != 0 && base.compare(0, 3, "LPT") != 0))
        return false;
    const std::string_view rest = std::string_view(base).substr(3);
    return (rest.size() == 1 && rest[0] >= '1' && rest[0] <= '9') || isSuperscriptDigit(rest);
}

std::string sanitizeReceivedName(const std::string& name) {
    std::string clean = afterLastSeparator(name);
    for (char& c : clean) {
        if (!isNameSafeByte(static_cast<unsigned char>(c))) c = '_';
    }
    // Trailing dots and spaces go after the cut too, since the cut can
    // leave some at the end; the device check comes last because dropping
    // them can leave a device name ("nul" and 300 spaces). The prefix makes
    // any name safe, so one more cut cannot undo it.
    auto fit = [](std::string& text) {
        dropTrailingDotsAndSpaces(text);
        cutToNameRecord(text);
        dropTrailingDotsAndSpaces(text);
    };
    fit(clean);
    if (isReservedDeviceName(clean)) {
        clean.insert(0, 1, '_');
        fit(clean);
    }
    return clean;
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
