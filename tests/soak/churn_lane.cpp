#include "churn_lane.h"

#include <thread>

#include "open_params.h"
#include "run_schedule.h"
#include "test_wire.h"

void churnLane(const SoakContext& context) {
    RunSchedule schedule(context.seed, 4);
    CanFrame frames[8];
    for (std::uint32_t n = 0; context.running(); ++n) {
        const int kind = schedule.between(0, 2);
        OpenParams params = openParams(4);  // a type without transport
        if (kind == 0)
            params = openParams(QUILVANE_TCP_SERVER, "", freePort());
        else if (kind == 1)
            params = openParams(QUILVANE_UDP, "127.0.0.1", freePort(true), "127.0.0.1", freePort(true));
        const int handle = QUILVANE_Open(&params);
        context.tally.add("application opens");
        if (handle < 0) {
            context.tally.violation("churn: open of type " + std::to_string(params.type) + " failed");
            continue;
        }
        for (int i = schedule.between(0, 5); i > 0; --i) {
            const CanFrame f = applicationFrame(n);
            QUILVANE_Send_CAN(handle, &f);
            context.tally.add("frames sent by the application");
        }
        // No frame is ever sent to these connections: UDP frames go to handle 0.
        if (QUILVANE_Recv_CAN(handle, schedule.between(0, 3), frames, 8) != 0)
            context.tally.violation("churn: a frame arrived on a connection nobody sends to");
        QUILVANE_Clear_Buffer(handle);
        QUILVANE_Clear_Send_Buffer(handle);
        QUILVANE_Get_Send_Queue_Size(handle);
        const int closed = QUILVANE_Close(handle);
        context.tally.add("application closes");
        if (closed != (kind == 2 ? -1 : 0))
            context.tally.violation("churn: close of type " + std::to_string(params.type) + " gave " +
                                    std::to_string(closed));
        std::this_thread::sleep_for(std::chrono::milliseconds(schedule.between(0, 50)));
    }
}
