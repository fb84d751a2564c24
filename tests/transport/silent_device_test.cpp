// A TCP client open whose device never answers (the private network's silent
// neighbour, see isolated_network.sh) while other threads use live devices
// on loopback: none of their calls waits for its attempts, which take 9 s,
// and a close of the handle being opened ends them.
#include <atomic>
#include <future>
#include <thread>

#include "isolated_network.h"
#include "open_params.h"

namespace {

TEST(SilentDevice, HoldsUpNoOtherDeviceAndACloseEndsItsAttempts) {
    REQUIRE_NETWORK("two-adapters");
    SimProcess live({"--tcp-listen", "127.0.0.1:0", "--echo", "--duration", "60"});
    SimProcess other({"--tcp-listen", "127.0.0.1:0", "--connections", "1000", "--echo", "--duration", "60"});
    // Different local ports, so different keys; without a local address nothing is bound.
    auto liveParams = openParams(QUILVANE_TCP_CLIENT, "", 1, "127.0.0.1", live.readyPort());
    auto silentParams = openParams(QUILVANE_TCP_CLIENT, "", 2, "198.51.100.3", 4001);
    auto otherParams = openParams(QUILVANE_TCP_CLIENT, "", 3, "127.0.0.1", other.readyPort());
    const int liveHandle = QUILVANE_Open(&liveParams);
    ASSERT_GE(liveHandle, 0);
    std::atomic<int> silentHandle{-2};
    auto opener = std::async(std::launch::async, [&] { silentHandle = QUILVANE_Open(&silentParams); });
    // Its handle is taken at once: a read of it answers 0, not -1.
    const int reserved = liveHandle + 1;
    CanFrame buffer[16];
    for (int i = 0; i < 2000 && QUILVANE_Recv_CAN(reserved, 0, buffer, 16) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(silentHandle.load(), -2) << "the open must still be making its attempts";
    EXPECT_EQ(QUILVANE_Open(&silentParams), -1) << "the key is taken while the attempts run";

    // Echoes on one thread, opens and closes on this one: had any call waited
    // for the attempts, the silent open would have ended by the time they are done.
    int echoes = 0, reopened = 0;
    std::thread traffic([&] {
        for (std::uint32_t id = 0; id < 200; ++id) {
            const CanFrame f = makeFrame(id, {0});
            if (QUILVANE_Send_CAN(liveHandle, &f) != 0)
                break;
            const auto sent = std::chrono::steady_clock::now();
            for (int n = 0; n <= 0 || buffer[n - 1].id != id;) {
                if (std::chrono::steady_clock::now() - sent > std::chrono::seconds(1))
                    return;
                n = QUILVANE_Recv_CAN(liveHandle, 0, buffer, 16);
            }
            ++echoes;
        }
    });
    for (int round = 0; round < 20; ++round) {
        const int h = QUILVANE_Open(&otherParams);
        if (h < 0)
            break;
        EXPECT_NE(h, reserved);
        reopened += QUILVANE_Close(h) == 0;
    }
    traffic.join();
    EXPECT_EQ(echoes, 200);
    EXPECT_EQ(reopened, 20);
    EXPECT_EQ(silentHandle.load(), -2) << "the attempts ended early, or a call waited for them";

    // A close ends them within one wait, well before the attempts would end by themselves.
    EXPECT_EQ(QUILVANE_Close(reserved), 0);
    EXPECT_EQ(opener.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    opener.wait();
    EXPECT_EQ(silentHandle.load(), -1);
    EXPECT_EQ(QUILVANE_Close(liveHandle), 0);
}

}  // namespace
