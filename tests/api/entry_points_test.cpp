// The exported functions: argument checks, handle numbering and connection
// keys, types without a transport, and the library's life up to
// QUILVANE_Exit. Each test runs in a process of its own.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "open_params.h"
#include "quilvane_sdk.h"

namespace {

constexpr std::uint32_t kNoTransport = 4;
std::uint8_t kId[6] = {};
std::uint8_t kAddress[4] = {127, 0, 0, 1};
CanFrame frame{};

// Handles of type 4 need no network; the local port keeps their keys apart.
int openKeyed(std::uint16_t localPort) {
    auto params = openParams(kNoTransport, "", localPort);
    return QUILVANE_Open(&params);
}

// No QUILVANE_Init: the first calls create what they need.
TEST(EntryPoints, NullPointersAndBadArgumentsFailWithoutEffect) {
    EXPECT_EQ(QUILVANE_Get_Send_Queue_Size(3), 0u);
    QUILVANE_Clear_Send_Buffer(3);
    QUILVANE_Clear_Buffer(3);
    EXPECT_EQ(QUILVANE_Open(nullptr), -1);
    EXPECT_EQ(QUILVANE_Search(nullptr), 0);
    EXPECT_EQ(QUILVANE_SearchPELIX(nullptr), 0);
    EXPECT_EQ(QUILVANE_ProbePELIXDevice(nullptr, kAddress, 10), -1);
    EXPECT_EQ(QUILVANE_ProbePELIXDevice(kId, kAddress, -5), -1);
    EXPECT_EQ(QUILVANE_ProbeVCIDevice(nullptr, kAddress, 10), -1);
    EXPECT_EQ(QUILVANE_ProbeVCIDevice(kId, nullptr, 10), -1);
    EXPECT_EQ(QUILVANE_ProbeVCIDevice(kId, kAddress, 0), -1);
    const int handle = openKeyed(0);
    ASSERT_EQ(handle, 0);
    EXPECT_EQ(QUILVANE_Recv_CAN(handle, 0, nullptr, 1), -1);
    EXPECT_EQ(QUILVANE_Send_CAN(handle, nullptr), -1);
    EXPECT_EQ(QUILVANE_Recv_CAN(handle + 1, 0, &frame, 1), -1) << "a handle that is not open";
    EXPECT_EQ(QUILVANE_Send_CAN(handle + 1, &frame), -1);
    EXPECT_EQ(QUILVANE_Recv_CAN(handle, 0, &frame, 0), 0);
    EXPECT_EQ(QUILVANE_Close(12345), -1);
    EXPECT_EQ(QUILVANE_Close(-1), -1);
    QUILVANE_Init();  // finds everything made already
    EXPECT_EQ(openKeyed(0), -1) << "the first connection is still there";
}

TEST(EntryPoints, EverythingFailsCleanlyAfterExit) {
    QUILVANE_Init();
    ASSERT_EQ(openKeyed(0), 0);
    QUILVANE_Exit();
    DeviceInfo devices[1];
    PelixDeviceRecord records[1];
    EXPECT_EQ(openKeyed(0), -1);
    EXPECT_EQ(QUILVANE_Close(0), -1);
    EXPECT_EQ(QUILVANE_Recv_CAN(0, 0, &frame, 1), -1);
    EXPECT_EQ(QUILVANE_Send_CAN(0, &frame), -1);
    EXPECT_EQ(QUILVANE_Search(devices), 0);
    EXPECT_EQ(QUILVANE_SearchPELIX(records), 0);
    EXPECT_EQ(QUILVANE_ProbeVCIDevice(kId, kAddress, 10), -1);
    EXPECT_EQ(QUILVANE_Get_Send_Queue_Size(0), 0u);
    EXPECT_EQ(std::tuple(QUILVANE_Recv(), QUILVANE_Send(), QUILVANE_TimerSend_CAN()), std::tuple(-1, -1, 0));
    QUILVANE_Clear_Buffer(0);
    QUILVANE_Clear_Send_Buffer(0);
    QUILVANE_Exit();
    QUILVANE_Init();
    EXPECT_EQ(openKeyed(0), -1) << "nothing is created again";
}

TEST(EntryPoints, ExitWithNothingCreatedIsFinalToo) {
    QUILVANE_Exit();
    EXPECT_EQ(openKeyed(0), -1);
}

// A gap below the largest handle is not reused; numbering starts over once nothing is open.
TEST(Handles, NumberingFollowsTheLargestOpenHandle) {
    const std::vector<std::vector<int>> closedBeforeOpen = {{}, {}, {}, {1}, {2, 3}, {0, 1}};
    std::vector<int> handles;
    for (std::uint16_t port = 1; const auto& closed : closedBeforeOpen) {
        for (const int handle : closed)
            QUILVANE_Close(handle);
        handles.push_back(openKeyed(port++));
    }
    EXPECT_EQ(handles, (std::vector<int>{0, 1, 2, 3, 1, 0}));
}

TEST(Handles, KeyIsTypeLocalAddressAndLocalPortOnly) {
    const OpenParams params[] = {
        openParams(kNoTransport, "127.0.0.1", 7000, "127.0.0.2", 1),
        openParams(kNoTransport, "127.0.0.1", 7000, "127.0.0.3", 2), openParams(0, "127.0.0.1", 7000),
        openParams(kNoTransport, "127.0.0.1", 7001), openParams(kNoTransport, "127.0.0.2", 7000)};
    std::vector<int> handles;
    for (const OpenParams& p : params)
        handles.push_back(QUILVANE_Open(&p));
    EXPECT_EQ(handles, (std::vector<int>{0, -1, 1, 2, 3})) << "remote fields never make a key differ";
}

TEST(Handles, TypeWithoutTransportIsOpenButCannotSendOrCloseCleanly) {
    for (std::uint32_t type : {0u, 4u, 0xFFFFFFFFu}) {
        auto params = openParams(type);
        const int handle = QUILVANE_Open(&params);
        ASSERT_GE(handle, 0) << "type " << type;
        EXPECT_EQ(QUILVANE_Send_CAN(handle, &frame), -1);
        EXPECT_EQ(QUILVANE_Close(handle), -1) << "no transport was stopped";
        EXPECT_EQ(QUILVANE_Recv_CAN(handle, 0, &frame, 1), -1) << "but the handle is gone";
        EXPECT_EQ(QUILVANE_Open(&params), handle) << "and its key is free again";
        QUILVANE_Close(handle);
    }
}

TEST(Handles, TextFieldsAreNeverReadBeyondTheirSixteenBytes) {
    // localIp fills its 16 bytes without a NUL. Read on, it would run through
    // the port (no zero byte) into remoteIp, which would make the keys differ.
    OpenParams a = openParams(kNoTransport, "", 0x3131, "127.0.0.2");
    std::memset(a.localIp, '1', sizeof a.localIp);
    OpenParams b = a;
    b.remoteIp[8] = '3';
    EXPECT_EQ(QUILVANE_Open(&a), 0);
    EXPECT_EQ(QUILVANE_Open(&b), -1);

    // A UDP connection with unusable addresses still gets its handle.
    OpenParams udp = a;
    udp.type = QUILVANE_UDP;
    std::memset(udp.remoteIp, 'x', sizeof udp.remoteIp);
    ASSERT_EQ(QUILVANE_Open(&udp), 1);
    EXPECT_EQ(QUILVANE_Close(1), 0);
}

TEST(Handles, ConcurrentOpensNeverShareAHandle) {
    constexpr int kRounds = 200;
    bool duplicate = false;
    std::mutex seenMutex;
    std::set<int> open;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                const int handle = openKeyed(static_cast<std::uint16_t>(t * kRounds + i + 1));
                std::unique_lock lock(seenMutex);
                duplicate |= handle < 0 || !open.insert(handle).second;
                if (i % 3 != 0) {
                    open.erase(handle);  // before the close, so that no other thread gets it first
                    lock.unlock();
                    QUILVANE_Close(handle);
                }
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_FALSE(duplicate);
}

}  // namespace
