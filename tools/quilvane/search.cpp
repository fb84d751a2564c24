// quilvane search: the devices that answer a search on the local networks.
#include <algorithm>
#include <vector>

#include "command_line.h"
#include "connection.h"
#include "quilvane_sdk.h"
#include "text_format.h"

namespace {

const char kUsage[] = R"(Usage: quilvane search [--pelix] [--json]

Broadcasts a search on every network adapter, waits 500 ms, and prints the
devices that answered: model, name, serial number, kernel, software and
hardware versions, IPv4 address and MAC. A device that answers on several
adapters, or several times, is listed each time.

Options:
  --pelix           list the PELIX family's answers instead, each record as
                    29 bytes in hex
  --json            a JSON array of objects instead of a table
  --help            this text

The table or JSON goes to standard output; the library's progress lines and
"no device answered" go to standard error. Exit status: 0, also when no
device answered; 2 bad arguments.
)";

template <class Record>
std::vector<Record> gather(int (*search)(Record*)) {
    std::vector<Record> records(QUILVANE_MAX_SEARCH_RESULTS);
    const int found = search(records.data());
    records.resize(static_cast<std::size_t>(std::clamp(found, 0, QUILVANE_MAX_SEARCH_RESULTS)));
    return records;
}

}  // namespace

int runSearch(const Words& words, LibraryOutput& output) {
    Arguments args(words);
    bool pelix = false;
    bool json = false;
    while (args.next()) {
        if (args.is("--help") || args.is("-h")) {
            std::fputs(kUsage, output.data());
            return kExitOk;
        } else if (args.is("--pelix")) {
            args.flag();
            pelix = true;
        } else if (args.is("--json")) {
            args.flag();
            json = true;
        } else {
            args.unknown();
        }
    }
    std::string text;
    std::size_t found = 0;
    if (pelix) {
        const auto records = gather(QUILVANE_SearchPELIX);
        found = records.size();
        text = json ? pelixJson(records) : pelixTable(records);
    } else {
        const auto devices = gather(QUILVANE_Search);
        found = devices.size();
        text = json ? deviceJson(devices) : deviceTable(devices);
    }
    QUILVANE_Exit();
    if (found == 0) {
        report("search", "no device answered");
    }
    std::fputs(text.c_str(), output.data());
    return std::fflush(output.data()) == 0 ? kExitOk : kExitFailed;
}
