// wirekit tcp listen / send: framed TCP messages. A connection carries
// messages one way, from the connecting side to the listening side.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "netcheck.h"

namespace cli {

const char* const TCP_HELP =
    "usage: wirekit tcp listen PORT\n"
    "       wirekit tcp send HOST PORT [TEXT...]\n"
    "\n"
    "listen  accepts connections on PORT and prints each connection as it comes\n"
    "        and goes (\"connected: connection N\", \"disconnected: connection N\")\n"
    "        and every message (\"message from connection N (LENGTH bytes): TEXT\"),\n"
    "        until Ctrl-C. N is the connection's socket number. File offers are\n"
    "        refused (use 'wirekit file receive'). Messages that arrive on several\n"
    "        connections at the same instant may be attributed to the wrong one;\n"
    "        where the program notices, it prints 'connection ?'.\n"
    "send    connects to HOST:PORT and sends TEXT (the words joined by spaces) as\n"
    "        one message; without TEXT, each line of standard input is a message.\n"
    "        Empty lines are skipped (an empty message carries nothing) and counted\n"
    "        in the report.\n"
    "Put -- before TEXT that starts with '-'.\n";

namespace {

constexpr int EVENT_SLOT = 0;

// Takes the oldest queued message into `buffer`, growing it when the message
// is longer than announced (another connection's message can be the oldest);
// the length, or -1 when none is queued.
long takeMessage(void* endpoint, std::vector<char>& buffer, int announced) {
    const size_t largest = static_cast<size_t>(MAX_MESSAGE_BYTES) + 1;
    size_t wanted = static_cast<size_t>(announced) + 1;
    if (buffer.size() < wanted) buffer.resize(wanted);
    for (;;) {
        long length = GetMessage_Tcp(endpoint, buffer.data(), static_cast<int>(buffer.size()));
        if (length >= 0) return length;
        // -1 comes with 1006 for an empty queue or 3003 for a short buffer,
        // raised on this thread inside the call: only 3003 is worth a retry.
        if (lastCodeRaisedHere() != TCP_EV_BUFFER_TOO_SMALL || buffer.size() >= largest) {
            return -1;
        }
        buffer.resize(std::min(buffer.size() * 2, largest));
    }
}

// "connection 7", or "connection ?" when the program cannot tell.
std::string connectionName(int connection) {
    return connection > 0 ? "connection " + std::to_string(connection) : "connection ?";
}

void printMessage(void* endpoint, const Event& event, std::vector<char>& buffer) {
    long length = takeMessage(endpoint, buffer, event.param);
    if (length < 0) return;
    // The library hands messages over from one queue for all connections: a
    // length other than the announced one belongs to another connection.
    int connection = length == event.param ? event.connection : 0;
    printOut("message from %s (%s): %.*s\n", connectionName(connection).c_str(),
             countOf(length, "byte").c_str(), static_cast<int>(length), buffer.data());
}

void refuseOffer(void* endpoint, const Event& event) {
    FileRecvOffer offer;
    std::string what =
        GetRecvOffer_Tcp(endpoint, event.param, &offer)
            ? " '" + std::string(offer.fileName) + "' (" + countOf(offer.fileSize, "byte") + ")"
            : "";
    RecvFile_Tcp(endpoint, event.param, false);
    printOut("file offer%s on %s refused (use 'wirekit file receive' for files)\n", what.c_str(),
             connectionName(event.connection).c_str());
}

int listenForMessages(int port) {
    void* endpoint = Init_Tcp(callbackFor(EVENT_SLOT));
    if (endpoint == reinterpret_cast<void*>(-1)) return fail("could not create a TCP endpoint");
    if (!ListenMessage_Tcp(endpoint, port)) {
        Close_Tcp(endpoint);
        return fail("cannot listen on TCP port " + std::to_string(port) +
                    "; is it in use? Choose another port");
    }
    printOut("listening on TCP port %d (Ctrl-C ends)\n", port);
    std::vector<char> buffer;
    while (!interrupted()) {
        Event event;
        if (!nextEvent(EVENT_SLOT, event, std::chrono::milliseconds(500))) continue;
        switch (event.code) {
            case TCP_EV_CONNECTED:
                printOut("connected: connection %d\n", event.param);
                break;
            case TCP_EV_DISCONNECTED:
                printOut("disconnected: %s\n", connectionName(event.connection).c_str());
                break;
            case TCP_EV_MSG_RECEIVED:
                printMessage(endpoint, event, buffer);
                break;
            case TCP_EV_FILE_OFFER:
                refuseOffer(endpoint, event);
                break;
            case TCP_EV_RECV_FAILED:
                // Every offer here is refused: the end of its connection
                // comes as 3013 once the sender has closed it.
                printOut("disconnected: %s, closed after the file offer\n",
                         connectionName(event.connection).c_str());
                break;
            case TCP_EV_BUFFER_TOO_SMALL:
            case EV_NO_MESSAGE:
                break;  // takeMessage's own retries
            default:
                printOut("event %d %s (%d)\n", event.code, wirekit_event_name(event.code),
                         event.param);
        }
    }
    Close_Tcp(endpoint);
    return EXIT_OK;
}

int sendMessages(const std::string& host, int port, const std::vector<std::string>& words) {
    // TEXT is one message; without it every non-empty line is sent as soon
    // as it is read, so that typed lines go out one by one.
    std::string text = words.empty() ? "" : joinText(words);
    std::string problem;
    std::string address = resolveIPv4(host, problem);
    if (address.empty()) return fail(problem);
    void* endpoint = Init_Tcp(callbackFor(EVENT_SLOT));
    if (endpoint == reinterpret_cast<void*>(-1)) return fail("could not create a TCP endpoint");
    if (!Connect_Tcp(endpoint, address.c_str(), port)) {
        Close_Tcp(endpoint);
        return fail("cannot connect to " + host + ":" + std::to_string(port) +
                    "; is 'wirekit tcp listen " + std::to_string(port) + "' running there?");
    }
    int sent = 0, skipped = 0;
    bool more = !words.empty() || nextMessageLine(text, skipped);
    while (more) {
        if (text.size() > static_cast<size_t>(MAX_MESSAGE_BYTES)) {
            problem = "a message is longer than " + countOf(MAX_MESSAGE_BYTES, "byte") +
                      "; split it (" + countOf(sent, "message") + " sent)";
            break;
        }
        if (SendMessage_Tcp(endpoint, text.data(), static_cast<int>(text.size())) != 1) {
            problem = "the connection to " + host + ":" + std::to_string(port) + " failed after " +
                      countOf(sent, "message");
            break;
        }
        ++sent;
        more = words.empty() && nextMessageLine(text, skipped);
    }
    DisConnect_Tcp(endpoint);
    Close_Tcp(endpoint);
    if (!problem.empty()) return fail(problem);
    printOut("sent %s to %s:%d%s\n", countOf(sent, "message").c_str(), host.c_str(), port,
             skippedNote(skipped).c_str());
    return EXIT_OK;
}

}  // namespace

int runTcp(Args& args) {
    std::vector<std::string> words = args.positionals();
    if (words.empty()) throw UsageError{"say 'listen PORT' or 'send HOST PORT [TEXT...]'"};
    const std::string& action = words[0];
    if (action == "listen") {
        if (words.size() != 2) throw UsageError{"listen takes exactly one PORT"};
        return listenForMessages(parsePort(words[1], "PORT"));
    }
    if (action == "send") {
        if (words.size() < 3) throw UsageError{"send needs HOST and PORT"};
        return sendMessages(words[1], parsePort(words[2], "PORT"),
                            std::vector<std::string>(words.begin() + 3, words.end()));
    }
    throw UsageError{"unknown action '" + action + "'; say 'listen' or 'send'"};
}

}  // namespace cli
