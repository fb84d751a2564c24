// Every test program ends the library as an application should, so that no
// connection's threads outlive the test that opened it.
#include <gtest/gtest.h>

#include "quilvane_sdk.h"

namespace {

class LibraryExit : public testing::Environment {
  public:
    void TearDown() override { QUILVANE_Exit(); }
};

[[maybe_unused]] testing::Environment* const registered = testing::AddGlobalTestEnvironment(new LibraryExit);

}  // namespace
