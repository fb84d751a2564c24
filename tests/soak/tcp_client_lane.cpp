#include "tcp_client_lane.h"

#include "drop_lines.h"
#include "open_params.h"
#include "run_schedule.h"
#include "sim_device.h"

void tcpClientLane(const SoakContext& context) {
    RunSchedule schedule(context.seed, 0);
    std::uint32_t sent = 0;
    while (context.running()) {
        const RunPlan plan = schedule.next(Link::TcpClient);
        SimDevice device(plan, {"--tcp-listen", "127.0.0.1:0"});
        const std::uint16_t port = device.readyPort();
        if (port == 0) {
            context.tally.violation(plan.describe() + ": the simulator did not get ready");
            continue;
        }
        const long from = context.log.mark("tcp client run " + plan.describe());
        const OpenParams params = openParams(QUILVANE_TCP_CLIENT, "", 0, "127.0.0.1", port);
        const int handle = QUILVANE_Open(&params);
        context.tally.add("application opens");
        if (handle < 0) {
            // A device that resets at once can do so before the connect is complete.
            if (plan.fault == "reset")
                context.tally.add("opens failed: the device reset before the connect was complete");
            else
                context.tally.violation(plan.describe() + ": open failed");
            device.judge(LossCover{}, context.tally);
            continue;
        }
        FrameReader reader(handle, context.tally);
        reader.add(device.run());
        bool clearPending = plan.clearMidway;
        const bool settled = readUntilSettled(
            reader, {&device},
            [&] {
                if (clearPending && device.run().received() >= plan.count / 3) {
                    QUILVANE_Clear_Buffer(handle);
                    device.run().clearedByApplication();
                    context.tally.add("application clears midway");
                    clearPending = false;
                }
                if (sent % 16 == 0) {
                    const CanFrame f = applicationFrame(sent);
                    QUILVANE_Send_CAN(handle, &f);
                    context.tally.add("frames sent by the application");
                }
                ++sent;
                return true;
            },
            std::chrono::seconds(60));
        if (!settled)
            context.tally.violation(plan.describe() + ": not settled within 60 s");
        // Nothing arrives any more: clearing leaves nothing for the next owner of the number.
        QUILVANE_Clear_Buffer(handle);
        if (QUILVANE_Close(handle) != 0)
            context.tally.violation(plan.describe() + ": close failed");
        context.tally.add("application closes");
        LossCover cover;
        for (const std::string& line : LogTail(context.log, from).newLines())
            if (dropLine(line) && !dropLine(line)->socket)
                ++cover.dropLines;
        device.judge(cover, context.tally);
    }
}
