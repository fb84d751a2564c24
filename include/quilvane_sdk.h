/*
 * QUILVANE_SDK: CAN and CAN FD interface devices over Ethernet and IPv4.
 *
 * Plain C, usable from C and C++. Every export uses the C calling convention
 * (__cdecl on 32-bit Windows) and is exported under its plain name, without
 * decoration.
 *
 * Calling order: QUILVANE_Init first, QUILVANE_Exit last. Between them any
 * entry point may be called from any thread. QUILVANE_Init is optional: each
 * entry point creates what it needs on first use. QUILVANE_Exit is final for
 * the process and must not overlap any other call. After it, nothing is
 * created again and every entry point fails cleanly:
 *   QUILVANE_Open, QUILVANE_Close, QUILVANE_Recv_CAN, QUILVANE_Send_CAN and
 *   both probes return -1; both searches and QUILVANE_Get_Send_Queue_Size
 *   return 0; QUILVANE_Init, QUILVANE_Clear_Buffer and
 *   QUILVANE_Clear_Send_Buffer do nothing. QUILVANE_Recv, QUILVANE_Send and
 *   QUILVANE_TimerSend_CAN keep their constant answers (-1, -1, 0).
 */
#ifndef QUILVANE_SDK_H
#define QUILVANE_SDK_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define QUILVANE_CALL __cdecl
#if defined(QUILVANE_BUILDING_LIBRARY)
#define QUILVANE_API __declspec(dllexport)
#else
#define QUILVANE_API __declspec(dllimport)
#endif
#else
#define QUILVANE_CALL
#if defined(QUILVANE_BUILDING_LIBRARY)
#define QUILVANE_API __attribute__((visibility("default")))
#else
#define QUILVANE_API
#endif
#endif

#ifdef __cplusplus
#define QUILVANE_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define QUILVANE_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* Connection types for OpenParams.type. Any other value opens a handle
 * without a transport: QUILVANE_Send_CAN on it returns -1, QUILVANE_Close
 * returns -1 and still releases the handle. */
enum {
    QUILVANE_TCP_CLIENT = 1, /* we connect to the device's TCP server */
    QUILVANE_TCP_SERVER = 2, /* we listen on localPort, devices connect */
    QUILVANE_UDP = 3         /* datagrams between localIp:localPort and remoteIp:remotePort */
};

/* Most records one search call writes. Size the caller's array by it.
 * Replies beyond it are not written; a line on standard error says how
 * many were left out. */
#define QUILVANE_MAX_SEARCH_RESULTS 256

/* Memory that received frames waiting to be read may hold, all handles and
 * channels together. Beyond it new frames are dropped, with a line on
 * standard error, until the application reads or clears some. A 32-bit
 * process has 2 GiB of address space (4 GiB when large-address-aware):
 * 512 MiB leaves the rest to the application, the library's threads and its
 * per-connection queues. 64-bit builds allow 4 GiB, what one handle that
 * fills all 256 channels to their bound of 204,800 frames holds. */
#if defined(_WIN64) || defined(__LP64__) || defined(_LP64)
#define QUILVANE_RECEIVE_BUDGET_BYTES 4294967296ULL
#else
#define QUILVANE_RECEIVE_BUDGET_BYTES 536870912UL
#endif

#pragma pack(push, 1)

/* Given to QUILVANE_Open. Texts are dotted IPv4 addresses; each is read up to
 * its first NUL and never beyond its 16 bytes, so a field without a NUL is
 * taken as 16 characters (and is then no valid address). Ports are in host
 * byte order. An address text that does not parse stands for 0.0.0.0. The
 * connection key is type, localIp and localPort: a second open with the same
 * three is refused while the first is open. */
typedef struct OpenParams {
    uint32_t type;
    char localIp[16];
    uint16_t localPort;
    char remoteIp[16];
    uint16_t remotePort;
} OpenParams;

