// quilvane probe: whether one device answers its family's probe.
#include <string>

#include "command_line.h"
#include "connection.h"
#include "quilvane_sdk.h"
#include "text_format.h"

namespace {

const char kUsage[] = R"(Usage: quilvane probe pelix|vci ID ADDRESS [--timeout MS]

Asks one device whether it answers, with the probe of its family: PELIX
(UDP port 10551) or VCI (UDP port 58121). The request is broadcast from the
adapters on ADDRESS's subnet (from every adapter when none is) and names the
device by its identifier.

  ID                the device's 6-byte identifier: 12 hex digits, ':' or
                    '-' allowed between pairs (001A2B3C4D5E, 00:1A:2B:3C:4D:5E)
  ADDRESS           the device's IPv4 address, like 192.0.2.10
  --timeout MS      how long to wait for an answer, per attempt, 1 to 60000
                    milliseconds (500)
  --help            this text

Prints one line on standard output. Exit status: 0 the device answered,
1 it did not (or no network adapter could be used), 2 bad arguments.
)";

}  // namespace

int runProbe(const Words& words, LibraryOutput& output) {
    Arguments args(words);
    std::vector<std::string> positional;
    int timeout = 500;
    while (args.next()) {
        if (args.is("--help") || args.is("-h")) {
            std::fputs(kUsage, output.data());
            return kExitOk;
        } else if (args.is("--timeout")) {
            timeout = static_cast<int>(
                parseUnsigned("--timeout", args.value(), 1, 60000, "milliseconds from 1 to 60000"));
        } else if (!args.isOption() && positional.size() < 3) {
            positional.push_back(args.word());
        } else {
            args.unknown();
        }
    }
    if (positional.size() < 3) {
        throw UsageError{
            "expected pelix or vci, the device's ID and its ADDRESS, like: vci 001A2B3C4D5E 192.0.2.10"};
    }
    const std::string& family = positional[0];
    if (family != "pelix" && family != "vci") {
        throw UsageError{"expected the family \"pelix\" or \"vci\", got \"" + family + "\""};
    }
    std::uint8_t id[6];
    if (!parseDeviceId(positional[1], id)) {
        throw UsageError{
            "ID: expected 12 hex digits like 001A2B3C4D5E (':' or '-' allowed between pairs), got \"" +
            positional[1] + "\""};
    }
    std::uint8_t address[4];
    if (!parseIpv4(positional[2], address)) {
        throw UsageError{"ADDRESS: expected an IPv4 address like 192.0.2.10, got \"" + positional[2] + "\""};
    }

    const int answer = family == "pelix" ? QUILVANE_ProbePELIXDevice(id, address, timeout)
                                         : QUILVANE_ProbeVCIDevice(id, address, timeout);
    QUILVANE_Exit();
    if (answer < 0) {
        report("probe", "no usable network adapter or socket failure");
        return kExitFailed;
    }
    const std::string device = formatDeviceId(id) + " at " + formatIpv4(address);
    if (answer == 1) {
        std::fprintf(output.data(), "%s answered the %s probe\n", device.c_str(),
                     family == "pelix" ? "PELIX" : "VCI");
        return kExitOk;
    }
    std::fprintf(output.data(), "%s did not answer the %s probe within %d ms\n", device.c_str(),
                 family == "pelix" ? "PELIX" : "VCI", timeout);
    return kExitFailed;
}
