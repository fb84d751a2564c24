// Handle numbering, connection keys and the handles of types without a
// transport, through QUILVANE_Open and QUILVANE_Close.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "open_params.h"
#include "quilvane_sdk.h"

namespace {

constexpr std::uint32_t kNoTransport = 4;

// Handles of type 4 need no network; the local port keeps their keys apart.
int openKeyed(std::uint16_t localPort) {
    auto params = openParams(kNoTransport, "", localPort);
    return QUILVANE_Open(&params);
}

TEST(Handles, NumberingFollowsTheLargestOpenHandle) {
    EXPECT_EQ(openKeyed(1), 0);
    EXPECT_EQ(openKeyed(2), 1);
    EXPECT_EQ(openKeyed(3), 2);
    QUILVANE_Close(1);
    EXPECT_EQ(openKeyed(4), 3) << "a gap below the largest handle is not reused";
    QUILVANE_Close(2);
    QUILVANE_Close(3);
    EXPECT_EQ(openKeyed(5), 1);
    QUILVANE_Close(0);
    QUILVANE_Close(1);
    EXPECT_EQ(openKeyed(6), 0) << "numbering starts over once nothing is open";
}

TEST(Handles, KeyIsTypeLocalAddressAndLocalPortOnly) {
    auto first = openParams(kNoTransport, "127.0.0.1", 7000, "127.0.0.2", 1);
    auto sameLocal = openParams(kNoTransport, "127.0.0.1", 7000, "127.0.0.3", 2);
    ASSERT_EQ(QUILVANE_Open(&first), 0);
    EXPECT_EQ(QUILVANE_Open(&sameLocal), -1) << "remote fields never make a key differ";

    auto otherType = openParams(0, "127.0.0.1", 7000);
    auto otherPort = openParams(kNoTransport, "127.0.0.1", 7001);
    auto otherAddress = openParams(kNoTransport, "127.0.0.2", 7000);
    EXPECT_EQ(QUILVANE_Open(&otherType), 1);
    EXPECT_EQ(QUILVANE_Open(&otherPort), 2);
    EXPECT_EQ(QUILVANE_Open(&otherAddress), 3);
}

TEST(Handles, TypeWithoutTransportIsOpenButCannotSendOrCloseCleanly) {
    for (std::uint32_t type : {0u, 4u, 0xFFFFFFFFu}) {
        auto params = openParams(type);
        const int handle = QUILVANE_Open(&params);
        ASSERT_GE(handle, 0) << "type " << type;
        CanFrame frame{};
        EXPECT_EQ(QUILVANE_Send_CAN(handle, &frame), -1);
        EXPECT_EQ(QUILVANE_Close(handle), -1) << "no transport was stopped";
        EXPECT_EQ(QUILVANE_Recv_CAN(handle, 0, &frame, 1), -1) << "but the handle is gone";
        EXPECT_EQ(QUILVANE_Close(handle), -1);
        EXPECT_EQ(QUILVANE_Open(&params), handle) << "and its key is free again";
        QUILVANE_Close(handle);
    }
}

TEST(Handles, TextFieldsAreNeverReadBeyondTheirSixteenBytes) {
    // Two records whose localIp fills all 16 bytes without a NUL and differs
    // only in what follows: the port right behind it.
    OpenParams a{};
    a.type = kNoTransport;
    std::memset(a.localIp, '1', sizeof a.localIp);
    std::memset(a.remoteIp, 'x', sizeof a.remoteIp);
    OpenParams b = a;
    b.localPort = 1;
    EXPECT_EQ(QUILVANE_Open(&a), 0);
    EXPECT_EQ(QUILVANE_Open(&b), 1);
    EXPECT_EQ(QUILVANE_Open(&a), -1);

    // A UDP connection with unusable addresses still gets its handle.
    OpenParams udp = a;
    udp.type = QUILVANE_UDP;
    std::strcpy(udp.remoteIp, "not-an-address");
    const int handle = QUILVANE_Open(&udp);
    ASSERT_EQ(handle, 2);
    EXPECT_EQ(QUILVANE_Close(handle), 0);
}

TEST(Handles, ConcurrentOpensNeverShareAHandle) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    std::atomic<bool> duplicate{false};
    std::vector<std::thread> threads;
    std::mutex seenMutex;
    std::set<int> open;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                const int handle = openKeyed(static_cast<std::uint16_t>(t * kRounds + i + 1));
                {
                    std::lock_guard lock(seenMutex);
                    if (handle < 0 || !open.insert(handle).second)
                        duplicate = true;
                }
                if (i % 3 != 0) {
                    {
                        std::lock_guard lock(seenMutex);
                        open.erase(handle);
                    }
                    QUILVANE_Close(handle);
                }
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_FALSE(duplicate.load());
}

}  // namespace