/* One CAN or CAN FD frame. dataLength counts bytes (0 to 64), it is not a DLC
 * code. Sending: timestamp is not sent; a dataLength above 64 is sent as 64.
 * Receiving: the top three id bits are always 0; a device record whose
 * dataLength exceeds its data room arrives with dataLength cut to that room
 * (8 for classic records, 64 for FD records), and a packet whose payload
 * ends in a partial record gives only its whole records. */
typedef struct CanFrame {
    uint64_t timestamp;
    uint32_t id;
    uint16_t flags;
    uint8_t channel;
    uint8_t dataLength;
    uint8_t data[64];
} CanFrame;

/* A device's answer to QUILVANE_Search. Texts are NUL-terminated and cut to
 * their field. Fields the reply did not carry as text are all zero; a reply
 * whose JSON text does not parse gives a record of zeros. */
typedef struct DeviceInfo {
    char model[16];          /* "ProMod" */
    char kernelVersion[8];   /* "KerVers" */
    char softwareVersion[8]; /* "SoftVers" */
    char hardwareVersion[8]; /* "HardVers" */
    char serialNumber[10];   /* "SerialNum" */
    char name[16];           /* "ProName" */
    uint8_t ipv4[4];         /* "IPv4", first dotted number first */
    uint8_t mac[6];          /* "MAC", dotted decimal numbers */
} DeviceInfo;

/* A PELIX family device's answer to QUILVANE_SearchPELIX, as the device sent
 * it (after the search's bit rotation). Bytes 0 to 3 are 00 02 00 02. */
typedef struct PelixDeviceRecord {
    uint8_t bytes[29];
} PelixDeviceRecord;

#pragma pack(pop)

QUILVANE_STATIC_ASSERT(sizeof(OpenParams) == 40, "OpenParams is 40 bytes");
QUILVANE_STATIC_ASSERT(sizeof(CanFrame) == 80, "CanFrame is 80 bytes");
QUILVANE_STATIC_ASSERT(sizeof(DeviceInfo) == 76, "DeviceInfo is 76 bytes");
QUILVANE_STATIC_ASSERT(sizeof(PelixDeviceRecord) == 29, "PelixDeviceRecord is 29 bytes");

#define QUILVANE_OFFSET_OF(type, field) offsetof(type, field)
QUILVANE_STATIC_ASSERT(QUILVANE_OFFSET_OF(OpenParams, localIp) == 4, "localIp at 4");
QUILVANE_STATIC_ASSERT(QUILVANE_OFFSET_OF(OpenParams, localPort) == 20, "localPort at 20");
QUILVANE_STATIC_ASSERT(QUILVANE_OFFSET_OF(OpenParams, remoteIp) == 22, "remoteIp at 22");
QUILVANE_STATIC_ASSERT(QUILVANE_OFFSET_OF(OpenParams, remotePort) == 38, "remotePort at 38");
QUILVANE_STATIC_ASSERT(QUILVANE_OFFSET_OF(CanFrame, id) == 8, "id at 8");
QUILVANE_STATIC_ASSERT(QUILVANE_OFFSET_OF(CanFrame, flags) == 12, "flags at 12");
QUILVANE_STATIC_ASSERT(QUILVANE_OFFSET_OF(CanFrame, channel) == 14, "channel at 14");
QUILVANE_STATIC_ASSERT(QUILVANE_OFFSET_OF(CanFrame, dataLength) == 15, "dataLength at 15");
QUILVANE_STATIC_ASSERT(QUILVANE_OFFSET_OF(CanFrame, data) == 16, "data at 16");
QUILVANE_STATIC_ASSERT(QUILVANE_OFFSET_OF(DeviceInfo, serialNumber) == 40, "serialNumber at 40");
QUILVANE_STATIC_ASSERT(QUILVANE_OFFSET_OF(DeviceInfo, name) == 50, "name at 50");
QUILVANE_STATIC_ASSERT(QUILVANE_OFFSET_OF(DeviceInfo, ipv4) == 66, "ipv4 at 66");
QUILVANE_STATIC_ASSERT(QUILVANE_OFFSET_OF(DeviceInfo, mac) == 70, "mac at 70");

