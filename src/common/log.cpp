#include "common/log.h"

// The standard streams as <iostream> declares them, without the static
// initialiser it adds to every file that includes it.
namespace std {
extern ostream cout;
extern ostream cerr;
}  // namespace std

namespace quilvane {
namespace {

void streamsReady() {
    // Constructs the standard streams once, on the first line written.
    static const std::ios_base::Init ready;
}

}  // namespace

std::ostream& standardOutput() {
    streamsReady();
    return std::cout;
}

std::ostream& standardError() {
    streamsReady();
    return std::cerr;
}

}  // namespace quilvane
