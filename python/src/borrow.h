// Turns and borrow flags of the extension's objects: one thread's calls at a time, and
// within them any number of shared borrows, or one exclusive.
//
// A method takes its borrow after converting its arguments and keeps it until its result is
// built. Between threads a borrow is a turn: a thread that finds the object in another
// thread's call waits (with the interpreter lock released) until that call has returned, so
// calls from several threads are serialised, never interleaved and never refused. Within the
// thread whose turn it is, a conflicting request fails at once with RuntimeError ("Already
// borrowed" when the exclusive borrow was wanted, "Already mutably borrowed" when a shared
// one was), so Python code that runs inside a method (a progress or collector callback, a
// finaliser) cannot re-enter it. A thread already inside a call of any object does not wait
// for another object (waiting there could close a cycle of threads each holding what the
// next waits for): it gets the same immediate error, unless the caller takes the two turns
// in a fixed order (a session's, then its database's) and says so with Wait::Always.
// A flag marked released (the object let its file go) refuses every borrow with
// ormel.Released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <mutex>
#include <thread>

#include "python/src/errors.h"

namespace ormel_py {

struct BorrowFlag {
  int64_t state = 0;  // 0: free; n > 0: n shared borrows; -1: borrowed exclusively
  bool released = false;
  std::mutex turn;       // held by the thread whose call is running
  std::thread::id owner;  // that thread, while state != 0
};

class Borrow {
 public:
  enum Kind { Shared, Exclusive };
  enum class Wait { UnlessInsideACall, Always };

  Borrow(BorrowFlag& flag, Kind kind, Wait wait = Wait::UnlessInsideACall);
  ~Borrow();
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;

  // False when the borrow was refused (the Python error is set).
  explicit operator bool() const { return held_; }

 private:
  bool take_turn(Wait wait);

  BorrowFlag& flag_;
  Kind kind_;
  bool held_ = false;
};

// Runs f() with the interpreter lock released, for work that touches no Python object, and
// returns its result once the lock is held again (also when f throws).
template <class F>
auto without_gil(F&& f) {
  struct Reacquire {
    PyThreadState* state;
    ~Reacquire() { PyEval_RestoreThread(state); }
  } reacquire{PyEval_SaveThread()};
  return f();
}

}  // namespace ormel_py
