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
static HMODULE dll;

static void check(int ok, const char* what) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        printf("FAILED: %s\n", what);
    }
}

static FARPROC resolve(const char* name) {
    FARPROC p = GetProcAddress(dll, name);
    check(p != NULL, name);
    return p;
}

/* Each export as a pointer of its own declared type, so that every call is
 * checked against the header. */
// clang-format off
#define EXPORTS(X) X(Init) X(Exit) X(Search) X(SearchPELIX) X(ProbePELIXDevice) X(ProbeVCIDevice) X(Open) \
    X(Close) X(Recv) X(Send) X(Recv_CAN) X(Send_CAN) X(TimerSend_CAN) X(Clear_Buffer) X(Clear_Send_Buffer) \
    X(Get_Send_Queue_Size)
// clang-format on
#define RESOLVE(name) \
    __typeof__(&QUILVANE_##name) name = (__typeof__(&QUILVANE_##name))(void*)resolve("QUILVANE_" #name);

int main(int argc, char** argv) {
    dll = LoadLibraryA("QUILVANE_SDK.dll");
    check(dll != NULL, "LoadLibrary QUILVANE_SDK.dll");
    if (dll == NULL)
        return 1;
    EXPORTS(RESOLVE)
    if (failed)
        return 1;

    check(Recv() == -1 && Send() == -1 && TimerSend_CAN() == 0, "constant answers before Init");
    check((void*)Recv == (void*)Send, "QUILVANE_Recv and QUILVANE_Send are one function");
    Init();
    check(Open(NULL) == -1, "Open(NULL) is -1");
    check(Close(7) == -1, "Close of an unknown handle is -1");
    check(Search(NULL) == 0 && SearchPELIX(NULL) == 0, "searches with a null array give 0");
    uint8_t id[6] = {0}, address[4] = {127, 0, 0, 1};
    check(ProbePELIXDevice(NULL, address, 10) == -1 && ProbeVCIDevice(id, NULL, 10) == -1 &&
              ProbeVCIDevice(id, address, 0) == -1,
          "probes refuse bad arguments");

    OpenParams other = {.type = 4};
    int handle = Open(&other);
    check(handle == 0, "first handle is 0");
    CanFrame frames[4] = {0};
    check(Send_CAN(handle, &frames[0]) == -1, "Send_CAN on a handle without transport is -1");
    check(Recv_CAN(handle, 0, frames, 4) == 0, "Recv_CAN on an open handle with nothing received is 0");
    check(Recv_CAN(handle, 0, NULL, 4) == -1, "Recv_CAN with a null array is -1");
    check(Recv_CAN(handle + 1, 0, frames, 4) == -1, "Recv_CAN on a handle that is not open is -1");
    Clear_Buffer(handle);
    Clear_Send_Buffer(handle);
    check(Get_Send_Queue_Size(handle) == 0, "send queue is empty");
    check(Close(handle) == -1 && Close(handle) == -1, "Close of a handle without transport is -1");
    check(Open(&other) == 0, "the key is free again after Close");

    if (argc > 1) {
        OpenParams client = {
            .type = QUILVANE_TCP_CLIENT, .remoteIp = "127.0.0.1", .remotePort = atoi(argv[1])};
        handle = Open(&client);
        check(handle >= 0, "open a TCP client to the simulator");
        CanFrame frame = {.id = 0x123, .dataLength = 2, .data = {0x11, 0x22}}, echo;
        check(handle >= 0 && Send_CAN(handle, &frame) == 0, "send a frame");
        int got = 0;
        /* Before the first frame of a channel arrives, the call does not wait. */
        for (int i = 0; i < 5000 && handle >= 0 && got == 0; ++i) {
            got = Recv_CAN(handle, 0, &echo, 1);
            if (got == 0)
                Sleep(1);
        }
        check(got == 1 && echo.id == 0x123 && echo.dataLength == 2 && echo.data[1] == 0x22,
              "receive the echo, equal to the frame");
        check(Close(handle) == 0, "close the connection");
    }

    Exit();
    check(Open(&other) == -1 && Close(0) == -1, "Open and Close fail after Exit");
    check(Recv_CAN(0, 0, frames, 1) == -1 && Send_CAN(0, &frames[0]) == -1,
          "Recv_CAN and Send_CAN fail after Exit");
    check(Get_Send_Queue_Size(0) == 0 && Search(&(DeviceInfo){0}) == 0,
          "queue size and search give 0 after Exit");
    Init();
    check(Open(&other) == -1, "Init after Exit creates nothing");

    printf("%d passed, %d failed\n", passed, failed);
    FreeLibrary(dll);
    return failed == 0 ? 0 : 1;
}
