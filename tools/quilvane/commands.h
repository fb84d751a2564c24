// The subcommands. Each takes the words after its name and returns the
// process's exit status; bad words throw UsageError.
#pragma once

#include <string>
#include <vector>

class LibraryOutput;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // no connection, no answer, an output that cannot be written
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;  // Ctrl-C before every frame was sent

using Words = std::vector<std::string>;

int runSearch(const Words& words, LibraryOutput& output);
int runProbe(const Words& words, LibraryOutput& output);
int runDump(const Words& words, LibraryOutput& output);
int runSend(const Words& words, LibraryOutput& output);
int runGen(const Words& words, LibraryOutput& output);
int runReplay(const Words& words, LibraryOutput& output);