/* Creates the library's process-wide objects ahead of first use. */
QUILVANE_API void QUILVANE_CALL QUILVANE_Init(void);
/* Closes every connection and destroys everything. Final for the process. */
QUILVANE_API void QUILVANE_CALL QUILVANE_Exit(void);

/* Broadcast a search on every adapter, wait 500 ms, write the answers.
 * out must hold QUILVANE_MAX_SEARCH_RESULTS records. Returns the number
 * written; 0 for a null out (nothing is sent then). */
QUILVANE_API int QUILVANE_CALL QUILVANE_Search(DeviceInfo* out);
QUILVANE_API int QUILVANE_CALL QUILVANE_SearchPELIX(PelixDeviceRecord* out);

/* Ask whether one device answers. deviceId: 6 bytes; address: 4 bytes, first
 * dotted number first; timeoutMs: wait per attempt. 1 answered, 0 no answer,
 * -1 bad arguments, no usable adapter or a socket failure. */
QUILVANE_API int QUILVANE_CALL QUILVANE_ProbePELIXDevice(const uint8_t* deviceId, const uint8_t* address,
                                                         int timeoutMs);
QUILVANE_API int QUILVANE_CALL QUILVANE_ProbeVCIDevice(const uint8_t* deviceId, const uint8_t* address,
                                                       int timeoutMs);

/* Returns the new handle (0 or more) or -1: null params, the connection key
 * in use, or a TCP client that failed three connection attempts (up to 3 s
 * each). A TCP server or UDP handle is returned even if its socket could not
 * be set up; the reason is written to standard error. */
QUILVANE_API int QUILVANE_CALL QUILVANE_Open(const OpenParams* params);
/* 0 when the handle's transport was stopped, -1 otherwise. Returns within
 * about 50 ms whatever the device does; other calls do not wait for it,
 * except QUILVANE_Open, which waits for closes under way. A QUILVANE_Send_CAN
 * waiting for a device that does not read returns when its handle closes. */
QUILVANE_API int QUILVANE_CALL QUILVANE_Close(int handle);

/* Unused; always -1. Both names are one function. */
QUILVANE_API int QUILVANE_CALL QUILVANE_Recv(void);
QUILVANE_API int QUILVANE_CALL QUILVANE_Send(void);

/* Moves up to maxCount frames received on (handle, low 8 bits of channel)
 * into frames. Waits at most about 2 ms when none is there. Returns the
 * count, or -1 for a handle that is not open or a null array. Frames that
 * arrive on UDP connections are filed under handle 0. Each queue keeps the
 * newest 204,800 frames; older ones are dropped. */
QUILVANE_API int QUILVANE_CALL QUILVANE_Recv_CAN(int handle, int channel, CanFrame* frames, int maxCount);
/* Sends one frame at once through the handle's transport (to every
 * connected device for a TCP server). 0, or -1 for a handle that is not
 * open, a null frame or a handle without transport. Transport failures are
 * written to standard error and do not change the result. */
QUILVANE_API int QUILVANE_CALL QUILVANE_Send_CAN(int handle, const CanFrame* frame);
/* Unused; always 0. */
QUILVANE_API int QUILVANE_CALL QUILVANE_TimerSend_CAN(void);

/* Drops every received frame of the handle, on all channels. */
QUILVANE_API void QUILVANE_CALL QUILVANE_Clear_Buffer(int handle);
/* Drops the frames queued for sending on the handle. */
QUILVANE_API void QUILVANE_CALL QUILVANE_Clear_Send_Buffer(int handle);
/* Frames queued for sending on the handle. */
QUILVANE_API uint32_t QUILVANE_CALL QUILVANE_Get_Send_Queue_Size(int handle);

#ifdef __cplusplus
}
#endif

#endif /* QUILVANE_SDK_H */
