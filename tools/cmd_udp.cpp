// wirekit udp listen / send: reliable UDP messages. Acknowledgements travel to
// the port the sender's endpoint is bound to, so the sending side binds one
// too (--from PORT, or one the system picks).
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"

namespace cli {

const char* const UDP_HELP =
    "usage: wirekit udp listen PORT [--header B1 B2] [--broadcast]\n"
    "       wirekit udp send ADDRESS PORT [TEXT...] [--from PORT] [--header B1 B2]\n"
    "                                             [--timeout SECONDS]\n"
    "\n"
    "listen  receives on PORT and prints each message (\"message from ADDRESS: TEXT\")\n"
    "        until Ctrl-C; every message is acknowledged. --broadcast receives\n"
    "        broadcast (unacknowledged) messages.\n"
    "send    sends TEXT (words joined by spaces) to ADDRESS:PORT, or each line of\n"
    "        standard input, and waits for every acknowledgement (default 15 s;\n"
    "        messages are re-sent every 10 s). --from binds the local port the\n"
    "        acknowledgements come back to (default: any free port).\n"
    "--header B1 B2  the two marker bytes of every datagram (default 55 77); both\n"
    "        sides must use the same.\n";

namespace {

constexpr int EVENT_SLOT = 0;

// The two marker bytes every datagram starts with.
struct Header {
    unsigned char first = 55;
    unsigned char second = 77;
};

void* openEndpoint(int port, Header header, bool broadcast) {
    void* endpoint =
        Init_Udp(port, callbackFor(EVENT_SLOT), header.first, header.second, broadcast ? 1 : 0);
    if (endpoint == reinterpret_cast<void*>(-1)) return nullptr;
    ListenMessage_Udp(endpoint);
    return endpoint;
}

int listenForMessages(int port, Header header, bool broadcast) {
    void* endpoint = openEndpoint(port, header, broadcast);
    if (!endpoint) return fail("could not create a UDP endpoint");
    printOut("listening on UDP port %d, header %d %d%s (Ctrl-C ends)\n", port, header.first,
             header.second, broadcast ? ", broadcast" : "");
    std::vector<char> buffer;
    while (!interrupted()) {
        Event event;
        if (!nextEvent(EVENT_SLOT, event, std::chrono::milliseconds(500))) continue;
        if (event.code == UDP_EV_MSG_RECEIVED) {
            buffer.resize(static_cast<size_t>(event.param) + 1);
            long length = GetMessage_Udp(endpoint, buffer.data(), static_cast<int>(buffer.size()));
            if (length < 0) continue;
            std::string whole(buffer.data(), static_cast<size_t>(event.param));
            size_t colon = whole.find(':');
            std::string from = colon == std::string::npos ? "?" : whole.substr(0, colon);
            std::string text = colon == std::string::npos ? whole : whole.substr(colon + 1);
            printOut("message from %s (%ld bytes): %s\n", from.c_str(), length, text.c_str());
        } else if (event.code == UDP_EV_RECV_QUEUE_FULL || event.code == UDP_EV_RECV_FAILED) {
            printOut("event %d %s\n", event.code, wirekit_event_name(event.code));
        }
    }
    Close_Udp(endpoint);
    return EXIT_OK;
}

int sendMessages(const std::string& address, int port, const std::vector<std::string>& words,
                 int from, Header header, int timeoutSeconds) {
    std::vector<std::string> messages;
    if (!words.empty()) {
        std::string text;
        for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
        messages.push_back(text);
    } else {
        std::string line;
        while (std::getline(std::cin, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            messages.push_back(line);
        }
    }
    for (const std::string& text : messages) {
        if (text.size() > static_cast<size_t>(MAX_UDP_PAYLOAD_BYTES)) {
            return fail("a message is longer than " + std::to_string(MAX_UDP_PAYLOAD_BYTES) +
                        " bytes; split it");
        }
    }
    void* endpoint = openEndpoint(from, header, false);
    if (!endpoint) return fail("could not create a UDP endpoint");
    for (const std::string& text : messages) {
        if (!SendMessage_Udp(endpoint, address.c_str(), port, text.data(),
                             static_cast<int>(text.size()))) {
            Close_Udp(endpoint);
            std::fprintf(stderr,
                         "wirekit udp: '%s' is not a dotted IPv4 address (such as 127.0.0.1)\n",
                         address.c_str());
            return EXIT_USAGE;
        }
    }
    size_t acked = 0;
    bool queueFull = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (acked < messages.size() && !interrupted()) {
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) break;
        Event event;
        if (!nextEvent(EVENT_SLOT, event,
                       std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now))) {
            continue;
        }
        if (event.code == UDP_EV_ACKED) ++acked;
        if (event.code == UDP_EV_SEND_QUEUE_FULL) queueFull = true;
    }
    Close_Udp(endpoint);
    if (acked == messages.size()) {
        printOut("acknowledged: %zu message%s to %s:%d\n", acked, acked == 1 ? "" : "s",
                 address.c_str(), port);
        return EXIT_OK;
    }
    printOut("not acknowledged: %zu of %zu message%s to %s:%d\n", messages.size() - acked,
             messages.size(), messages.size() == 1 ? "" : "s", address.c_str(), port);
    std::string hint = queueFull ? "the send queue was full; send fewer lines at a time"
                                 : "is 'wirekit udp listen " + std::to_string(port) +
                                       "' running there with the same --header?";
    return fail("no acknowledgement within " + std::to_string(timeoutSeconds) + " s; " + hint);
}

}  // namespace

int runUdp(Args& args) {
    Header header;
    std::vector<std::string> headerText = args.option("--header", 2);
    if (!headerText.empty()) {
        header.first = parseByte(headerText[0], "B1");
        header.second = parseByte(headerText[1], "B2");
    }
    bool broadcast = args.flag("--broadcast");
    std::vector<std::string> fromText = args.option("--from");
    std::vector<std::string> timeoutText = args.option("--timeout");
    std::vector<std::string> words = args.positionals();
    if (words.empty()) throw UsageError{"say 'listen PORT' or 'send ADDRESS PORT [TEXT...]'"};
    const std::string& action = words[0];
    if (action == "listen") {
        if (words.size() != 2) throw UsageError{"listen takes exactly one PORT"};
        if (!fromText.empty() || !timeoutText.empty()) {
            throw UsageError{"--from and --timeout belong to 'send'"};
        }
        return listenForMessages(parsePort(words[1], "PORT"), header, broadcast);
    }
    if (action == "send") {
        if (words.size() < 3) throw UsageError{"send needs ADDRESS and PORT"};
        if (broadcast) throw UsageError{"--broadcast belongs to 'listen'"};
        int from = fromText.empty() ? 0 : parsePort(fromText[0], "--from");
        int timeout = 15;
        if (!timeoutText.empty()) {
            timeout = parsePort(timeoutText[0], "--timeout");  // 1..65535 seconds
        }
        return sendMessages(words[1], parsePort(words[2], "PORT"),
                            std::vector<std::string>(words.begin() + 3, words.end()), from, header,
                            timeout);
    }
    throw UsageError{"unknown action '" + action + "'; say 'listen' or 'send'"};
}

}  // namespace cli
