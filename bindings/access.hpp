#pragma once

#include "bindings/python.hpp"
#include "engine/access_flag.hpp"

namespace quillfen::bindings {

enum class AccessMode { Shared, Exclusive };

// Scoped access to an engine for one Python call: shared for properties and state export,
// exclusive for calls that use the engine's state or workspace. When `acquired()` is false the
// RuntimeError is already set. Construction and destruction happen under the interpreter lock.
template <AccessMode Mode>
class ScopedAccess {
 public:
  explicit ScopedAccess(AccessFlag& flag) : flag_(flag), acquired_(acquire(flag)) {
    if (!acquired_) {
      PyErr_SetString(PyExc_RuntimeError,
                      Mode == AccessMode::Shared ? "Already mutably borrowed" : "Already borrowed");
    }
  }
  ~ScopedAccess() {
    if (!acquired_) return;
    if constexpr (Mode == AccessMode::Shared) {
      flag_.release_shared();
    } else {
      flag_.release_exclusive();
    }
  }
  ScopedAccess(const ScopedAccess&) = delete;
  ScopedAccess& operator=(const ScopedAccess&) = delete;

  bool acquired() const { return acquired_; }

 private:
  static bool acquire(AccessFlag& flag) {
    if constexpr (Mode == AccessMode::Shared) {
      return flag.try_acquire_shared();
    } else {
      return flag.try_acquire_exclusive();
    }
  }

  AccessFlag& flag_;
  bool acquired_;
};

using SharedAccess = ScopedAccess<AccessMode::Shared>;
using ExclusiveAccess = ScopedAccess<AccessMode::Exclusive>;

}  // namespace quillfen::bindings
