// A failed check aborts, which libFuzzer reports as a finding together with
// the input that caused it.
#pragma once

#include <cstdlib>

namespace quilvane::fuzz {

inline void check(bool ok) {
    if (!ok)
        std::abort();
}

}  // namespace quilvane::fuzz
