// Running model code without the GIL, for loading and freeing large archives.
#pragma once

#include "py_ref.h"

namespace orvane::py {

/// Gives up the GIL for its lifetime; the destructor takes it back, also when a C++
/// exception leaves the scope, so every Python error is raised with the GIL held.
class GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;
  ~GilRelease() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

}  // namespace orvane::py
