/*
 * file_receiver: accepts every file offered to it and saves it in a folder.
 *
 *   file_receiver PORT DIR
 *
 * Send it a file with "wirekit file send 127.0.0.1 PORT PATH". The offered
 * name arrives already made safe by the library (its last path component,
 * without control characters, separators or device names), so it cannot
 * point outside DIR or at a device, and printing it cannot drive the
 * terminal. Ends after the first file is complete or its connection ends.
 */
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "wirekit.h"

static void* g_endpoint;
static const char* g_dir;
static std::atomic<bool> g_finished{false};

static void on_event(int code, int param) {
    FileRecvOffer offer;
    switch (code) {
        case TCP_EV_FILE_OFFER: {
            if (!GetRecvOffer_Tcp(g_endpoint, param, &offer)) return;
            char path[264];
            int n = snprintf(path, sizeof path, "%s/%s", g_dir, offer.fileName);
            int ok = offer.fileName[0] != '\0' && n > 0 && n < (int)sizeof path &&
                     SetSavePath_Tcp(g_endpoint, param, path);
            printf("offer: %s (%lld bytes) from %s -> %s\n", offer.fileName,
                   (long long)offer.fileSize, offer.peerAddress, ok ? "accept" : "refuse");
            RecvFile_Tcp(g_endpoint, param, ok != 0); /* may be answered right here */
            break;
        }
        case TCP_EV_RECV_PROGRESS:
            if (GetRecvOffer_Tcp(g_endpoint, param, &offer) && offer.fileSize > 0)
                printf("\r%lld / %lld bytes", (long long)offer.bytesReceived,
                       (long long)offer.fileSize);
            fflush(stdout);
            break;
        case TCP_EV_RECV_DONE:
            printf("\ncomplete\n");
            g_finished = true;
            break;
        case TCP_EV_RECV_FAILED:
            printf("\nconnection ended\n");
            g_finished = true;
            break;
    }
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: file_receiver PORT DIR\n");
        return 2;
    }
    g_dir = argv[2];
    g_endpoint = Init_Tcp(on_event);
    if (!ListenMessage_Tcp(g_endpoint, atoi(argv[1]))) {
        fprintf(stderr, "file_receiver: cannot listen on port %s\n", argv[1]);
        return 1;
    }
    printf("waiting for a file on port %s\n", argv[1]);
    while (!g_finished) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Close_Tcp(g_endpoint);
    return 0;
}
