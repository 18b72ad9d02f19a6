// Uses the installed header and library from C++: the std::string forms, the
// event names and a DES round trip. Exits 0 when all work.
#include <cstdio>
#include <string>
#include <vector>

#include "wirekit.h"

int main() {
    if (std::string(hello()) != "OK") return 1;
    if (std::string(wirekit_event_name(TCP_EV_CONNECTED)) != "TCP_EV_CONNECTED") return 1;
    std::vector<unsigned char> plain(16, 'x'), cipher(16), back(16);
    const std::string key = "sixteen byte key";
    const auto* k = reinterpret_cast<const unsigned char*>(key.data());
    if (!Des_Go(cipher.data(), plain.data(), 16, k, 16, false)) return 1;
    if (!Des_Go(back.data(), cipher.data(), 16, k, 16, true) || back != plain) return 1;
    void* endpoint = Init_Tcp(nullptr);
    if (endpoint == reinterpret_cast<void*>(-1)) return 1;
    // No offer 1 exists: the std::string form is refused like the C one.
    bool refused = SetSavePath_Tcp(endpoint, 1, std::string("name")) == 0;
    if (Close_Tcp(endpoint) != 1 || !refused) return 1;
    std::printf("C++ consumer: wirekit %s, %s\n", WIREKIT_VERSION_STRING, hello());
    return 0;
}
