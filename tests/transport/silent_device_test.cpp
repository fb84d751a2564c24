// A TCP client open whose device never answers (the private network's silent
// neighbour, see isolated_network.sh) while other threads use live devices
// on loopback: none of their calls waits for its attempts, and a close of
// the handle being opened ends them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <thread>

#include "isolated_network.h"
#include "open_params.h"
#include "quilvane_sdk.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kSilentDevice[] = "198.51.100.3";

// Runs `call` and keeps the longest time any call took.
template <class Call>
auto timed(Clock::duration& worst, Call&& call) {
    const auto start = Clock::now();
    auto result = call();
    worst = std::max(worst, Clock::now() - start);
    return result;
}

TEST(SilentDevice, HoldsUpNoOtherDeviceAndACloseEndsItsAttempts) {
    REQUIRE_NETWORK("two-adapters");
    SimProcess live({"--tcp-listen", "127.0.0.1:0", "--echo", "--duration", "60"});
    SimProcess other({"--tcp-listen", "127.0.0.1:0", "--connections", "1000", "--echo", "--duration", "60"});
    // Different local ports, so different keys; without a local address nothing is bound.
    auto liveParams = openParams(QUILVANE_TCP_CLIENT, "", 1, "127.0.0.1", live.readyPort());
    auto silentParams = openParams(QUILVANE_TCP_CLIENT, "", 2, kSilentDevice, 4001);
    auto otherParams = openParams(QUILVANE_TCP_CLIENT, "", 3, "127.0.0.1", other.readyPort());
    const int liveHandle = QUILVANE_Open(&liveParams);
    ASSERT_GE(liveHandle, 0);

    std::atomic<int> silentHandle{-2};
    std::thread opener([&] { silentHandle = QUILVANE_Open(&silentParams); });
    // Its handle is taken at once: a read of it answers 0, not -1.
    const int reserved = liveHandle + 1;
    CanFrame buffer[16];
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (QUILVANE_Recv_CAN(reserved, 0, buffer, 16) != 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(silentHandle.load(), -2) << "the open must still be making its attempts";
    EXPECT_EQ(QUILVANE_Open(&silentParams), -1) << "the key is taken while the attempts run";

    // Both threads together take well under the three attempts' 9 s.
    Clock::duration worstTraffic{}, worstOpenClose{}, worstEcho{};
    int echoes = 0, reopened = 0;
    std::thread traffic([&] {
        CanFrame echoed[16];
        for (std::uint32_t id = 0; id < 200; ++id) {
            CanFrame f{};
            f.id = id;
            f.dataLength = 1;
            const auto sent = Clock::now();
            if (timed(worstTraffic, [&] { return QUILVANE_Send_CAN(liveHandle, &f); }) != 0)
                break;
            while (Clock::now() - sent < std::chrono::seconds(1)) {
                const int n =
                    timed(worstTraffic, [&] { return QUILVANE_Recv_CAN(liveHandle, 0, echoed, 16); });
                if (n > 0 && echoed[n - 1].id == id) {
                    worstEcho = std::max(worstEcho, Clock::now() - sent);
                    ++echoes;
                    break;
                }
            }
        }
    });
    for (int round = 0; round < 20; ++round) {
        const int h = timed(worstOpenClose, [&] { return QUILVANE_Open(&otherParams); });
        if (h < 0)
            break;
        EXPECT_NE(h, reserved);
        reopened += timed(worstOpenClose, [&] { return QUILVANE_Close(h); }) == 0;
    }
    traffic.join();
    EXPECT_EQ(echoes, 200);
    EXPECT_EQ(reopened, 20);
    EXPECT_EQ(silentHandle.load(), -2) << "the attempts took less than 9 s?";

    const auto closing = Clock::now();
    EXPECT_EQ(QUILVANE_Close(reserved), 0);
    opener.join();
    const auto openEnded = Clock::now() - closing;
    EXPECT_EQ(silentHandle.load(), -1);
    EXPECT_EQ(QUILVANE_Close(liveHandle), 0);

    using std::chrono::milliseconds;
    const auto ms = [](Clock::duration d) { return std::chrono::duration_cast<milliseconds>(d).count(); };
    std::cout << "worst call: send/receive " << ms(worstTraffic) << " ms, open/close " << ms(worstOpenClose)
              << " ms; worst echo " << ms(worstEcho) << " ms; the silent open ended " << ms(openEnded)
              << " ms after its close\n";
    EXPECT_LT(worstTraffic, milliseconds(100));
    EXPECT_LT(worstOpenClose, milliseconds(100));
    EXPECT_LT(worstEcho, milliseconds(100));
    EXPECT_LT(openEnded, milliseconds(1000)) << "a close ends the attempts within one wait";
}

}  // namespace
