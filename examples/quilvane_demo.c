/* Talks to one device over TCP: sends a few frames, prints every frame that
 * comes back in candump's log format, and closes.
 *
 *   quilvane_demo ADDRESS PORT
 *
 * Uses nothing but the public header. */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L /* clock_gettime, nanosleep */
#endif
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "quilvane_sdk.h"

/* The wall clock in microseconds since 1970, and a pause of 1 ms: the only
 * calls that differ between Windows (any compiler) and POSIX systems. */
#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
static long long microsecondsNow(void) {
    FILETIME now; /* 100 ns steps since 1601 */
    GetSystemTimeAsFileTime(&now);
    unsigned long long ticks = ((unsigned long long)now.dwHighDateTime << 32) | now.dwLowDateTime;
    return (long long)(ticks / 10 - 11644473600000000ULL);
}
static void pauseOneMillisecond(void) {
    Sleep(1);
}
#else
static long long microsecondsNow(void) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (long long)now.tv_sec * 1000000 + now.tv_nsec / 1000;
}
static void pauseOneMillisecond(void) {
    const struct timespec pause = {0, 1000000};
    nanosleep(&pause, NULL);
}
#endif

enum { kFramesToSend = 4, kWaitSeconds = 5 };

/* candump log line: "(seconds.micro) canN ID#DATA". CAN FD frames (flag 0x4,
 * or more than 8 data bytes) as "ID##F DATA" with F the low digit of the
 * flags word: 0x1 bit rate switch, 0x2 error state, 0x4 CAN FD. */
static void printFrame(const CanFrame* f) {
    long long now = microsecondsNow();
    printf("(%lld.%06lld) can%u ", now / 1000000, now % 1000000, f->channel);
    printf(f->id > 0x7FF ? "%08X" : "%03X", f->id);
    if ((f->flags & 0x4) || f->dataLength > 8) {
        printf("##%X", (f->flags & 0x7) | 0x4);
    } else {
        printf("#");
    }
    for (int i = 0; i < f->dataLength && i < 64; ++i)
        printf("%02X", f->data[i]);
    printf("\n");
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s ADDRESS PORT\n", argv[0]);
        return 2;
    }
    QUILVANE_Init();

    OpenParams params;
    memset(&params, 0, sizeof params);
    params.type = QUILVANE_TCP_CLIENT;
    strncpy(params.remoteIp, argv[1], sizeof params.remoteIp - 1);
    params.remotePort = (uint16_t)atoi(argv[2]);
    int handle = QUILVANE_Open(&params);
    if (handle < 0) {
        fprintf(stderr, "could not connect to %s:%s\n", argv[1], argv[2]);
        QUILVANE_Exit();
        return 1;
    }

    for (int i = 0; i < kFramesToSend; ++i) {
        CanFrame frame;
        memset(&frame, 0, sizeof frame);
        frame.id = 0x123 + (uint32_t)i;
        if (i == kFramesToSend - 1) { /* the last one is CAN FD, with bit rate switch */
            frame.flags = 0x4 | 0x1;
            frame.dataLength = 12;
        } else {
            frame.dataLength = 2;
        }
        for (int b = 0; b < frame.dataLength; ++b)
            frame.data[b] = (uint8_t)(0x11 * (b + 1));
        QUILVANE_Send_CAN(handle, &frame);
    }

    /* QUILVANE_Recv_CAN waits at most about 2 ms, and not at all before the
     * first frame of a channel arrived: poll, with a pause when nothing came. */
    int received = 0;
    time_t giveUp = time(NULL) + kWaitSeconds;
    while (received < kFramesToSend && time(NULL) < giveUp) {
        CanFrame frames[16];
        int n = QUILVANE_Recv_CAN(handle, 0, frames, 16);
        for (int i = 0; i < n; ++i)
            printFrame(&frames[i]);
        if (n > 0) {
            received += n;
        } else {
            pauseOneMillisecond();
        }
    }

    QUILVANE_Close(handle);
    QUILVANE_Exit();
    if (received != kFramesToSend) {
        fprintf(stderr, "received %d of %d frames\n", received, kFramesToSend);
        return 1;
    }
    return 0;
}
