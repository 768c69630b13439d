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

// Whether validate_batch scans the design and the targets for non-finite values itself, or leaves
// that scan to its caller, which must then run check_batch_values_finite before it reports any
// later failure or relies on those values being finite. With Deferred, a failure that
// validate_batch finds after the scan's place still runs the scan first.
enum class ValueScan { Now, Deferred };

// Shapes first (so no scan can run past an array's end), then values.
template <class T>
Status validate_batch(const BatchView<T>& batch, const EngineState<T>& state,
                      ValueScan scan = ValueScan::Now);

// The scan validate_batch makes of the design and the targets: its failure, or nothing. Requires
// the shapes validate_batch checks.
template <class T>
Status check_batch_values_finite(const BatchView<T>& batch);

// `failure`, unless the deferred scan fails: that failure comes first in the documented order.
template <class T>
NativeError after_deferred_scan(const BatchView<T>& batch, NativeError failure);

// Sample weights that are all zero leave nothing to fit. Called by the driver right after
// validate_batch, so the weights are known to be finite and non-negative with rows ≥ 1 entries.
template <class T>
Status check_sample_weight_has_positive(const BatchView<T>& batch);

}  // namespace quillfen
