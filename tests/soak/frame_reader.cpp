#include "frame_reader.h"

#include <string>

void FrameReader::add(DeviceRun& run) {
    runs_[run.plan().id] = &run;
    channels_.insert(run.plan().channels.begin(), run.plan().channels.end());
}

int FrameReader::poll() {
    int total = 0;
    for (const int channel : channels_) {
        const int n = QUILVANE_Recv_CAN(handle_, channel, buffer_.data(), static_cast<int>(buffer_.size()));
        if (n < 0) {
            tally_.violation("reading handle " + std::to_string(handle_) + " failed while it was open");
            return total;
        }
        for (int i = 0; i < n; ++i) {
            const auto it = runs_.find(buffer_[static_cast<std::size_t>(i)].id);
            if (it == runs_.end())
                tally_.violation("handle " + std::to_string(handle_) +
                                 " gave a frame of no running device, id " +
                                 std::to_string(buffer_[static_cast<std::size_t>(i)].id));
            else
                it->second->receive(buffer_[static_cast<std::size_t>(i)]);
        }
        total += n;
    }
    return total;
}
