// quilvane: a command-line tool for CAN and CAN FD interface devices, built
// on the library's public entry points alone.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command_line.h"
#include "connection.h"
#include "quilvane_sdk.h"

namespace {

const char kUsage[] = R"(Usage: quilvane COMMAND [ARGUMENTS]

Talks to CAN and CAN FD interface devices over IPv4 through libQUILVANE_SDK.

Commands:
  search      list the devices that answer on the local networks
  probe       ask whether one device answers
  dump        print received frames in candump's log format
  send        send frames written in cansend's syntax
  gen         send generated frames at a given rate, like cangen
  replay      send the frames of a candump log file, keeping its timing
  serve       offer a device to socketcand clients (--socketcand)

CONNECTION (dump, send, gen, replay, serve):
  tcp://ADDRESS:PORT          connect to the device's TCP server
  tcp-listen://[ADDRESS]:PORT devices connect to us; the library listens on
                              every local address, so ADDRESS is checked and
                              otherwise ignored
  udp://REMOTE:PORT[?local=ADDRESS:PORT]
                              datagrams to REMOTE:PORT, from the local
                              address and port given (default: any address,
                              a port the system picks)

Output: data (frames, tables, JSON, probe answers) on standard output. The
library writes its own progress lines to standard output; the tool passes
them on to standard error, with its messages and summaries.
Ctrl-C ends a command cleanly with a summary; a second Ctrl-C ends it at once.
Exit status: 0 done, 1 failed, 2 bad arguments, 130 interrupted before all
frames were sent.

'quilvane COMMAND --help' describes a command's options.
)";

struct Command {
    const char* name;
    int (*run)(const Words&, LibraryOutput&);
};

constexpr Command kCommands[] = {{"search", runSearch}, {"probe", runProbe}, {"dump", runDump},
                                 {"send", runSend},     {"gen", runGen},     {"replay", runReplay},
                                 {"serve", runServe}};

int dispatch(const Words& words, LibraryOutput& output) {
    if (words.empty()) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    const std::string& name = words[0];
    if (name == "--help" || name == "-h" || name == "help") {
        if (words.size() > 1 && name == "help") {
            return dispatch({words[1], "--help"}, output);
        }
        std::fputs(kUsage, output.data());
        return kExitOk;
    }
    if (name == "--version") {
        std::fprintf(output.data(), "quilvane %s\n", QUILVANE_VERSION);
        return kExitOk;
    }
    for (const Command& command : kCommands) {
        if (name == command.name) {
            try {
                return command.run(Words(words.begin() + 1, words.end()), output);
            } catch (const UsageError& error) {
                std::fprintf(stderr, "quilvane %s: %s\nTry 'quilvane %s --help'.\n", command.name,
                             error.message.c_str(), command.name);
                return kExitUsage;
            }
        }
    }
    std::fprintf(
        stderr,
        "quilvane: unknown command \"%s\"; expected search, probe, dump, send, gen, replay or serve\n"
        "Try 'quilvane --help'.\n",
        name.c_str());
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    LibraryOutput output;  // before the first library call
    installStopHandlers();
    const int status = dispatch(Words(argv + 1, argv + argc), output);
    QUILVANE_Exit();  // commands end it themselves; this covers early returns
    std::fflush(output.data());
    return status;
}
