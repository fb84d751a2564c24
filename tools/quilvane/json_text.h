// Text as a JSON string literal, quotes included. Valid UTF-8 passes
// through; control characters are escaped; bytes that are not UTF-8 (a
// device text cut inside a character) become U+FFFD, so the output always
// parses.
#pragma once

#include <string>
#include <string_view>

std::string jsonString(std::string_view text);
