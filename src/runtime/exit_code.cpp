#include "runtime/exit_code.h"

#include <atomic>

namespace velotarn {

namespace {
std::atomic<int> g_exit_code{0};
}

int ExitCode() noexcept { return g_exit_code.load(); }
void SetExitCode(int Code) noexcept { g_exit_code.store(Code); }

}  // namespace velotarn
