// tcp_echo: an echo server and its client in one process.
//
//   tcp_echo [TEXT...]
//
// The server endpoint listens on a free port; the client endpoint connects
// and sends each TEXT as one framed message. Messages travel one way on a
// connection (nothing reads the client's own connection), so the server
// answers over a connection of its own to the client's listener.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "wirekit.h"

namespace {

void* g_server;
void* g_client;
int g_clientPort;
std::mutex g_lock;
std::condition_variable g_changed;
int g_echoes = 0;

// Server: every message that arrives is sent back to the client's listener.
void onServerEvent(int code, int param) {
    if (code != TCP_EV_MSG_RECEIVED) return;
    std::vector<char> text(param);
    long n = GetMessage_Tcp(g_server, text.data(), param);
    if (n < 0) return;
    // Connect_Tcp keeps an open connection to the same host and port.
    if (Connect_Tcp(g_server, "127.0.0.1", g_clientPort))
        SendMessage_Tcp(g_server, text.data(), static_cast<int>(n));
}

// Client: echoes arrive on its own listener.
void onClientEvent(int code, int param) {
    if (code != TCP_EV_MSG_RECEIVED) return;
    std::vector<char> text(param);
    long n = GetMessage_Tcp(g_client, text.data(), param);
    if (n < 0) return;
    std::printf("echo: %.*s\n", static_cast<int>(n), text.data());
    std::lock_guard<std::mutex> guard(g_lock);
    ++g_echoes;
    g_changed.notify_all();
}

// Tries ports from a start value until a listen succeeds.
int listenSomewhere(void* endpoint, int first) {
    for (int port = first; port < first + 200; ++port)
        if (ListenMessage_Tcp(endpoint, port)) return port;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> texts(argv + 1, argv + argc);
    if (texts.empty()) texts = {"hello", "wirekit"};

    g_server = Init_Tcp(onServerEvent);
    g_client = Init_Tcp(onClientEvent);
    int serverPort = listenSomewhere(g_server, 47100);
    g_clientPort = listenSomewhere(g_client, 47400);
    if (!serverPort || !g_clientPort || !Connect_Tcp(g_client, "127.0.0.1", serverPort)) {
        std::fprintf(stderr, "tcp_echo: could not set up the connections\n");
        return 1;
    }
    for (const auto& t : texts) SendMessage_Tcp(g_client, t.data(), static_cast<int>(t.size()));

    std::unique_lock<std::mutex> guard(g_lock);
    bool all = g_changed.wait_for(guard, std::chrono::seconds(10),
                                  [&] { return g_echoes == static_cast<int>(texts.size()); });
    guard.unlock();
    Close_Tcp(g_client);
    Close_Tcp(g_server);
    return all ? 0 : 1;
}
