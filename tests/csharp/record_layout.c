/* Prints the size of each boundary record and the offset of each field, as
 * the header lays them out, for the C# binding's layout test to compare. */
#include <stddef.h>
#include <stdio.h>

#include "quilvane_sdk.h"

#define SIZE(type) printf(#type " size %zu\n", sizeof(type))
#define FIELD(type, field) printf(#type "." #field " %zu\n", offsetof(type, field))

int main(void) {
    SIZE(OpenParams);
    FIELD(OpenParams, type);
    FIELD(OpenParams, localIp);
    FIELD(OpenParams, localPort);
    FIELD(OpenParams, remoteIp);
    FIELD(OpenParams, remotePort);
    SIZE(CanFrame);
    FIELD(CanFrame, timestamp);
    FIELD(CanFrame, id);
    FIELD(CanFrame, flags);
    FIELD(CanFrame, channel);
    FIELD(CanFrame, dataLength);
    FIELD(CanFrame, data);
    SIZE(DeviceInfo);
    FIELD(DeviceInfo, model);
    FIELD(DeviceInfo, kernelVersion);
    FIELD(DeviceInfo, softwareVersion);
    FIELD(DeviceInfo, hardwareVersion);
    FIELD(DeviceInfo, serialNumber);
    FIELD(DeviceInfo, name);
    FIELD(DeviceInfo, ipv4);
    FIELD(DeviceInfo, mac);
    SIZE(PelixDeviceRecord);
    FIELD(PelixDeviceRecord, bytes);
    return 0;
}
