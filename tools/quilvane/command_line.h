// What quilvane's subcommands share about the command line: exit statuses,
// the words and their options, usage errors, messages on standard error and
// Ctrl-C; and the subcommands themselves, one file each.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

class LibraryOutput;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // no connection, no answer, an output that cannot be written
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;  // Ctrl-C before every frame was sent

using Words = std::vector<std::string>;

// Each takes the words after its name and returns the process's exit
// status; bad words throw UsageError.
int runSearch(const Words& words, LibraryOutput& output);
int runProbe(const Words& words, LibraryOutput& output);
int runDump(const Words& words, LibraryOutput& output);
int runSend(const Words& words, LibraryOutput& output);
int runGen(const Words& words, LibraryOutput& output);
int runReplay(const Words& words, LibraryOutput& output);
int runServe(const Words& words, LibraryOutput& output);

// A command line the tool cannot use. The message names the argument and
// what was expected; the tool prints it and ends with exit status 2.
struct UsageError {
    std::string message;
};

// Walks a subcommand's words: options as "--name VALUE" or "--name=VALUE",
// flags as "--name", the rest positional. Bad words throw UsageError.
class Arguments {
  public:
    explicit Arguments(Words words) : words_(std::move(words)) {}

    // The next word; an option's "=VALUE" part is kept for value(). After
    // "--" every word is positional. False at the end.
    bool next();
    const std::string& word() const { return word_; }
    bool isOption() const { return option_; }
    bool is(const char* name) const { return option_ && word_ == name; }
    // The value of the current option (its "=VALUE" or the next word).
    std::string value();
    // The current option takes no value; "--fd=1" is refused.
    void flag() const;
    // For anything a command does not know.
    [[noreturn]] void unknown() const;

  private:
    Words words_;
    std::size_t next_ = 0;
    std::string word_;
    std::string inlineValue_;
    bool hasInlineValue_ = false;
    bool option_ = false;
    bool optionsEnded_ = false;
};

// Number parsers for option values. `what` completes "expected ...", e.g.
// "a positive number"; the message quotes what was given.
std::uint64_t parseUnsigned(const std::string& option, const std::string& text, std::uint64_t min,
                            std::uint64_t max, const char* what);
double parseDecimal(const std::string& option, const std::string& text, double min, bool minAllowed,
                    const char* what);
// "0,1,5": channels from 0 to 255, at least one.
std::vector<std::uint8_t> parseChannelList(const std::string& option, const std::string& text);

// --count N and --duration S, the bounds of a dump or gen run.
struct RunLimits {
    std::uint64_t count = 0;  // 0: no bound
    double duration = 0;      // 0: no bound

    // Takes the current option if it is one of the two; false otherwise.
    bool take(Arguments& args);
    // When --duration ends the run, from now; never without one.
    std::chrono::steady_clock::time_point deadline() const;
};

// The tool's messages on standard error, each "quilvane COMMAND: TEXT".
void report(const char* command, const std::string& message);

// Ctrl-C and SIGTERM ask the running command to end: it closes the
// connection and prints its summary. A second one ends the process at once.
// SIGPIPE is ignored so that a closed standard output is a write error.
void installStopHandlers();
bool stopRequested();
// Sleeps until `deadline`, waking early when a stop is asked; false then.
bool sleepUntil(std::chrono::steady_clock::time_point deadline);
