#pragma once

#include "bindings/python.hpp"
#include "engine/access_flag.hpp"

namespace quillfen::bindings {

// Scoped access to an engine for one Python call. When `acquired()` is false the RuntimeError is
// already set. Construction and destruction must happen with the interpreter lock held.
class SharedAccess {
 public:
  explicit SharedAccess(AccessFlag& flag) : flag_(flag), acquired_(flag.try_acquire_shared()) {
    if (!acquired_) PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
  }
  ~SharedAccess() {
    if (acquired_) flag_.release_shared();
  }
  SharedAccess(const SharedAccess&) = delete;
  SharedAccess& operator=(const SharedAccess&) = delete;
  bool acquired() const { return acquired_; }

 private:
  AccessFlag& flag_;
  bool acquired_;
};

class ExclusiveAccess {
 public:
  explicit ExclusiveAccess(AccessFlag& flag)
      : flag_(flag), acquired_(flag.try_acquire_exclusive()) {
    if (!acquired_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
  }
  ~ExclusiveAccess() {
    if (acquired_) flag_.release_exclusive();
  }
  ExclusiveAccess(const ExclusiveAccess&) = delete;
  ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
  bool acquired() const { return acquired_; }

 private:
  AccessFlag& flag_;
  bool acquired_;
};

}  // namespace quillfen::bindings
