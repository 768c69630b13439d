#pragma once

#include <utility>

#include "engine/records.hpp"

namespace quillfen {

// Lends an engine's summary to one update without copying it: the arrays are moved out on
// construction and moved back on destruction, unless a new summary replaced them. Whatever ends
// the call (an error, an exception), the engine is left with a whole summary, old or new.
template <class T>
class LentSummary {
 public:
  explicit LentSummary(EngineState<T>& home) : home_(home), lent_(std::move(home)) {}
  ~LentSummary() {
    if (!replaced_) home_ = std::move(lent_);
  }
  LentSummary(const LentSummary&) = delete;
  LentSummary& operator=(const LentSummary&) = delete;

  EngineState<T>& state() { return lent_; }

  // Installs `next` in the engine; the lent arrays are freed with this object.
  void replace(EngineState<T>&& next) {
    home_ = std::move(next);
    replaced_ = true;
  }

 private:
  EngineState<T>& home_;
  EngineState<T> lent_;
  bool replaced_ = false;
};

}  // namespace quillfen
