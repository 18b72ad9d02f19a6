// wirekit udp listen / send: reliable UDP messages. Acknowledgements travel to
// the port the sender's endpoint is bound to, so the sending side binds one
// too (--from PORT, or one the system picks).
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "netcheck.h"

namespace cli {

const char* const UDP_HELP =
    "usage: wirekit udp listen PORT [--header B1 B2] [--broadcast]\n"
    "       wirekit udp send HOST PORT [TEXT...] [--from PORT] [--header B1 B2]\n"
    "                                          [--timeout SECONDS]\n"
    "\n"
    "listen  receives on PORT and prints each message\n"
    "        (\"message from ADDRESS (LENGTH bytes): TEXT\") until Ctrl-C; every\n"
    "        message is acknowledged. --broadcast receives broadcast\n"
    "        (unacknowledged) messages.\n"
    "send    sends TEXT (words joined by spaces) to HOST:PORT, or each non-empty\n"
    "        line of standard input, and waits for every acknowledgement (default\n"
    "        15 s, at most 86400; messages are re-sent every 10 s). HOST is a name\n"
    "        or an IPv4 address. --from binds the local port the acknowledgements\n"
    "        come back to (default: any free port).\n"
    "--header B1 B2  the two marker bytes of every datagram, as decimal numbers\n"
    "        0-255 (default 55 77); both sides must use the same.\n"
    "Both refuse a UDP port that another program holds. Put -- before TEXT that\n"
    "starts with '-'.\n";

namespace {

constexpr int EVENT_SLOT = 0;

// The two marker bytes every datagram starts with.
struct Header {
    unsigned char first = 55;
    unsigned char second = 77;
};

// The library binds a busy UDP port without complaint and then hears
// nothing, so the port is tried here first; "" when it is free.
std::string checkPortFree(int port, const std::string& use) {
    if (port == 0 || udpPortFree(port)) return "";
    return "cannot " + use + "; is it in use? Choose another port";
}

void* openEndpoint(int port, Header header, bool broadcast) {
    void* endpoint =
        Init_Udp(port, callbackFor(EVENT_SLOT), header.first, header.second, broadcast ? 1 : 0);
    if (endpoint == reinterpret_cast<void*>(-1)) return nullptr;
    ListenMessage_Udp(endpoint);
    return endpoint;
}

void printMessage(void* endpoint, const Event& event, std::vector<char>& buffer) {
    buffer.resize(static_cast<size_t>(event.param) + 1);
    long length = GetMessage_Udp(endpoint, buffer.data(), static_cast<int>(buffer.size()));
    if (length < 0) return;
    // The message comes as "ADDRESS:PAYLOAD".
    std::string whole(buffer.data(), static_cast<size_t>(event.param));
    size_t colon = whole.find(':');
    std::string from = colon == std::string::npos ? "?" : whole.substr(0, colon);
    std::string text = colon == std::string::npos ? whole : whole.substr(colon + 1);
    printOut("message from %s (%s): %.*s\n", from.c_str(), countOf(length, "byte").c_str(),
             static_cast<int>(text.size()), text.data());
}

int listenForMessages(int port, Header header, bool broadcast) {
    std::string busy = checkPortFree(port, "listen on UDP port " + std::to_string(port));
    if (!busy.empty()) return fail(busy);
    void* endpoint = openEndpoint(port, header, broadcast);
    if (!endpoint) return fail("could not create a UDP endpoint");
    printOut("listening on UDP port %d, header %d %d%s (Ctrl-C ends)\n", port, header.first,
             header.second, broadcast ? ", broadcast" : "");
    std::vector<char> buffer;
    while (!interrupted()) {
        Event event;
        if (!nextEvent(EVENT_SLOT, event, std::chrono::milliseconds(500))) continue;
        if (event.code == UDP_EV_MSG_RECEIVED) {
            printMessage(endpoint, event, buffer);
        } else if (event.code == UDP_EV_RECV_QUEUE_FULL || event.code == UDP_EV_RECV_FAILED) {
            printOut("event %d %s\n", event.code, wirekit_event_name(event.code));
        }
    }
    Close_Udp(endpoint);
    return EXIT_OK;
}

// How many messages were acknowledged before the deadline.
struct Acknowledgements {
    size_t count = 0;
    bool queueFull = false;
};

Acknowledgements awaitAcknowledgements(size_t expected, int timeoutSeconds) {
    Acknowledgements acks;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (acks.count < expected && !interrupted()) {
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) break;
        Event event;
        if (!nextEvent(EVENT_SLOT, event,
                       std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now))) {
            continue;
        }
        if (event.code == UDP_EV_ACKED) ++acks.count;
        if (event.code == UDP_EV_SEND_QUEUE_FULL) acks.queueFull = true;
    }
    return acks;
}

