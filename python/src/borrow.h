// Borrow flags of the extension's objects: any number of shared borrows, or one exclusive.
//
// A method takes its borrow after converting its arguments and keeps it until its result is
// built; a conflicting request fails at once with RuntimeError ("Already borrowed" when the
// exclusive borrow was wanted, "Already mutably borrowed" when a shared one was), so Python
// code that runs inside a method (a collector callback, a finaliser) cannot re-enter it.
// A flag marked released (the object let its file go) refuses every borrow with
// ormel.Released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "python/src/errors.h"

namespace ormel_py {

// 0: free; n > 0: n shared borrows; -1: borrowed exclusively.
struct BorrowFlag {
  int64_t state = 0;
  bool released = false;
};

class Borrow {
 public:
  enum Kind { Shared, Exclusive };

  Borrow(BorrowFlag& flag, Kind kind) : flag_(flag), kind_(kind) {
    if (flag.released) {
      raise_released();
      return;
    }
    if (kind == Exclusive ? flag.state != 0 : flag.state < 0) {
      PyErr_SetString(PyExc_RuntimeError,
                      kind == Exclusive ? "Already borrowed" : "Already mutably borrowed");
      return;
    }
    flag.state = kind == Exclusive ? -1 : flag.state + 1;
    held_ = true;
  }
  ~Borrow() {
    if (held_) flag_.state = kind_ == Exclusive ? 0 : flag_.state - 1;
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;

  // False when the borrow was refused (the Python error is set).
  explicit operator bool() const { return held_; }

 private:
  BorrowFlag& flag_;
  Kind kind_;
  bool held_ = false;
};

}  // namespace ormel_py
