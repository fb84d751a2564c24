// An application with one TCP server handle that many devices connect to,
// reading every frame as it comes. Linux only (reads /proc/self/task); run
// by scripts/rack-throughput.sh, which plays the devices.
//
//   rack_server PORT FRAMES SECONDS CHANNEL[,CHANNEL...]
// Opens a TCP server on 127.0.0.1:PORT and reads the channels in turn
// (sleeping 1 ms only after a pass over all of them got nothing) until
// FRAMES frames have arrived or SECONDS have passed, then prints one line:
//   rack: frames F seconds S library_cpu L process_cpu_but_main M total_cpu T longest_pass P
// library_cpu sums utime+stime of every thread but the main one that is
// still alive just before the close; process_cpu_but_main is the process's
// CPU (getrusage) minus the main thread's, so it also counts library threads
// that had already ended (a device's thread ends with its connection).
// seconds runs from the open to the last frame (or the time limit).
// longest_pass is the longest read of all channels in turn, in seconds: a
// channel queue holds 204,800 frames and drops the oldest beyond them without
// a line, so a reader held up that long by a busy machine loses frames.
// Exit status 0 when every frame arrived, 1 otherwise.
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "quilvane_sdk.h"

namespace {

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double usageSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// utime + stime of one thread, in seconds; 0 when it has gone.
double threadSeconds(const std::string& statPath) {
    std::ifstream file(statPath);
    std::string text;
    std::getline(file, text);
    // The name (field 2) may hold spaces; what follows its ')' is field 3 on.
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14)
            utime = std::strtoull(field.c_str(), nullptr, 10);
        if (number == 15)
            stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Every live thread but the main one.
double libraryThreadSeconds() {
    const std::string self = std::to_string(getpid());
    double total = 0;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr)
        return -1;
    while (const dirent* entry = readdir(tasks)) {
        const std::string tid = entry->d_name;
        if (tid == "." || tid == ".." || tid == self)
            continue;
        total += threadSeconds("/proc/self/task/" + tid + "/stat");
    }
    closedir(tasks);
    return total;
}

std::vector<int> parseChannels(const char* text) {
    std::vector<int> channels;
    std::istringstream list(text);
    std::string item;
    while (std::getline(list, item, ','))
        channels.push_back(std::atoi(item.c_str()));
    return channels;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: rack_server PORT FRAMES SECONDS CHANNEL[,CHANNEL...]\n");
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(std::atoi(argv[1]));
    const long long wanted = std::atoll(argv[2]);
    const int limitSeconds = std::atoi(argv[3]);
    const std::vector<int> channels = parseChannels(argv[4]);
    using Clock = std::chrono::steady_clock;

    QUILVANE_Init();
    OpenParams p{};
    p.type = QUILVANE_TCP_SERVER;
    std::snprintf(p.localIp, sizeof p.localIp, "127.0.0.1");
    p.localPort = port;
    const int handle = QUILVANE_Open(&p);
    if (handle < 0) {
        std::fprintf(stderr, "rack_server: open failed (%d)\n", handle);
        return 1;
    }

    static CanFrame frames[4096];
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::seconds(limitSeconds);
    auto last = start;
    auto passStart = start;
    Clock::duration longestPass{};
    long long received = 0;
    while (received < wanted && Clock::now() < deadline) {
        int pass = 0;
        for (const int channel : channels) {
            const int n = QUILVANE_Recv_CAN(handle, channel, frames, 4096);
            if (n > 0)
                pass += n;
        }
        const auto now = Clock::now();
        longestPass = std::max(longestPass, now - passStart);
        passStart = now;
        if (pass > 0) {
            received += pass;
            last = now;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            passStart = Clock::now();
        }
    }
    const auto end = received >= wanted ? last : Clock::now();

    const double library = libraryThreadSeconds();
    const double total = usageSeconds(RUSAGE_SELF);
    const double mainThread = usageSeconds(RUSAGE_THREAD);
    std::printf(
        "rack: frames %lld seconds %.2f library_cpu %.2f process_cpu_but_main %.2f total_cpu %.2f "
        "longest_pass %.3f\n",
        received, std::chrono::duration<double>(end - start).count(), library, total - mainThread, total,
        std::chrono::duration<double>(longestPass).count());
    std::fflush(stdout);
    QUILVANE_Close(handle);
    QUILVANE_Exit();
    return received >= wanted ? 0 : 1;
}
