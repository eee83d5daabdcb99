#pragma once
// The program's own exit code so far: 0 until the service host records that an error escaped
// the entry (then 1). Children that the program ends on its own account are given this code.
//
// Threading: any thread may read it; the main thread sets it.

namespace velotarn {

int ExitCode() noexcept;
void SetExitCode(int Code) noexcept;

}  // namespace velotarn
