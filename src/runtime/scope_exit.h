#pragma once
// ScopeExit: runs a function when the scope ends, on every path (return or error). The function
// must not raise: it runs during unwinding.
//
// Threading: a plain stack value.

#include <utility>

namespace velotarn {

template <class F>
class ScopeExit {
 public:
  explicit ScopeExit(F Function) : FFunction(std::move(Function)) {}
  ~ScopeExit() { FFunction(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  F FFunction;
};

}  // namespace velotarn
