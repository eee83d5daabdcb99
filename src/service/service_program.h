#pragma once
// The life of the service program around its entry:
// - module start-up: the application object with its window, then the service application
//   object with its program-file event log writer;
// - the entry (given by the program: Initialize, the service object, the control module, Run);
// - an error that escapes the entry: reported as unhandled, exit code 1;
// - the exit step, on every path: the application object's components (the control module),
//   then the service application object's (the service object), then the service application
//   object, then the application object.
//
// Threading: main thread.

#include <functional>

namespace velotarn {

// Returns the process exit code: 0, or 1 after an error escaped `entry`.
int RunServiceProgram(const std::function<void()>& entry);

}  // namespace velotarn
