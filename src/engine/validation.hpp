#pragma once

#include "common/native_error.hpp"
#include "engine/records.hpp"

namespace quillfen {

// The checks an update makes before any numerical work. Each returns the first failure in the
// documented order, or nothing, and only reads its arguments.

// Stored summary against the call's feature metadata.
template <class T>
Status validate_state(const EngineState<T>& state);

// Settings of the update.
Status validate_config(const UpdateConfig& config);

// Shapes first (so no scan can run past an array's end), then values.
template <class T>
Status validate_batch(const BatchView<T>& batch, const EngineState<T>& state);

// Sample weights that are all zero leave nothing to fit. Called by the driver right after
// validate_batch, so the weights are known to be finite and non-negative with rows ≥ 1 entries.
template <class T>
Status check_sample_weight_has_positive(const BatchView<T>& batch);

}  // namespace quillfen
