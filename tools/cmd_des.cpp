// wirekit des encrypt|decrypt: the library's DES / triple-DES over standard
// input. The cipher works on whole 8-byte blocks, so encryption pads the data
// with 1 to 8 bytes, each holding the pad length, and decryption removes and
// checks that padding; the output of decrypt is the original input exactly.
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"

namespace cli {

const char* const DES_HELP =
    "usage: wirekit des encrypt|decrypt (--key TEXT | --key-hex HEX) < in > out\n"
    "\n"
    "Encrypts or decrypts standard input with the library's block cipher.\n"
    "A key of up to 8 bytes selects single DES, 9 to 16 bytes two-key triple DES.\n"
    "Encrypted output is padded to whole 8-byte blocks (each pad byte holds the\n"
    "pad length, 1 to 8); decrypt removes the padding again.\n";

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The key as given: the value of --key or of --key-hex.
struct KeyOptions {
    std::vector<std::string> text;
    std::vector<std::string> hex;
};

std::vector<unsigned char> parseKey(const KeyOptions& options) {
    const std::vector<std::string>& text = options.text;
    const std::vector<std::string>& hex = options.hex;
    if (text.empty() == hex.empty())
        throw UsageError{"give exactly one of --key TEXT or --key-hex HEX"};
    std::vector<unsigned char> key;
    if (!text.empty()) {
        key.assign(text[0].begin(), text[0].end());
    } else {
        const std::string& digits = hex[0];
        if (digits.size() % 2 != 0)
            throw UsageError{"--key-hex needs an even number of hex digits"};
        for (size_t i = 0; i < digits.size(); i += 2) {
            int high = hexDigit(digits[i]), low = hexDigit(digits[i + 1]);
            if (high < 0 || low < 0)
                throw UsageError{"--key-hex takes hex digits only, not '" + digits + "'"};
            key.push_back(static_cast<unsigned char>(high * 16 + low));
        }
    }
    if (key.empty() || key.size() > 16) throw UsageError{"the key must be 1 to 16 bytes long"};
    return key;
}

}  // namespace

int runDes(Args& args) {
    // The action is checked before the key: without it nothing else matters.
    KeyOptions keyOptions{args.option("--key"), args.option("--key-hex")};
    std::vector<std::string> action = args.positionals();
    if (action.size() != 1 || (action[0] != "encrypt" && action[0] != "decrypt")) {
        throw UsageError{"say 'encrypt' or 'decrypt'"};
    }
    bool decrypt = action[0] == "decrypt";
    std::vector<unsigned char> key = parseKey(keyOptions);
    binaryStdio();
    std::vector<unsigned char> data = readAllStdin();
    if (!decrypt) {
        size_t pad = 8 - data.size() % 8;
        data.insert(data.end(), pad, static_cast<unsigned char>(pad));
    } else if (data.empty() || data.size() % 8 != 0) {
        return fail(
            "encrypted input must be a non-empty multiple of 8 bytes; was it made by 'wirekit des "
            "encrypt'?");
    }
    if (data.size() > 0x7fffffff)
        return fail("input is too large for one cipher call (2 GB at most)");
    std::vector<unsigned char> out(data.size());
    if (!Des_Go(out.data(), data.data(), static_cast<int>(data.size()), key.data(),
                static_cast<int>(key.size()), decrypt)) {
        return fail("the cipher refused the input");
    }
    if (decrypt) {
        unsigned char pad = out.back();
        bool valid = pad >= 1 && pad <= 8;
        for (size_t i = 0; valid && i < pad; ++i) valid = out[out.size() - 1 - i] == pad;
        if (!valid)
            return fail(
                "decryption gave no valid padding: wrong key, or input not made by 'wirekit des "
                "encrypt'");
        out.resize(out.size() - pad);
    }
    if (!writeStdout(out.data(), out.size())) return fail("could not write standard output");
    return EXIT_OK;
}

}  // namespace cli
