// The tool's messages on standard error, each "quilvane COMMAND: TEXT".
#pragma once

#include <string>

void report(const char* command, const std::string& message);
