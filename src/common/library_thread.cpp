#include "common/library_thread.h"

#include <exception>
#include <system_error>
#include <utility>

#include "common/fault_injection.h"

namespace quilvane {

platform::Thread startThread(std::function<void()> body, std::size_t stackReserve) {
    if (faults::take(faults::threadStartsToFail))
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                "thread start");
    return platform::Thread(
        [body = std::move(body)] {
            try {
                body();
            } catch (const std::exception& e) {
                logErrorQuietly(log_lines::kThreadEndedByError, e.what());
            } catch (...) {
                logErrorQuietly(log_lines::kThreadEndedByError, "unknown exception");
            }
        },
        stackReserve);
}

}  // namespace quilvane
