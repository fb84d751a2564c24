// Walks a subcommand's words: options as "--name VALUE" or "--name=VALUE",
// flags as "--name", the rest positional. Bad words throw UsageError.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class Arguments {
  public:
    explicit Arguments(std::vector<std::string> words) : words_(std::move(words)) {}

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
    std::vector<std::string> words_;
    size_t next_ = 0;
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
[[noreturn]] void badValue(const std::string& option, const std::string& text, const char* what);
