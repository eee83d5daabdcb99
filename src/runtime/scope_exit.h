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
  explicit ScopeExit(F f) : f_(std::move(f)) {}
  ~ScopeExit() { f_(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  F f_;
};

}  // namespace velotarn
