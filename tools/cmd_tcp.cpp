// wirekit tcp listen / send: framed TCP messages. A connection carries
// messages one way, from the connecting side to the listening side.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"

namespace cli {
namespace {

const char* const TCP_HELP =
    "usage: wirekit tcp listen PORT\n"
    "       wirekit tcp send HOST PORT [TEXT...]\n"
    "\n"
    "listen  accepts connections on PORT and prints every message received\n"
    "        (\"message from connection N: TEXT\") and every connection event,\n"
    "        until Ctrl-C. File offers are refused (use 'wirekit file receive').\n"
    "send    connects to HOST:PORT and sends TEXT (the words joined by spaces) as\n"
    "        one message; without TEXT, each line of standard input is a message.\n";

constexpr int SLOT = 0;

int listen(int port) {
    void* h = Init_Tcp(callbackFor(SLOT));
    if (h == reinterpret_cast<void*>(-1)) return fail("could not create a TCP endpoint");
    if (!ListenMessage_Tcp(h, port)) {
        Close_Tcp(h);
        return fail("cannot listen on TCP port " + std::to_string(port) +
                    "; is it in use? Choose another port");
    }
    std::printf("listening on TCP port %d (Ctrl-C ends)\n", port);
    std::fflush(stdout);
    std::vector<char> buffer;
    while (!interrupted()) {
        Event event;
        if (!nextEvent(SLOT, event, std::chrono::milliseconds(500))) continue;
        switch (event.code) {
        case TCP_EV_CONNECTED:
            std::printf("connected: connection %d\n", event.param);
            break;
        case TCP_EV_DISCONNECTED:
            std::printf("disconnected\n");
            break;
        case TCP_EV_MSG_RECEIVED: {
            buffer.resize(static_cast<size_t>(event.param) + 1);
            long n = GetMessage_Tcp(h, buffer.data(), static_cast<int>(buffer.size()));
            if (n >= 0) {
                std::printf("message (%ld bytes): %.*s\n", n, static_cast<int>(n), buffer.data());
            }
            break;
        }
        case TCP_EV_FILE_OFFER:
            RecvFile_Tcp(h, event.param, false);
            std::printf("file offer refused (use 'wirekit file receive' for files)\n");
            break;
        default:
            std::printf("event %d %s (%d)\n", event.code, wirekit_event_name(event.code),
                        event.param);
        }
        std::fflush(stdout);
    }
    Close_Tcp(h);
    return EXIT_OK;
}

int send(const std::string& host, int port, const std::vector<std::string>& words) {
    void* h = Init_Tcp(callbackFor(SLOT));
    if (h == reinterpret_cast<void*>(-1)) return fail("could not create a TCP endpoint");
    if (!Connect_Tcp(h, host.c_str(), port)) {
        Close_Tcp(h);
        return fail("cannot connect to " + host + ":" + std::to_string(port) +
                    "; is 'wirekit tcp listen " + std::to_string(port) + "' running there?");
    }
    auto sendOne = [&](const std::string& text) {
        if (text.size() > static_cast<size_t>(MAX_MESSAGE_BYTES)) return false;
        return SendMessage_Tcp(h, text.data(), static_cast<int>(text.size())) == 1;
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
    DisConnect_Tcp(h);
    Close_Tcp(h);
    if (!ok) return fail("the connection to " + host + ":" + std::to_string(port) +
                         " failed after " + std::to_string(sent) + " message(s)");
    std::printf("sent %d message%s to %s:%d\n", sent, sent == 1 ? "" : "s", host.c_str(), port);
    return EXIT_OK;
}

}  // namespace

int runTcp(int argc, char** argv, int first) {
    Args args(argc, argv, first);
    if (args.wantsHelp()) {
        std::fputs(TCP_HELP, stdout);
        return EXIT_OK;
    }
    std::vector<std::string> rest = args.positionals();
    if (rest.empty()) throw UsageError{"say 'listen PORT' or 'send HOST PORT [TEXT...]'"};
    if (rest[0] == "listen") {
        if (rest.size() != 2) throw UsageError{"listen takes exactly one PORT"};
        return listen(parsePort(rest[1], "PORT"));
    }
    if (rest[0] == "send") {
        if (rest.size() < 3) throw UsageError{"send needs HOST and PORT"};
        return send(rest[1], parsePort(rest[2], "PORT"),
                    std::vector<std::string>(rest.begin() + 3, rest.end()));
    }
    throw UsageError{"unknown action '" + rest[0] + "'; say 'listen' or 'send'"};
}

}  // namespace cli
