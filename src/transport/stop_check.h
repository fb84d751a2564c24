// How long a transport's thread waits on its socket before it looks again
// whether it should stop. A close waits at most about this long for each
// thread; shorter costs idle wake-ups.
#pragma once

namespace quilvane {

inline constexpr int kStopCheckMs = 50;

}  // namespace quilvane
