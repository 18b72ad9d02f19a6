/*
 * udp_chat: a two-person chat over reliable UDP.
 *
 *   udp_chat LOCAL_PORT PEER_ADDRESS PEER_PORT
 *
 * Run it twice (for example "udp_chat 7001 127.0.0.1 7002" and
 * "udp_chat 7002 127.0.0.1 7001"); every line typed on one side appears on the
 * other once, in order, even if datagrams are lost: wirekit re-sends each
 * message until the peer acknowledges it. End with an empty line or EOF.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "wirekit.h"

/* The callback has no context pointer, so the handle lives in a global. */
static void* g_endpoint;

static void on_event(int code, int param) {
    if (code == UDP_EV_MSG_RECEIVED) {
        /* param is exactly what GetMessage_Udp writes: "address:payload". */
        char* text = malloc((size_t)param + 1);
        if (!text) return;
        long n = GetMessage_Udp(g_endpoint, text, param);
        if (n >= 0) {
            text[param] = '\0';
            printf("<< %s\n", text);
            fflush(stdout);
        }
        free(text);
    } else if (code == UDP_EV_ACKED) {
        printf("   (delivered)\n");
        fflush(stdout);
    }
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: udp_chat LOCAL_PORT PEER_ADDRESS PEER_PORT\n");
        return 2;
    }
    int localPort = atoi(argv[1]);
    const char* peer = argv[2];
    int peerPort = atoi(argv[3]);

    /* Both sides must use the same two header bytes; 55 and 77 are the usual ones. */
    g_endpoint = Init_Udp(localPort, on_event, 55, 77, 0);
    if (g_endpoint == (void*)(intptr_t)-1) {
        fprintf(stderr, "udp_chat: could not create the endpoint\n");
        return 1;
    }
    ListenMessage_Udp(g_endpoint); /* starts the receive and sender threads */

    char line[1024];
    while (fgets(line, sizeof line, stdin)) {
        size_t len = strcspn(line, "\r\n");
        if (len == 0) break;
        if (!SendMessage_Udp(g_endpoint, peer, peerPort, line, (int)len))
            fprintf(stderr, "udp_chat: message refused\n");
    }
    Close_Udp(g_endpoint); /* joins both threads and closes the sockets */
    return 0;
}
