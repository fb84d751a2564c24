/* Calls every export of the 32-bit DLL with the stack aligned to 4 bytes
 * only: code that expects 16 (aligned SSE spills without realigning) crashes.
 * A TCP client carries a frame each way through a socket of this program;
 * the searches and probes broadcast, so this runs only inside
 * isolated_network.sh. Prints "all N calls returned", or the failed check. */
#include <stdint.h>
#include <stdio.h>
#include <winsock2.h>

#include "quilvane_sdk.h"

uint32_t call_misaligned(const void* function, int count, const uint32_t* args); /* misaligned_call.S */
uint32_t esp_at_call(void);

static int calls;

#define CALL0(name) (++calls, call_misaligned((const void*)(name), 0, NULL))
#define CALL(name, ...)                                                                   \
    (++calls, call_misaligned((const void*)(name), sizeof((uint32_t[]){__VA_ARGS__}) / 4, \
                              (const uint32_t[]){__VA_ARGS__}))
#define P(pointer) ((uint32_t)(uintptr_t)(pointer))

static int fail(const char* what) {
    printf("FAILED: %s\n", what);
    return 1;
}

int main(void) {
    if (call_misaligned((const void*)esp_at_call, 0, NULL) % 16 != 4)
        return fail("the thunk does not misalign the stack");

    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    struct sockaddr_in address = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    int length = sizeof address;
    if (bind(listener, (struct sockaddr*)&address, length) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, (struct sockaddr*)&address, &length) != 0)
        return fail("no listening socket");

    CALL0(QUILVANE_Init);
    OpenParams params = {
        .type = QUILVANE_TCP_CLIENT, .remoteIp = "127.0.0.1", .remotePort = ntohs(address.sin_port)};
    const int handle = (int)CALL(QUILVANE_Open, P(&params));
    if (handle < 0)
        return fail("QUILVANE_Open");
    SOCKET device = accept(listener, NULL, NULL);
    CanFrame frame = {.id = 0x123, .dataLength = 12, .data = {1, 2, 3}};
    if ((int)CALL(QUILVANE_Send_CAN, P(handle), P(&frame)) != 0)
        return fail("QUILVANE_Send_CAN");
    char packet[87];
    for (int n = 0, got; n < (int)sizeof packet; n += got)
        if ((got = recv(device, packet + n, (int)sizeof packet - n, 0)) <= 0)
            return fail("the frame did not arrive");
    send(device, packet, sizeof packet, 0);
    CanFrame received = {0};
    int got = 0;
    for (int tries = 0; tries < 2000 && got == 0; ++tries) {
        got = (int)CALL(QUILVANE_Recv_CAN, P(handle), 0, P(&received), 1);
        if (got == 0)
            Sleep(1);
    }
    if (got != 1 || received.id != 0x123 || received.data[2] != 3)
        return fail("QUILVANE_Recv_CAN");
    CALL(QUILVANE_Get_Send_Queue_Size, P(handle));
    CALL(QUILVANE_Clear_Buffer, P(handle));
    CALL(QUILVANE_Clear_Send_Buffer, P(handle));
    CALL0(QUILVANE_Recv);
    CALL0(QUILVANE_Send);
    CALL0(QUILVANE_TimerSend_CAN);

    static DeviceInfo devices[QUILVANE_MAX_SEARCH_RESULTS];
    static PelixDeviceRecord records[QUILVANE_MAX_SEARCH_RESULTS];
    const uint8_t id[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x01};
    const uint8_t nobody[4] = {198, 51, 100, 99};
    CALL(QUILVANE_Search, P(devices));
    CALL(QUILVANE_SearchPELIX, P(records));
    CALL(QUILVANE_ProbeVCIDevice, P(id), P(nobody), 50);
    CALL(QUILVANE_ProbePELIXDevice, P(id), P(nobody), 50);

    if ((int)CALL(QUILVANE_Close, P(handle)) != 0)
        return fail("QUILVANE_Close");
    CALL0(QUILVANE_Exit);
    closesocket(device);
    closesocket(listener);
    printf("all %d calls returned\n", calls);
    return 0;
}
