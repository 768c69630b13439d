#pragma once

namespace quillfen {

// Per-engine shared/exclusive access counter. It never waits: a conflicting request is refused so
// that the caller can report it at once. Not thread-safe by itself; the Python surface changes it
// only under the interpreter lock.
class AccessFlag {
 public:
  bool is_free() const { return holders_ == 0; }

  // Any number of shared holders at once, none while exclusive access is held.
  bool try_acquire_shared() {
    if (holders_ < 0) return false;
    ++holders_;
    return true;
  }
  void release_shared() { --holders_; }

  // Exclusive access only when nobody holds any access.
  bool try_acquire_exclusive() {
    if (holders_ != 0) return false;
    holders_ = kExclusive;
    return true;
  }
  void release_exclusive() { holders_ = 0; }

 private:
  static constexpr int kExclusive = -1;
  int holders_ = 0;  // 0 free, n > 0 shared holders, kExclusive one exclusive holder
};

}  // namespace quillfen
