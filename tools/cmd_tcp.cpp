// wirekit tcp listen / send: framed TCP messages. A connection carries
// messages one way, from the connecting side to the listening side.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"

namespace cli {

const char* const TCP_HELP =
    "usage: wirekit tcp listen PORT\n"
    "       wirekit tcp send HOST PORT [TEXT...]\n"
    "\n"
    "listen  accepts connections on PORT and prints every message received\n"
    "        (\"message from connection N: TEXT\") and every connection event,\n"
    "        until Ctrl-C. File offers are refused (use 'wirekit file receive').\n"
    "send    connects to HOST:PORT and sends TEXT (the words joined by spaces) as\n"
    "        one message; without TEXT, each line of standard input is a message.\n";

namespace {

constexpr int EVENT_SLOT = 0;

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
                printOut("disconnected\n");
                break;
            case TCP_EV_MSG_RECEIVED: {
                buffer.resize(static_cast<size_t>(event.param) + 1);
                long length =
                    GetMessage_Tcp(endpoint, buffer.data(), static_cast<int>(buffer.size()));
                if (length >= 0) {
                    printOut("message (%ld bytes): %.*s\n", length, static_cast<int>(length),
                             buffer.data());
                }
                break;
            }
            case TCP_EV_FILE_OFFER:
                RecvFile_Tcp(endpoint, event.param, false);
                printOut("file offer refused (use 'wirekit file receive' for files)\n");
                break;
            default:
                printOut("event %d %s (%d)\n", event.code, wirekit_event_name(event.code),
                         event.param);
        }
    }
    Close_Tcp(endpoint);
    return EXIT_OK;
}

int sendMessages(const std::string& host, int port, const std::vector<std::string>& words) {
    void* endpoint = Init_Tcp(callbackFor(EVENT_SLOT));
    if (endpoint == reinterpret_cast<void*>(-1)) return fail("could not create a TCP endpoint");
    if (!Connect_Tcp(endpoint, host.c_str(), port)) {
        Close_Tcp(endpoint);
        return fail("cannot connect to " + host + ":" + std::to_string(port) +
                    "; is 'wirekit tcp listen " + std::to_string(port) + "' running there?");
    }
    auto sendOne = [&](const std::string& text) {
        if (text.size() > static_cast<size_t>(MAX_MESSAGE_BYTES)) return false;
        return SendMessage_Tcp(endpoint, text.data(), static_cast<int>(text.size())) == 1;
    };
    int sent = 0;
    bool ok = true;
    if (!words.empty()) {
        std::string text;
        for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
        ok = sendOne(text);
        sent += ok;
    } else {
        std::string line;
        while (ok && !interrupted() && std::getline(std::cin, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            ok = sendOne(line);
            sent += ok;
        }
    }
    DisConnect_Tcp(endpoint);
    Close_Tcp(endpoint);
    if (!ok)
        return fail("the connection to " + host + ":" + std::to_string(port) + " failed after " +
                    std::to_string(sent) + " message(s)");
    printOut("sent %d message%s to %s:%d\n", sent, sent == 1 ? "" : "s", host.c_str(), port);
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