int sendMessages(const std::string& host, int port, const std::vector<std::string>& words, int from,
                 Header header, int timeoutSeconds) {
    std::vector<std::string> messages;
    int skipped = 0;
    if (!words.empty()) {
        messages.push_back(joinText(words));
    } else {
        std::string line;
        while (nextMessageLine(line, skipped)) messages.push_back(line);
    }
    for (const std::string& text : messages) {
        if (text.size() > static_cast<size_t>(MAX_UDP_PAYLOAD_BYTES)) {
            return fail("a message is longer than " + countOf(MAX_UDP_PAYLOAD_BYTES, "byte") +
                        "; split it");
        }
    }
    std::string problem;
    std::string address = resolveIPv4(host, problem);
    if (address.empty()) return fail(problem);
    std::string busy = checkPortFree(
        from, "receive acknowledgements on UDP port " + std::to_string(from) + " (--from)");
    if (!busy.empty()) return fail(busy);
    void* endpoint = openEndpoint(from, header, false);
    if (!endpoint) return fail("could not create a UDP endpoint");
    for (const std::string& text : messages) {
        if (!SendMessage_Udp(endpoint, address.c_str(), port, text.data(),
                             static_cast<int>(text.size()))) {
            Close_Udp(endpoint);
            return fail("the library refused to send to " + address + ":" + std::to_string(port));
        }
    }
    Acknowledgements acks = awaitAcknowledgements(messages.size(), timeoutSeconds);
    Close_Udp(endpoint);
    // "localhost:9001 (127.0.0.1)" when a name was given.
    std::string to =
        host + ":" + std::to_string(port) + (host == address ? "" : " (" + address + ")");
    if (acks.count == messages.size()) {
        printOut("acknowledged: %s to %s%s\n",
                 countOf(static_cast<long long>(acks.count), "message").c_str(), to.c_str(),
                 skippedNote(skipped).c_str());
        return EXIT_OK;
    }
    printOut("not acknowledged: %s of %s to %s\n",
             std::to_string(messages.size() - acks.count).c_str(),
             countOf(static_cast<long long>(messages.size()), "message").c_str(), to.c_str());
    std::string hint = acks.queueFull ? "the send queue was full; send fewer lines at a time"
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
    if (words.empty()) throw UsageError{"say 'listen PORT' or 'send HOST PORT [TEXT...]'"};
    const std::string& action = words[0];
    if (action == "listen") {
        if (words.size() != 2) throw UsageError{"listen takes exactly one PORT"};
        if (!fromText.empty() || !timeoutText.empty()) {
            throw UsageError{"--from and --timeout belong to 'send'"};
        }
        return listenForMessages(parsePort(words[1], "PORT"), header, broadcast);
    }
    if (action == "send") {
        if (words.size() < 3) throw UsageError{"send needs HOST and PORT"};
        if (broadcast) throw UsageError{"--broadcast belongs to 'listen'"};
        int from = fromText.empty() ? 0 : parsePort(fromText[0], "--from");
        int timeout = timeoutText.empty() ? 15 : parseSeconds(timeoutText[0], "--timeout");
        return sendMessages(words[1], parsePort(words[2], "PORT"),
                            std::vector<std::string>(words.begin() + 3, words.end()), from, header,
                            timeout);
    }
    throw UsageError{"unknown action '" + action + "'; say 'listen' or 'send'"};
}

}  // namespace cli
