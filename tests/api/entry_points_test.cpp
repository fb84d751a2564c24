// Argument checks, constant answers and the library's life from first call
// to QUILVANE_Exit, through the exported functions.
#include <gtest/gtest.h>

#include "open_params.h"
#include "quilvane_sdk.h"

namespace {

constexpr std::uint32_t kNoTransport = 4;

TEST(EntryPoints, ConstantAnswersNeedNothing) {
    EXPECT_EQ(QUILVANE_Recv(), -1);
    EXPECT_EQ(QUILVANE_Send(), -1);
    EXPECT_EQ(QUILVANE_TimerSend_CAN(), 0);
    QUILVANE_Init();
    EXPECT_EQ(QUILVANE_Recv(), -1);
    EXPECT_EQ(QUILVANE_Send(), -1);
    EXPECT_EQ(QUILVANE_TimerSend_CAN(), 0);
    QUILVANE_Exit();
}

TEST(EntryPoints, NullPointersAndBadArgumentsFailWithoutEffect) {
    CanFrame frame{};
    std::uint8_t id[6] = {};
    std::uint8_t address[4] = {127, 0, 0, 1};
    EXPECT_EQ(QUILVANE_Open(nullptr), -1);
    EXPECT_EQ(QUILVANE_Search(nullptr), 0);
    EXPECT_EQ(QUILVANE_SearchPELIX(nullptr), 0);
    EXPECT_EQ(QUILVANE_ProbePELIXDevice(nullptr, address, 10), -1);
    EXPECT_EQ(QUILVANE_ProbeVCIDevice(id, nullptr, 10), -1);
    EXPECT_EQ(QUILVANE_ProbeVCIDevice(id, address, 0), -1);

    auto params = openParams(kNoTransport);
    const int handle = QUILVANE_Open(&params);
    ASSERT_EQ(handle, 0);
    EXPECT_EQ(QUILVANE_Recv_CAN(handle, 0, nullptr, 1), -1);
    EXPECT_EQ(QUILVANE_Send_CAN(handle, nullptr), -1);
    EXPECT_EQ(QUILVANE_Recv_CAN(handle + 1, 0, &frame, 1), -1) << "a handle that is not open";
    EXPECT_EQ(QUILVANE_Send_CAN(handle + 1, &frame), -1);
    EXPECT_EQ(QUILVANE_Recv_CAN(handle, 0, &frame, 0), 0);
    EXPECT_EQ(QUILVANE_Close(12345), -1);
    EXPECT_EQ(QUILVANE_Close(-1), -1);
}

TEST(EntryPoints, FirstCallsCreateWhatTheyNeedWithoutInit) {
    EXPECT_EQ(QUILVANE_Get_Send_Queue_Size(3), 0u);
    QUILVANE_Clear_Send_Buffer(3);
    QUILVANE_Clear_Buffer(3);
    auto params = openParams(kNoTransport);
    EXPECT_EQ(QUILVANE_Open(&params), 0);
    QUILVANE_Init();  // finds everything made already
    EXPECT_EQ(QUILVANE_Open(&params), -1) << "the first connection is still there";
    QUILVANE_Exit();
}

TEST(EntryPoints, EverythingFailsCleanlyAfterExit) {
    QUILVANE_Init();
    auto params = openParams(kNoTransport);
    ASSERT_EQ(QUILVANE_Open(&params), 0);
    QUILVANE_Exit();

    CanFrame frame{};
    DeviceInfo devices[1];
    PelixDeviceRecord records[1];
    std::uint8_t id[6] = {};
    std::uint8_t address[4] = {127, 0, 0, 1};
    EXPECT_EQ(QUILVANE_Open(&params), -1);
    EXPECT_EQ(QUILVANE_Close(0), -1);
    EXPECT_EQ(QUILVANE_Recv_CAN(0, 0, &frame, 1), -1);
    EXPECT_EQ(QUILVANE_Send_CAN(0, &frame), -1);
    EXPECT_EQ(QUILVANE_Search(devices), 0);
    EXPECT_EQ(QUILVANE_SearchPELIX(records), 0);
    EXPECT_EQ(QUILVANE_ProbeVCIDevice(id, address, 10), -1);
    EXPECT_EQ(QUILVANE_Get_Send_Queue_Size(0), 0u);
    QUILVANE_Clear_Buffer(0);
    QUILVANE_Clear_Send_Buffer(0);
    QUILVANE_Exit();
    QUILVANE_Init();
    EXPECT_EQ(QUILVANE_Open(&params), -1) << "nothing is created again";
}

TEST(EntryPoints, ExitWithNothingCreatedIsFinalToo) {
    QUILVANE_Exit();
    auto params = openParams(kNoTransport);
    EXPECT_EQ(QUILVANE_Open(&params), -1);
}

}  // namespace
