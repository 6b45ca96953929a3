#include "python/src/borrow.h"

namespace ormel_py {
namespace {

// Turns this thread holds, on any object: a thread inside a call does not wait for another.
thread_local int turns_held = 0;

bool refuse(Borrow::Kind kind) {
  PyErr_SetString(PyExc_RuntimeError, kind == Borrow::Exclusive ? "Already borrowed" : "Already mutably borrowed");
  return false;
}

}  // namespace

Borrow::Borrow(BorrowFlag& flag, Kind kind, Wait wait) : flag_(flag), kind_(kind) {
  if (flag.released) {
    raise_released();
    return;
  }
  const bool nested = flag.state != 0 && flag.owner == std::this_thread::get_id();
  if (nested) {
    if (kind == Exclusive || flag.state < 0) {
      refuse(kind);
      return;
    }
    ++flag.state;
    held_ = true;
    return;
  }
  if (!take_turn(wait)) return;
  flag.owner = std::this_thread::get_id();
  flag.state = kind == Exclusive ? -1 : 1;
  ++turns_held;
  held_ = true;
}

bool Borrow::take_turn(Wait wait) {
  if (flag_.turn.try_lock()) return true;
  if (turns_held > 0 && wait != Wait::Always) return refuse(kind_);
  without_gil([this] { flag_.turn.lock(); });
  if (!flag_.released) return true;
  // Released by the call this thread waited for.
  flag_.turn.unlock();
  raise_released();
  return false;
}

Borrow::~Borrow() {
  if (!held_) return;
  flag_.state = kind_ == Exclusive ? 0 : flag_.state - 1;
  if (flag_.state != 0) return;
  flag_.owner = {};
  --turns_held;
  flag_.turn.unlock();
}

}  // namespace ormel_py
