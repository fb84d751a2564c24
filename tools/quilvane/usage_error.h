// A command line the tool cannot use. The message names the argument and
// what was expected; the tool prints it and ends with exit status 2.
#pragma once

#include <string>

struct UsageError {
    std::string message;
};
