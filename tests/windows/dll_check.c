/* Loads QUILVANE_SDK.dll the way a Windows application does, resolves all
 * sixteen exports by name and checks their answers. With a port argument it
 * also exchanges one frame with a device simulator on 127.0.0.1:PORT. Prints
 * "N passed, M failed" and exits non-zero on any failure. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "quilvane_sdk.h"

static int passed, failed;

static void check(int ok, const char* what) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        printf("FAILED: %s\n", what);
    }
}

typedef void(QUILVANE_CALL* VoidFn)(void);
typedef int(QUILVANE_CALL* IntFn)(void);
typedef int(QUILVANE_CALL* HandleFn)(int);
typedef void(QUILVANE_CALL* HandleVoidFn)(int);
typedef uint32_t(QUILVANE_CALL* QueueSizeFn)(int);
typedef int(QUILVANE_CALL* SearchFn)(DeviceInfo*);
typedef int(QUILVANE_CALL* SearchPelixFn)(PelixDeviceRecord*);
typedef int(QUILVANE_CALL* ProbeFn)(const uint8_t*, const uint8_t*, int);
typedef int(QUILVANE_CALL* OpenFn)(const OpenParams*);
typedef int(QUILVANE_CALL* RecvCanFn)(int, int, CanFrame*, int);
typedef int(QUILVANE_CALL* SendCanFn)(int, const CanFrame*);

static HMODULE dll;

/* void (*)(void) is the type GCC lets any function pointer pass through. */
typedef void (*AnyFn)(void);

static AnyFn resolve(const char* name) {
    FARPROC p = GetProcAddress(dll, name);
    check(p != NULL, name);
    return (AnyFn)p;
}

static void exchangeWithSimulator(OpenFn open, SendCanFn sendCan, RecvCanFn recvCan, HandleFn close,
                                  unsigned short port) {
    OpenParams params;
    memset(&params, 0, sizeof params);
    params.type = QUILVANE_TCP_CLIENT;
    strcpy(params.remoteIp, "127.0.0.1");
    params.remotePort = port;
    int handle = open(&params);
    check(handle >= 0, "open a TCP client to the simulator");
    if (handle < 0)
        return;

    CanFrame frame;
    memset(&frame, 0, sizeof frame);
    frame.id = 0x123;
    frame.dataLength = 2;
    frame.data[0] = 0x11;
    frame.data[1] = 0x22;
    check(sendCan(handle, &frame) == 0, "send a frame");

    CanFrame echo;
    int got = 0;
    /* Before the first frame of a channel arrives, the call does not wait. */
    for (int i = 0; i < 5000 && got == 0; ++i) {
        got = recvCan(handle, 0, &echo, 1);
        if (got == 0)
            Sleep(1);
    }
    check(got == 1, "receive the echo");
    check(got == 1 && echo.id == 0x123 && echo.dataLength == 2 && echo.data[1] == 0x22,
          "echo equals the frame");
    check(close(handle) == 0, "close the connection");
}

int main(int argc, char** argv) {
    dll = LoadLibraryA("QUILVANE_SDK.dll");
    check(dll != NULL, "LoadLibrary QUILVANE_SDK.dll");
    if (dll == NULL)
        return 1;

    VoidFn init = (VoidFn)resolve("QUILVANE_Init");
    VoidFn exitLib = (VoidFn)resolve("QUILVANE_Exit");
    SearchFn search = (SearchFn)resolve("QUILVANE_Search");
    SearchPelixFn searchPelix = (SearchPelixFn)resolve("QUILVANE_SearchPELIX");
    ProbeFn probePelix = (ProbeFn)resolve("QUILVANE_ProbePELIXDevice");
    ProbeFn probeVci = (ProbeFn)resolve("QUILVANE_ProbeVCIDevice");
    OpenFn open = (OpenFn)resolve("QUILVANE_Open");
    HandleFn close = (HandleFn)resolve("QUILVANE_Close");
    IntFn recv = (IntFn)resolve("QUILVANE_Recv");
    IntFn send = (IntFn)resolve("QUILVANE_Send");
    RecvCanFn recvCan = (RecvCanFn)resolve("QUILVANE_Recv_CAN");
    SendCanFn sendCan = (SendCanFn)resolve("QUILVANE_Send_CAN");
    IntFn timerSend = (IntFn)resolve("QUILVANE_TimerSend_CAN");
    HandleVoidFn clearBuffer = (HandleVoidFn)resolve("QUILVANE_Clear_Buffer");
    HandleVoidFn clearSendBuffer = (HandleVoidFn)resolve("QUILVANE_Clear_Send_Buffer");
    QueueSizeFn queueSize = (QueueSizeFn)resolve("QUILVANE_Get_Send_Queue_Size");
    if (failed)
        return 1;

    check(recv() == -1 && send() == -1 && timerSend() == 0, "constant answers before Init");
    check((AnyFn)recv == (AnyFn)send, "QUILVANE_Recv and QUILVANE_Send are one function");
    init();
    check(open(NULL) == -1, "Open(NULL) is -1");
    check(close(7) == -1, "Close of an unknown handle is -1");
    check(search(NULL) == 0 && searchPelix(NULL) == 0, "searches with a null array give 0");
    uint8_t id[6] = {0}, address[4] = {127, 0, 0, 1};
    check(
        probePelix(NULL, address, 10) == -1 && probeVci(id, NULL, 10) == -1 && probeVci(id, address, 0) == -1,
        "probes refuse bad arguments");

    OpenParams other;
    memset(&other, 0, sizeof other);
    other.type = 4;
    int handle = open(&other);
    check(handle == 0, "first handle is 0");
    CanFrame frames[4];
    memset(frames, 0, sizeof frames);
    check(sendCan(handle, &frames[0]) == -1, "Send_CAN on a handle without transport is -1");
    check(recvCan(handle, 0, frames, 4) == 0, "Recv_CAN on an open handle with nothing received is 0");
    check(recvCan(handle, 0, NULL, 4) == -1, "Recv_CAN with a null array is -1");
    check(recvCan(handle + 1, 0, frames, 4) == -1, "Recv_CAN on a handle that is not open is -1");
    clearBuffer(handle);
    clearSendBuffer(handle);
    check(queueSize(handle) == 0, "send queue is empty");
    check(close(handle) == -1 && close(handle) == -1, "Close of a handle without transport is -1");
    check(open(&other) == 0, "the key is free again after Close");

    if (argc > 1)
        exchangeWithSimulator(open, sendCan, recvCan, close, (unsigned short)atoi(argv[1]));

    exitLib();
    check(open(&other) == -1 && close(0) == -1, "Open and Close fail after Exit");
    check(recvCan(0, 0, frames, 1) == -1 && sendCan(0, &frames[0]) == -1,
          "Recv_CAN and Send_CAN fail after Exit");
    check(queueSize(0) == 0 && search(&(DeviceInfo){0}) == 0, "queue size and search give 0 after Exit");
    init();
    check(open(&other) == -1, "Init after Exit creates nothing");

    printf("%d passed, %d failed\n", passed, failed);
    FreeLibrary(dll);
    return failed == 0 ? 0 : 1;
}
